"""The former name of helpers_kiv, for the files that still import it (no tests here)."""

from helpers_kiv import *  # noqa: F401,F403

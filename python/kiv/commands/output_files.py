"""The files and directories a command writes (-o, --plot, --trace, --csv,
--dump), checked before the first job: a path that cannot be written is a
usage error before anything runs, not a failure that throws the run away."""

from __future__ import annotations

import os
import tempfile

from .usage import UsageError


def check_file(option: str, path: str) -> None:
    """UsageError naming `option` and `path` unless a file can be written
    there. An existing file is left as it is, and none is left behind."""
    if os.path.isdir(path):
        raise UsageError("%s %s: is a directory, not a file" % (option, path))
    try:
        if os.path.exists(path):
            with open(path, "ab"):
                pass
        else:
            with open(path, "xb"):
                pass
            os.remove(path)
    except OSError as err:
        raise UsageError("%s %s: cannot be written: %s" % (option, path, err.strerror or err)) from None


def make_directory(option: str, path: str) -> None:
    """Makes directory `path` (and its parents) unless it exists; UsageError
    naming `option` and `path` unless files can be written in it."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError("%s %s: is a file, not a directory" % (option, path))
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as err:
        raise UsageError("%s %s: cannot be a directory to write in: %s" % (option, path, err.strerror or err)) from None

#!/usr/bin/env bash
# Type check: mypy --strict on the kiv package and on a typed user program
# (tests/typing/user_script.py), with libkiv's type stub
# (kiv_umd/src/python/libkiv.pyi) standing for the extension module. Needs no
# build. Installs mypy (Debian's python3-mypy) when it is missing; exits
# non-zero on any error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages python3-mypy
MYPYPATH=kiv_umd/src/python /usr/bin/python3 -m mypy --strict python/kiv tests/typing/user_script.py

#!/usr/bin/env bash
# Builds the project, fetches the digits data and runs the example: a digit
# classifier trained in numpy, run on the stand-in NPU through the kiv layer
# (--api libkiv: the low-level libkiv module).
# Arguments are passed to the example (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
bash scripts/fetch_data.sh
export KIV_BUILD_DIR="$PWD/build"
export PYTHONPATH="$PWD/build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
exec /usr/bin/python3 examples/digits_classifier.py "$@"

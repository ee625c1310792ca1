#!/usr/bin/env bash
# Builds the project and runs every test: the native suites and the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j 2

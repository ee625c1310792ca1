#!/usr/bin/env bash
# The habits of the tree, checked before a commit and by CI: every tracked
# C++ file is formatted as the checked-in .clang-format says (clang-format 14,
# a dry run in which any difference is an error), and flake8 (configured in
# setup.cfg) finds nothing in python/, tests/, bench/ and examples/. Installs
# Debian's clang-format-14 and python3-flake8 when they are missing; needs no
# build. Exits non-zero on the first check that finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages clang-format-14 python3-flake8

echo "lint: clang-format over the tracked C++ files"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run -Werror

echo "lint: flake8 over python/, tests/, bench/ and examples/"
/usr/bin/python3 -m flake8 python tests bench examples

echo "lint: clean"

#!/usr/bin/env bash
# Builds the HTML API reference of kiv and libkiv with Sphinx (autodoc), from
# kiv's docstrings and type hints and from libkiv's type stub:
#
#   bash scripts/docs.sh          then open build-docs/html/index.html
#
# The sources are in docs/reference/, beside the Markdown guides. Any warning
# fails the build, and so does a public name of kiv or libkiv that the
# reference lacks (tests/docs/reference_coverage.py). kiv is imported over the
# build tree's libkiv module: the tree is built (scripts/build.sh) first.
#
# Environment: KIV_DOCS_DIR (default build-docs).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
out=${KIV_DOCS_DIR:-build-docs}

bash scripts/build.sh >/dev/null
ensure_packages python3-sphinx
rm -rf "$out"
# -E: every page read again, since autodoc's input (the code) is not tracked;
# -W --keep-going: every warning shown, then the build fails.
KIV_BUILD_DIR=$PWD/build /usr/bin/python3 -m sphinx -b html -E -q -W --keep-going -d "$out/doctrees" \
    docs/reference "$out/html"
PYTHONPATH=$PWD/build:$PWD/python /usr/bin/python3 -B tests/docs/reference_coverage.py "$out/html"
echo "docs: the API reference is in $out/html/index.html"

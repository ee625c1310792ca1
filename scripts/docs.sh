#!/usr/bin/env bash
# Builds the documentation site: the guides of docs/ (Markdown, read by MyST)
# and the API reference of docs/reference/ (Sphinx autodoc, from kiv's
# docstrings and type hints and from libkiv's type stub), one HTML site with
# the furo theme:
#
#   bash scripts/docs.sh          then open build-docs/html/index.html
#
# Any warning fails the build, and so do an internal link or image of the
# built site that leads nowhere (tests/docs/check_links.py) and a public name
# of kiv or libkiv that the reference lacks or does not describe
# (tests/docs/reference_coverage.py). kiv is imported over a build tree's
# libkiv module: the tree KIV_BUILD_DIR names, as it is, or else build/,
# which is built (scripts/build.sh, which installs what the build needs)
# first. The packages the site needs (Debian's Sphinx, MyST parser and furo
# theme) are installed when missing.
#
# Environment: KIV_DOCS_DIR (default build-docs); KIV_BUILD_DIR, an existing
# build tree to use without building it (default: build/, built first).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
out=${KIV_DOCS_DIR:-build-docs}

if [ -n "${KIV_BUILD_DIR:-}" ]; then
  if [ ! -f "$KIV_BUILD_DIR/libkiv.so" ]; then
    echo "docs: KIV_BUILD_DIR=$KIV_BUILD_DIR holds no built libkiv.so (build it, or unset KIV_BUILD_DIR)" >&2
    exit 1
  fi
  build=$(cd "$KIV_BUILD_DIR" && pwd)
else
  bash scripts/build.sh >/dev/null
  build=$PWD/build
fi
ensure_packages python3-sphinx python3-myst-parser furo
rm -rf "$out"
# -E: every page read again, since autodoc's input (the code) is not tracked;
# -W --keep-going: every warning shown, then the build fails.
KIV_BUILD_DIR=$build /usr/bin/python3 -m sphinx -b html -E -q -W --keep-going -d "$out/doctrees" \
    docs "$out/html"
/usr/bin/python3 -B tests/docs/check_links.py "$out/html"
PYTHONPATH=$build:$PWD/python /usr/bin/python3 -B tests/docs/reference_coverage.py "$out/html"
echo "docs: the site is in $out/html/index.html"

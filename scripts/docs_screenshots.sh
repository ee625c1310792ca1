#!/usr/bin/env bash
# Renders every page of the built documentation site in a real browser,
# headless Chromium (Debian's chromium, installed when missing), one PNG per
# page, for a person to look at: the navigation, tables, code and images as a
# reader sees them. A manual step, not part of CI (which holds the site to
# its link check, tests/docs/check_links.py); run it after scripts/docs.sh:
#
#   bash scripts/docs.sh && bash scripts/docs_screenshots.sh [PAGE.html ...]
#
# Writes $KIV_DOCS_DIR/screenshots/<page>.png (default build-docs), 1280 pixels
# wide and --height tall (default 1600), and lists them. Runs Chromium without
# its sandbox when run as root, which it needs then.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
out=${KIV_DOCS_DIR:-build-docs}
height=1600
if [ "${1:-}" = "--height" ]; then height=$2; shift 2; fi
html=$(realpath "$out/html")
[ -f "$html/index.html" ] || { echo "docs_screenshots: no site in $html; run scripts/docs.sh first" >&2; exit 1; }
ensure_packages chromium
shots=$out/screenshots
mkdir -p "$shots"
if [ $# -eq 0 ]; then
  mapfile -t pages < <(cd "$html" && find . -name '*.html' ! -path './_*' ! -name search.html ! -name genindex.html \
                        ! -name py-modindex.html | sed 's|^\./||' | sort)
else
  pages=("$@")
fi
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(--no-sandbox)
for page in "${pages[@]}"; do
  png=$shots/$(tr / - <<<"${page%.html}").png
  chromium --headless "${sandbox[@]}" --disable-gpu --hide-scrollbars --window-size=1280,"$height" \
      --screenshot="$png" "file://$html/$page" >/dev/null 2>&1 || { echo "docs_screenshots: $page failed" >&2; exit 1; }
  echo "$png"
done

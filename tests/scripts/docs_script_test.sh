#!/usr/bin/env bash
# Checks that scripts/docs.sh takes the build tree KIV_BUILD_DIR names as it
# is: a tree without a built libkiv.so is refused at once, naming the
# variable, and nothing is built or written.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd -P)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tree"

status=0
KIV_BUILD_DIR="$work/tree" KIV_DOCS_DIR="$work/site" bash "$source_dir/scripts/docs.sh" \
    >"$work/out" 2>"$work/err" || status=$?
cat "$work/out" "$work/err"
[ "$status" -eq 1 ] || { echo "FAIL: exit status $status, not 1" >&2; exit 1; }
grep -qF "docs: KIV_BUILD_DIR=$work/tree holds no built libkiv.so" "$work/err" \
    || { echo "FAIL: the refusal does not name the tree" >&2; exit 1; }
[ ! -s "$work/out" ] || { echo "FAIL: something ran before the refusal" >&2; exit 1; }
[ -z "$(ls -A "$work/tree")" ] && [ ! -e "$work/site" ] || { echo "FAIL: something was written" >&2; exit 1; }
echo "docs_script_test: ok"

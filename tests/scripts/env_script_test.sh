#!/usr/bin/env bash
# Checks scripts/env.sh on a build tree: sourced from elsewhere, with a
# python3 first on PATH that is not the build's interpreter (it only fails),
# the kiv and zor commands come from the build tree and tell the sources'
# version, and the runtime is pointed at the built stand-in.
#
#   env_script_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd -P)
source_dir=$(cd "$(dirname "$0")/../.." && pwd -P)
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$source_dir/python/kiv/_version.py")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
printf '#!/bin/sh\necho "not the build interpreter" >&2\nexit 3\n' >"$work/bin/python3"
chmod +x "$work/bin/python3"

# A clean shell in another directory; whatever it prints is checked below.
out=$(cd "$work" && env -i HOME="$work" PATH="$work/bin:/usr/bin:/bin" KIV_BUILD_DIR="$build" bash -c '
    source "$1/scripts/env.sh"
    echo "kiv=$(command -v kiv)"
    echo "zor=$(command -v zor)"
    echo "python3=$(command -v python3)"
    echo "kiv says: $(kiv --version)"
    echo "zor says: $(zor --version)"
    echo "driver=$AIPU_LIB_PATH"
    kiv info --help >/dev/null && echo "kiv info --help: ok"
' sh "$source_dir") || { echo "$out"; echo "FAIL: the commands did not run after sourcing env.sh" >&2; exit 1; }
echo "$out"

expect() {
    grep -qxF "$1" <<<"$out" || { echo "FAIL: expected the line '$1'" >&2; exit 1; }
}
expect "kiv=$build/commands/kiv"
expect "zor=$build/tools/zor/zor"
expect "python3=$work/bin/python3"
expect "kiv says: kiv $version"
expect "zor says: zor $version"
expect "driver=$build/standin/libaipudrv.so"
expect "kiv info --help: ok"
[ -e "$build/standin/libaipudrv.so" ] || { echo "FAIL: no stand-in at $build/standin/libaipudrv.so" >&2; exit 1; }
echo "env_script_test: env.sh puts the build's kiv and zor on PATH and the stand-in in AIPU_LIB_PATH"

#!/usr/bin/env bash
# Configures the project with a stray python3.11-config first on PATH, one
# that answers like a real config tool of the right architecture but belongs
# to no usable Python (as an unrelated interpreter's shim may). The build must
# still take the headers of the interpreter it is made for.
#
#   python_lookup_check.sh [toolchain file]     (none: a native configure)
#
# A cross build is where it matters: natively FindPython asks the interpreter
# itself, cross it looks for a config tool.
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd -P)
toolchain=${1:-}

fail() {
    echo "python_lookup_check: FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "$toolchain" ]; then
    triplet=$(sed -n 's/^set(CMAKE_LIBRARY_ARCHITECTURE \(.*\))$/\1/p' "$toolchain")
    [ -n "$triplet" ] || fail "no CMAKE_LIBRARY_ARCHITECTURE in $toolchain"
else
    triplet=$(gcc -print-multiarch)
fi

# The stray Python: a config tool and headers that break any build using them.
stray=$work/stray
mkdir -p "$stray/bin" "$stray/include/python3.11" "$stray/lib/python3.11/config-3.11-$triplet"
echo '#error the stray Python headers were used' >"$stray/include/python3.11/Python.h"
cat >"$stray/bin/python3.11-config" <<CONFIG
#!/bin/sh
case "\$1" in
  --prefix|--exec-prefix) echo "$stray" ;;
  --configdir) echo "$stray/lib/python3.11/config-3.11-$triplet" ;;
  --includes|--cflags) echo "-I$stray/include/python3.11" ;;
  --ldflags|--libs) echo "-L$stray/lib -lpython3.11" ;;
  --extension-suffix) echo ".cpython-311-$triplet.so" ;;
  --abiflags) echo "" ;;
  *) echo "Usage: \$0 --prefix|--exec-prefix|--includes|--libs|--cflags|--ldflags|--extension-suffix|--help|--abiflags|--configdir|--embed" ;;
esac
CONFIG
chmod +x "$stray/bin/python3.11-config"

args=(-S "$source" -B "$work/build" -G Ninja -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=OFF)
[ -z "$toolchain" ] || args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
PATH="$stray/bin:$PATH" cmake "${args[@]}" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log" >&2
    fail "configure with $stray/bin first on PATH"
}

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$work/build/CMakeCache.txt"
}
config=$(cache_value _Python_CONFIG)
include=$(cache_value _Python_INCLUDE_DIR)
case "$config$include" in
    *"$stray"*) fail "FindPython took the stray Python (config tool '$config', headers '$include')" ;;
esac
[ -f "$include/Python.h" ] || fail "no Python.h in the headers found ('$include')"
echo "python_lookup_check: ok${toolchain:+ (cross)}: config tool '${config:-none}', headers $include"

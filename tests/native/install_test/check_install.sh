#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the result the way a
# user meets it: libkiv imports from the installed site directory with nothing
# of the build tree on any path and opens a context on the installed driver,
# and a native program builds against the installed CMake package and runs.
# Usage: check_install.sh <build dir> <source dir> <python dir relative to prefix> <python>
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: $0 <build dir> <source dir> <python dir relative to prefix> <python>" >&2
  exit 2
fi
build=$(realpath "$1")
source=$(realpath "$2")
pydir_rel=$3
python=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Python puts the working directory first on its path: run away from the
# build tree, which holds a libkiv.so of its own.
cd "$work"
prefix=$work/prefix
pydir=$prefix/$pydir_rel

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

step "installed files"
for f in "$pydir/libkiv.so" "$pydir/libkiv.pyi" "$pydir/libaipudrv.so" \
         "$prefix/include/kiv/kiv_api.h" "$prefix/include/kiv/aipu_driver.h" \
         "$prefix/include/kiv/serialization_handler.h" "$prefix/include/kiv/zor_generated.h" \
         "$prefix/lib/cmake/kiv/kivConfig.cmake" "$prefix/lib/cmake/kiv/kivConfigVersion.cmake" \
         "$prefix/bin/zor"; do
  [ -f "$f" ] || fail "missing $f"
done
readelf -d "$pydir/libkiv.so" | grep -q 'R.*PATH.*\[\$ORIGIN\]' || fail "installed libkiv.so lacks RUNPATH \$ORIGIN"

step "import libkiv from the prefix with a clean environment"
# The build tree must not be reachable: a context that opens proves that the
# installed module found the installed driver beside it.
env -i PATH=/usr/bin:/bin HOME="$work" PYTHONPATH="$pydir" "$python" - "$pydir" <<'PY'
import os, sys
import libkiv
where = os.path.dirname(os.path.realpath(libkiv.__file__))
assert where == os.path.realpath(sys.argv[1]), f"imported from {where}"
npu = libkiv.NPU()
status = npu.kiv_init_context()
assert status == libkiv.KIV_STATUS_SUCCESS, f"kiv_init_context: {status}"
assert npu.kiv_deinit_context() == libkiv.KIV_STATUS_SUCCESS
print("libkiv imported from", where, "and opened a context")
if os.path.isdir(os.path.join(sys.argv[1], "kiv")):
    import kiv
    assert os.path.realpath(kiv.__file__).startswith(where), kiv.__file__
    print("kiv imported from", os.path.dirname(kiv.__file__))
PY

step "build examples/native_consumer against the package"
env -u CMAKE_PREFIX_PATH cmake -S "$source/examples/native_consumer" -B "$work/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
grep -q "warning" "$work/build.log" && { cat "$work/build.log"; fail "the consumer builds with warnings"; }

step "run the consumer"
mkdir -p "$work/run"
env -i PATH=/usr/bin:/bin "$work/consumer/kiv_consumer" "$work/run" | tee "$work/run.log"
grep -q "container round trip ok" "$work/run.log" || fail "consumer output"
echo "install_test: ok"

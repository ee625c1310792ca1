#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the result the way a
# user meets it: libkiv and kiv import from the installed site directory with
# nothing of the build tree on any path; the driver's default name means the
# system's driver (the stand-in comes only on request, and is then used only
# when named); the headers are exactly the exported container classes', each
# usable on its own; and a native program builds against the installed CMake
# package and runs.
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
for f in "$pydir/libkiv.so" "$pydir/libkiv.pyi" "$pydir/libkiv-stubs/__init__.pyi" "$pydir/kiv/__init__.py" "$pydir/kiv/py.typed" "$pydir/kiv/_native.pyi" \
         "$prefix/include/kiv/serialization_handler.h" "$prefix/include/kiv/zor_generated.h" \
         "$prefix/lib/cmake/kiv/kivConfig.cmake" "$prefix/lib/cmake/kiv/kivConfigVersion.cmake" \
         "$prefix/bin/zor" "$prefix/bin/kiv"; do
  [ -f "$f" ] || fail "missing $f"
done
found=$(find "$prefix" -name 'libaipudrv*' -o -path '*/kiv/standin')
[ -z "$found" ] || fail "a plain install brought the stand-in: $found"
if readelf -d "$pydir/libkiv.so" | grep -q 'R.*PATH'; then fail "installed libkiv.so carries a run path"; fi

step "the headers are the container classes', and a program can use each"
# Only headers whose declarations a program can link: the runtime's kiv_*
# functions are internal to libkiv.so, so no header of them is installed.
headers=$(cd "$prefix/include" && find . -type f | sort)
[ "$headers" = "$(printf '%s\n' ./kiv/serialization_handler.h ./kiv/zor_generated.h)" ] ||
  fail "installed headers are not exactly the container classes' two: $headers"
for header in "$prefix"/include/kiv/*.h; do
  echo "#include \"$(basename "$header")\"" | c++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
    -I "$prefix/include/kiv" -x c++ - || fail "$header does not compile on its own"
done
symbols=$(nm -DC --defined-only "$pydir/libkiv.so")
exported=$(grep -E ' [TtWw] kiv_[a-z_]+\(' <<<"$symbols" || true)
[ -z "$exported" ] || fail "libkiv.so exports runtime functions that no installed header declares: $exported"
grep -qF ' T kiv::SerializationHandler::DeSerialization(' <<<"$symbols" ||
  fail "libkiv.so does not export the container classes"

# Python with the installed package alone: a clean environment, run away from
# the build tree (Python puts the working directory first on its path).
installed_python() { env -i PATH=/usr/bin:/bin HOME="$work" PYTHONPATH="$pydir" "$@" "$python" - "$pydir"; }

step "the kiv command runs the installed kiv"
said=$(env -i PATH=/usr/bin:/bin HOME="$work" PYTHONPATH="$pydir" "$prefix/bin/kiv" --version) || fail "kiv --version"
[ "$said" = "kiv $(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$pydir/kiv/_version.py")" ] || fail "kiv --version: $said"

step "import libkiv and kiv from the prefix; no driver is found by default"
installed_python <<'PY'
import os, sys
import libkiv, kiv
where = os.path.dirname(os.path.realpath(libkiv.__file__))
assert where == os.path.realpath(sys.argv[1]), f"imported from {where}"
assert os.path.realpath(kiv.__file__).startswith(where), kiv.__file__
assert int(libkiv.NPU().kiv_init_context()) == 66  # no stand-in behind the default name
assert kiv.standin_path() is None
try:
    kiv.Runtime()
except kiv.KivError as err:
    assert "tried libaipudrv.so" in str(err) and "stand-in NPU is not installed" in str(err), str(err)
else:
    raise AssertionError("a driver was found")
print("libkiv and kiv imported from", where, "; no driver found by default")
PY

step "install the stand-in and its Python side on request; it runs only when named"
cmake --install "$build" --prefix "$prefix" --component standin >>"$work/install.log" || fail "install the stand-in"
for f in libaipudrv.so __init__.py program.py controls.py; do
  [ -f "$pydir/kiv/standin/$f" ] || fail "missing $pydir/kiv/standin/$f"
done
# A library named like the driver in the system's library search: the one a
# default runtime must load, not the stand-in.
mkdir -p "$work/system"
cp "$pydir/kiv/standin/libaipudrv.so" "$work/system/libaipudrv.so"
installed_python LD_LIBRARY_PATH="$work/system" <<'PY'
import os, sys
import kiv
shipped = os.path.join(sys.argv[1], "kiv", "standin", "libaipudrv.so")
assert kiv.standin_path() == shipped, kiv.standin_path()
with kiv.Runtime() as rt:
    assert rt.driver.path == os.path.join(os.environ["LD_LIBRARY_PATH"], "libaipudrv.so"), rt.driver
with kiv.Runtime(driver="standin") as rt:
    assert rt.driver.path == shipped and rt.driver.is_standin, rt.driver
    print(rt)
import kiv.standin
assert os.path.dirname(kiv.standin.__file__) == os.path.dirname(shipped), kiv.standin.__file__
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

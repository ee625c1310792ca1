#!/usr/bin/env bash
# The Python test suite against an ASan+UBSan build of libkiv.so.
#
#   scripts/test_python_asan.sh [pytest arguments...]   (default: tests/python)
#
# The interpreter itself is not instrumented, so the ASan runtime has to be
# the first library loaded: it is preloaded. Leak detection stays off because
# the interpreter keeps most of its objects alive until exit by design; leaks
# of our own code are looked for with valgrind (scripts/valgrind_example.sh)
# and by the RSS checks of tests/python/test_stress.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
root=$(pwd)
build=${KIV_ASAN_BUILD_DIR:-$root/build-asan}
cmake -S "$root" -B "$build" -G Ninja -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 --target libkiv aipudrv zor
export KIV_BUILD_DIR="$build"
export PYTHONPATH="$build:$root/python"
# libstdc++ is preloaded right after it: the interpreter is a C program, and
# ASan's C++ exception interceptor finds no __cxa_throw unless the library is
# there at start-up (any exception thrown in the module would abort).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# pytest captures file descriptor 2 in many tests, which would swallow a
# report: reports also go to files named by log_path (asan.<pid>).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:log_path=$build/asan}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
[ $# -eq 0 ] && set -- "$root/tests/python"
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"

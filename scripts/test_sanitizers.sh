#!/usr/bin/env bash
# Native test suite under AddressSanitizer + UndefinedBehaviorSanitizer.
# Configures its own build directory (build-asan, or KIV_ASAN_BUILD_DIR), so
# the normal build keeps its flags. Any sanitizer report fails the test that
# produced it: ASan aborts, UBSan does not recover (-fno-sanitize-recover).
# The Python tests (label python), install_test and env_script_test (kiv --version) import the
# module into the interpreter, which needs the ASan runtime preloaded: see
# scripts/test_python_asan.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
build=${KIV_ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$build" -G Ninja -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j 2 -LE python -E '^(install_test|env_script_test)$'

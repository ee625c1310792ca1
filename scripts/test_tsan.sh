#!/usr/bin/env bash
# Native test suite under ThreadSanitizer, in its own build directory
# (build-tsan, or KIV_TSAN_BUILD_DIR). The completion threads of the stand-in
# driver, the runtime's callbacks and the log mutex are what it watches.
# The Python tests (label python), install_test and env_script_test (kiv --version) are left
# out: the interpreter is not built for TSan and cannot load a TSan module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
build=${KIV_TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$build" -G Ninja -DKIV_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$build" --output-on-failure -j 2 -LE python -E '^(install_test|env_script_test)$'

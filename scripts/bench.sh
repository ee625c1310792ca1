#!/usr/bin/env bash
# Builds the benchmarks in a Release tree and runs the whole suite, printing
# every figure as a ratio against its floor measured in the same run.
#   bash scripts/bench.sh            full run (two to three minutes on 2 cores)
#   bash scripts/bench.sh --quick    small sizes, few samples (CI: proves it runs)
# Extra arguments go to bench/run_bench.py (e.g. --json results.json).
# KIV_BENCH_BUILD_DIR chooses the build tree (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${KIV_BENCH_BUILD_DIR:-build-bench}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target kiv_bench kiv_peak libkiv aipudrv zor -j "$(nproc)" >/dev/null
exec /usr/bin/python3 bench/run_bench.py --build-dir "$build_dir" "$@"

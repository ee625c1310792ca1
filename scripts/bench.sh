#!/usr/bin/env bash
# Builds the benchmarks and runs the whole suite, printing every figure as a
# ratio against its floor measured in the same run.
#   bash scripts/bench.sh            full run (two to three minutes on 2 cores)
#   bash scripts/bench.sh --quick    small sizes, few samples (CI: proves it runs)
# Extra arguments go to bench/run_bench.py (e.g. --json results.json).
# KIV_BENCH_BUILD_DIR chooses the build tree (default build-bench). A new tree
# is configured as Release; an existing one keeps its build type, so CI can
# reuse its own tree and only the benchmark programs get compiled:
#   KIV_BENCH_BUILD_DIR=build bash scripts/bench.sh --quick
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
bash scripts/setup.sh >/dev/null
ensure_packages libbenchmark-dev
build_dir="${KIV_BENCH_BUILD_DIR:-build-bench}"
build_type=()
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  build_type=(-DCMAKE_BUILD_TYPE=Release)
fi
cmake -S . -B "$build_dir" -G Ninja "${build_type[@]}" -DKIV_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target kiv_bench kiv_peak libkiv aipudrv zor -j "$(nproc)" >/dev/null
exec /usr/bin/python3 bench/run_bench.py --build-dir "$build_dir" "$@"

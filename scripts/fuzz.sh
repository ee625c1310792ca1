#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [target...]
#
# seconds defaults to 30 per target; targets default to all of them. Every
# target starts from its committed seed corpus (fuzz/corpus/<target>), copied
# into a working corpus under the build directory so the seeds stay small.
# A crash, leak, timeout or out-of-memory stops with a non-zero status and
# leaves the reproducer (crash-*, leak-*, ...) in the target's run directory.
#
# Environment: KIV_FUZZ_BUILD_DIR (default build-fuzz), KIV_FUZZ_NO_BUILD=1
# to use the binaries as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
bash scripts/setup.sh >/dev/null
ensure_packages clang libclang-rt-14-dev  # libFuzzer comes with clang
root=$(pwd)
seconds=${1:-30}
shift || true
build=$(realpath -m "${KIV_FUZZ_BUILD_DIR:-$root/build-fuzz}")
all_targets=(fuzz_container_bytes fuzz_container_file fuzz_io_json fuzz_graph_json fuzz_npu_program)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

if [ "${KIV_FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKIV_FUZZ=ON \
    -DKIV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target "${targets[@]}" -j2
fi

failed=0
for target in "${targets[@]}"; do
  run="$build/fuzz/runs/$target"
  mkdir -p "$run/corpus"
  cp -n "$root/fuzz/corpus/$target/"* "$run/corpus/"
  log="$run/fuzz.log"
  echo "== $target: ${seconds}s"
  # Absolute paths: a target may change its working directory. Reproducers
  # land in the run directory.
  if "$build/fuzz/$target" "$run/corpus" -artifact_prefix="$run/" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -print_final_stats=1 >"$log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "$log" | sed 's/^/   /'
  else
    echo "   FAILED: see $log"
    tail -n 40 "$log"
    failed=1
  fi
done
exit $failed

#!/usr/bin/env bash
# Valgrind memcheck over the Python end-to-end example (short run), through
# both of its paths: the kiv layer and the raw libkiv calls.
#
#   scripts/valgrind_example.sh
#
# Fails when valgrind reports an invalid read or write, a use of
# uninitialised memory, or a definitely lost block. The interpreter's own
# noise is suppressed by valgrind/python.supp (each entry explained there);
# PYTHONMALLOC=malloc makes every Python object a heap block valgrind can
# follow instead of an arena slice. Uses KIV_BUILD_DIR (default build/) and
# builds the targets it needs there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
bash scripts/setup.sh >/dev/null
ensure_packages valgrind
root=$(pwd)
build=${KIV_BUILD_DIR:-$root/build}
if [ "${KIV_VALGRIND_NO_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j2 --target libkiv aipudrv zor
fi
[ -f "$root/data/digits.csv.gz" ] || bash "$root/scripts/fetch_data.sh"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for api in libkiv kiv; do
  log="$build/valgrind-$api.log"
  echo "== digits_classifier --api $api (log: $log)"
  if ! PYTHONMALLOC=malloc KIV_BUILD_DIR="$build" \
      PYTHONPATH="$build:$root/python" \
      valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --track-origins=yes --num-callers=30 --suppressions="$root/valgrind/python.supp" \
        --error-exitcode=99 --log-file="$log" \
        /usr/bin/python3 "$root/examples/digits_classifier.py" --api "$api" --quick --steps 20 --samples 20 \
        --build-dir "$build" --out-dir "$out/$api" >"$out/$api.stdout" 2>&1; then
    echo "   FAILED"; tail -n 30 "$out/$api.stdout"; status=1
  fi
  grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost" "$log" | sed 's/^==[0-9]*== /   /'
done
exit $status

#!/usr/bin/env bash
# The way Python users install: `pip install --no-build-isolation .` into a
# fresh virtual environment (with the system's site packages, for numpy),
# from this checkout, with Debian's setuptools and wheel and no network.
# Then, as a user would: pip show, the two commands, kiv example (the guides'
# model), kiv info and kiv bench on the digits model, and pip uninstall, which
# must leave nothing behind.
# The CMake build goes to build-pip/ and is reused by later runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
bash scripts/setup.sh >/dev/null
ensure_packages python3-pip python3-venv python3-setuptools python3-wheel

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "test_pip: $*" >&2; exit 1; }
venv=$work/venv
/usr/bin/python3 -m venv --system-site-packages "$venv"
before=$(cd "$venv" && find . | sort)
version=$(/usr/bin/python3 -c 'import runpy; print(runpy.run_path("python/kiv/_version.py")["__version__"])')

echo "== pip install (the stand-in on request)"
KIV_INSTALL_STANDIN_DRIVER=ON "$venv/bin/pip" install --no-build-isolation --no-index . >"$work/pip.log" 2>&1 \
  || { tail -n 30 "$work/pip.log"; fail "pip install failed"; }
"$venv/bin/pip" show kiv | grep -x "Version: $version" >/dev/null || fail "pip show does not give version $version"
# Read whole before grep, which may stop reading early (pipefail).
shown=$("$venv/bin/pip" show -f kiv)
grep -qx "License: Apache-2.0" <<<"$shown" || fail "pip show does not give the license"
grep -q "dist-info/LICENSE$" <<<"$shown" || fail "the installed distribution lacks LICENSE"
[ "$("$venv/bin/kiv" --version)" = "kiv $version" ] || fail "kiv --version"
[ "$("$venv/bin/zor" --version)" = "zor $version" ] || fail "zor --version"
# Everything from the environment, nothing from the checkout.
env -i PATH=/usr/bin:/bin HOME="$work" "$venv/bin/python" - "$venv" <<'PY'
import os, sys
import kiv, libkiv
venv = os.path.realpath(sys.argv[1])
for module in (kiv, libkiv):
    assert os.path.realpath(module.__file__).startswith(venv), module.__file__
where = os.path.dirname(os.path.realpath(libkiv.__file__))
for part in ("libkiv.pyi", "libkiv-stubs/__init__.pyi", "kiv/py.typed", "kiv/_native.pyi", "kiv/standin/libaipudrv.so",
             "kiv/standin/__init__.py", "kiv/standin/program.py", "kiv/serve/inference.proto",
             "kiv_serve_protocol/inference_pb2_grpc.py"):
    assert os.path.isfile(os.path.join(where, part)), part
import kiv.serve.server, kiv_serve_protocol.inference_pb2_grpc  # the server, on Debian's grpcio and aiohttp
assert os.path.realpath(kiv_serve_protocol.__file__).startswith(venv), kiv_serve_protocol.__file__
print("kiv %s, kiv serve and libkiv import from the environment" % kiv.__version__)
PY

echo "== kiv example: the guides' tiny model, packed by the environment's zor"
# PATH without the environment's bin/: kiv example finds zor beside the interpreter.
(cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" "$venv/bin/kiv" example tiny) | tee "$work/example.txt"
grep -qx "wrote tiny.zor" "$work/example.txt" || fail "kiv example tiny"
"$venv/bin/kiv" info "$work/tiny.zor" --driver standin | grep -q "^outputs" || fail "kiv info on the example model"

echo "== kiv info and kiv bench on the digits model"
[ -f data/digits.csv.gz ] || bash scripts/fetch_data.sh
# The example packs the model with zor from the pip build; kiv and the
# stand-in's program builder come from the environment.
env -i PATH="$venv/bin:/usr/bin:/bin" HOME="$work" \
  "$venv/bin/python" examples/digits_classifier.py --quick --build-dir build-pip/cmake --out-dir "$work/digits" \
  >"$work/example.log" 2>&1 || { tail -n 20 "$work/example.log"; fail "the digits example failed"; }
model=$work/digits/digits_int8.zor
"$venv/bin/kiv" info "$model" --driver standin | tee "$work/info.txt"
grep -q "^driver   stand-in NPU " "$work/info.txt" || fail "kiv info names no driver"
"$venv/bin/kiv" bench "$model" --driver standin --count 200 --json >"$work/bench.json"
"$venv/bin/python" - "$work/bench.json" <<'PY'
import json, sys
figures = json.load(open(sys.argv[1]))
assert figures["runs"] == 200 and figures["throughput_per_s"] > 0, figures
print("kiv bench: p50 %.3f ms, %.0f inferences/s" % (figures["latency_ms"]["p50"], figures["throughput_per_s"]))
PY

echo "== pip uninstall leaves nothing"
"$venv/bin/pip" uninstall -y kiv >/dev/null
after=$(cd "$venv" && find . | sort)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "pip uninstall left files behind"
fi
echo "test_pip: ok"

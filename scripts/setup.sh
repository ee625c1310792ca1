#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: when everything
# is present it only checks and returns.
#
#   bash scripts/setup.sh         what building, running and testing need
#   bash scripts/setup.sh --dev   also the tools of the checking scripts:
#                                 clang and its runtime libraries (fuzzing),
#                                 valgrind (memory check), mypy (type check),
#                                 clang-format and flake8 (lint), Google
#                                 Benchmark, pip and venv (pip install test)
# The checking scripts install what they need themselves, so --dev is only a
# way to get it all at once.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

# python3-matplotlib is optional for the kiv package (kiv bench --plot); the
# tests draw a plot with it. help2man is optional for the build, which makes
# the manual pages when it is present; the tests read them.
BUILD_AND_RUN=(
  g++ cmake ninja-build make
  pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest python3-matplotlib
  nlohmann-json3-dev libflatbuffers-dev flatbuffers-compiler
  libgtest-dev googletest help2man
)
# kiv serve: its gRPC stubs are compiled at build time (protoc and gRPC's
# Python plugin); it runs on grpcio, protobuf, aiohttp and prometheus-client;
# its tests talk to it with curl and put two servers behind nginx.
SERVE=(protobuf-compiler protobuf-compiler-grpc python3-grpcio python3-protobuf python3-aiohttp
       python3-prometheus-client curl nginx)
DEV=(clang libclang-rt-14-dev valgrind python3-mypy clang-format-14 python3-flake8 libbenchmark-dev python3-pip
     python3-venv python3-setuptools python3-wheel)

case "${1:-}" in
  "") ensure_packages "${BUILD_AND_RUN[@]}" "${SERVE[@]}" ;;
  --dev) ensure_packages "${BUILD_AND_RUN[@]}" "${SERVE[@]}" "${DEV[@]}" ;;
  *) echo "usage: $0 [--dev]" >&2; exit 2 ;;
esac
echo "setup: the packages are present"

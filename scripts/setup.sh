#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: when everything
# is present it only checks and returns.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build make
  pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest
  nlohmann-json3-dev libflatbuffers-dev flatbuffers-compiler
  libgtest-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev valgrind
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

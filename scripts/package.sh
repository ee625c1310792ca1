#!/usr/bin/env bash
# Makes the Debian packages for this machine (amd64) and checks them:
#
#   bash scripts/package.sh
#
# builds a release tree for the prefix /usr in build-deb/ (no tests, with the
# manual pages), makes libkiv, libkiv-dev and libkiv-standin with cpack into
# dist/, checks them with lintian, which must find no error and no warning,
# then extracts them into a fresh root and uses them from there
# (tests/packaging/check_debs.sh). The arm64 packages come from the cross
# build: bash scripts/test_arm64.sh.
#
# Environment: KIV_DEB_BUILD_DIR (default build-deb), KIV_DIST_DIR (default dist).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debs.sh
source scripts/lib/packages.sh
build=${KIV_DEB_BUILD_DIR:-build-deb}
dist=${KIV_DIST_DIR:-dist}

bash scripts/setup.sh
# cpack's Debian packages: dpkg-shlibdeps, and file, with which cpack finds the
# binaries; help2man for the manual pages, lintian to check the packages.
ensure_packages dpkg-dev file help2man lintian
# For the prefix /usr, with the Python files where Debian's python3 searches
# for it, and the CMake package in lib/cmake as in the cross build's packages
# (for /usr, GNUInstallDirs picks the multiarch directory in native builds only).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DKIV_INSTALL_PYTHONDIR=lib/python3/dist-packages -DCMAKE_INSTALL_LIBDIR=lib \
    -DKIV_MAN_PAGES=ON >/dev/null
cmake --build "$build" -j 2
arch=$(debs_make "$build" "$dist")
echo "== packages in $dist"
ls -l "$dist"/libkiv*_"$arch".deb
echo "== lintian"
debs_lint "$dist" "$arch"
bash tests/packaging/check_debs.sh "$dist" "$arch"

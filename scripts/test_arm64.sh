#!/usr/bin/env bash
# Cross-builds the project for arm64 and runs the whole CTest suite inside an
# arm64 Debian root, the programs running under qemu's user-mode emulation.
# For a Debian 12 x86_64 machine, as root:
#
#   bash scripts/test_arm64.sh
#
# Steps: the host packages (the cross compiler, qemu, debootstrap, the arm64
# -dev packages, help2man and lintian), qemu's binfmt_misc registration, the
# arm64 root (made once, then reused), mounted at <root>.run with proc, /dev,
# /sys and the source, build and dist trees at their own paths; the cross
# build in build-arm64/ (its manual page of kiv made from kiv --help run by the
# root's python3) and its Debian packages in dist/, which lintian must find
# without error or warning (checked as files by tests/packaging/check_debs.sh),
# then, inside the root: the packages installed with dpkg, used and purged
# again (tests/packaging/install_debs.sh), and CTest. The mounts are undone
# however the script ends (after a kill -9, by the next run before anything
# else). Each step prints its duration; docs/developing.md has the figures.
#
# Environment:
#   KIV_ARM64_ROOT       the arm64 root (default /var/cache/kiv-arm64/bookworm)
#   KIV_ARM64_BUILD_DIR  the cross build tree (default build-arm64)
#   KIV_DIST_DIR         where the packages go (default dist)
#   KIV_ARM64_MIRROR     the Debian mirror for the root (default: the one apt uses)
#   KIV_ARM64_JOBS       parallel compile and test jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd -P)
source scripts/lib/arm64_root.sh
source scripts/lib/debs.sh
source scripts/lib/packages.sh

suite=bookworm
root=$(realpath -m "${KIV_ARM64_ROOT:-/var/cache/kiv-arm64/$suite}")
run=$root.run  # where the root is mounted, with the host's trees, for the tests
build=$(realpath -m "${KIV_ARM64_BUILD_DIR:-$repo/build-arm64}")
dist=$(realpath -m "${KIV_DIST_DIR:-$repo/dist}")
jobs=${KIV_ARM64_JOBS:-2}
toolchain=$repo/cmake/toolchains/aarch64-linux-gnu.cmake
qemu=/usr/bin/qemu-aarch64-static

# On the build machine: the cross compiler, the emulator, the root's maker,
# and the target's libraries the build links (multiarch). pybind11 and
# nlohmann-json are header-only and flatc is the build machine's: scripts/setup.sh
# installs those with the native build's packages. help2man makes the manual
# pages, lintian checks the packages.
HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static debootstrap
               libpython3.11-dev:arm64 libflatbuffers-dev:arm64 libgtest-dev:arm64 help2man lintian)
# In the root: what the tests run (the Python suite, the install test that
# builds a native program against the installed package), and what kiv serve
# runs on and its tests use (gRPC, aiohttp, prometheus-client, curl, nginx).
ROOT_PACKAGES=(python3-numpy python3-pytest cmake ninja-build g++ python3.11-dev
               libflatbuffers-dev nlohmann-json3-dev python3-grpcio python3-protobuf python3-aiohttp
               python3-prometheus-client curl nginx)

die() {
    echo "test_arm64: $*" >&2
    exit 1
}

timings=()
step_name=""
step_start=0
step() {
    step_done
    step_name=$1
    step_start=$SECONDS
    echo "== $step_name"
}
step_done() {
    [ -n "$step_name" ] || return 0
    local took=$((SECONDS - step_start))
    timings+=("$(printf '%-34s %3dm%02ds' "$step_name" $((took / 60)) $((took % 60)))")
    echo "-- $step_name: ${took}s"
    step_name=""
}

install_host_packages() {
    bash scripts/setup.sh
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "adding the arm64 architecture to dpkg"
        dpkg --add-architecture arm64
    fi
    # The arm64 libraries must be the very versions of their amd64 twins, so
    # apt may upgrade some of the machine's packages (python3.11, libssl3...).
    ensure_packages "${HOST_PACKAGES[@]}" || die "installing ${HOST_PACKAGES[*]} failed"
}

# Lets the kernel start arm64 programs through qemu: the tests start arm64
# children of their own, and the root's programs run under chroot.
register_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc conf=/usr/lib/binfmt.d/qemu-aarch64.conf
    if [ ! -e "$dir/register" ]; then
        mount -t binfmt_misc binfmt_misc "$dir" || die "cannot mount binfmt_misc on $dir"
    fi
    if [ ! -e "$dir/qemu-aarch64" ]; then
        [ -f "$conf" ] || die "$conf is missing (package qemu-user-static)"
        grep -v '^#' "$conf" | grep -m1 . >"$dir/register" || die "registering $conf with binfmt_misc failed"
        echo "registered qemu-aarch64 with binfmt_misc"
    elif ! grep -qx enabled "$dir/qemu-aarch64"; then
        echo 1 >"$dir/qemu-aarch64" || die "cannot enable $dir/qemu-aarch64"
        echo "enabled qemu-aarch64 in binfmt_misc"
    else
        echo "qemu-aarch64 already registered with binfmt_misc"
    fi
    sed -n 's/^\(interpreter\|flags\)/   \1/p' "$dir/qemu-aarch64"
}

# The interpreter binfmt_misc names, and the emulator the CTest files name,
# must exist inside the root too (unless the registration holds the
# interpreter open, flag F, which covers the first only).
install_emulators() {
    local interpreter target
    interpreter=$(sed -n 's/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-aarch64)
    for target in "$interpreter" "$qemu"; do
        [ -x "$target" ] || die "$target is missing"
        if ! cmp -s "$target" "$root$target"; then
            install -D -m 755 "$target" "$root$target"
        fi
    done
}

prepare_root() {
    local stamp="$suite arm64 minbase ${ROOT_PACKAGES[*]}"
    if arm64_root_complete "$root" "$stamp"; then
        echo "reusing $root ($(du -sh --one-file-system "$root" | cut -f1))"
        return 0
    fi
    local partial=$root.partial log=$root.debootstrap.log mirror
    # A root of another package list, or the leftovers of an interrupted run.
    arm64_discard "$partial" || die "cannot remove $partial"
    arm64_discard "$root" || die "cannot remove $root"
    mirror=${KIV_ARM64_MIRROR:-$(arm64_mirror "$suite")}
    echo "debootstrap $suite arm64 from $mirror into $partial (log: $log)"
    if ! debootstrap --arch=arm64 --variant=minbase --include="$(IFS=,; echo "${ROOT_PACKAGES[*]}")" \
            "$suite" "$partial" "$mirror" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        die "debootstrap failed (log: $log)"
    fi
    rm -f "$partial"/var/cache/apt/archives/*.deb
    echo "$stamp" >"$partial/$ARM64_MARKER"
    mv "$partial" "$root"
    echo "made $root ($(du -sh --one-file-system "$root" | cut -f1))"
}

cross_build() {
    if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain" "$build/CMakeCache.txt"; then
        die "$build was configured without $toolchain; remove it or set KIV_ARM64_BUILD_DIR"
    fi
    local log=$build/build.log
    mkdir -p "$build"
    # The tree the packages are made from: for the prefix /usr, with the
    # Python files where Debian's python3 searches for it, and the manual
    # pages. kiv --help, for kiv(1), runs on the arm64 module, so in the
    # mounted root, where the build tree is at its own path.
    if ! cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_BENCH=OFF \
            -DCMAKE_INSTALL_PREFIX=/usr -DKIV_INSTALL_PYTHONDIR=lib/python3/dist-packages \
            -DKIV_MAN_PAGES=ON -DKIV_MAN_PYTHON="chroot;$run;/usr/bin/python3" >"$log" 2>&1; then
        cat "$log" >&2
        die "configuring $build failed"
    fi
    if ! cmake --build "$build" -j "$jobs" >>"$log" 2>&1; then
        grep -B2 -A20 -m5 "FAILED\|error:" "$log" >&2 || tail -n 40 "$log" >&2
        die "cross build failed (log: $log)"
    fi
    local warnings
    warnings=$(grep -c "warning:" "$log" || true)
    echo "built $build ($warnings compiler warnings; log: $log)"
    [ "$warnings" -eq 0 ] || grep "warning:" "$log" | sort -u | head -n 20
    readelf -h "$build/libkiv.so" | grep -q "Machine:.*AArch64" || die "$build/libkiv.so is not an arm64 library"
}

make_packages() {
    local arch
    arch=$(debs_make "$build" "$dist") || die "making the packages failed"
    [ "$arch" = arm64 ] || die "the packages of $build are for $arch, not arm64"
    ls "$dist"/libkiv*_arm64.deb
    debs_lint "$dist" arm64 || die "lintian finds fault with the arm64 packages"
    bash tests/packaging/check_debs.sh "$dist" arm64 || die "the arm64 packages do not hold what they should"
}

# in_root COMMAND...: runs COMMAND in the mounted root with a clean environment.
in_root() {
    chroot "$run" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

[ "$(id -u)" -eq 0 ] || die "run as root: it installs packages, makes the arm64 root, mounts and chroots"
[ "$(dpkg --print-architecture)" = amd64 ] || die "made for an x86_64 Debian machine, this one is $(dpkg --print-architecture)"

# One run at a time per root: another would find it half made, or lose its
# mounts to this run's clean-up.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
if ! flock -n 9; then
    echo "waiting for another run that uses $root"
    flock 9
fi
arm64_cleanup_on_exit "$run" "$root.partial"
# Mounts of an earlier run that was killed outright.
arm64_unmount_under "$run" self || die "cannot unmount what an earlier run left at $run"

step "host packages"
install_host_packages
register_binfmt
step "arm64 root"
prepare_root
install_emulators
mkdir -p "$build" "$dist"
arm64_mount_for_tests "$root" "$run" "$repo" "$build" "$dist"
step "cross build"
cross_build
step "arm64 packages"
make_packages
step "python lookup check"
bash tests/cmake/python_lookup_check.sh "$toolchain"
# The packages first: the check removes any an interrupted run left installed,
# so that the tests never meet them, and purges its own again.
step "packages in the arm64 root"
packages_status=0
in_root bash "$repo/tests/packaging/install_debs.sh" "$dist" arm64 || packages_status=$?
step "tests in the arm64 root"
bash scripts/fetch_data.sh
status=0
in_root ctest --test-dir "$build" --output-on-failure -j "$jobs" || status=$?
step_done
arm64_unmount_under "$run" self || die "could not unmount everything at $run"

echo "== timings"
printf '   %s\n' "${timings[@]}"
[ "$packages_status" -eq 0 ] || die "the arm64 packages failed in the arm64 root (status $packages_status)"
[ "$status" -eq 0 ] || die "tests failed in the arm64 root (status $status)"
echo "test_arm64: the arm64 packages install and work; all tests passed on arm64 (packages in $dist)"

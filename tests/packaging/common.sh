# shellcheck shell=bash
# What check_debs.sh and install_debs.sh share: finding the packages, and
# using them where they lie, installed (ROOT=/) or extracted into ROOT, with
# WORK a scratch directory. Sourced, not run.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
source_dir=$(cd "$here/../.." && pwd -P)
pydir=usr/lib/python3/dist-packages
python=/usr/bin/python3
packages=(libkiv libkiv-dev libkiv-standin libkiv-serve)

step() { echo "== $*"; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# find_debs DIST ARCH: deb[NAME], the one file of each package for ARCH.
declare -A deb
find_debs() {
    local name found
    for name in "${packages[@]}"; do
        found=("$1/$name"_*_"$2".deb)
        [ -f "${found[0]}" ] || fail "no ${name}_*_$2.deb in $1"
        [ ${#found[@]} -eq 1 ] || fail "several $name packages for $2 in $1: ${found[*]}"
        deb[$name]=${found[0]}
    done
}

# debs_from_arguments DIST ARCH: the scripts' own arguments, checked, then
# find_debs on them.
debs_from_arguments() {
    if [ $# -ne 2 ]; then
        echo "usage: $0 <directory of the .deb files> <architecture>" >&2
        exit 2
    fi
    find_debs "$(realpath "$1")" "$2"
}

# use_debs_python runtime|standin|serve: tests/packaging/use_packages.py from a clean
# environment. Installed, Python finds the packages by itself; extracted,
# PYTHONPATH names their site directory.
use_debs_python() {
    local site=${ROOT%/}/$pydir env=(env -i PATH=/usr/bin:/bin HOME="$WORK" LANG=C.UTF-8)
    [ "$ROOT" = / ] || env+=(PYTHONPATH="$site")
    # -P: the script's own directory stays off the path; WORK, the working
    # directory, holds no module.
    (cd "$WORK" && "${env[@]}" "$python" -P "$here/use_packages.py" "$site" "${ROOT%/}/usr/bin/zor" "$1") ||
        fail "using the packages ($1)"
}

# use_debs_native: builds examples/native_consumer against libkiv-dev's CMake
# package, which must link the packaged libkiv.so, and runs it.
use_debs_native() {
    local build=$WORK/consumer log=$WORK/consumer.log args=()
    [ "$ROOT" = / ] || args=(-DCMAKE_PREFIX_PATH="$ROOT/usr")
    if ! env -u CMAKE_PREFIX_PATH cmake -S "$source_dir/examples/native_consumer" -B "$build" -G Ninja \
            "${args[@]}" >"$log" 2>&1 || ! cmake --build "$build" >>"$log" 2>&1; then
        cat "$log"
        fail "building the native consumer"
    fi
    grep -qF "${ROOT%/}/$pydir/libkiv.so" "$build/build.ninja" || fail "the consumer does not link the packaged libkiv.so"
    mkdir -p "$WORK/run"
    env -i PATH=/usr/bin:/bin "$build/kiv_consumer" "$WORK/run" >"$log" 2>&1 || { cat "$log"; fail "running the consumer"; }
    grep -q "container round trip ok" "$log" || { cat "$log"; fail "consumer output"; }
    echo "native consumer built against libkiv-dev and ran"
}

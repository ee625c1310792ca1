# shellcheck shell=bash
# Makes the Debian packages of a configured and built tree (cmake/packaging.cmake)
# with cpack, and gathers them in one directory. Sourced by scripts/package.sh
# and scripts/test_arm64.sh, not run.

# debs_make BUILD DIST: runs cpack in BUILD and moves the packages into DIST,
# where they replace any earlier libkiv packages of the same architecture.
# Prints the architecture.
debs_make() {
    local build=$1 dist=$2 out log deb arch=""
    out=$build/packages
    log=$build/cpack.log
    # cpack's staging tree, inside the build tree: plain files only.
    rm -rf --one-file-system "$out"
    if ! cpack --config "$build/CPackConfig.cmake" -B "$out" >"$log" 2>&1; then
        cat "$log" >&2
        echo "debs: cpack failed in $build (log: $log)" >&2
        return 1
    fi
    mkdir -p "$dist"
    for deb in "$out"/*.deb; do
        arch=$(dpkg-deb -f "$deb" Architecture)
        rm -f "$dist"/libkiv*_"$arch".deb
    done
    [ -n "$arch" ] || { echo "debs: cpack made no package in $out" >&2; return 1; }
    mv "$out"/*.deb "$dist"/
    echo "$arch"
}

# debs_lint DIST ARCH: Debian's own checker, lintian, on the libkiv packages
# of ARCH in DIST. Fails on any error or warning it reports; an override needs
# a comment that gives its reason. Its complaint about running as root is
# dropped: it checks files only.
debs_lint() {
    local debs=("$1"/libkiv*_"$2".deb) out status=0
    [ -f "${debs[0]}" ] || { echo "debs: no $2 packages in $1" >&2; return 1; }
    out=$(lintian --fail-on error,warning "${debs[@]}" 2>&1) || status=$?
    out=$(grep -vx "running with root privileges is not recommended!" <<<"$out" || true)
    if [ "$status" -ne 0 ] || [ -n "$out" ]; then
        echo "$out"
        echo "debs: lintian finds fault with the $2 packages (status $status)" >&2
        return 1
    fi
    echo "lintian: no errors or warnings on ${#debs[@]} $2 packages"
}

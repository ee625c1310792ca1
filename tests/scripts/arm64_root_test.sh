#!/usr/bin/env bash
# Checks the helpers of scripts/test_arm64.sh (scripts/lib/arm64_root.sh): the
# mirror taken from apt's sources, the finished-root marker, and the mounts,
# which must be undone on every way out and must never let a removal reach
# through them. The mount checks run as root in a private mount namespace,
# so the machine's own mounts are neither seen nor touched, and with decoys
# over /dev and /sys there: a faulty helper that removes through its mounts
# removes decoys, never the machine's device nodes. Exit 77: skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)
lib=$here/../../scripts/lib/arm64_root.sh

if [ -z "${ARM64_TEST_WORK:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount --propagation private true 2>/dev/null; then
        echo "SKIP: needs root and unshare --mount"
        exit 77
    fi
    work=$(mktemp -d)
    status=0
    unshare --mount --propagation private env ARM64_TEST_WORK="$work" bash "$0" "$@" || status=$?
    # The namespace's mounts ended with its processes; none may show here.
    if grep -q " $work/" /proc/self/mountinfo; then
        echo "FAIL: mounts below $work outside the private namespace" >&2
        exit 1
    fi
    rm -rf --one-file-system "$work"
    exit "$status"
fi

work=$ARM64_TEST_WORK
# Mounts below $work, read from the kernel, not with the helpers under test.
mounts_below_work() { awk -v dir="$work/" 'index($5, dir) == 1' /proc/self/mountinfo; }
# Removes a directory of the test only when nothing is mounted below it.
safe_remove() {
    if [ -n "$(mounts_below_work | awk -v dir="$1" 'index($5, dir) == 1')" ]; then
        echo "test: something is still mounted below $1; not removing it" >&2
        exit 1
    fi
    rm -rf --one-file-system "$1"
}
# The decoys: a tmpfs /dev holding bind mounts of the few nodes the test's
# own commands use (a removal fails on those), and an empty /sys.
mkdir -p "$work/decoy"
mount -t tmpfs decoy "$work/decoy"
mkdir "$work/decoy/dev" "$work/decoy/sys"
for node in null zero urandom; do
    touch "$work/decoy/dev/$node"
    mount --bind "/dev/$node" "$work/decoy/dev/$node"
done
ln -s /proc/self/fd "$work/decoy/dev/fd"
mount --bind "$work/decoy/dev" /dev
mount --bind "$work/decoy/sys" /sys

# shellcheck source=../../scripts/lib/arm64_root.sh
source "$lib"
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}
equals() { [ "$1" = "$2" ] || { echo "     got '$1', expected '$2'"; return 1; }; }

# --- the mirror
cat >"$work/debian.sources" <<'EOF'
Types: deb
# http://snapshot.example/archive/debian-security/20250520T000000Z
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main

Types: deb-src
URIs: http://sources.example/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://mirror.example/debian http://second.example/debian
Suites: bookworm bookworm-updates
Components: main
EOF
cat >"$work/sources.list" <<'EOF'
# deb http://commented.example/debian bookworm main
deb-src http://sources.example/debian bookworm main
deb [arch=amd64 signed-by=/k.gpg] http://listed.example/debian bookworm main
EOF
check "deb822: the first deb URI of the suite" \
    equals "$(arm64_mirror bookworm "$work/debian.sources")" http://mirror.example/debian
check "one-line list: options skipped, comments and deb-src ignored" \
    equals "$(arm64_mirror bookworm "$work/sources.list")" http://listed.example/debian
check "a missing file is passed over" \
    equals "$(arm64_mirror bookworm "$work/absent.sources" "$work/sources.list")" http://listed.example/debian
check "no source for the suite: Debian's mirror" \
    equals "$(arm64_mirror trixie "$work/debian.sources" "$work/sources.list")" http://deb.debian.org/debian

# --- the marker
mkdir "$work/made"
check "no marker: not finished" bash -c "! (source '$lib'; arm64_root_complete '$work/made' 'stamp a')"
echo "stamp b" >"$work/made/$ARM64_MARKER"
check "marker of another package list: not finished" \
    bash -c "! (source '$lib'; arm64_root_complete '$work/made' 'stamp a')"
echo "stamp a" >"$work/made/$ARM64_MARKER"
check "marker of this package list: finished" arm64_root_complete "$work/made" "stamp a"

# --- mounts
# A root, where the script mounts it, and a source tree; "src dir" checks
# the unescaping of mountinfo's paths.
root=$work/root
run=$work/run
new_root() {
    safe_remove "$root"
    mkdir -p "$root/proc" "$root/dev" "$root/sys" "$root/etc"
    echo arm64 >"$root/etc/which-root"
}
mkdir -p "$work/src dir" && echo keep >"$work/src dir/keep.txt"
src="$work/src dir"
mounted_count() { arm64_mounts_under "$run" self | wc -l; }

new_root
arm64_mount_for_tests "$root" "$run" "$src" "$src/build"
check "the root, proc, /dev, /sys and the source tree (its build dir inside) are mounted" \
    equals "$(mounted_count)" 5
check "the root is a mount point of its own" mountpoint -q "$run"
check "the root's files are there" equals "$(cat "$run/etc/which-root")" arm64
check "the source tree is visible at its own path" test -f "$run$src/keep.txt"
check "deepest first" equals "$(arm64_mounts_under "$run" self | head -n 1)" "$run$src"
check "the root itself last" equals "$(arm64_mounts_under "$run" self | tail -n 1)" "$run"
check "without self, the root's own mount is not listed" equals "$(arm64_mounts_under "$run" | grep -cx "$run")" 0
check "unmounting leaves nothing" arm64_unmount_under "$run" self
check "nothing mounted afterwards" equals "$(mounted_count)" 0

# The clean-up on exit: a failing command under set -e, and TERM.
for ending in "false" "kill -TERM \$\$; sleep 5"; do
    status=0
    bash -c "set -euo pipefail; source '$lib'; arm64_cleanup_on_exit '$run'
             arm64_mount_for_tests '$root' '$run' '$src'; [ \$(arm64_mounts_under '$run' self | wc -l) -eq 5 ]
             $ending; echo 'not reached'" || status=$?
    check "'$ending': the run fails" test "$status" -ne 0
    check "'$ending': its mounts are gone" equals "$(mounted_count)" 0
done
check "TERM ends with status 143" equals "$status" 143

# Mounts left in a half-made root (debootstrap mounts proc and /sys in it; a
# run killed outright leaves them): removing it must not reach through them.
mkdir -p "$work/partial/proc" "$work/partial$src"
mount -t proc proc "$work/partial/proc"
mount --bind "$src" "$work/partial$src"
check "discarding a root with mounts inside" arm64_discard "$work/partial"
check "the root is gone" test ! -e "$work/partial"
check "the source tree behind its bind mount is untouched" test -f "$src/keep.txt"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]

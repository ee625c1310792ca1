# shellcheck shell=bash
# Helpers of scripts/test_arm64.sh for the arm64 Debian root it runs the tests
# in: where its packages come from, whether a cached root is finished, and the
# mounts that make the host's trees visible inside it. Sourced, not run.
# tests/scripts/arm64_root_test.sh checks them.

# Written into a root once it is finished; holds what it was made from.
ARM64_MARKER=.kiv-root-complete

# arm64_mirror SUITE [FILE...]: the first archive URI that apt's sources (the
# given files, else the machine's own) use for SUITE; Debian's main mirror if
# none does. Reads the deb822 (.sources) and one-line (.list) formats.
arm64_mirror() {
    local suite=$1 file uri
    shift
    local files=("$@")
    if [ ${#files[@]} -eq 0 ]; then
        files=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
    fi
    for file in "${files[@]}"; do
        [ -f "$file" ] || continue
        case "$file" in
            *.sources)
                uri=$(awk -v suite="$suite" '
                    function flush() {
                        if (!found && types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uri != "") {
                            print uri
                            found = 1
                        }
                        types = suites = uri = ""
                    }
                    /^[ \t]*$/ { flush(); next }
                    /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
                    /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
                    /^URIs:/ { sub(/^URIs:[ \t]*/, ""); split($0, all, /[ \t]+/); uri = all[1] }
                    END { flush() }' "$file")
                ;;
            *)
                uri=$(awk -v suite="$suite" '
                    $1 == "deb" {
                        sub(/^deb[ \t]+(\[[^]]*\][ \t]+)?/, "")
                        if ($2 == suite) { print $1; exit }
                    }' "$file")
                ;;
        esac
        if [ -n "$uri" ]; then
            echo "$uri"
            return 0
        fi
    done
    echo "http://deb.debian.org/debian"
}

# arm64_root_complete ROOT STAMP: true when ROOT is a finished root made from
# STAMP. A root that a run left half made has no marker.
arm64_root_complete() {
    [ -f "$1/$ARM64_MARKER" ] && [ "$(cat "$1/$ARM64_MARKER")" = "$2" ]
}

# arm64_mounts_under DIR [self]: the mount points below DIR, and with "self"
# DIR's own too, deepest first, one per mount (stacked mounts repeat their
# path).
arm64_mounts_under() {
    local dir mount_point with_self=${2:-}
    dir=$(realpath -m "$1")
    awk '{ print $5 }' /proc/self/mountinfo | while IFS= read -r mount_point; do
        # mountinfo writes a space as \040, a tab as \011, and so on.
        mount_point=$(printf '%b' "$mount_point")
        if [ "${mount_point#"$dir"/}" != "$mount_point" ] || { [ -n "$with_self" ] && [ "$mount_point" = "$dir" ]; }; then
            printf '%s\n' "$mount_point"
        fi
    done | awk -F/ '{ print NF "\t" $0 }' | sort -s -t "$(printf '\t')" -k1,1nr | cut -f2-
}

# arm64_unmount_under DIR [self]: unmounts everything below DIR (and DIR's own
# mounts with "self"), detaching lazily what is still busy; fails, naming
# them, if mounts remain.
arm64_unmount_under() {
    local mount_point left
    while IFS= read -r mount_point; do
        umount "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null || true
    done < <(arm64_mounts_under "$@")
    left=$(arm64_mounts_under "$@")
    if [ -n "$left" ]; then
        echo "still mounted below $1:" >&2
        echo "$left" >&2
        return 1
    fi
}

# arm64_discard DIR: removes DIR. Anything mounted below it is unmounted
# first, so that the removal never reaches through a bind mount left by a run
# that was killed outright (the host's /dev, the source tree).
arm64_discard() {
    [ -e "$1" ] || return 0
    arm64_unmount_under "$1" || return 1
    rm -rf --one-file-system "$1"
}

# arm64_mount_for_tests ROOT RUN DIR...: ROOT at RUN, and inside it the
# kernel's proc, the host's /dev and /sys, and each DIR at its own path (a DIR
# inside an earlier one is visible already); chroot RUN then enters it. RUN is
# a mount point of its own so that programs inside may make their root's
# mounts private (unshare --mount does, and refuses a root that is a plain
# directory), and everything is undone by unmounting RUN and all below it.
arm64_mount_for_tests() {
    local root=$1 run=$2 dir done_dir
    shift 2
    mkdir -p "$run"
    mount --bind "$root" "$run"
    mount -t proc proc "$run/proc"
    mount --bind /dev "$run/dev"
    mount --bind /sys "$run/sys"
    local bound=()
    for dir in "$@"; do
        for done_dir in "${bound[@]}"; do
            [ "${dir#"$done_dir"/}" = "$dir" ] || continue 2
        done
        mkdir -p "$run$dir"
        mount --bind "$dir" "$run$dir"
        bound+=("$dir")
    done
}

# arm64_cleanup_on_exit DIR...: from now on, however the shell ends (normal
# exit, failure under set -e, Ctrl-C, TERM), everything mounted at or below
# each DIR is unmounted. The exit status is kept; a failed unmount makes it
# non-zero.
arm64_cleanup_on_exit() {
    ARM64_CLEANUP_DIRS=("$@")
    trap arm64_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

arm64_cleanup() {
    local status=$? dir
    trap - INT TERM
    for dir in "${ARM64_CLEANUP_DIRS[@]}"; do
        if ! arm64_unmount_under "$dir" self; then
            echo "test_arm64: could not unmount everything below $dir" >&2
            [ "$status" -ne 0 ] || status=1
        fi
    done
    exit "$status"
}

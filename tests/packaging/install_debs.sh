#!/usr/bin/env bash
# Installs the Debian packages of this system's architecture with dpkg, uses
# them from /usr, and purges them again, leaving nothing behind. For a
# throwaway Debian root, as root (scripts/test_arm64.sh runs it in its arm64
# root; check_debs.sh checks the packages as files first):
#
#   install_debs.sh DIST ARCH
#
# dpkg -i runs twice, the second time over the installed packages as an
# upgrade in place does. The packages go again however this ends; ones a run
# killed outright left behind, even half installed, go first.
set -euo pipefail
source "$(dirname "$0")/common.sh"
debs_from_arguments "$@"
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs packages"
[ "$(dpkg --print-architecture)" = "$2" ] || fail "this is a $(dpkg --print-architecture) system, the packages are for $2"
ROOT=/
WORK=$(mktemp -d)
log=$WORK/dpkg.log

purge() { dpkg --purge libkiv-serve libkiv-standin libkiv-dev libkiv >"$log" 2>&1; }
finish() {
    purge || dpkg --purge --force-depends --force-remove-reinstreq libkiv-serve libkiv-standin libkiv-dev libkiv \
        >/dev/null 2>&1 || true
    rm -rf --one-file-system "$WORK"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# dpkg stopped halfway finishes its work first.
dpkg --configure -a >"$log" 2>&1 || { cat "$log"; fail "dpkg --configure -a"; }
purge || { cat "$log"; fail "removing the packages an earlier run left"; }

step "dpkg -i, then again over the installed packages"
for pass in install reinstall; do
    dpkg -i "${deb[libkiv]}" "${deb[libkiv-dev]}" "${deb[libkiv-standin]}" "${deb[libkiv-serve]}" >"$log" 2>&1 ||
        { cat "$log"; fail "dpkg -i ($pass)"; }
    for name in "${packages[@]}"; do
        [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$name")" = "ii " ] || fail "$name is not installed after the $pass"
    done
    echo "   $pass: ok"
done
for dir in kiv kiv/standin kiv/serve; do
    ls "/$pydir/$dir/__pycache__/"*.pyc >/dev/null 2>&1 || fail "the modules of $dir were not compiled on installation"
done
# Installed, never enabled: no package turns the server on.
if ls /etc/systemd/system/*.wants/kiv-serve.service >/dev/null 2>&1; then fail "kiv-serve.service is enabled"; fi

step "use them from /usr"
use_debs_python standin
use_debs_python serve
use_debs_native

step "dpkg --purge"
purge || { cat "$log"; fail "dpkg --purge"; }
for name in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null || true)
    [ -z "$status" ] || [ "$status" = "un " ] || fail "$name is in state '$status' after --purge"
done
for left in "/$pydir/kiv" "/$pydir/kiv_serve_protocol" "/$pydir/libkiv.so" /usr/bin/zor /usr/include/kiv \
    /usr/lib/systemd/system/kiv-serve.service; do
    [ ! -e "$left" ] || fail "$left is left after --purge"
done
echo "install_debs: the $2 packages install, work and go away cleanly"

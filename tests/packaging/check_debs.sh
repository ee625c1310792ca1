#!/usr/bin/env bash
# Checks the Debian packages of one architecture, libkiv, libkiv-dev,
# libkiv-standin and libkiv-serve, as files:
#
#   check_debs.sh DIST ARCH
#
# their control fields and declared dependencies, which files each holds
# (the stand-in only in its own package, headers and the CMake package only in
# -dev), and the documents Debian asks of each: the copyright as in debian/,
# a Debian changelog whose newest entry is the package's version, and manual
# pages made from this version's commands. For this machine's architecture, the packages are then extracted
# (dpkg -x) into a fresh root and used from there with a clean environment:
# libkiv and kiv import from the root and nowhere else; no stand-in without
# its package; with it, the tiny model kiv example writes runs; with
# libkiv-serve, kiv serve serves it over gRPC and HTTP; a native program
# builds against libkiv-dev. install_debs.sh installs them with dpkg
# in a throwaway root, where dpkg itself checks that the dependencies are met.
set -euo pipefail
source "$(dirname "$0")/common.sh"
debs_from_arguments "$@"
arch=$2

WORK=$(mktemp -d)
# The extracted root holds plain files only: nothing is ever mounted below.
trap 'rm -rf --one-file-system "$WORK"' EXIT

# Outputs are kept in variables before grep reads them: with pipefail, a
# "dpkg-deb | grep -q" that stops reading early fails by SIGPIPE.
field() { dpkg-deb -f "${deb[$1]}" "$2"; }
depends() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//'; }
# The files and links of a package, without the leading ./
contents() { dpkg-deb -c "${deb[$1]}" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||'; }
# member PACKAGE PATH: the content of one file of the package.
member() { dpkg-deb --fsys-tarfile "${deb[$1]}" | tar -xO "./$2"; }

step "control fields"
version=$(field libkiv Version)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+-[0-9]+$ ]] || fail "libkiv version '$version'"
source_version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$source_dir/python/kiv/_version.py")
[ "${version%-*}" = "$source_version" ] || fail "the packages are version $version, the sources $source_version"
for name in "${packages[@]}"; do
    for pair in "Package=$name" "Architecture=$arch" "Version=$version" "Source=libkiv"; do
        value=$(field "$name" "${pair%%=*}")
        [ "$value" = "${pair#*=}" ] || fail "$name: ${pair%%=*} is '$value', not '${pair#*=}'"
    done
    for required in Maintainer Description Section; do
        [ -n "$(field "$name" "$required")" ] || fail "$name: no $required"
    done
    echo "   $name $version $arch: $(field "$name" Depends)"
done

step "declared dependencies"
py_minor=$("$python" -c 'import sys; print(sys.version_info[1])')
want() {  # want PACKAGE DEPENDENCY: PACKAGE declares exactly this dependency
    grep -qxF "$2" <<<"$(depends "$1")" || fail "$1 does not depend on '$2': $(field "$1" Depends)"
}
want libkiv "python3 (>= 3.$py_minor~)"
want libkiv "python3 (<< 3.$((py_minor + 1)))"
want libkiv python3-numpy
for lib in libflatbuffers2 libstdc++6 libc6; do
    grep -q "^$lib\( \|$\)" <<<"$(depends libkiv)" || fail "libkiv does not depend on $lib: $(field libkiv Depends)"
done
want libkiv-dev "libkiv (= $version)"
want libkiv-dev "libpython3.$py_minor-dev"
want libkiv-standin "libkiv (= $version)"
want libkiv-standin python3
want libkiv-serve "libkiv (= $version)"
want libkiv-serve "python3 (>= 3.$py_minor~)"
for module in grpcio protobuf aiohttp prometheus-client; do
    want libkiv-serve "python3-$module"
done
for name in "${packages[@]}"; do
    # The cross toolchain's copies of libc and libstdc++ exist on no device.
    if grep -q -- '-cross\b' <<<"$(depends "$name")"; then fail "$name depends on a cross toolchain package"; fi
done

step "files of each package"
runtime_files=$(contents libkiv)
for f in "$pydir/libkiv.so" "$pydir/libkiv.pyi" "$pydir/libkiv-stubs/__init__.pyi" usr/bin/kiv usr/bin/zor \
    usr/share/man/man1/kiv.1.gz usr/share/man/man1/zor.1.gz; do
    grep -qxF "$f" <<<"$runtime_files" || fail "libkiv lacks $f"
done
# Every file of the kiv package (modules, the typing marker, ...).
while IFS= read -r file; do
    grep -qxF "$pydir/kiv/$file" <<<"$runtime_files" || fail "libkiv lacks kiv/$file"
done < <(cd "$source_dir/python/kiv" && find . -type f ! -path '*/__pycache__/*' ! -name '*.pyc' ! -path './serve/*' \
         ! -path './standin/*' | sed 's|^\./||')
if grep -q "^$pydir/kiv/serve/" <<<"$runtime_files"; then fail "libkiv holds the server, kiv.serve"; fi
docs="usr/share/doc/[a-z-]+/(copyright|changelog\.Debian\.gz|changelog\.gz)"
stray=$(grep -vE "^($pydir/(libkiv\.so|libkiv\.pyi|libkiv-stubs/__init__\.pyi|kiv/.+)|usr/bin/[a-z0-9_-]+|$docs|usr/share/man/man1/[a-z0-9_-]+\.1\.gz)$" <<<"$runtime_files" || true)
[ -z "$stray" ] || fail "libkiv holds files that are not the runtime's: $stray"
if grep -q "libaipudrv\|__pycache__\|/kiv/standin/" <<<"$runtime_files"; then
    fail "libkiv holds the stand-in or bytecode"
fi

dev_files=$(contents libkiv-dev)
# Only the container classes' headers: the runtime API is internal to libkiv.so.
headers=$(grep -E "^usr/include/" <<<"$dev_files" | sort)
[ "$headers" = "$(printf '%s\n' usr/include/kiv/serialization_handler.h usr/include/kiv/zor_generated.h)" ] ||
    fail "libkiv-dev's headers are not exactly the container classes' two: $headers"
stray=$(grep -vxE "usr/include/kiv/[a-z_]+\.h|usr/lib/cmake/kiv/kivConfig(Version)?\.cmake|$docs" <<<"$dev_files" || true)
[ -z "$stray" ] || fail "libkiv-dev holds files that are not headers, the CMake package or its documents: $stray"
[ "$(grep -c . <<<"$dev_files")" -eq 7 ] || fail "libkiv-dev holds: $dev_files"

# The driver, and its Python side: every module of kiv/standin.
expected=$({ printf '%s\n' "$pydir/kiv/standin/libaipudrv.so" "$pydir/kiv/standin/libaipudrv.so.0" \
    usr/share/doc/libkiv-standin/changelog.Debian.gz usr/share/doc/libkiv-standin/changelog.gz \
    usr/share/doc/libkiv-standin/copyright
    (cd "$source_dir/python/kiv/standin" && ls -- *.py) | sed "s|^|$pydir/kiv/standin/|"; } | sort)
standin_files=$(contents libkiv-standin | sort)
[ "$standin_files" = "$expected" ] || fail "libkiv-standin holds: $standin_files"
grep -q "libaipudrv.so -> libaipudrv.so.0$" <<<"$(dpkg-deb -c "${deb[libkiv-standin]}")" ||
    fail "libkiv-standin's libaipudrv.so is not a link to libaipudrv.so.0"
# The server: every file of kiv.serve, the gRPC stubs compiled from its
# inference.proto, and the systemd unit, which no maintainer script enables
# or starts.
serve_files=$(contents libkiv-serve | sort)
expected=$( (cd "$source_dir/python/kiv/serve" && find . -type f ! -path '*/__pycache__/*' ! -name '*.pyc' |
    sed "s|^\./|$pydir/kiv/serve/|"
    printf '%s\n' "$pydir"/kiv_serve_protocol/{__init__,inference_pb2,inference_pb2_grpc}.py \
        usr/lib/systemd/system/kiv-serve.service usr/share/doc/libkiv-serve/{changelog.Debian.gz,changelog.gz,copyright}
) | sort)
[ "$serve_files" = "$expected" ] || fail "libkiv-serve holds: $serve_files"
unit=$(member libkiv-serve usr/lib/systemd/system/kiv-serve.service)
grep -qx "ExecStart=/usr/bin/kiv serve .*" <<<"$unit" || fail "kiv-serve.service does not start kiv serve"
scripts=$(dpkg-deb --ctrl-tarfile "${deb[libkiv-serve]}" | tar -xO)
if grep -q "systemctl\|deb-systemd" <<<"$scripts"; then fail "libkiv-serve's maintainer scripts touch systemd"; fi
echo "   libkiv: $(wc -l <<<"$runtime_files") files, libkiv-dev: 7, libkiv-standin: $(wc -l <<<"$standin_files"), libkiv-serve: $(wc -l <<<"$serve_files")"

step "copyright, changelogs and manual pages"
for name in "${packages[@]}"; do
    doc=usr/share/doc/$name
    [ "$(member "$name" "$doc/copyright")" = "$(cat "$source_dir/debian/copyright")" ] ||
        fail "$name: $doc/copyright differs from debian/copyright"
    newest=$(member "$name" "$doc/changelog.Debian.gz" | gzip -dc | head -n 1)
    [ "$newest" = "libkiv ($version) unstable; urgency=medium" ] ||
        fail "$name: the newest entry of changelog.Debian.gz is '$newest', the package is $version (a release missing from CHANGELOG.md?)"
    cmp -s <(member "$name" "$doc/changelog.gz" | gzip -dc) "$source_dir/CHANGELOG.md" ||
        fail "$name: $doc/changelog.gz is not CHANGELOG.md"
done
for command in kiv zor; do
    title=$(member libkiv "usr/share/man/man1/$command.1.gz" | gzip -dc | grep -m1 '^\.TH')
    grep -qF "\"$command ${version%-*}\"" <<<"$title" || fail "$command(1) is not made from this version's $command: $title"
done
want_sections() {  # want_sections COMMAND SECTION...: the command's manual page has these sections
    local page section
    page=$(member libkiv "usr/share/man/man1/$1.1.gz" | gzip -dc)
    for section in "${@:2}"; do
        grep -qxE "\.SH \"?$section\"?" <<<"$page" || fail "$1(1) has no section $section"
    done
}
want_sections kiv SYNOPSIS "EXIT STATUS" ENVIRONMENT EXAMPLES
want_sections zor SYNOPSIS "EXIT STATUS"
echo "   as in the sources, for version $version"

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    echo "check_debs: the $arch packages hold what they should (not this machine's architecture: not used here)"
    exit 0
fi

ROOT=$WORK/root
step "libkiv alone, extracted into $ROOT"
dpkg -x "${deb[libkiv]}" "$ROOT"
use_debs_python runtime
step "with libkiv-standin"
dpkg -x "${deb[libkiv-standin]}" "$ROOT"
use_debs_python standin
step "with libkiv-serve"
dpkg -x "${deb[libkiv-serve]}" "$ROOT"
use_debs_python serve
step "with libkiv-dev: a native program"
dpkg -x "${deb[libkiv-dev]}" "$ROOT"
use_debs_native
echo "check_debs: the $arch packages are sound"

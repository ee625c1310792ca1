#!/usr/bin/env bash
# Fetches the 8x8 handwritten digits data set (1797 samples, 64 pixels and a
# label per row) into data/digits.csv.gz. Debian ships it inside
# python3-sklearn; only that one file is extracted from the package, nothing is
# installed. Does nothing when the file is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

target=data/digits.csv.gz
member=./usr/lib/python3/dist-packages/sklearn/datasets/data/digits.csv.gz

if [ -s "$target" ]; then
  echo "fetch_data: $target present"
  exit 0
fi

mkdir -p data
work=$(mktemp -d)
# Run as root, apt-get downloads as the unprivileged _apt user when that user
# can write the directory (otherwise it warns and downloads as root).
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
  chown _apt "$work"
fi
trap 'rm -rf "$work"' EXIT

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# apt-get download works as any user; the package lists may be stale on a
# fresh machine, in which case one update is enough.
if ! (cd "$work" && apt-get download -qq python3-sklearn); then
  echo "fetch_data: download failed, updating the package lists once"
  $SUDO apt-get update -qq
  (cd "$work" && apt-get download -qq python3-sklearn)
fi

deb=$(ls "$work"/python3-sklearn_*.deb)
# Write to a temporary name first so that an interrupted run never leaves a
# truncated file that a later run would take as present.
dpkg-deb --fsys-tarfile "$deb" | tar -xO "$member" > "$work/digits.csv.gz"
gzip -t "$work/digits.csv.gz"
mv "$work/digits.csv.gz" "$target"
echo "fetch_data: wrote $target ($(stat -c %s "$target") bytes)"

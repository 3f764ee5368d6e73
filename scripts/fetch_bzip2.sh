#!/usr/bin/env bash
# Unpacks Debian's bzip2 source package (with Debian's patches) into $1, once.
# The Windows build compiles the library from it; nothing of it is committed.
set -euo pipefail
dest=$1
[ -f "$dest/bzlib.h" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source --download-only bzip2 >/dev/null 2>&1 || {
  echo "fetch_bzip2: 'apt-get source bzip2' failed; run scripts/setup.sh first (it adds deb-src lines)" >&2
  exit 1
}
dpkg-source --no-check -x bzip2_*.dsc src >/dev/null
mkdir -p "$(dirname "$dest")"
rm -rf "$dest"
mv src "$dest"

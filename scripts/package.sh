#!/usr/bin/env bash
# Makes the packages an author installs vantrel from, into out/ (or OUTDIR):
#   vantrel_VERSION_ARCH.deb    the release tree's `cmake --install` under /usr: bin/vantrel, the
#                               stub, the manual page and the bash completion; checked with
#                               lintian, which must report no error
#   vantrel-VERSION-win32.zip   bin/vantrel.exe and share/vantrel/vantrel_stub.exe (the same
#                               layout, so the tool finds its stub the same way), README.txt,
#                               LICENSE.txt and the licence of the bzip2 code compiled into
#                               vantrel.exe and the stub
# Usage: bash scripts/package.sh [deb|zip|all] [OUTDIR]
# It builds what it needs: the release tree's vantrel and the windows tree's stub and vantrel.exe.
# VANTREL_MAINTAINER sets the package's Maintainer (default: the author of the last commit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
case $what in
  deb|zip|all) ;;
  *) echo "package.sh: unknown package '$what' (deb, zip or all)" >&2; exit 2 ;;
esac
out=$(mkdir -p "${2:-$root/out}" && cd "${2:-$root/out}" && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
cd "$root"
bash scripts/setup.sh

# Only the targets the packages hold, so this stays quick on a tree that is already built.
build_targets() {
  local tree=$1; shift
  cmake --preset "$tree" -B "$b/$tree" >/dev/null
  cmake --build "$b/$tree" -j "$(nproc)" --target "$@" >/dev/null
}
build_targets windows vantrel_stub vantrel
[ "$what" = zip ] || build_targets release vantrel vantrel_docs

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$b/windows/CMakeCache.txt")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022

# A licence's text as the copyright file's field continues: indented, empty lines as " .".
as_copyright_text() { sed 's/[[:space:]]*$//; s/^$/./; s/^/ /'; }

make_deb() {
  local pkg=$stage/debian/vantrel arch maintainer date depends deb
  arch=$(dpkg --print-architecture)
  maintainer=${VANTREL_MAINTAINER:-$(git log -1 --format='%an <%ae>' 2>/dev/null || true)}
  [ -n "$maintainer" ] || { echo "package.sh: set VANTREL_MAINTAINER" >&2; exit 2; }
  date=$(git log -1 --format=%aD 2>/dev/null || date -R)
  DESTDIR=$pkg cmake --install "$b/release" --prefix /usr --strip >/dev/null
  gzip -9n "$pkg/usr/share/man/man1/vantrel.1"
  local doc=$pkg/usr/share/doc/vantrel
  mkdir -p "$doc"
  # A native package: its changelog is changelog.gz, in the Debian format.
  printf 'vantrel (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$version" "$version" "$maintainer" "$date" | gzip -9n >"$doc/changelog.gz"
  # The tool and the stub under the project's licence; the stub has the bzip2 library compiled
  # in (the tool uses the system's libbz2), so its stanza carries bzip2's notice and licence too.
  local bzip2_license=$b/windows/_deps/bzip2/LICENSE bzip2_copyright
  bzip2_copyright=$(tr '\n' ' ' <"$bzip2_license" | grep -o 'copyright (C) [0-9-]* [^.]*') ||
    { echo "package.sh: no copyright notice found in $bzip2_license" >&2; exit 1; }
  cat >"$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vantrel
Upstream-Contact: $maintainer

Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)
License: Expat

Files: usr/share/vantrel/vantrel_stub.exe
Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)
 ${bzip2_copyright#copyright (C) }
License: Expat and BSD-variant
Comment: The stub has the bzip2 library compiled in, from Debian's bzip2 source package.

License: Expat
$(sed -n '/^Permission/,$p' LICENSE | as_copyright_text)

License: BSD-variant
$(sed -n '/^Redistribution/,/SUCH DAMAGE/p' "$bzip2_license" | as_copyright_text)
EOF
  # dpkg-shlibdeps works in a source tree (a control file naming the package is all it reads)
  # and finds the package's root by its DEBIAN folder.
  mkdir -p "$pkg/DEBIAN"
  printf 'Source: vantrel\n\nPackage: vantrel\nArchitecture: any\n' >"$stage/debian/control"
  depends=$(cd "$stage" && dpkg-shlibdeps -O debian/vantrel/usr/bin/vantrel | sed -n 's/^shlibs:Depends=//p')
  cat >"$pkg/DEBIAN/control" <<EOF
Package: vantrel
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $depends
Suggests: osslsigncode
Section: devel
Priority: optional
Description: build self-extracting setup and update programs for Windows
 vantrel makes Vantrel installers from a package folder: the setup files, the
 version users have installed and the version the installer brings. It writes
 the patch script between the two versions, packs it with the setup files
 behind the installer stub (a 32-bit Windows program, shipped in this package)
 and checks the result by applying it to scratch copies. It also inspects
 installers and applies patch scripts to folders as the installer does.
EOF
  (cd "$pkg" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
  deb=$out/vantrel_${version}_${arch}.deb
  dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
  echo "wrote $deb"
  # lintian leaves work folders in TMPDIR: give it one that goes with the stage.
  mkdir "$stage/lintian"
  TMPDIR=$stage/lintian lintian --fail-on error --tag-display-limit 0 "$deb"
}

make_zip() {
  local dir=$stage/vantrel-$version-win32 zip
  mkdir -p "$dir/bin" "$dir/share/vantrel"
  i686-w64-mingw32-strip -o "$dir/bin/vantrel.exe" "$b/windows/cli/vantrel.exe"
  cp "$b/windows/vantrel_stub.exe" "$dir/share/vantrel/"
  # Text files with Windows line ends, so every editor there shows their lines.
  sed 's/$/\r/' README.md >"$dir/README.txt"
  sed 's/$/\r/' LICENSE >"$dir/LICENSE.txt"
  sed 's/$/\r/' "$b/windows/_deps/bzip2/LICENSE" >"$dir/bzip2-LICENSE.txt"
  zip=$out/vantrel-$version-win32.zip
  rm -f "$zip"
  (cd "$stage" && python3 -m zipfile -c "$zip" "vantrel-$version-win32")
  echo "wrote $zip"
}

case $what in
  deb) make_deb ;;
  zip) make_zip ;;
  all) make_deb; make_zip ;;
esac

#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; quick when all is present.
# Both Wine tiers' packages go in on every machine: which tier runs is found out by trying.
set -euo pipefail

need_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# clang, lld and llvm (llvm-ar, which archives link-time-optimised objects) build the stubs;
# mingw-w64 gives them headers, import libraries and libgcc, and builds the rest of the trees.
for p in cmake g++ clang libclang-rt-14-dev lld llvm libbz2-dev bzip2 googletest libgtest-dev \
         g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 \
         g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 \
         wine wine32:i386 wine64 xvfb x11-utils xdotool imagemagick dpkg-dev python3 osslsigncode openssl \
         lintian man-db strace \
         locales; do
  have_pkg "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root dpkg --add-architecture i386
  fi
  need_root apt-get update -qq
  need_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Source lines for the bzip2 source package, which the Windows build compiles itself.
src_list=/etc/apt/sources.list.d/vantrel-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  need_root tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_root apt-get update -qq
fi

# Wine takes the ANSI code page from the locale: the Japanese tests (code page 932) run with
# LC_ALL=ja_JP.UTF-8, which needs the glibc locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    need_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  elif ! grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    echo 'ja_JP.UTF-8 UTF-8' | need_root tee -a /etc/locale.gen >/dev/null
  fi
  need_root locale-gen >/dev/null
fi

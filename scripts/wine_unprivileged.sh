#!/usr/bin/env bash
# Runs a Windows test program under Wine as an unprivileged user (nobody), in a prefix of its
# own. Root may write read-only files, so a test of what Windows refuses to an ordinary user
# must run without root. When the caller is not root it simply runs the program.
set -euo pipefail
exe=${1:?usage: wine_unprivileged.sh PROGRAM.exe [ARGS...]}
shift
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
if [ "$(id -u)" -ne 0 ]; then
  export WINEPREFIX=${VANTREL_WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/wine/prefix}
  exec wine "$exe" "$@"
fi
# A home outside the build tree: the tree may sit below a folder that nobody cannot enter.
home=${TMPDIR:-/tmp}/vantrel-unprivileged
uid=65534
mkdir -p "$home"
chown "$uid:$uid" "$home"
cp "$exe" "$home/test.exe"
chown "$uid:$uid" "$home/test.exe"
as_nobody() {
  setpriv --reuid=$uid --regid=$uid --clear-groups \
    env HOME="$home" USER=nobody WINEPREFIX="$home/prefix" "$@"
}
out=$home/output.txt
rc=0
(cd "$home" && as_nobody wine "$home/test.exe" "$@" >"$out" 2>&1 </dev/null) || rc=$?
as_nobody wineserver -k >/dev/null 2>&1 || true
as_nobody wineserver -w >/dev/null 2>&1 || true
cat "$out"
exit $rc

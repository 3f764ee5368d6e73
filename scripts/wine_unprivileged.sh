#!/usr/bin/env bash
# Runs a Windows test program under Wine as an unprivileged user (nobody), in a prefix of its
# own. Root may write read-only files, so a test of what Windows refuses to an ordinary user
# must run without root. When the caller is not root it simply runs the program.
set -euo pipefail
exe=${1:?usage: wine_unprivileged.sh PROGRAM.exe [ARGS...]}
shift
# The tier's settings (VANTREL_WINE_TIER): its architecture and its Wine loader.
source "$(dirname "$0")/wine_env.sh"
if [ "$(id -u)" -ne 0 ]; then
  exec "$vt_wine_loader" "$exe" "$@"
fi
# A home outside the build tree: the tree may sit below a folder that nobody cannot enter.
home=${TMPDIR:-/tmp}/vantrel-unprivileged-$VANTREL_WINE_TIER
uid=65534
mkdir -p "$home"
chown "$uid:$uid" "$home"
cp "$exe" "$home/test.exe"
chown "$uid:$uid" "$home/test.exe"
# Wine keeps its server's folder under TMPDIR, which must be the user's own.
as_nobody() {
  setpriv --reuid=$uid --regid=$uid --clear-groups \
    env HOME="$home" USER=nobody TMPDIR="$home" WINEPREFIX="$home/prefix" "$@"
}
out=$home/output.txt
rc=0
(cd "$home" && as_nobody "$vt_wine_loader" "$home/test.exe" "$@" >"$out" 2>&1 </dev/null) || rc=$?
as_nobody wineserver -k >/dev/null 2>&1 || true
as_nobody wineserver -w >/dev/null 2>&1 || true
cat "$out"
exit $rc

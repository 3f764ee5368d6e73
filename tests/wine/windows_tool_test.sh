#!/usr/bin/env bash
# The Windows build of vantrel under Wine against the native one: the same package gives the
# same installer and the same script byte for byte, apply rebuilds NEW, and bad input and wrong
# usage get the documented exit codes.
# Usage: windows_tool_test.sh VANTREL_EXE NATIVE_VANTREL STUB SAMPLE_PACKAGE WORK_DIR
set -uo pipefail
win_tool=$1 native=$2 stub=$3 package=$4 work=$5
run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine_run.sh
failures=0
check() {  # check DESCRIPTION EXPECTED_STATUS ACTUAL_STATUS
  if [ "$2" != "$3" ]; then echo "FAIL: $1: exit status $3, expected $2"; failures=$((failures + 1));
  else echo "ok: $1"; fi
}
w() { winepath -w "$1"; }
wintool() { "$run" "$win_tool" "$@" >>"$work/wine-output.txt" 2>&1; }

rm -rf "$work" && mkdir -p "$work"
"$native" build "$package" --stub "$stub" -o "$work/native.exe" >/dev/null
"$native" diff "$package/old" "$package/new" -o "$work/native.dat" >/dev/null 2>&1

wintool build "$(w "$package")" --stub "$(w "$stub")" -o "$(w "$work/windows.exe")"
check "build" 0 $?
cmp -s "$work/native.exe" "$work/windows.exe"; check "build: same installer as the native tool" 0 $?
wintool inspect "$(w "$work/windows.exe")"; check "inspect" 0 $?
wintool verify "$(w "$work/windows.exe")" "$(w "$package/old")" "$(w "$package/new")"
check "verify" 0 $?
wintool diff "$(w "$package/old")" "$(w "$package/new")" -o "$(w "$work/windows.dat")"
check "diff" 0 $?
cmp -s "$work/native.dat" "$work/windows.dat"; check "diff: same script as the native tool" 0 $?

cp -r "$package/old" "$work/dest"
wintool apply "$(w "$work/windows.dat")" "$(w "$work/dest")"; check "apply" 0 $?
rm -f "$work/dest/Vantrel.log"
diff -r "$package/new" "$work/dest" >/dev/null; check "apply: the folder equals NEW" 0 $?

head -c 36000 "$work/windows.exe" >"$work/cut.exe"
wintool inspect "$(w "$work/cut.exe")"; check "inspect of a cut installer" 1 $?
wintool frobnicate; check "an unknown command" 2 $?

if [ $failures -ne 0 ]; then echo "--- output of the Windows tool"; cat "$work/wine-output.txt"; fi
exit $((failures != 0))

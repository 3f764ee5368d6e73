#!/usr/bin/env bash
# The Windows build of vantrel under Wine with folder links in the destination: an entry whose
# folder is a link, or whose own name is one (Wine shows a Unix symbolic link to a folder as a
# reparse point, as Windows shows a junction), is refused and counted as skipped, and nothing
# outside the destination changes. Wine shows a link to a file as a plain file, so only folder
# links can be shown here. Hard links to outside files (the log, an updated read-only file, a
# file in the --keep-backup folder) are never written through, nor their attributes changed.
# Usage: windows_links_test.sh VANTREL_EXE WORK_DIR
set -uo pipefail
win_tool=$1 work=$2
run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine_run.sh
failures=0
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }
snapshot() { (cd "$1" && find . -printf '%p %s %m\n' | sort && find . -type f -exec md5sum {} + | sort); }

rm -rf "$work" && mkdir -p "$work/old/linked" "$work/new/linked/sub" "$work/new/deep/inner" \
  "$work/outside" "$work/dest/deep" "$work/kept"
printf old >"$work/old/linked/old.txt"
printf new >"$work/new/linked/old.txt"
printf planted >"$work/new/linked/planted.txt"
printf planted >"$work/new/linked/sub/planted.txt"
printf planted >"$work/new/deep/inner/planted.txt"
printf fine >"$work/new/fine.txt"
printf new >"$work/new/named.txt"
printf old >"$work/old/renamed.txt"
printf new >"$work/new/renamed.txt"
printf old >"$work/old/ro.txt"
printf new >"$work/new/ro.txt"
w() { winepath -w "$1"; }
"$run" "$win_tool" diff "$(w "$work/old")" "$(w "$work/new")" -o "$(w "$work/Patch.dat")" \
  >/dev/null 2>&1 || fail "diff"

printf old >"$work/outside/old.txt"
printf precious >"$work/outside/victim.txt"
ln -s ../outside "$work/dest/linked"
ln -s ../../outside "$work/dest/deep/inner"
ln -s ../outside "$work/dest/named.txt"
ln -s ../outside "$work/dest/renamed.txt"
printf log >"$work/outside/log.txt"
ln "$work/outside/log.txt" "$work/dest/Vantrel.log"
printf old >"$work/outside/ro.txt"
chmod a-w "$work/outside/ro.txt"
ln "$work/outside/ro.txt" "$work/dest/ro.txt"
printf kept >"$work/outside/kept.txt"
ln "$work/outside/kept.txt" "$work/kept/ro.txt"
before=$(snapshot "$work/outside")

"$run" "$win_tool" apply "$(w "$work/Patch.dat")" "$(w "$work/dest")" \
  --keep-backup "$(w "$work/kept")" >"$work/output.txt" 2>&1
status=$?
[ $status -eq 6 ] || fail "exit status $status, expected 6 (some entries skipped)"
grep -q "^ *6 skipped, access denied or a link" "$work/output.txt" ||
  fail "the summary does not count the six entries through or at links as skipped"
[ "$(snapshot "$work/outside")" = "$before" ] || fail "files outside the destination changed"
[ "$(cat "$work/dest/fine.txt" 2>/dev/null)" = fine ] || fail "the entry without a link was not applied"
[ "$(cat "$work/dest/ro.txt" 2>/dev/null)" = new ] || fail "the hard-linked file was not updated"
[ "$(cat "$work/kept/ro.txt" 2>/dev/null)" = old ] || fail "the backup of the hard-linked file was not kept"
# Its backup, read-only through the name outside, cannot go without a change to what that name
# shares: it stays, in the run's folder, which the log names.
bak=$(cd "$work/dest" && echo BAK*.tmp)
[ "$(cat "$work/dest/$bak/ro.txt" 2>/dev/null)" = old ] || fail "the read-only backup did not stay"
grep -q "^$bak -> A link or a refused name; left as it is." "$work/dest/Vantrel.log" ||
  fail "the log does not name the folder that stays"
for link in linked deep/inner named.txt renamed.txt; do
  [ -L "$work/dest/$link" ] || fail "the link $link in the destination is gone"
done

if [ $failures -ne 0 ]; then echo "--- output of the Windows tool"; cat "$work/output.txt";
else echo "ok: six entries through or at folder links skipped, nothing outside changed"
fi
exit $((failures != 0))

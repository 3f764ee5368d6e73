#!/usr/bin/env bash
# The main job: builds the stub and the vantrel tool, builds the sample package in samples/package
# into an installer, and installs it under Wine (on a virtual display unless one is set) onto the
# sample's old version, page by page as a user would; it reports what each page showed and what
# landed on disk. The installer, the log and the screenshots land in out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh release
bash scripts/build.sh windows

out=$root/out
mkdir -p "$out"
vantrel=$root/build/release/cli/vantrel
installer=$out/VantrelSample.exe
# The sample package: setup/ holds the setup files, old/ and new/ the two versions.
"$vantrel" build samples/package --stub build/windows/vantrel_stub.exe -o "$installer"
echo "== the installer's contents"
"$vantrel" inspect "$installer"

echo "== installing it under Wine"
source scripts/wine_env.sh
wine_session_start >/dev/null 2>&1 </dev/null
trap wine_session_stop EXIT
# The sample's "old version", where the installer looks for it: the prefix's program files.
program_files=$(winepath -u 'C:\Program Files')
destination="$program_files/Orlenko/Common/Tools/Vantrel"
rm -rf "$destination"
mkdir -p "$destination"
cp -r samples/package/old/. "$destination/"
echo "old version in $destination"
shots=$out/screenshots
rm -rf "$shots"; mkdir -p "$shots"
# The walk prints what a user would see on each page and saves a screenshot of it. Wine's output
# goes through a file: its helper processes keep pipes open.
rc=0
wine build/windows/tests/wine/vantrel_walk.exe "$(winepath -w "$installer")" \
  "$(winepath -w "$shots")" >"$out/walk.log" 2>&1 </dev/null || rc=$?
grep -v '^[0-9a-f]*:\(fixme\|err\|warn\)' "$out/walk.log" || true

echo "== the destination afterwards"
echo "--- Vantrel.log"
cat "$destination/Vantrel.log" 2>/dev/null || { echo "(no result log)"; rc=1; }
echo "---"
if diff -r --exclude=Vantrel.log samples/package/new "$destination" >/dev/null; then
  echo "the destination now equals samples/package/new"
else
  echo "the destination differs from samples/package/new:" >&2
  diff -r --exclude=Vantrel.log samples/package/new "$destination" >&2 || true
  rc=1
fi
echo "screenshots: $shots"
exit $rc

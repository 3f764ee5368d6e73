#!/usr/bin/env bash
# The main job: builds the stub and the vantrel tool, builds the sample package in samples/package
# into an installer, walks it under Wine (on a virtual display unless one is set) as a user would,
# and reports what each page showed. The installer, the log and the screenshots land in out/.
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

echo "== running it under Wine"
source scripts/wine_env.sh
wine_session_start >/dev/null 2>&1 </dev/null
trap wine_session_stop EXIT
shots=$out/screenshots
rm -rf "$shots"; mkdir -p "$shots"
# The walk prints what a user would see on each page and saves a screenshot of it. Wine's output
# goes through a file: its helper processes keep pipes open.
rc=0
wine build/windows/tests/wine/vantrel_walk.exe "$(winepath -w "$installer")" \
  "$(winepath -w "$shots")" >"$out/walk.log" 2>&1 </dev/null || rc=$?
grep -v '^[0-9a-f]*:\(fixme\|err\|warn\)' "$out/walk.log" || true
echo "screenshots: $shots"
exit $rc

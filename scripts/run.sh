#!/usr/bin/env bash
# The main job: builds the stub and the vantrel tool, packs the sample package in samples/package
# into an installer, runs it under Wine (on a virtual display unless one is set) and reports what
# it did. Output lands in out/.
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
"$vantrel" pack --stub build/windows/vantrel_stub.exe --setup samples/package \
  --patch samples/package/Patch.dat -o "$installer"
echo "== the installer's contents"
"$vantrel" inspect "$installer"

echo "== running it under Wine"
source scripts/wine_env.sh
wine_session_start
trap wine_session_stop EXIT
temp_unix=$WINEPREFIX/drive_c/users/$(id -un)/Temp
before=$(ls -d "$temp_unix"/VTA* 2>/dev/null | wc -l || true)
rc=0
wine "$installer" >"$out/wine.log" 2>&1 </dev/null || rc=$?
after=$(ls -d "$temp_unix"/VTA* 2>/dev/null | wc -l || true)
echo "installer exit code: $rc"
if [ "$after" -le "$before" ]; then
  echo "work folder: removed on exit"
else
  echo "work folder: LEFT BEHIND in $temp_unix" >&2
  rc=1
fi
exit $rc

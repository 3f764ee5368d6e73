#!/usr/bin/env bash
# The main job: builds the vantrel tool and the stub, builds the sample package in samples/package
# into an installer, and installs it under Wine (on a virtual display unless one is set) onto the
# sample's old version, page by page as a user would; it reports what each page showed and what
# landed on disk, and how long set-up, build and installation took. The installer, the log and
# the screenshots (a PNG of each page, and wizard.png of all six) land in out/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

b=${VANTREL_BUILD_ROOT:-$root/build}
started=$SECONDS
bash scripts/setup.sh
setup_time=$((SECONDS - started))

# The product is the 32-bit installer. A machine whose kernel runs no 32-bit programs cannot
# start it under Wine: there the same sources built for x86-64 show the same installation.
# VANTREL_WINE_TIER=win64 chooses that tier on any machine.
out=$root/out
mkdir -p "$out"
source scripts/wine_env.sh
if [ "$VANTREL_WINE_TIER" = win32 ] && ! why=$(wine_tier_runs win32); then
  echo "== not the 32-bit installer: this machine cannot run it ($why); installing the 64-bit build of the same sources instead"
  VANTREL_WINE_TIER=win64
  source scripts/wine_env.sh
fi
# Only what this job runs: the tool, the stub and the walk below. The trees are the ones
# scripts/test.sh builds whole, with their tests and benchmarks.
started=$SECONDS
# One tool serves both stubs: it pads to, and reads behind, the stub it is given.
bash scripts/build.sh release vantrel
vantrel=$b/release/cli/vantrel
if [ "$VANTREL_WINE_TIER" = win32 ]; then
  bash scripts/build.sh windows vantrel_stub vantrel_walk
  stub=$b/windows/vantrel_stub.exe
  walk=$b/windows/tests/wine/vantrel_walk.exe installer=$out/VantrelSample.exe
else
  bash scripts/build.sh windows64 vantrel_stub vantrel_walk
  stub=$b/windows64/vantrel_stub.exe
  walk=$b/windows64/tests/wine/vantrel_walk.exe installer=$out/VantrelSample64.exe
fi
build_time=$((SECONDS - started))
started=$SECONDS
# The sample package: setup/ holds the setup files, old/ and new/ the two versions.
"$vantrel" build samples/package --stub "$stub" -o "$installer"
echo "== the installer's contents"
"$vantrel" inspect "$installer"

echo "== installing it under Wine ($VANTREL_WINE_TIER)"
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
wine "$walk" "$(winepath -w "$installer")" \
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
# PNGs of the pages, and all six side by side in one picture: two rows of three, so that the
# pages stay readable where the picture is shown at a page's width (docs/wizard.png is one).
for bmp in "$shots"/page-*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm "$bmp"
done
if [ -e "$shots/page-1.png" ]; then
  montage "$shots"/page-*.png -tile 3x -geometry +6+6 -background white -depth 8 \
    "$shots/wizard.png"
fi
echo "screenshots: $shots"
echo "== time: set-up ${setup_time} s, build ${build_time} s, installation $((SECONDS - started)) s"
exit $rc

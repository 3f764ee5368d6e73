#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native tree (sanitizers, fuzz replays)
# and both Windows trees, runs the native tests, then the Windows tests under Wine on a virtual
# display in each tier this machine can run: win32 (the product's 32-bit stub) and win64 (the
# same sources built for x86-64, for machines whose kernel runs no 32-bit programs). The 32-bit
# stub's own checks (size, manifest, payload) run everywhere. Exits non-zero when any test
# fails, when no Windows tier could run, or when the tiers differ without a stated reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
b=${VANTREL_BUILD_ROOT:-$root/build}

bash scripts/setup.sh
bash scripts/build.sh native
bash scripts/build.sh windows
bash scripts/build.sh windows64

status=0
echo "== native tests"
(cd "$b/native" && ctest --output-on-failure -j "$(nproc)") || status=1

# Runs one tier's Windows tests, one at a time (they share a display and a prefix), in a shell
# of their own: each tier puts its own Wine first on PATH.
run_tier() {
  local tier=$1 tree=$2
  (
    export VANTREL_WINE_TIER=$tier VANTREL_XVFB=1
    source scripts/wine_env.sh
    wine_session_start
    trap wine_session_stop EXIT
    cd "$b/$tree" && ctest --output-on-failure --output-junit "$b/$tree/tier-results.xml"
  )
}

tiers=()
for tier in win32 win64; do
  tree=windows; [ $tier = win64 ] && tree=windows64
  rm -f "$b/$tree/tier-results.xml"
  if why=$(VANTREL_WINE_TIER=$tier bash -c 'source scripts/wine_env.sh && wine_tier_runs'); then
    echo "== Windows tests under Wine, tier $tier"
    run_tier $tier $tree || true
    [ -f "$b/$tree/tier-results.xml" ] || status=1
    tiers+=("$tier=$b/$tree/tier-results.xml")
  else
    echo "== Windows tier $tier cannot run here: $why"
    tiers+=("$tier=not-run:$why")
    if [ $tier = win32 ]; then
      # The product's stub is checked all the same: size, manifest and payload need no Wine.
      echo "== the 32-bit stub's own checks"
      # (Their folder alone: the Windows test program's listing would start Wine.)
      (cd "$b/windows/tests/stub" && ctest --output-on-failure) || status=1
    fi
  fi
done
python3 scripts/windows_tiers.py tests/wine/tier_differences.txt "${tiers[@]}" || status=1

if [ $status -ne 0 ]; then echo "test.sh: some tests FAILED" >&2; fi
exit $status

#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native tree (sanitizers, fuzz replays)
# and the Windows tree, then runs the native tests and the Windows tests under Wine on a
# virtual display. Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh native
bash scripts/build.sh windows

status=0
echo "== native tests"
(cd build/native && ctest --output-on-failure -j "$(nproc)") || status=1

echo "== Windows tests under Wine"
source scripts/wine_env.sh
export VANTREL_XVFB=1
wine_session_start
trap wine_session_stop EXIT
# The Windows tests share one display and one prefix: run them one at a time.
(cd build/windows && ctest --output-on-failure) || status=1

if [ $status -ne 0 ]; then echo "test.sh: some tests FAILED" >&2; fi
exit $status

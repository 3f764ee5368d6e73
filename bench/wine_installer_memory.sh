#!/usr/bin/env bash
# The installer's memory for a large script, whole: an installer whose Patch.dat holds one new
# file of MIB MiB (default 1100; a product file of repeated bytes, which bzip2 packs small) is
# driven under Wine through unpack and run until its Results page, by the Windows test program's
# InstallationTest.LargeScriptInstallsInBoundedMemory; the resident peak of its process is
# printed against the script's size and, with VANTREL_BASELINE_STUB naming another build's
# padded stub of the tier, against that stub's run of the same product. The WorkDir and the
# destination take the script's size twice in the Wine prefix: see df first. The test program
# holds the script a few times over while it builds the installer: a 32-bit one (win32) runs
# out of memory beyond about 200 MiB, so the larger figures are the win64 tier's.
# Usage: bench/wine_installer_memory.sh [MIB]   (needs scripts/build.sh windows, or windows64
# with VANTREL_WINE_TIER=win64)
set -euo pipefail
# shellcheck source=bench/wine_peak.sh
source "$(dirname "$0")/wine_peak.sh"
mib=${1:-1100}
tests=$b/$tree/tests/wine/vantrel_wine_tests.exe
[ -f "$tests" ] || { echo "wine_installer_memory.sh: build $tests first" >&2; exit 2; }
start_wine

# Runs the test with the stub $2 (empty: this build's); prints the peak in KiB, or "failed".
peak() {
  local out
  out=$(VANTREL_LARGE_SCRIPT_MIB=$mib VANTREL_TEST_STUB=$2 wine "$tests" \
    --gtest_filter=InstallationTest.LargeScriptInstallsInBoundedMemory 2>&1 || true)
  echo "$out" | sed -n 's/^installer peak resident: \([0-9]*\) KiB.*/\1/p' | grep . ||
    echo "failed"
}

compare_peaks script "$mib" "script: ${mib} MiB (one new file), tier $tier" "" \
  "${VANTREL_BASELINE_STUB:-}"

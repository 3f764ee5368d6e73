#!/usr/bin/env bash
# The run's memory for its script under Wine: `vantrel.exe apply`, the Windows file layer and
# engine that the installer runs, applies a Patch.dat of MIB MiB (default 512): one new file of
# a repeated pattern, as a large product file gives. The resident peak (VmHWM) of its process,
# read until it ends, is printed against the script's size and against a baseline build's
# vantrel.exe run on the same script. The installer's unpack of block 2, the other part of its
# memory for the script, is bench/wine_unpack.sh's.
# Usage: bench/wine_script_memory.sh [MIB]   (needs scripts/build.sh windows, or windows64 with
# VANTREL_WINE_TIER=win64; VANTREL_BASELINE_EXE names another build's vantrel.exe of the tier)
set -euo pipefail
# shellcheck source=bench/wine_peak.sh
source "$(dirname "$0")/wine_peak.sh"
mib=${1:-512}
exe=$b/$tree/cli/vantrel.exe
[ -f "$exe" ] || { echo "wine_script_memory.sh: build $exe first (scripts/build.sh $tree)" >&2
                   exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/wine_script_memory_XXXXXX")
start_wine

python3 - "$work/Patch.dat" "$mib" <<'EOF'
import struct, sys
out, size = sys.argv[1], int(sys.argv[2]) << 20
with open(out, "wb") as f:
    f.write(struct.pack("<I", 1) + struct.pack("<II", 0, 0) + b"\\big.bin\0")
    f.write(b"\x03" + struct.pack("<I", size))
    chunk = bytes(range(256)) * 4096
    for at in range(0, size, len(chunk)):
        f.write(chunk[:size - at])
EOF

# Applies the script with vantrel.exe $2 (a copy named $1); prints its VmHWM in KiB.
peak() {
  local tool=$work/$1.exe hwm=0 i p
  cp "$2" "$tool"
  rm -rf "$work/dest" && mkdir "$work/dest"
  wine "$tool" apply "$work/Patch.dat" "$work/dest" >/dev/null 2>&1 &
  local runner=$!
  while kill -0 "$runner" 2>/dev/null; do
    for p in $(pgrep -f "$tool" || true); do
      i=$(awk '/^VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || true)
      if [ -n "$i" ] && [ "$i" -gt "$hwm" ]; then hwm=$i; fi
    done
    sleep 0.05
  done
  wait "$runner" || { echo "wine_script_memory.sh: $1 failed" >&2; exit 1; }
  [ "$(stat -c %s "$work/dest/big.bin")" = $((mib << 20)) ] ||
    { echo "wine_script_memory.sh: $1 wrote no whole file" >&2; exit 1; }
  echo "$hwm"
}

compare_peaks script "$mib" "script: ${mib} MiB (one new file), tier $tier" "$exe" \
  "${VANTREL_BASELINE_EXE:-}"

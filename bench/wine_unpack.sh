#!/usr/bin/env bash
# The installer's memory while it unpacks block 2: an installer whose Patch.dat is MIB MiB
# (default 400) of zeros, which bzip2 packs into a few hundred bytes, runs under Wine until
# Patch.dat stands whole in its WorkDir; then the resident peak (VmHWM) of its process is read,
# and printed against the block's size and against a baseline stub's run of the same payload.
# The process is ended there: the script is not a valid one.
# Usage: bench/wine_unpack.sh [MIB]   (needs scripts/build.sh windows, or windows64 with
# VANTREL_WINE_TIER=win64; VANTREL_BASELINE_STUB names another build's padded stub of the tier)
set -euo pipefail
# shellcheck source=bench/wine_peak.sh
source "$(dirname "$0")/wine_peak.sh"
mib=${1:-400}
stub=$b/$tree/vantrel_stub.exe
[ -f "$stub" ] || { echo "wine_unpack.sh: build $stub first (scripts/build.sh $tree)" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/wine_unpack_XXXXXX")
start_wine

# The payload: block 1 from the sample's setup files, block 2 one record of zeros.
python3 - "$root/samples/package/setup" "$work/payload" "$mib" <<'EOF'
import bz2, os, struct, sys
setup, out, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
def block(pieces):
    c, raw, parts = bz2.BZ2Compressor(9), 0, []
    for piece in pieces:
        raw += len(piece)
        parts.append(c.compress(piece))
    stream = b"".join(parts) + c.flush()
    return struct.pack("<II", len(stream) + 4, raw) + stream
records = []
for name in sorted(os.listdir(setup)):
    data = open(os.path.join(setup, name), "rb").read()
    records.append(name.encode() + b"\0" + struct.pack("<I", len(data)) + data)
size = mib << 20
zeros = bytes(1 << 24)
pieces = [b"Patch.dat\0" + struct.pack("<I", size)]
pieces += [zeros[:min(len(zeros), size - at)] for at in range(0, size, len(zeros))]
open(out, "wb").write(block([b"".join(records) + b"\0"]) + block(pieces + [b"\0"]))
EOF

# Runs stub + payload; prints the process's VmHWM in KiB once Patch.dat is whole.
peak() {
  local exe=$work/$1.exe pid="" hwm="" i p size file=""
  cat "$2" "$work/payload" >"$exe"
  wine "$exe" >/dev/null 2>&1 &
  for i in $(seq 1200); do
    sleep 0.5
    for p in $(pgrep -f "$exe" || true); do
      grep -q '^VmHWM' "/proc/$p/status" 2>/dev/null && pid=$p
    done
    [ -n "$pid" ] || continue
    file=$(find "$WINEPREFIX/drive_c" -path '*VTA*' -name Patch.dat 2>/dev/null | head -1)
    size=$([ -n "$file" ] && stat -c %s "$file" || echo 0)
    if [ "$size" = $((mib << 20)) ]; then
      sleep 2
      hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
      break
    fi
  done
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
  fi
  # The ended installer leaves its WorkDir behind.
  [ -n "$file" ] && rm -rf "$(dirname "$file")"
  echo "${hwm:-n/a}"
}

compare_peaks block "$mib" "block 2: ${mib} MiB of Patch.dat, tier $tier" "$stub" \
  "${VANTREL_BASELINE_STUB:-}"

#!/usr/bin/env bash
# vantrel diff on a synthetic product of about 1 GB (bench/synthetic_product: one large file
# with scattered edits, 800 changed mid-size files, new, removed and unchanged ones), side by
# side with the tools an author would otherwise run on each changed file: xdelta3 -9,
# zstd -19 --patch-from and bsdiff (each changed file against its old version; each new file
# alone: xdelta3 -9 and zstd -19 without a source, and for bsdiff bzip2 -9 of the file, as its
# extra stream would hold it), and with bzip2 -9 of the new files: patch size, time and peak memory, with
# the ratios. Per-file tools count the sum of their patches, the sum of their times and their
# largest peak. vantrel runs in the original format and with add operations, with every core
# and with one thread (same script, the speed-up), and, when VANTREL_BASELINE names another
# vantrel binary, that one too. VANTREL_SKIP_BSDIFF=1 leaves bsdiff out (it needs about 17 times
# the large file in memory and several minutes). The scratch files (about 5 GB) are removed at
# the end; the table is kept in build/bench-product/compare.txt.
# Usage: bench/big_product.sh [MIB]   (needs the release build: scripts/build.sh release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
vantrel=$b/release/cli/vantrel
maker=$b/release/bench/synthetic_product
out=$b/bench-product
mib=${1:-1024}
for tool in "$vantrel" "$maker"; do
  [ -x "$tool" ] || { echo "big_product.sh: build $tool first (scripts/build.sh release)" >&2; exit 2; }
done
need=()
for tool in xdelta3 zstd bsdiff bzip2; do command -v $tool >/dev/null || need+=($tool); done
if [ ${#need[@]} -gt 0 ]; then apt-get install -y "${need[@]}" >/dev/null; fi

mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/big_product_XXXXXX")
trap 'rm -rf "$work"' EXIT
exec > >(tee "$out/compare.txt")
# shellcheck source=bench/peer_tools.sh
source "$root/bench/peer_tools.sh"

"$maker" "$work" "$mib"
old=$work/old new=$work/new
largest=$(find "$old" -type f -printf '%s\n' | sort -n | tail -1)
newBytes=$(find "$new" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
changed=0
while IFS= read -r -d '' f; do
  [ -f "$old/$f" ] && ! cmp -s "$old/$f" "$new/$f" && changed=$((changed + 1))
done < <(cd "$new" && find . -type f -print0)
printf 'product: %d MiB of new files, %d changed, largest old file %d MiB, %d cores\n\n' \
  $((newBytes >> 20)) "$changed" $((largest >> 20)) "$(nproc)"

# bzip2 -9 of the new files: what an installer without deltas carries.
measure sh -c "tar --sort=name --mtime=@0 --owner=0 --group=0 -C '$new' -cf - . | bzip2 -9 >'$work/new.tar.bz2'"
bz_bytes=$(stat -c %s "$work/new.tar.bz2") bz_secs=$secs bz_kib=$kib
rm -f "$work/new.tar.bz2"

per_file xdelta3 "$old" "$new"
xd_bytes=$t_bytes xd_secs=$t_secs xd_kib=$t_kib
per_file zstd "$old" "$new"
zstd_bytes=$t_bytes zstd_secs=$t_secs zstd_kib=$t_kib
if [ "${VANTREL_SKIP_BSDIFF:-}" != 1 ]; then
  per_file bsdiff "$old" "$new"
  bsd_bytes=$t_bytes bsd_secs=$t_secs bsd_kib=$t_kib
fi

# A stub that carries the marker of split bodies (which holds the add operation's), so that pack
# takes every script, and the sample's setup files.
printf 'MZ%ssplit;' "$(grep -o 'VantrelOps:[^"]*' "$root/format/file_format.h")" >"$work/stub.exe"
# vantrel diff, then vantrel pack: block 2 as the installer stores it (its stored length: the
# installer's size less the stub, block 1 and block 2's length field).
run_vantrel() {  # binary jobs-arguments...
  local bin=$1
  shift
  measure "$bin" diff "$old" "$new" -o "$work/Patch.dat" "$@"
  v_secs=$secs v_kib=$kib v_diff=$secs
  measure "$bin" pack --stub "$work/stub.exe" --setup "$root/samples/package/setup" \
    --patch "$work/Patch.dat" -o "$work/I.exe"
  v_secs=$(echo "$v_secs + $secs" | bc -l)
  local length1
  length1=$(od -An -tu4 -j 34816 -N4 "$work/I.exe" | tr -d ' ')
  v_bytes=$(($(stat -c %s "$work/I.exe") - 34816 - 4 - length1 - 4))
}
run_vantrel "$vantrel" --original-format
orig_bytes=$v_bytes orig_secs=$v_secs orig_kib=$v_kib
run_vantrel "$vantrel"
all_bytes=$v_bytes all_secs=$v_secs all_kib=$v_kib all_diff=$v_diff
mv "$work/Patch.dat" "$work/all.dat"
run_vantrel "$vantrel" -j 1
one_bytes=$v_bytes one_secs=$v_secs one_kib=$v_kib one_diff=$v_diff
same=no
cmp -s "$work/Patch.dat" "$work/all.dat" && same=yes
if [ -n "${VANTREL_BASELINE:-}" ]; then
  run_vantrel "$VANTREL_BASELINE"
  base_bytes=$v_bytes base_secs=$v_secs base_kib=$v_kib
fi

# Sizes are also given against bsdiff's (or, without it, xdelta3's).
ref_bytes=${bsd_bytes:-$xd_bytes} ref_name=/bsdiff
[ -n "${bsd_bytes:-}" ] || ref_name=/xdelta3
row() {  # tool bytes secs kib
  printf '%-32s %11d %8.4f %9.1f %7.2f %9.1f %7.2f %8.4f\n' "$1" "$2" \
    "$(echo "$2 / $bz_bytes" | bc -l)" "$3" "$(echo "$3 / $bz_secs" | bc -l)" \
    "$(echo "$4 / 1024" | bc -l)" "$(echo "$4 * 1024 / $largest" | bc -l)" \
    "$(echo "$2 / $ref_bytes" | bc -l)"
}
printf '%-32s %11s %8s %9s %7s %9s %7s %8s\n' tool bytes /bzip2 secs /bzip2 peakMiB /largest $ref_name
row "bzip2 -9 of new files" "$bz_bytes" "$bz_secs" "$bz_kib"
row "xdelta3 -9 per file" "$xd_bytes" "$xd_secs" "$xd_kib"
row "zstd -19 --patch-from per file" "$zstd_bytes" "$zstd_secs" "$zstd_kib"
[ -n "${bsd_bytes:-}" ] && row "bsdiff per file" "$bsd_bytes" "$bsd_secs" "$bsd_kib"
row "vantrel original, block 2" "$orig_bytes" "$orig_secs" "$orig_kib"
row "vantrel with add, $(nproc) thr, block 2" "$all_bytes" "$all_secs" "$all_kib"
row "vantrel with add -j 1, block 2" "$one_bytes" "$one_secs" "$one_kib"
[ -n "${VANTREL_BASELINE:-}" ] && row "baseline, block 2" "$base_bytes" "$base_secs" "$base_kib"
echo
printf 'vantrel diff alone: %.1fs on one thread, %.1fs on %d: speed-up %.2f; same script: %s\n' \
  "$one_diff" "$all_diff" "$(nproc)" "$(echo "$one_diff / $all_diff" | bc -l)" "$same"

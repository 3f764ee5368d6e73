#!/usr/bin/env bash
# vantrel diff on a synthetic product of about 1 GB (bench/synthetic_product: one large file
# with scattered edits, 800 changed mid-size files, new, removed and unchanged ones), side by
# side with xdelta3 -9 (each changed file against its old version, new files whole) and bzip2 -9
# of the new files: time, peak memory and patch size, with the ratios. vantrel runs with every
# core and with one thread (same script, the speed-up), and, when VANTREL_BASELINE names another
# vantrel binary, that one too. The scratch files (about 5 GB) are removed at the end; the table
# is kept in build/bench-product/compare.txt.
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
for tool in xdelta3 bzip2; do command -v $tool >/dev/null || need+=($tool); done
if [ ${#need[@]} -gt 0 ]; then apt-get install -y "${need[@]}" >/dev/null; fi

mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/big_product_XXXXXX")
trap 'rm -rf "$work"' EXIT
exec > >(tee "$out/compare.txt")

# Peak resident memory (KiB) and seconds of one command, through GNU time.
measure() {
  /usr/bin/time -f "%M %e" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" ||
    { cat "$work/err.txt" >&2; exit 1; }
  read -r kib secs <"$work/time.txt"
}

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

# xdelta3 -9 per file, as the script carries files: each changed file against its old version,
# each new file alone. Time is the sum, memory the largest.
xd_bytes=0 xd_secs=0 xd_kib=0
while IFS= read -r -d '' f; do
  if [ -f "$old/$f" ]; then
    cmp -s "$old/$f" "$new/$f" && continue
    measure xdelta3 -9 -f -e -s "$old/$f" "$new/$f" "$work/one.xd3"
  else
    measure xdelta3 -9 -f -e "$new/$f" "$work/one.xd3"
  fi
  xd_bytes=$((xd_bytes + $(stat -c %s "$work/one.xd3")))
  xd_secs=$(echo "$xd_secs + $secs" | bc -l)
  [ "$kib" -gt "$xd_kib" ] && xd_kib=$kib
done < <(cd "$new" && find . -type f -print0)
rm -f "$work/one.xd3"

# vantrel diff, then bzip2 -9 of the script as the installer's block 2 holds it.
run_vantrel() {  # binary jobs-arguments...
  local bin=$1
  shift
  measure "$bin" diff "$old" "$new" -o "$work/Patch.dat" "$@"
  v_secs=$secs v_kib=$kib v_diff=$secs
  measure bzip2 -9 -k -f "$work/Patch.dat"
  v_secs=$(echo "$v_secs + $secs" | bc -l)
  v_bytes=$(stat -c %s "$work/Patch.dat.bz2")
}
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

row() {  # tool bytes secs kib
  printf '%-26s %11d %8.4f %9.1f %7.2f %9.1f %7.2f %7.3f\n' "$1" "$2" \
    "$(echo "$2 / $bz_bytes" | bc -l)" "$3" "$(echo "$3 / $bz_secs" | bc -l)" \
    "$(echo "$4 / 1024" | bc -l)" "$(echo "$4 * 1024 / $largest" | bc -l)" \
    "$(echo "$2 / $xd_bytes" | bc -l)"
}
printf '%-26s %11s %8s %9s %7s %9s %7s %7s\n' tool bytes /bzip2 secs /bzip2 peakMiB /largest /xdelta3
row "bzip2 -9 of new files" "$bz_bytes" "$bz_secs" "$bz_kib"
row "xdelta3 -9 per file" "$xd_bytes" "$xd_secs" "$xd_kib"
row "vantrel, $(nproc) threads + bzip2" "$all_bytes" "$all_secs" "$all_kib"
row "vantrel -j 1 + bzip2" "$one_bytes" "$one_secs" "$one_kib"
[ -n "${VANTREL_BASELINE:-}" ] && row "baseline + bzip2" "$base_bytes" "$base_secs" "$base_kib"
echo
printf 'vantrel diff alone: %.1fs on one thread, %.1fs on %d: speed-up %.2f; same script: %s\n' \
  "$one_diff" "$all_diff" "$(nproc)" "$(echo "$one_diff / $all_diff" | bc -l)" "$same"

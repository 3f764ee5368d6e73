#!/usr/bin/env bash
# Compares vantrel's patch scripts with bsdiff, xdelta3 and zstd on two versions of real Debian
# packages (fetched with apt-get download, never committed): patch sizes relative to bzip2 -9 of
# the new files, encoding time and peak memory. The other tools run twice: on a tar of each
# version (one patch, each applied back and compared), and per file as the script carries files
# (each changed file against its old version, each new file alone: xdelta3 -9 and zstd -19
# without a source, for bsdiff bzip2 -9 of the file, as its extra stream would hold it; the sum
# of sizes and times, the largest peak). vantrel's size is block 2 as the installer stores it
# (its stored length), for the whole package. Then the ratios that the encoder aims at, with the
# engine's apply time from delta_perftest. The output is also kept in build/bench-delta/compare.txt.
# Usage: bench/delta_compare.sh [PACKAGE...]   (needs the release build: scripts/build.sh release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
vantrel=$b/release/cli/vantrel
perftest=$b/release/bench/delta_perftest
work=$b/bench-delta
[ -x "$vantrel" ] || { echo "delta_compare.sh: build $vantrel first (scripts/build.sh release)" >&2; exit 2; }
packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(libpython3.11-stdlib grub-efi-amd64-signed)

need=()
for tool in bsdiff:bsdiff xdelta3:xdelta3 zstd:zstd bzip2:bzip2; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y "${need[@]}" >/dev/null
fi

mkdir -p "$work"
cd "$work"
exec > >(tee "$work/compare.txt")
# shellcheck source=bench/peer_tools.sh
source "$root/bench/peer_tools.sh"

# tar with fixed metadata, so that only file contents differ between the two versions.
pack_tree() { tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$1" -cf "$2" .; }

ratio() { echo "$1 / $2" | bc -l; }

# Block 2's stored length in an installer: its size less the stub, block 1 and block 2's length
# field.
block2() {
  local length1
  length1=$(od -An -tu4 -j 34816 -N4 "$1" | tr -d ' ')
  echo $(($(stat -c %s "$1") - 34816 - 4 - length1 - 4))
}

# Block 2's record (the script and its name) from an installer, unpacked.
unbzip_block2() {
  local length1
  length1=$(od -An -tu4 -j 34816 -N4 "$1" | tr -d ' ')
  tail -c +$((34816 + 4 + length1 + 8 + 1)) "$1" | bzip2 -dc
}

goals=()
# One line of the goals table: package, what, value, the aim as text, and whether it is met.
goal() {
  local met=no
  [ "$(echo "$3 < $4" | bc -l)" = 1 ] && met=yes
  goals+=("$(printf '%-24s %-34s %7.3f  %-6s %s' "$1" "$2" "$3" "< $4" "$met")")
}

printf '%-24s %-26s %10s %8s %8s %9s  %s\n' package tool bytes ratio secs peakMiB applied
for pkg in "${packages[@]}"; do
  mapfile -t versions < <(apt-cache madison "$pkg" | awk -F'|' '$3 ~ /Packages/ {gsub(/ /,"",$2); print $2}' | sort -u)
  if [ ${#versions[@]} -lt 2 ]; then echo "$pkg: fewer than two versions known to apt" >&2; continue; fi
  old=${versions[0]} new=${versions[1]}
  if dpkg --compare-versions "$old" gt "$new"; then t=$old; old=$new; new=$t; fi
  d=$work/$pkg
  rm -rf "$d"; mkdir -p "$d/debs" "$d/pkg/old" "$d/pkg/new" "$d/pkg/setup"
  (cd "$d/debs" && apt-get download "$pkg=$old" "$pkg=$new" >/dev/null 2>&1)
  dpkg-deb -x "$d"/debs/*_"$(echo "$old" | sed 's/:/%3a/')"_*.deb "$d/pkg/old"
  dpkg-deb -x "$d"/debs/*_"$(echo "$new" | sed 's/:/%3a/')"_*.deb "$d/pkg/new"
  # Debian ships symlinks and the like; the installer carries plain files only.
  find "$d/pkg" -type l -delete
  pack_tree "$d/pkg/old" "$d/old.tar"
  pack_tree "$d/pkg/new" "$d/new.tar"
  measure bzip2 -9 -k -f "$d/new.tar"; bz_secs=$secs
  base=$(stat -c %s "$d/new.tar.bz2")
  row() {  # tool bytes secs kib applied
    printf '%-24s %-26s %10d %8.4f %8.3f %9.1f  %s\n' "$pkg" "$1" "$2" \
      "$(echo "$2 / $base" | bc -l)" "$3" "$(echo "$4 / 1024" | bc -l)" "$5"
  }
  row "bzip2 -9 of new" "$base" "$bz_secs" "$kib" "-"

  # A stub that carries the marker of split bodies (which holds the add operation's), so that
  # pack and build take every script.
  printf 'MZ%ssplit;' "$(grep -o 'VantrelOps:[^"]*' "$root/format/file_format.h")" >"$d/stub.exe"
  measure "$vantrel" diff --original-format "$d/pkg/old" "$d/pkg/new" -o "$d/Original.dat"
  o_secs=$secs o_kib=$kib
  "$vantrel" pack --stub "$d/stub.exe" --setup "$root/samples/package/setup" \
    --patch "$d/Original.dat" -o "$d/Original.exe" >/dev/null
  row "vantrel original format" "$(block2 "$d/Original.exe")" "$o_secs" "$o_kib" "-"

  "$vantrel" diff --no-split "$d/pkg/old" "$d/pkg/new" -o "$d/Interleaved.dat" >/dev/null
  "$vantrel" pack --stub "$d/stub.exe" --setup "$root/samples/package/setup" \
    --patch "$d/Interleaved.dat" -o "$d/Interleaved.exe" >/dev/null
  row "vantrel add, not split" "$(block2 "$d/Interleaved.exe")" 0 0 "-"

  measure "$vantrel" diff "$d/pkg/old" "$d/pkg/new" -o "$d/Patch.dat"
  v_secs=$secs v_kib=$kib
  # The sample's setup files: build checks them (its bitmaps must be ones LoadImage loads).
  cp "$root"/samples/package/setup/* "$d/pkg/setup/"
  ok=no
  "$vantrel" build "$d/pkg" --stub "$d/stub.exe" -o "$d/Setup.exe" >"$d/verify.txt" 2>&1 && ok=yes
  "$vantrel" pack --stub "$d/stub.exe" --setup "$root/samples/package/setup" \
    --patch "$d/Patch.dat" -o "$d/Patch.exe" >/dev/null
  v_bytes=$(block2 "$d/Patch.exe")
  row "vantrel split (default)" "$v_bytes" "$v_secs" "$v_kib" "$ok"
  # The same block 2 as one bzip2 stream cut nowhere: what ending blocks at the streams gains.
  row "vantrel split, no cuts" "$(($(unbzip_block2 "$d/Patch.exe" | bzip2 -9 | wc -c) + 4))" \
    0 0 "-"

  measure bsdiff "$d/old.tar" "$d/new.tar" "$d/tar.bsdiff"; s=$secs k=$kib
  check_patch bsdiff "$d/tar.bsdiff" "$d/new.tar" "$d/old.tar"; ok=yes
  row "bsdiff (tar)" "$(stat -c %s "$d/tar.bsdiff")" "$s" "$k" "$ok"
  bsdiff_kib=$k bsdiff_bytes=$(stat -c %s "$d/tar.bsdiff")

  measure xdelta3 -9 -D -f -e -s "$d/old.tar" "$d/new.tar" "$d/tar.xd3"; s=$secs k=$kib
  check_patch xdelta3 "$d/tar.xd3" "$d/new.tar" "$d/old.tar"; ok=yes
  row "xdelta3 -9 (tar)" "$(stat -c %s "$d/tar.xd3")" "$s" "$k" "$ok"
  xd_bytes=$(stat -c %s "$d/tar.xd3")

  measure xdelta3 -9 -D -S none -f -e -s "$d/old.tar" "$d/new.tar" "$d/tar.raw.xd3"; s=$secs k=$kib
  bzip2 -9 -k -f "$d/tar.raw.xd3"
  check_patch xdelta3 "$d/tar.raw.xd3" "$d/new.tar" "$d/old.tar"; ok=yes
  row "xdelta3 -S none+bz2 (tar)" "$(stat -c %s "$d/tar.raw.xd3.bz2")" "$s" "$k" "$ok"
  xdraw_bytes=$(stat -c %s "$d/tar.raw.xd3.bz2")

  measure zstd -19 -f --long=31 --patch-from="$d/old.tar" "$d/new.tar" -o "$d/tar.zst"; s=$secs k=$kib
  check_patch zstd "$d/tar.zst" "$d/new.tar" "$d/old.tar"; ok=yes
  row "zstd --patch-from (tar)" "$(stat -c %s "$d/tar.zst")" "$s" "$k" "$ok"
  zstd_bytes=$(stat -c %s "$d/tar.zst")

  per_file xdelta3 "$d/pkg/old" "$d/pkg/new"
  row "xdelta3 -9 per file" "$t_bytes" "$t_secs" "$t_kib" yes
  per_file zstd "$d/pkg/old" "$d/pkg/new"
  row "zstd --patch-from per file" "$t_bytes" "$t_secs" "$t_kib" yes
  per_file bsdiff "$d/pkg/old" "$d/pkg/new"; row "bsdiff per file" "$t_bytes" "$t_secs" "$t_kib" yes
  bsdiff_file_bytes=$t_bytes bsdiff_file_secs=$t_secs

  goal "$pkg" "size / xdelta3 -9" "$(ratio "$v_bytes" "$xd_bytes")" 1
  goal "$pkg" "size / (xdelta3 -S none + bzip2)" "$(ratio "$v_bytes" "$xdraw_bytes")" 0.8
  goal "$pkg" "size / zstd --patch-from" "$(ratio "$v_bytes" "$zstd_bytes")" 1
  goal "$pkg" "size / bsdiff per file" "$(ratio "$v_bytes" "$bsdiff_file_bytes")" 1
  goal "$pkg" "size / bsdiff of the tar" "$(ratio "$v_bytes" "$bsdiff_bytes")" 1
  goal "$pkg" "encoding time / bzip2 -9" "$(ratio "$v_secs" "$bz_secs")" 3
  goal "$pkg" "encoding time / bsdiff per file" "$(ratio "$v_secs" "$bsdiff_file_secs")" 1
  goal "$pkg" "peak memory / bsdiff's" "$(ratio "$v_kib" "$bsdiff_kib")" 1
  if [ -x "$perftest" ]; then
    apply=$("$perftest" "$d/pkg/old" "$d/pkg/new" | sed -n 's/.*ratio \([0-9.]*\)$/\1/p')
    [ -n "$apply" ] && goal "$pkg" "apply time / copying the new files" "$apply" 2
  fi
done

echo
printf '%-24s %-34s %7s  %-6s %s\n' package ratio value aim met
printf '%s\n' "${goals[@]}"

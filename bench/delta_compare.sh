#!/usr/bin/env bash
# Compares vantrel's patch scripts with bsdiff, xdelta3 and zstd on two versions of real Debian
# packages (fetched with apt-get download, never committed): patch sizes relative to bzip2 -9 of
# the new files, encoding time and peak memory. The other tools run twice: on a tar of each
# version (one patch, each applied back and compared), and per file as the script carries files
# (each changed file against its old version, each new file alone: xdelta3 -9 and zstd -19
# without a source, for bsdiff bzip2 -9 of the file, as its extra stream would hold it; the sum
# of sizes and times, the largest peak). vantrel's size is block 2 as the installer stores it
# (its stored length), for the whole package. Then the ratios that the encoder aims at, with the
# engine's apply time from delta_perftest, and a summary of one row per package. With the
# Windows build, the summary also holds the resident peak of vantrel.exe applying the script to
# the old files under Wine, as the installer's engine does (its result checked against the new
# files). The output is also kept in build/bench-delta/compare.txt.
# Usage: bench/delta_compare.sh [--all | PACKAGE...]   (needs the release build: scripts/build.sh
# release). Without arguments, the packages of VANTREL_COMPARE_PAIRS (separated by spaces, or
# --all), else the two default ones; --all adds the kinds below. Each package is compared
# between the two newest versions that apt knows. VANTREL_COMPARE_WINE=0 leaves Wine out; the
# Wine tier is VANTREL_WINE_TIER's (win32 by default: scripts/build.sh windows).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
vantrel=$b/release/cli/vantrel
perftest=$b/release/bench/delta_perftest
work=$b/bench-delta
[ -x "$vantrel" ] ||
  { echo "delta_compare.sh: build $vantrel first (scripts/build.sh release)" >&2; exit 2; }
defaults=(libpython3.11-stdlib grub-efi-amd64-signed)
# The other kinds of product: boot-loader modules, a database server, a suite of many shared
# libraries, hypervisors (few large files; one with an EFI program) and small EFI programs
# (Windows' PE format).
extras=(grub-efi-amd64-bin postgresql-15 samba-libs qemu-system-x86 xen-hypervisor-4.17-amd64
        systemd-boot-efi)
packages=("$@")
[ ${#packages[@]} -gt 0 ] || read -ra packages <<<"${VANTREL_COMPARE_PAIRS:-}"
[ ${#packages[@]} -gt 0 ] || packages=("${defaults[@]}")
[ "${packages[*]}" != --all ] || packages=("${defaults[@]}" "${extras[@]}")
run_start=$(date +%s)

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

# A stub that carries every marker the build knows (the longest holds the others), so that pack
# and build take whichever script its diff writes.
marker=$(strings -a "$vantrel" | grep -o 'VantrelOps:[^ ]*' | awk '{print length, $0}' |
         sort -n | tail -1 | cut -d' ' -f2 || true)
[ -n "$marker" ] || marker=$(grep -o 'VantrelOps:[^"]*' "$root/format/file_format.h" | head -1)

# The Windows engine of the same build, when there is one: vantrel.exe applies each script to a
# copy of the old files under Wine, the Windows file layer and engine that the installer runs.
wine_tier=${VANTREL_WINE_TIER:-win32}
wine_exe=$b/windows/cli/vantrel.exe
[ "$wine_tier" = win64 ] && wine_exe=$b/windows64/cli/vantrel.exe
wine_on=no
if [ "${VANTREL_COMPARE_WINE:-1}" != 0 ] && [ -f "$wine_exe" ] && command -v wine >/dev/null; then
  # shellcheck source=scripts/wine_env.sh
  source "$root/scripts/wine_env.sh"
  export VANTREL_XVFB=${VANTREL_XVFB:-1}
  wine_session_start >/dev/null
  trap 'wine_session_stop >/dev/null 2>&1' EXIT
  wine_on=yes
fi

# Applies PATCH to a copy of OLD with vantrel.exe under Wine and checks the result against NEW.
# Sets w_kib to the process's resident peak, w_secs to its time, and w_ok to yes, or to what
# went wrong. With the session's wineserver running, wine execs the program in the process it
# starts, so GNU time's peak is the program's own (the VmHWM read from /proc while it runs).
wine_apply() {  # PATCH OLD NEW
  local dest=$work/wine-dest tool=$work/wine-apply.exe rc=0 start end f
  rm -rf "$dest"
  cp -a "$2" "$dest"
  cp "$wine_exe" "$tool"
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/wine-time.txt" wine "$tool" apply "$1" "$dest" \
    >"$work/wine-out.txt" 2>&1 || rc=$?
  end=$(date +%s%N)
  w_secs=$(printf '%d.%03d' $(((end - start) / 1000000000)) $(((end - start) / 1000000 % 1000)))
  w_kib=$(tail -1 "$work/wine-time.txt") w_ok=yes
  if [ $rc -ne 0 ]; then
    w_ok="exit $rc"
  else
    while IFS= read -r -d '' f; do
      cmp -s "$3/$f" "$dest/$f" || { w_ok="differs: $f"; break; }
    done < <(cd "$3" && find . -type f -print0)
  fi
  if [ "$w_ok" != yes ]; then
    echo "$pkg: vantrel.exe apply under Wine: $w_ok" >&2
    cat "$work/wine-out.txt" >&2
  fi
  rm -rf "$dest" "$tool"
}

# Files of NEW that differ from OLD's (changed) and that OLD lacks (added).
count_files() {  # OLD NEW
  changed=0 added=0
  local f
  while IFS= read -r -d '' f; do
    if [ -f "$1/$f" ]; then cmp -s "$1/$f" "$2/$f" || changed=$((changed + 1))
    else added=$((added + 1)); fi
  done < <(cd "$2" && find . -type f -print0)
}

summary=() pairs=()
# One cell of the summary: bytes, seconds and peak MiB of a tool.
cell() { printf '%d, %.2f s, %.0f MiB' "$1" "$2" "$(echo "$3 / 1024" | bc -l)"; }

printf '%-24s %-26s %10s %8s %8s %9s  %s\n' package tool bytes ratio secs peakMiB applied
for pkg in "${packages[@]}"; do
  mapfile -t versions < <(apt-cache madison "$pkg" |
    awk -F'|' '$3 ~ /Packages/ {gsub(/ /,"",$2); print $2}' | sort -u)
  if [ ${#versions[@]} -lt 2 ]; then
    echo "$pkg: fewer than two versions known to apt" >&2
    continue
  fi
  old="" new=""
  for v in "${versions[@]}"; do
    if [ -z "$new" ] || dpkg --compare-versions "$v" gt "$new"; then old=$new new=$v
    elif [ -z "$old" ] || dpkg --compare-versions "$v" gt "$old"; then old=$v; fi
  done
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

  # A stub that carries the build's longest marker (that of split bodies holds the add
  # operation's), so that pack and build take every script it writes.
  printf 'MZ%s' "$marker" >"$d/stub.exe"
  measure "$vantrel" diff --original-format "$d/pkg/old" "$d/pkg/new" -o "$d/Original.dat"
  o_secs=$secs o_kib=$kib
  "$vantrel" pack --stub "$d/stub.exe" --setup "$root/samples/package/setup" \
    --patch "$d/Original.dat" -o "$d/Original.exe" >/dev/null
  o_bytes=$(block2 "$d/Original.exe")
  row "vantrel original format" "$o_bytes" "$o_secs" "$o_kib" "-"

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
  bsdiff_kib=$k bsdiff_bytes=$(stat -c %s "$d/tar.bsdiff") bsdiff_secs=$s

  measure xdelta3 -9 -D -f -e -s "$d/old.tar" "$d/new.tar" "$d/tar.xd3"; s=$secs k=$kib
  check_patch xdelta3 "$d/tar.xd3" "$d/new.tar" "$d/old.tar"; ok=yes
  row "xdelta3 -9 (tar)" "$(stat -c %s "$d/tar.xd3")" "$s" "$k" "$ok"
  xd_bytes=$(stat -c %s "$d/tar.xd3") xd_secs=$s xd_kib=$k

  measure xdelta3 -9 -D -S none -f -e -s "$d/old.tar" "$d/new.tar" "$d/tar.raw.xd3"
  s=$secs k=$kib
  bzip2 -9 -k -f "$d/tar.raw.xd3"
  check_patch xdelta3 "$d/tar.raw.xd3" "$d/new.tar" "$d/old.tar"; ok=yes
  row "xdelta3 -S none+bz2 (tar)" "$(stat -c %s "$d/tar.raw.xd3.bz2")" "$s" "$k" "$ok"
  xdraw_bytes=$(stat -c %s "$d/tar.raw.xd3.bz2")

  measure zstd -19 -f --long=31 --patch-from="$d/old.tar" "$d/new.tar" -o "$d/tar.zst"
  s=$secs k=$kib
  check_patch zstd "$d/tar.zst" "$d/new.tar" "$d/old.tar"; ok=yes
  row "zstd --patch-from (tar)" "$(stat -c %s "$d/tar.zst")" "$s" "$k" "$ok"
  zstd_bytes=$(stat -c %s "$d/tar.zst") zstd_secs=$s zstd_kib=$k

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

  count_files "$d/pkg/old" "$d/pkg/new"
  wine_cell=""
  if [ $wine_on = yes ]; then
    wine_apply "$d/Patch.dat" "$d/pkg/old" "$d/pkg/new"
    wine_cell=$(printf '%.0f MiB, %.2f s' "$(echo "$w_kib / 1024" | bc -l)" "$w_secs")
    [ "$w_ok" = yes ] || wine_cell="$wine_cell, $w_ok"
    wine_cell=" $wine_cell |"
  fi
  pairs+=("$pkg: $old -> $new, tar of the new files $(stat -c %s "$d/new.tar") bytes")
  summary+=("| $pkg | $changed / $added | $(cell "$o_bytes" "$o_secs" "$o_kib") \
| $(cell "$v_bytes" "$v_secs" "$v_kib") | $(cell "$bsdiff_bytes" "$bsdiff_secs" "$bsdiff_kib") \
| $(cell "$zstd_bytes" "$zstd_secs" "$zstd_kib") | $(cell "$xd_bytes" "$xd_secs" "$xd_kib") \
| $(printf '%.3f' "$(ratio "$v_bytes" "$bsdiff_bytes")") |$wine_cell")
done

echo
printf '%-24s %-34s %7s  %-6s %s\n' package ratio value aim met
printf '%s\n' "${goals[@]}"

# The summary: block 2 bytes (vantrel) or patch bytes (the others, on a tar of each version),
# encoding seconds and peak resident MiB; then vantrel's default size against bsdiff's.
echo
printf '%s\n' "${pairs[@]}"
echo
header='| pair | changed / new files | vantrel original | vantrel default | bsdiff (tar) '
header+='| zstd -19 --long --patch-from (tar) | xdelta3 -9 (tar) | default / bsdiff |'
rule='|---|---|---|---|---|---|---|---|'
if [ $wine_on = yes ]; then
  header+=" vantrel.exe apply under Wine ($wine_tier): peak, time |"
  rule+='---|'
fi
echo "$header"
echo "$rule"
printf '%s\n' "${summary[@]}"
echo
echo "whole run: $(($(date +%s) - run_start)) s"

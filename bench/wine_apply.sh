#!/usr/bin/env bash
# The Windows file layer's rebuild under Wine: `vantrel.exe apply` next to Windows' own copy of
# the same file (`cmd /c copy`), best of five each, with the write calls each makes per MiB
# (counted by strace in an untimed round), for three scripts: many small operations (a 16 MiB
# file with one byte in 64 changed: copies and inserts of a few dozen bytes each), a 256 MiB file
# whose 64 KiB blocks were shuffled (one copy each, from a mapped old file), and 2,000 files of
# 4 KiB with their second halves new (against `xcopy` of the tree, with calls per file: each
# small old file is read in one call, not mapped). VANTREL_BASELINE_EXE names another build's
# vantrel.exe to run side by side.
# Usage: bench/wine_apply.sh   (needs scripts/build.sh release and windows; strace for counts)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
vantrel=$b/release/cli/vantrel
exe=$b/windows/cli/vantrel.exe
for tool in "$vantrel" "$exe"; do
  [ -x "$tool" ] || [ -f "$tool" ] ||
    { echo "wine_apply.sh: build $tool first (scripts/build.sh release, windows)" >&2; exit 2; }
done
# shellcheck source=scripts/wine_env.sh
source "$root/scripts/wine_env.sh"
export VANTREL_XVFB=${VANTREL_XVFB:-1}
work=$(mktemp -d "${TMPDIR:-/tmp}/wine_apply_XXXXXX")
wine_session_start >/dev/null
trap 'wine_session_stop >/dev/null 2>&1; rm -rf "$work"' EXIT

# Makes old/f.bin of $1 MiB and new/f.bin from it by the Python statement $2 (on `data`, a
# bytearray), and the script between them.
make_case() {
  rm -rf "$work/old" "$work/new" && mkdir -p "$work/old" "$work/new"
  head -c $(($1 << 20)) /dev/urandom >"$work/old/f.bin"
  python3 -c '
import random, sys
data = bytearray(open(sys.argv[1], "rb").read())
'"$2"'
open(sys.argv[2], "wb").write(data)' "$work/old/f.bin" "$work/new/f.bin"
  "$vantrel" diff --original-format "$work/old" "$work/new" -o "$work/Patch.dat" >/dev/null
  mib=$1 unit=MiB units=$1 what=writes calls='write|pwrite64'
  copy=(wine cmd /c copy /y "$(winpath "$work/old/f.bin")" "$(winpath "$work/copy")")
}
# Makes old/d of $1 files of 4 KiB and new/d with the second half of each file new.
make_tree() {
  rm -rf "$work/old" "$work/new" && mkdir -p "$work/old/d" "$work/new/d"
  python3 -c '
import os, sys
for i in range(int(sys.argv[3])):
    old = os.urandom(4096)
    open(f"{sys.argv[1]}/d/f{i}.bin", "wb").write(old)
    open(f"{sys.argv[2]}/d/f{i}.bin", "wb").write(old[:2048] + os.urandom(2048))' \
    "$work/old" "$work/new" "$1"
  "$vantrel" diff --original-format "$work/old" "$work/new" -o "$work/Patch.dat" >/dev/null
  mib=$(($1 * 4 >> 10)) unit=file units=$1 what=calls calls='.*'
  copy=(wine cmd /c xcopy /e /i /q /y "$(winpath "$work/old")" "$(winpath "$work/copy")")
}
winpath() { echo "Z:${1//\//\\}"; }

best() {  # prints the least seconds of five runs of "$@", each after a fresh destination
  local least=999 s e
  for _ in 1 2 3 4 5; do
    rm -rf "$work/dest" "$work/copy" && cp -r "$work/old" "$work/dest"
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    e=$(date +%s.%N)
    least=$(echo "if ($e - $s < $least) $e - $s else $least" | bc -l)
  done
  printf '%.3f' "$least"
}
counted() {  # the calls counted of one untimed run of "$@" per unit, or n/a
  command -v strace >/dev/null || { echo n/a; return; }
  rm -rf "$work/dest" "$work/copy" && cp -r "$work/old" "$work/dest"
  local n
  n=$(strace -f -c -o "$work/strace.txt" "$@" >/dev/null 2>&1;
      awk -v calls="^($calls)\$" '$NF ~ calls && $NF != "total" && $4 ~ /^[0-9]+$/ {s += $4}
        END {print s + 0}' "$work/strace.txt")
  echo $((n / units))
}
# Commands, not functions, so that strace can run them too.
applying() { apply=(wine "$1" apply "$(winpath "$work/Patch.dat")" "$(winpath "$work/dest")"); }

run() {  # label exe
  local secs
  applying "$2"
  secs=$(best "${apply[@]}")
  printf '%-28s %7s s   %9s %s/%s   apply/copy %5.2f\n' "$1" "$secs" \
    "$(counted "${apply[@]}")" "$what" "$unit" "$(echo "$secs / $copy_secs" | bc -l)"
}
compare() {  # title
  rm -rf "$work/dest" && cp -r "$work/old" "$work/dest"
  applying "$exe"
  "${apply[@]}" >/dev/null 2>&1 && diff -r -x Vantrel.log "$work/dest" "$work/new" >/dev/null ||
    { echo "wine_apply.sh: the apply did not give the new files" >&2; exit 1; }
  printf 'Wine, %s, script of %d bytes\n' "$1" "$(stat -c %s "$work/Patch.dat")"
  copy_secs=$(best "${copy[@]}")
  printf '%-28s %7s s   %9s %s/%s\n' "${copy[3]}" "$copy_secs" "$(counted "${copy[@]}")" \
    "$what" "$unit"
  run "vantrel.exe apply" "$exe"
  [ -z "${VANTREL_BASELINE_EXE:-}" ] || run "baseline apply" "$VANTREL_BASELINE_EXE"
}

# Every 64th byte flipped: the script alternates copies of 63 bytes and inserts of one.
make_case 16 'for i in range(0, len(data), 64): data[i] ^= 0x5A'
compare "16 MiB file (copies and inserts of up to 63 bytes)"
make_case 256 'b = 1 << 16; n = len(data) // b; order = list(range(n)); random.seed(7)
random.shuffle(order); data = bytearray(b"".join(data[i * b:(i + 1) * b] for i in order))'
compare "256 MiB file (its 64 KiB blocks shuffled: one copy each)"
make_tree 2000
compare "2,000 files of 4 KiB (the second half of each new)"

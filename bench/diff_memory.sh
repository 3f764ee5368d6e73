#!/usr/bin/env bash
# Peak resident memory of `vantrel diff` on pairs of folders against its bound, max(64 MiB,
# 1.2 times the largest old file), on 1 and 2 threads, with the time and the script's size
# (and a baseline build's, when given); stops when the scripts of 1 and 2 threads differ.
# Usage: bench/diff_memory.sh [--base BASE_VANTREL] PAIR...   (each PAIR a folder that holds
# old/ and new/, such as build/bench-delta/PACKAGE/pkg once bench/delta_compare.sh has fetched
# PACKAGE; needs the release build: scripts/build.sh release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
vantrel=$b/release/cli/vantrel
base=""
if [ "${1:-}" = --base ]; then base=$2; shift 2; fi
[ $# -gt 0 ] || { echo "usage: diff_memory.sh [--base BASE_VANTREL] PAIR..." >&2; exit 2; }
[ -x "$vantrel" ] ||
  { echo "diff_memory.sh: build $vantrel first (scripts/build.sh release)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints "SECONDS PEAK_KIB SCRIPT_BYTES" of one diff; the script stays in $work/BUILD.THREADS.
run() {  # build pair threads name
  /usr/bin/time -f "%e %M" -o "$work/time" "$1" diff "$2/old" "$2/new" -o "$work/$4.$3" \
    -j "$3" >/dev/null
  echo "$(cat "$work/time") $(stat -c %s "$work/$4.$3")"
}

printf "%-28s %-2s %9s %9s %6s %8s %11s\n" pair -j "peak KiB" "bound" "share" "time s" "script"
for pair in "$@"; do
  largest=$(find "$pair/old" -type f -printf "%s\n" | sort -n | tail -1)
  bound=$(awk -v l="${largest:-0}" \
    'BEGIN {b = l * 1.2 / 1024; printf "%d", (b > 65536 ? b : 65536)}')
  name=$(basename "$pair")
  [ "$name" != pkg ] || name=$(basename "$(dirname "$pair")")
  for build in ours ${base:+base}; do
    bin=$vantrel
    [ "$build" = ours ] || bin=$base
    for threads in 1 2; do
      read -r secs peak size <<<"$(run "$bin" "$pair" "$threads" "$build")"
      printf "%-28s %-2s %9s %9s %6s %8s %11s %s\n" "$name" "$threads" "$peak" "$bound" \
        "$(awk -v p="$peak" -v b="$bound" 'BEGIN {printf "%.3f", p / b}')" "$secs" "$size" \
        "$([ "$build" = ours ] || echo base)"
    done
    cmp -s "$work/$build.1" "$work/$build.2" ||
      { echo "diff_memory.sh: $name: the scripts of 1 and 2 threads differ ($build)" >&2; exit 1; }
    echo "$name bzip2 -9 of the script ($build): $(bzip2 -9 -c "$work/$build.1" | wc -c) bytes"
  done
done

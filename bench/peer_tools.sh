# Shared by the delta benchmarks: timing a peer tool, and running one per file as a patch script
# carries files. Needs $work (a scratch folder) set by the caller.

# What GNU time itself adds to a command's wall time, in nanoseconds: taken off each timing, so
# that a tool run once per file does not pay it once per file.
wrapper_ns() {
  local start middle end
  start=$(date +%s%N)
  for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do /bin/true; done
  middle=$(date +%s%N)
  for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    /usr/bin/time -f "%M" -o /dev/null /bin/true
  done
  end=$(date +%s%N)
  local ns=$(((end - 2 * middle + start) / 20))
  echo $((ns > 0 ? ns : 0))
}
wrapper=$(wrapper_ns)

# Peak resident memory (KiB) into kib, through GNU time, and seconds into secs, from the clock
# to the millisecond less the wrapper's own time: GNU time's 10 ms steps would round away a
# small file's whole run, and the per-file sums add up many of them.
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" ||
    { cat "$work/err.txt" >&2; exit 1; }
  end=$(date +%s%N)
  read -r kib <"$work/time.txt"
  local ns=$((end - start - wrapper))
  ((ns > 0)) || ns=0
  secs=$(printf '%d.%03d' $((ns / 1000000000)) $((ns / 1000000 % 1000)))
}

# Decodes a peer's patch into $work/check and requires it to be the new file: a size counts only
# for a patch that rebuilds it. Exits with a message otherwise.
check_patch() {  # xdelta3|zstd|bsdiff PATCH NEW [OLD]
  local c=$work/check
  rm -f "$c"
  case $1 in
    xdelta3) xdelta3 -d -D -f ${4:+-s "$4"} "$2" "$c" ;;
    zstd) zstd -q -d -f --long=31 ${4:+--patch-from="$4"} "$2" -o "$c" ;;
    bsdiff) if [ -n "${4:-}" ]; then bspatch "$4" "$c" "$2"; else bzip2 -dc "$2" >"$c"; fi ;;
  esac >/dev/null 2>&1 && cmp -s "$c" "$3" || {
    echo "$1: the patch for '$3' does not rebuild it; its size would not count" >&2
    exit 1
  }
  rm -f "$c"
}

# One tool per file of NEW: each changed file against its version in OLD, each new file alone
# (bsdiff's: bzip2 -9 of it, as its extra stream would hold it); equal files cost nothing.
# xdelta3 runs with -D: otherwise it decompresses a .gz input and recompresses its output,
# which need not give the same file back. Every patch is decoded and compared with its file.
# Sets t_bytes, t_secs (the sums) and t_kib (the largest peak).
per_file() {  # xdelta3|zstd|bsdiff OLD NEW
  t_bytes=0 t_secs=0 t_kib=0
  local o=$2 n=$3 p=$work/one.patch source
  while IFS= read -r -d '' f; do
    source=
    if [ -f "$o/$f" ]; then
      cmp -s "$o/$f" "$n/$f" && continue
      source=$o/$f
      case $1 in
        xdelta3) measure xdelta3 -9 -D -f -e -s "$o/$f" "$n/$f" "$p" ;;
        zstd) measure zstd -q -19 -f --long=31 --patch-from="$o/$f" "$n/$f" -o "$p" ;;
        bsdiff) measure bsdiff "$o/$f" "$n/$f" "$p" ;;
      esac
    else
      case $1 in
        xdelta3) measure xdelta3 -9 -D -f -e "$n/$f" "$p" ;;
        zstd) measure zstd -q -19 -f "$n/$f" -o "$p" ;;
        bsdiff) measure sh -c 'bzip2 -9 -c "$1" >"$2"' bzip2 "$n/$f" "$p" ;;
      esac
    fi
    check_patch "$1" "$p" "$n/$f" $source
    t_bytes=$((t_bytes + $(stat -c %s "$p")))
    t_secs=$(echo "$t_secs + $secs" | bc -l)
    [ "$kib" -gt "$t_kib" ] && t_kib=$kib
  done < <(cd "$n" && find . -type f -print0)
  rm -f "$p"
}

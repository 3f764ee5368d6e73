# Shared by the delta benchmarks: timing a peer tool, and running one per file as a patch script
# carries files. Needs $work (a scratch folder) set by the caller.

# Peak resident memory (KiB) into kib and seconds into secs, of one command through GNU time.
measure() {
  /usr/bin/time -f "%M %e" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" ||
    { cat "$work/err.txt" >&2; exit 1; }
  read -r kib secs <"$work/time.txt"
}

# One tool per file of NEW: each changed file against its version in OLD, each new file alone
# (bsdiff's: bzip2 -9 of it, as its extra stream would hold it); equal files cost nothing. Sets
# t_bytes, t_secs (the sums) and t_kib (the largest peak).
per_file() {  # xdelta3|zstd|bsdiff OLD NEW
  t_bytes=0 t_secs=0 t_kib=0
  local o=$2 n=$3 p=$work/one.patch
  while IFS= read -r -d '' f; do
    if [ -f "$o/$f" ]; then
      cmp -s "$o/$f" "$n/$f" && continue
      case $1 in
        xdelta3) measure xdelta3 -9 -f -e -s "$o/$f" "$n/$f" "$p" ;;
        zstd) measure zstd -q -19 -f --long=31 --patch-from="$o/$f" "$n/$f" -o "$p" ;;
        bsdiff) measure bsdiff "$o/$f" "$n/$f" "$p" ;;
      esac
    else
      case $1 in
        xdelta3) measure xdelta3 -9 -f -e "$n/$f" "$p" ;;
        zstd) measure zstd -q -19 -f "$n/$f" -o "$p" ;;
        bsdiff) measure sh -c 'bzip2 -9 -c "$1" >"$2"' bzip2 "$n/$f" "$p" ;;
      esac
    fi
    t_bytes=$((t_bytes + $(stat -c %s "$p")))
    t_secs=$(echo "$t_secs + $secs" | bc -l)
    [ "$kib" -gt "$t_kib" ] && t_kib=$kib
  done < <(cd "$n" && find . -type f -print0)
  rm -f "$p"
}

# Sourced by the Wine memory benchmarks (wine_unpack.sh, wine_script_memory.sh,
# wine_installer_memory.sh): the tier's build tree, its Wine session, and the lines that set a
# peak against the data's size and against a baseline's peak.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
b=${VANTREL_BUILD_ROOT:-$root/build}
tier=${VANTREL_WINE_TIER:-win32}
tree=windows
[ "$tier" = win64 ] && tree=windows64

# Starts the tier's Wine session; it ends with the script, and $work (when set) goes with it.
start_wine() {
  # shellcheck source=scripts/wine_env.sh
  source "$root/scripts/wine_env.sh"
  export VANTREL_XVFB=${VANTREL_XVFB:-1}
  wine_session_start >/dev/null
  trap 'wine_session_stop >/dev/null 2>&1; [ -z "${work:-}" ] || rm -rf "$work"' EXIT
}

# Prints this build's peak (KiB) against MIB MiB of WHAT, and against BASE's when given.
print_peaks() {  # what mib ours [base]
  echo "  this build: peak resident $3 KiB, $(awk -v h="$3" -v m="$2" \
    'BEGIN {printf "%.3f", h / (m * 1024)}') of the $1's size"
  [ -z "${4:-}" ] || echo "  baseline:   peak resident $4 KiB; this build / baseline: $(awk \
    -v a="$3" -v b="$4" 'BEGIN {printf (b + 0 > 0 ? "%.3f" : "n/a"), a / (b + 0 > 0 ? b : 1)}')"
}

# Runs the sourcing script's peak() (label, input) on this build's INPUT and, when BASELINE is
# given, on that one, then prints HEADER and both peaks against MIB MiB of WHAT.
compare_peaks() {  # what mib header input [baseline]
  local ours base=""
  ours=$(peak ours "$4")
  [ -z "${5:-}" ] || base=$(peak base "$5")
  echo "$3"
  print_peaks "$1" "$2" "$ours" "$base"
}

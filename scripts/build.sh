#!/usr/bin/env bash
# Configures and builds one of the project's build trees: native (clang with sanitizers, tests,
# fuzzers), release (optimised vantrel and benchmarks), windows (the i686 stub, the product, and
# the Windows tests) or windows64 (the same sources for x86-64, the test tier of machines that
# run no 32-bit programs). Each tree's settings live in CMakePresets.json; this only chooses
# where the tree goes. With TARGETs it builds only those, in the same tree: a later build of the
# whole tree goes on from there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?usage: build.sh native|release|windows|windows64 [TARGET...]}
shift
case $kind in
  native|release|windows|windows64) ;;
  *) echo "build.sh: unknown build '$kind'" >&2; exit 2 ;;
esac
# Several checkouts or people may share a machine: VANTREL_BUILD_ROOT moves the build trees.
b=${VANTREL_BUILD_ROOT:-$root/build}
cd "$root"
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --preset "$kind" -B "$b/$kind" >/dev/null
cmake --build "$b/$kind" -j "$(nproc)" "${targets[@]}"

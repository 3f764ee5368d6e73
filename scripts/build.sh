#!/usr/bin/env bash
# Configures and builds one of the project's build trees: native (clang with sanitizers, tests,
# fuzzers), release (optimised vantrel and benchmarks) or windows (mingw stub, Windows tests).
# Each tree's settings live in CMakePresets.json; this only chooses where the tree goes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?usage: build.sh native|release|windows}
case $kind in
  native|release|windows) ;;
  *) echo "build.sh: unknown build '$kind'" >&2; exit 2 ;;
esac
# Several checkouts or people may share a machine: VANTREL_BUILD_ROOT moves the build trees.
b=${VANTREL_BUILD_ROOT:-$root/build}
cd "$root"
cmake --preset "$kind" -B "$b/$kind" >/dev/null
cmake --build "$b/$kind" -j "$(nproc)"

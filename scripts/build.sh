#!/usr/bin/env bash
# Configures and builds one of the project's build trees: native (clang with sanitizers, tests,
# fuzzers), release (optimised vantrel and benchmarks) or windows (mingw stub, Windows tests).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:?usage: build.sh native|release|windows}
jobs=$(nproc)
# Several checkouts or people may share a machine: VANTREL_BUILD_ROOT moves the build trees.
b=${VANTREL_BUILD_ROOT:-$root/build}
case $kind in
  native)
    cmake -S "$root" -B "$b/native" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_FUZZ=ON \
      -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
      -DCMAKE_C_FLAGS="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
    cmake --build "$b/native" -j "$jobs" ;;
  release)
    cmake -S "$root" -B "$b/release" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
      -DVANTREL_TESTS=OFF -DVANTREL_BENCH=ON >/dev/null
    cmake --build "$b/release" -j "$jobs" ;;
  windows)
    cmake -S "$root" -B "$b/windows" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
    cmake --build "$b/windows" -j "$jobs" ;;
  *) echo "build.sh: unknown build '$kind'" >&2; exit 2 ;;
esac

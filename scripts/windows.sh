#!/usr/bin/env bash
# Builds the two Windows packages with mingw-w64 (i686 into build-win32/,
# x86_64 into build-win64/) and runs their suites under wine's real winmm.
# Each build leaves its package laid out in build-winNN/package/ (bin/, lib/,
# include/) and zipped as build-winNN/Sonavex-VERSION-winNN.zip.
#   scripts/windows.sh [win32|win64 ...]    (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
arches=("$@")
((${#arches[@]})) || arches=(win32 win64)

step() { printf '\n==== %s ====\n' "$*"; }

for arch in "${arches[@]}"; do
  case $arch in
  win32) toolchain=cmake/mingw-i686.cmake ;;
  win64) toolchain=cmake/mingw-x86_64.cmake ;;
  *) echo "windows.sh: unknown architecture $arch (win32 or win64)" >&2; exit 2 ;;
  esac
  step "Windows $arch: build"
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
  cmake --build "build-$arch" -j "$jobs"
  rm -rf "build-$arch/package"
  cmake --install "build-$arch" --prefix "build-$arch/package" --strip >/dev/null
  (cd "build-$arch" && cpack -G ZIP -B . >/dev/null)
  ls -l "build-$arch"/package/bin/*.dll | awk '{print "  " $5 " bytes  " $9}'
done

step "wine: the prefix, and 32-bit execution"
# Where the kernel runs no 32-bit code, qemu-user runs wine32; where even that
# cannot be set up, the 32-bit suites report SKIPPED (scripts/wine-run.sh).
scripts/run32.sh --setup || echo "windows.sh: 32-bit Windows programs cannot run here; their suites will be skipped"
scripts/wine-prefix.sh

for arch in "${arches[@]}"; do
  step "Windows $arch: tests (package checks, and the suites under wine)"
  scripts/ctest.sh --test-dir "build-$arch" --output-on-failure -j "$jobs"
done

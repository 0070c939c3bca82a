#!/usr/bin/env bash
# Runs every test from a fresh clone: installs the packages, builds the 32- and
# 64-bit Windows packages and runs their suites under wine, runs the
# concurrency tests under ThreadSanitizer, the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer with gcc and with clang, the
# fuzz targets for a bounded time, and the whole suite in a normal build.
# A test whose optional peer is missing (wine32, qemu, PulseAudio, ffmpeg,
# gnuplot) reports SKIPPED with the reason; the run goes on.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test

jobs=${JOBS:-2}

step() { printf '\n==== %s ====\n' "$*"; }

step "Windows packages (mingw-w64 i686 and x86_64), tested under wine"
scripts/windows.sh

step "ThreadSanitizer: concurrency tests"
cmake -S . -B build-tsan -DSV_SANITIZE=thread -DSV_BUILD_BENCH=OFF -DSV_BUILD_TOOLS=OFF
cmake --build build-tsan -j "$jobs"
scripts/ctest.sh --test-dir build-tsan -L tsan --output-on-failure -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
cmake -S . -B build-asan -DSV_SANITIZE=address,undefined -DSV_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
scripts/ctest.sh --test-dir build-asan --output-on-failure -j "$jobs"

# clang's UndefinedBehaviorSanitizer also checks the function type of every
# indirect call, the device callbacks among them.
step "Clang AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
CC=clang CXX=clang++ cmake -S . -B build-clang-asan -DSV_SANITIZE=address,undefined -DSV_BUILD_BENCH=OFF
cmake --build build-clang-asan -j "$jobs"
scripts/ctest.sh --test-dir build-clang-asan --output-on-failure -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
  step "Fuzz targets: payload decoding, playback and capture exports (bounded, AddressSanitizer)"
  cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSV_BUILD_FUZZ=ON -DSV_BUILD_TESTS=OFF -DSV_BUILD_BENCH=OFF -DSV_BUILD_TOOLS=OFF
  cmake --build build-fuzz -j "$jobs"
  if [ -x fuzz/run.sh ]; then fuzz/run.sh build-fuzz; fi
fi

step "Normal build: all tests"
# The main job configures the same tree without tests; they are asked for here.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSV_BUILD_TESTS=ON -DSV_BUILD_BENCH=ON
cmake --build build -j "$jobs"
scripts/ctest.sh --test-dir build --output-on-failure -j "$jobs"

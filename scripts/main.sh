#!/usr/bin/env bash
# The main job from a fresh clone: installs the packages, builds, and runs the
# frame-buffer demo (a live stream fed and played back, with its clock).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "${JOBS:-2}"
exec build/bin/sonavex-demo "$@"

#!/usr/bin/env bash
# The main job from a fresh clone: installs the packages, builds (which makes
# the speech samples), and plays the AMR sample through the library as a
# video-recorder client would. Without a sound card it plays on the virtual
# real-time device; what was played is recorded to build/speech-played.wav.
# Extra arguments go to sonavex-play (e.g. --speed 4, --file, --mute).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "${JOBS:-2}"
exec build/bin/sonavex-play --out build/speech-played.wav "$@" build/samples/speech.amr

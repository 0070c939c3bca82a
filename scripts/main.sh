#!/usr/bin/env bash
# The main job from a fresh clone: installs the packages it needs (the main
# profile of scripts/setup.sh: nothing for tests or Windows), builds the
# library and the host programs (which makes the speech samples), and plays the AMR sample through the library as a
# video-recorder client would. With a sound card it plays on the default
# output device; without one it plays on the virtual real-time device and
# records what it played to build/speech-played.wav.
# Extra arguments go to sonavex-play (e.g. --speed 4, --file, --mute).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSV_BUILD_TESTS=OFF -DSV_BUILD_BENCH=OFF
cmake --build build -j "${JOBS:-2}"

sample=build/samples/speech.amr
if grep -qE '^ *[0-9]+ ' /proc/asound/cards 2>/dev/null; then
  exec build/bin/sonavex-play "$@" "$sample"
fi
echo "main: no sound card; rendering to build/speech-played.wav on the virtual device"
exec build/bin/sonavex-play --out build/speech-played.wav "$@" "$sample"

#!/usr/bin/env bash
# Makes the speech samples: a few seconds of espeak-ng speech as a WAV file, a
# FLAC file (44.1 kHz stereo, for the resampling path), an AMR-NB file at
# 12.2 kbit/s and one at 4.75 kbit/s, and a voice-engine stream.
# usage: make-samples.sh ENCODER OUTDIR   (ENCODER: the sonavex-encode program)
set -euo pipefail
encoder=$1
out=$2
text="Sonavex playback. One, two, three, four, five. \
The quick brown fox jumps over the lazy dog."

mkdir -p "$out"
espeak-ng -v en -s 150 -w "$out/speech.wav" "$text"
sox -q "$out/speech.wav" -r 44100 -c 2 "$out/speech.flac"
"$encoder" "$out/speech.wav" "$out/speech.amr" >/dev/null
"$encoder" --amr-mode 0 "$out/speech.wav" "$out/speech-475.amr" >/dev/null
"$encoder" "$out/speech.wav" "$out/speech.ve" >/dev/null

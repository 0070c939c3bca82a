#!/usr/bin/env bash
# Makes the speech samples: a few seconds of espeak-ng speech as a WAV file, a
# FLAC file (44.1 kHz stereo, for the resampling path), an AMR-NB file at
# 12.2 kbit/s and one at 4.75 kbit/s, both also with discontinuous
# transmission, and a voice-engine stream.
# usage: make-samples.sh ENCODER OUTDIR DTX_ENCODER
#   (ENCODER: the sonavex-encode program; DTX_ENCODER: make_dtx_amr)
set -euo pipefail
encoder=$1
out=$2
dtx_encoder=$3
text="Sonavex playback. One, two, three, four, five. \
The quick brown fox jumps over the lazy dog."

mkdir -p "$out"
espeak-ng -v en -s 150 -w "$out/speech.wav" "$text"
sox -q "$out/speech.wav" -r 44100 -c 2 "$out/speech.flac"
"$encoder" "$out/speech.wav" "$out/speech.amr" >/dev/null
"$encoder" --amr-mode 0 "$out/speech.wav" "$out/speech-475.amr" >/dev/null
"$encoder" "$out/speech.wav" "$out/speech.ve" >/dev/null
# The DTX files keep half a second of silence at each end, so that they start
# and end in comfort noise.
sox -q "$out/speech.wav" -r 8000 -c 1 -b 16 -e signed -t raw "$out/speech-8k.raw" pad 0.5 0.5
"$dtx_encoder" 7 "$out/speech-8k.raw" "$out/speech-dtx.amr" >/dev/null
"$dtx_encoder" 0 "$out/speech-8k.raw" "$out/speech-475-dtx.amr" >/dev/null
rm -f "$out/speech-8k.raw"

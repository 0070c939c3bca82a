#!/usr/bin/env bash
# Runs the payload-decoding fuzzer for a bounded time: fuzz/run.sh <build dir>.
# FUZZ_SECONDS (default 60) bounds the run. The corpus grows in
# <build dir>/fuzz/corpus from the seeds written first; a crash, a sanitizer
# report or a failed check stops the run, leaves the input in <build dir>/fuzz/
# and makes the script fail.
set -euo pipefail
build=${1:?usage: fuzz/run.sh <build dir>}
seconds=${FUZZ_SECONDS:-60}
bin="$build/bin"
out="$build/fuzz"
mkdir -p "$out/corpus"
"$bin/fuzz_make_seeds" "$out/corpus"
exec "$bin/fuzz_decode_payload" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus"

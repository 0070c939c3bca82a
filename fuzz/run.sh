#!/usr/bin/env bash
# Runs every fuzz target for a bounded time: fuzz/run.sh <build dir>.
#
# FUZZ_SECONDS (default 60) is the payload target's time; the two stateful
# targets get half of it each unless FUZZ_SECONDS_PLAYBACK or
# FUZZ_SECONDS_CAPTURE say otherwise: 60 + 30 + 30 s by default; the RTP
# receive path gets FUZZ_SECONDS_RTP, 20 s unless set. Each target
# starts from the seeds kept in fuzz/corpus/<target>, copied afresh into the
# scratch corpus <build dir>/fuzz/corpus/<target>, where the run's finds
# collect. A crash, a sanitizer report or a failed check stops that target,
# leaves the input in <build dir>/fuzz/ (named after the target) and makes the
# script fail once every target has had its turn.
set -euo pipefail
build=${1:?usage: fuzz/run.sh <build dir>}
here=$(cd "$(dirname "$0")" && pwd)
seconds=${FUZZ_SECONDS:-60}
half=$(( (seconds + 1) / 2 ))
bin="$build/bin"
out="$build/fuzz"

failed=()
run() {
  local target=$1 secs=$2
  shift 2
  local corpus="$out/corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$here/corpus/$target"/* "$corpus/"
  printf '\n==== %s: %s s ====\n' "$target" "$secs"
  if ! "$bin/$target" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/$target-" "$@" "$corpus"; then
    failed+=("$target")
  fi
}

mkdir -p "$out"
run fuzz_decode_payload "$seconds"
# Inputs of the stateful targets are op runs; 2 KiB holds a few hundred ops.
run fuzz_playback_exports "${FUZZ_SECONDS_PLAYBACK:-$half}" -max_len=2048
run fuzz_capture_exports "${FUZZ_SECONDS_CAPTURE:-$half}" -max_len=2048
# A datagram run; 4 KiB holds a few dozen datagrams.
run fuzz_rtp_depacketise "${FUZZ_SECONDS_RTP:-20}" -max_len=4096

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz/run.sh: failed: ${failed[*]} (inputs in $out/)" >&2
  exit 1
fi

#!/usr/bin/env bash
# A long fuzzing campaign over every target, then a coverage report:
#   fuzz/campaign.sh HOURS [fuzz build dir] [coverage build dir]
# (defaults build-fuzz and build-fuzz-cov, both configured and built here).
#
# HOURS (may be fractional) of wall time are split between the targets: half
# for fuzz_decode_payload, 30 % for fuzz_playback_exports and 20 % for
# fuzz_capture_exports (FUZZ_SHARES="50 30 20" to change), in proportion to
# the inputs each needs for a few million runs at its speed. Each target runs
# as two jobs at once, sharing one corpus, each held by taskset to a processor
# of its own (the stateful targets keep their device threads on it too). The
# corpora live in
# <fuzz build dir>/fuzz/campaign/<target>, started from the seeds kept in
# fuzz/corpus and kept for the next campaign; job logs and any crashing
# inputs are left beside them. A share of 0 leaves a target out.
#
# The coverage build (SV_FUZZ_COVERAGE=ON) then replays the kept seeds alone,
# and the grown corpora, and prints the line coverage of audio/ and codec/
# for each; the full reports are written to <coverage build dir>/coverage/.
set -euo pipefail
hours=${1:?usage: fuzz/campaign.sh HOURS [fuzz build dir] [coverage build dir]}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${2:-$top/build-fuzz}" && cd "${2:-$top/build-fuzz}" && pwd)
cov=$(mkdir -p "${3:-$top/build-fuzz-cov}" && cd "${3:-$top/build-fuzz-cov}" && pwd)
targets=(fuzz_decode_payload fuzz_playback_exports fuzz_capture_exports)
read -r -a shares <<< "${FUZZ_SHARES:-50 30 20}"  # per cent of the time
profdata=${LLVM_PROFDATA:-llvm-profdata-14}
llvmcov=${LLVM_COV:-llvm-cov-14}

configure() {
  cmake -S "$top" -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSV_BUILD_FUZZ=ON \
    -DSV_BUILD_TESTS=OFF -DSV_BUILD_BENCH=OFF -DSV_BUILD_TOOLS=OFF "${@:2}" > "$1/configure.log"
  cmake --build "$1" -j 2 --target "${targets[@]}" > "$1/build.log"
}
echo "building $build and $cov"
configure "$build" -DSV_FUZZ_COVERAGE=OFF
configure "$cov" -DSV_FUZZ_COVERAGE=ON

# The processors this script may use (Cpus_allowed_list: "0-3,6"), the
# first two for the two jobs.
cpus=()
IFS=, read -r -a ranges <<< "$(awk '/^Cpus_allowed_list/ { print $2 }' /proc/self/status)"
for range in "${ranges[@]}"; do
  for ((c = ${range%-*}; c <= ${range#*-}; c++)); do cpus+=("$c"); done
done
[ ${#cpus[@]} -ge 2 ] || cpus=("${cpus[0]}" "${cpus[0]}")

total=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
summary="$build/fuzz/campaign/summary.txt"
mkdir -p "$build/fuzz/campaign"
: > "$summary"
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  [ "${shares[$i]}" -gt 0 ] || continue
  secs=$(( total * ${shares[$i]} / 100 ))
  [ "$secs" -ge 1 ] || secs=1
  dir="$build/fuzz/campaign/$target"
  mkdir -p "$dir/corpus"
  for seed in "$top/fuzz/corpus/$target"/*; do
    [ -e "$dir/corpus/${seed##*/}" ] || cp "$seed" "$dir/corpus/"
  done
  rm -f "$dir"/job-*.log
  extra=()
  [ "$target" = fuzz_decode_payload ] || extra=(-max_len=2048)
  echo "$(date +%T) $target: $secs s, 2 jobs"
  # A job that finds a crash stops there; the other goes on.
  for job in 0 1; do
    taskset -c "${cpus[$job]}" "$build/bin/$target" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/" "${extra[@]}" "$dir/corpus" > "$dir/job-$job.log" 2>&1 &
  done
  wait || true
  execs=$(awk -F: '/^stat::number_of_executed_units/ { n += $NF } END { print n + 0 }' "$dir"/job-*.log)
  rate=$(awk -F: '/^stat::average_exec_per_sec/ { n += $NF } END { print n + 0 }' "$dir"/job-*.log)
  crashes=$(find "$dir" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) |
    wc -l)
  line="$target: $execs execs, $rate exec/s (both jobs), $crashes crashing inputs, corpus $(ls "$dir/corpus" | wc -l) inputs"
  echo "$line" | tee -a "$summary"
done

# Coverage: the seeds alone, then the grown corpora. libFuzzer with -runs=0
# runs each input once and exits.
report() {
  local name=$1 prof="$cov/coverage/$1"
  rm -rf "$prof"
  mkdir -p "$prof"
  local objects=()
  for target in "${targets[@]}"; do
    local corpus="$top/fuzz/corpus/$target"
    [ "$name" = before ] || corpus="$build/fuzz/campaign/$target/corpus"
    LLVM_PROFILE_FILE="$prof/$target.profraw" "$cov/bin/$target" -runs=0 "$corpus" > "$prof/$target.log" 2>&1 ||
      echo "warning: $target failed replaying $corpus (see $prof/$target.log)" | tee -a "$summary"
    objects+=(-object "$cov/bin/$target")
  done
  "$profdata" merge -sparse -o "$prof/merged.profdata" "$prof"/*.profraw
  for part in audio codec; do
    # Its warnings (the targets' own entry points differ between them) go
    # beside the report.
    "$llvmcov" report "${objects[@]:1}" -instr-profile="$prof/merged.profdata" "$top/$part" > "$prof/$part.txt" \
      2> "$prof/$part.log"
    # The TOTAL row: regions, missed, cover, functions, missed, executed, lines, missed, cover.
    awk -v what="$name" -v part="$part/" '/^TOTAL/ { printf "line coverage %-6s %-6s %s (%d of %d lines)\n", what, part, $10, $8 - $9, $8 }' \
      "$prof/$part.txt" | tee -a "$summary"
  done
}
report before
report after
echo "summary in $summary; coverage reports in $cov/coverage/"

#!/usr/bin/env bash
# ctest, then every test it skipped with the reason the test gave:
#   ctest.sh --test-dir BUILD [CTEST ARGS...]
# A skipped test is never silent: each gets a line
#   SKIPPED: <test>: <reason>
# from its own output (a "SKIPPED: ..." line of ours, or what follows
# GoogleTest's "Skipped"), so a run on a machine without a test peer says what
# did not run and why.
set -uo pipefail
dir=
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[i]}" = --test-dir ] && dir=${args[i + 1]:-}
done
[ -n "$dir" ] || { echo "usage: ctest.sh --test-dir BUILD [CTEST ARGS...]" >&2; exit 2; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
ctest "$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}

# "  12/40 Test  #7: name .......***Skipped   0.01 sec"
mapfile -t skipped < <(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*Skipped.*/\1/p' "$out")
log=$dir/Testing/Temporary/LastTest.log
for name in "${skipped[@]}"; do
  reason=$(awk -v name="$name" '
    $0 ~ /^[0-9]+\/[0-9]+ Testing: / { inside = ($3 == name); after = 0; next }
    !inside { next }
    after { if ($0 != "") { print; exit } next }
    /^SKIPPED: / { sub(/^SKIPPED: /, ""); print; exit }
    /: Skipped$/ { after = 1 }
  ' "$log" 2>/dev/null)
  echo "SKIPPED: $name: ${reason:-(the test gave no reason)}"
done
exit "$status"

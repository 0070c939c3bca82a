#!/usr/bin/env bash
# Runs one Windows test program under wine, as CTest's emulator for the
# Windows builds:  wine-run.sh PROGRAM.exe [ARGS...]
#
# A GoogleTest program is judged by its own result line, not by wine's exit
# status: 32-bit programs that run through qemu-user may crash at process exit
# after their work is done. Any other program is judged by its exit status.
# A 32-bit program on a machine that cannot run 32-bit code at all is reported
# SKIPPED (exit 77, which the tests declare as their skip code), never passed.
set -u
. "$(dirname "$0")/wine-env.sh"

program=$1
shift

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-run: no wine prefix at $WINEPREFIX; scripts/wine-prefix.sh makes it" >&2
  exit 1
fi

machine=$(x86_64-w64-mingw32-objdump -f "$program" 2>/dev/null | sed -n 's/.*file format //p')
if [ "$machine" = pei-i386 ]; then
  if ! "$repo_root/scripts/run32.sh" --check >/dev/null 2>&1; then
    echo "SKIPPED: $(basename "$program"): this machine cannot run 32-bit programs ($("$repo_root/scripts/run32.sh" --check 2>&1 | tail -n 1))"
    exit 77
  fi
  # Under qemu-user, wine32 crashes ("segv_handler Got unexpected trap -1")
  # as soon as a wave callback raises an exception, which every debugger trace
  # does in wine: qemu's signal context breaks wine's exception dispatch on
  # the wave-callback thread. A program that plays or records (one that does
  # not declare SV_WINE_QEMU_OK) cannot run there.
  if [ -z "${SV_WINE_QEMU_OK:-}" ] && [ "$("$repo_root/scripts/run32.sh" --mode 2>/dev/null)" = qemu ]; then
    echo "SKIPPED: $(basename "$program"): 32-bit programs run here only through qemu-user, which crashes wine's exception dispatch on the wave-callback thread (a debugger trace in a wave callback ends the process)"
    exit 77
  fi
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
timeout "${SV_WINE_TIMEOUT:-900}" wine "$program" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

if grep -q '^\[==========\] Running' "$log"; then
  if grep -q '^\[  FAILED  \]' "$log"; then
    exit 1
  fi
  if grep -qE '^\[  PASSED  \] [0-9]+ tests?\.' "$log"; then
    if [ "$status" -ne 0 ]; then
      echo "wine-run: the program's own result line says it passed; wine exited $status after it"
    fi
    exit 0
  fi
  echo "wine-run: no result line (wine exit status $status)" >&2
  exit 1
fi
exit "$status"

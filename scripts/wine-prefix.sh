#!/usr/bin/env bash
# Makes the run's one wine prefix (once; later calls reuse it). A 64-bit
# prefix runs both the x86_64 and the i686 programs.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
if [ -f "$WINEPREFIX/system.reg" ]; then
  exit 0
fi
mkdir -p "$(dirname "$WINEPREFIX")"
echo "wine-prefix: making $WINEPREFIX (the first start of wine takes a while)"
# No sound server yet: the prefix is made without one.
PULSE_SERVER=unix:/nonexistent wineboot --init >/dev/null 2>&1 || true
wineserver -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "wine-prefix: wineboot made no prefix at $WINEPREFIX" >&2; exit 1; }

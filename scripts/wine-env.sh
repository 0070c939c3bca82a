# Sourced by the scripts that run Windows programs under wine: one prefix for
# the whole run, quiet, without the browser and .NET installers a fresh prefix
# would otherwise offer.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${SV_WINEPREFIX:-$repo_root/build-wine/prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine is a console host here: no display.
unset DISPLAY WAYLAND_DISPLAY
# qemu-i386 (where 32-bit programs run through it) needs the upper address
# space kept for the guest, or wine32 often fails to map its shared data.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xf7000000}

#!/usr/bin/env bash
# 32-bit Windows programs run under wine32, itself a 32-bit Linux program.
# Some kernels run no 32-bit code ("Exec format error"); there qemu-user's
# qemu-i386 can run it, once binfmt_misc hands 32-bit ELF files to it.
#
#   run32.sh --check   exit 0 when 32-bit Linux programs start here; else say why
#   run32.sh --mode    print how they start: "native", or "qemu" (through
#                      qemu-user, registered with binfmt_misc); exit 1 if not
#   run32.sh --setup   make them start: register qemu-i386 when the kernel
#                      cannot (needs root, binfmt_misc and qemu-user)
set -u
probe=/usr/lib/wine/wine   # wine32's loader: a 32-bit ELF program

starts() { "$probe" --version >/dev/null 2>&1; }

# binfmt_misc's handlers come before the kernel's own ELF loader: with an
# enabled qemu-i386 entry, every 32-bit program runs through qemu.
via_qemu() { grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; }

case "${1:-}" in
--check)
  [ -x "$probe" ] || { echo "wine32 is not installed ($probe missing)"; exit 1; }
  starts && exit 0
  echo "32-bit programs do not start: $("$probe" --version 2>&1 | head -n 1)"
  exit 1
  ;;
--mode)
  [ -x "$probe" ] && starts || { echo "none"; exit 1; }
  if via_qemu; then echo qemu; else echo native; fi
  ;;
--setup)
  [ -x "$probe" ] || { echo "run32: wine32 is not installed ($probe missing)" >&2; exit 1; }
  starts && exit 0
  qemu=$(command -v qemu-i386 || true)
  [ -n "$qemu" ] || { echo "run32: 32-bit programs do not start and qemu-i386 is not installed" >&2; exit 1; }
  misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null ||
    { echo "run32: cannot mount binfmt_misc at $misc" >&2; exit 1; }
  if [ ! -e "$misc/qemu-i386" ]; then
    # 32-bit little-endian x86 ELF executables and shared objects; F opens the
    # interpreter now, so it works in any mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
      > "$misc/register" || { echo "run32: binfmt_misc refused the qemu-i386 entry" >&2; exit 1; }
  fi
  starts || { echo "run32: 32-bit programs still do not start through $qemu" >&2; exit 1; }
  echo "run32: 32-bit programs run through $qemu"
  ;;
*)
  echo "usage: run32.sh --check | --mode | --setup" >&2
  exit 2
  ;;
esac

#!/usr/bin/env bash
# Runs the README's commands as a new user would, on a fresh Debian 12: makes
# a minimal chroot with debootstrap (with git and ca-certificates, and this
# machine's own apt sources), clones this repository's committed HEAD into it
# and runs the main job there, printing its time; with --test it runs every
# test too. This is how a change to the set-up is tested; CI does not run it.
#
#   scripts/fresh-check.sh [--test] [--keep] [DIR]
#
#   --test   run scripts/test.sh after the main job
#   --keep   leave the chroot in place afterwards (it is removed otherwise)
#   DIR      where to make the chroot (default /var/tmp/sonavex-fresh; an
#            existing one is removed first)
#
# Needs root. Installs debootstrap on this machine when it is missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

run_tests= keep= root=/var/tmp/sonavex-fresh
for arg in "$@"; do
  case $arg in
  --test) run_tests=1 ;;
  --keep) keep=1 ;;
  -h | --help) sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 0 ;;
  -*) echo "fresh-check: unknown option '$arg'" >&2; exit 2 ;;
  *) root=$arg ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: run as root (debootstrap and chroot need it)" >&2; exit 1; }
case $root in
/ | /usr | /var | /tmp | "") echo "fresh-check: '$root' is no place for a chroot" >&2; exit 2 ;;
esac

say() { printf '\n==== fresh-check: %s ====\n' "$*"; }

mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[i]}" 2>/dev/null || true
  done
  if [ -z "$keep" ] && [ -d "$root" ]; then
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT

if ! command -v debootstrap >/dev/null; then
  say "installing debootstrap on this machine"
  apt-get install -y --no-install-recommends debootstrap >/dev/null ||
    { apt-get update >/dev/null 2>&1; apt-get install -y --no-install-recommends debootstrap; }
fi

# The mirror this machine uses for Debian's main suite.
mirror=$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
  grep -v -- '-security' | grep -m1 -o 'https\?://[^ ]*debian[^ ]*' || true)
mirror=${mirror:-http://deb.debian.org/debian}

rm -rf --one-file-system "$root"
mkdir -p "$root"
say "debootstrap bookworm (minbase) from $mirror into $root"
start=$SECONDS
debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -n 20 "$root.debootstrap.log" >&2; echo "fresh-check: debootstrap failed (log: $root.debootstrap.log)" >&2; exit 1; }
rm -f "$root.debootstrap.log"
echo "chroot made in $((SECONDS - start)) s"

# This machine's apt sources, in place of debootstrap's one line.
rm -f "$root/etc/apt/sources.list"
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/"
for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && cp "$f" "$root/etc/apt/sources.list.d/"
done
cp -a /etc/apt/keyrings /etc/apt/trusted.gpg.d "$root/etc/apt/" 2>/dev/null || true
cp /etc/resolv.conf "$root/etc/resolv.conf"

# /dev with what is mounted below it (/dev/shm, /dev/pts): wine needs both.
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
mount -t sysfs sys "$root/sys" && mounts+=("$root/sys")
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounts+=("$root/dev")

git clone -q "$repo" "$root/root/sonavex"

# The chroot's environment is a login's, not this shell's.
in_chroot() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/sonavex && $1"
}

say "main job: scripts/main.sh"
start=$SECONDS
in_chroot scripts/main.sh
main_time=$((SECONDS - start))
echo "fresh-check: the main job took $((main_time / 60)) min $((main_time % 60)) s"

if [ -n "$run_tests" ]; then
  say "every test: scripts/test.sh"
  start=$SECONDS
  status=0
  in_chroot scripts/test.sh 2>&1 | tee "$root.test.log" || status=$?
  test_time=$((SECONDS - start))
  echo "fresh-check: the tests took $((test_time / 60)) min $((test_time % 60)) s, exit $status (output in $root.test.log)"
  grep -E '^SKIPPED' "$root.test.log" | sort -u || true
  [ "$status" -eq 0 ] || exit "$status"
fi
echo "fresh-check: main job $((main_time / 60)) min $((main_time % 60)) s${test_time:+, tests $((test_time / 60)) min $((test_time % 60)) s}"

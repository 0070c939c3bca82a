#!/usr/bin/env bash
# Installs what Sonavex needs to build, test and run on Debian 12 (as root).
# Runs apt-get only when a package is missing, so repeated runs are quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libasound2-dev libopencore-amrnb-dev
  libsndfile1-dev libsoxr-dev espeak-ng sox
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 dpkg-dev
)
# The Windows build's test host: wine runs 64-bit programs directly, 32-bit
# ones through qemu-user (see scripts/windows.sh); a private PulseAudio server
# feeds wine's wave input a known signal.
packages+=(wine wine64 wine32:i386 qemu-user pulseaudio pulseaudio-utils)
# A real RTP peer for the network tests (ffmpeg relays .amr files as RTP) and
# gnuplot for scripts/plot-stats.
packages+=(ffmpeg gnuplot-nox)

# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  [ "$(id -u)" -eq 0 ] || { echo "setup: run as root (dpkg --add-architecture i386)" >&2; exit 1; }
  dpkg --add-architecture i386
  need_update=1
fi
# AmrDll.dll is built from Debian's own source package of opencore-amr, which
# apt-get source fetches from Debian's main archive.
deb_src=/etc/apt/sources.list.d/sonavex-deb-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src ' /etc/apt/sources.list; then
  [ "$(id -u)" -eq 0 ] || { echo "setup: run as root (to add a deb-src entry)" >&2; exit 1; }
  cat > "$deb_src" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})) || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]:-(package lists only)}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (or install the packages above with apt-get)" >&2
    exit 1
  fi
  apt-get update
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

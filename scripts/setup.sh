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
  g++-mingw-w64-i686
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (or install the packages above with apt-get)" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

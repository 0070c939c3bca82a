#!/usr/bin/env bash
# Installs what Sonavex needs on Debian 12 (as root), by profile:
#
#   setup.sh          the main job: build the library and the host programs,
#                     make the speech samples and play them
#   setup.sh --test   every test as well: GoogleTest and Google Benchmark,
#                     clang, the Windows build (mingw-w64, Debian's opencore-amr
#                     source, wine with its 32-bit half) and the test peers
#
# apt-get runs only when something is missing, so repeated runs are quick.
# The package archive's indexes are not always in step with each other: an
# index that fails to download is a warning, not the end, as long as the
# packages then install. A missing optional package (a test peer) is named
# with apt's reason; the tests that need it report SKIPPED.
set -uo pipefail

profile=main
case "${1:-}" in
"") ;;
--test) profile=test ;;
-h | --help)
  sed -n '2,14s/^# \{0,1\}//p' "$0"
  exit 0
  ;;
*)
  echo "setup: unknown option '$1' (setup.sh [--test])" >&2
  exit 2
  ;;
esac

# The main job: compiler, CMake, the library's libraries (ALSA, AMR-NB), the
# host programs' (libsndfile, libsoxr, libsrtp2) and what makes the speech
# samples.
main_packages=(
  build-essential cmake pkg-config
  libasound2-dev libopencore-amrnb-dev
  libsndfile1-dev libsoxr-dev libsrtp2-dev espeak-ng sox
)
# The tests cannot run without these.
test_packages=(
  git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev llvm-14 lld-14
  mono-mcs mono-runtime python3-pytest doxygen lintian
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 dpkg-dev
  wine wine64
)
# Test peers: a test that needs a missing one reports SKIPPED with the reason.
#  qemu-user          runs wine32 where the kernel runs no 32-bit code
#  pulseaudio(-utils) a private sound server for wine's wave input and for
#                     the stalled-server tests; libasound2-plugins is ALSA's
#                     route to it
#  ffmpeg             a real RTP peer; gnuplot-nox draws scripts/plot-stats
#  gstreamer1.0-*     GStreamer's jitter buffer beside ours in
#                     bench/playout-compare and its short run in the tests
#  libspeexdsp-dev    Speex's jitter buffer, the same (playout-score --speex)
optional_packages=(
  qemu-user pulseaudio pulseaudio-utils libasound2-plugins ffmpeg gnuplot-nox
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  libspeexdsp-dev
)

say() { echo "setup: $*"; }
warn() { echo "setup: warning: $*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing_of() {
  local p
  for p in "$@"; do installed "$p" || printf '%s\n' "$p"; done
}

need_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "setup: run as root to $1 (or install these with apt-get: ${*:2})" >&2
  exit 1
}

logdir=$(mktemp -d)
trap 'rm -rf "$logdir"' EXIT
export DEBIAN_FRONTEND=noninteractive

# A failure apt may get past on a second try: the network, or a mirror caught
# mid-sync.
transient() {
  grep -qE 'Temporary failure|Could not (resolve|connect)|Connection (failed|timed out|reset)|Unable to connect|timed out|50[234] |Mirror sync in progress|Hash Sum mismatch|unexpected size' "$1"
}

# apt-get update, tried up to three times; each index that still cannot be
# fetched is named in a warning and the set-up goes on with the indexes apt has.
updated=
apt_update() {
  [ -n "$updated" ] && return 0
  updated=1
  local log=$logdir/update.log try
  for try in 1 2 3; do
    apt-get update >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log" && return 0
    transient "$log" && [ "$try" -lt 3 ] || break
    sleep $((try * 5))
  done
  if ! grep -q '^[EW]: Failed to fetch' "$log"; then
    warn "apt-get update failed: $(grep -E '^(E|W):' "$log" | head -n 1)"
    return 0
  fi
  grep '^[EW]: Failed to fetch' "$log" | while read -r _ _ _ _ url reason; do
    warn "apt-get update could not fetch the index $url (${reason%% \[IP*}); going on without it"
  done
}

# The one line of apt's reason why PACKAGE cannot be installed.
why_not() {
  local log=$logdir/why.log
  if apt-get install -s --no-install-recommends "$@" >"$log" 2>&1; then
    grep -m1 -E '^(E|W):' "$logdir/install.log" 2>/dev/null || echo "the download or the install failed"
    return
  fi
  # Unmet dependencies name the package that breaks; otherwise apt's error.
  local dep name=${1%%:*}
  dep=$(sed -n '/unmet dependencies:/,/^E:/{/^ /p}' "$log" | sed -E 's/^ +//; s/ +/ /g')
  dep=$(printf '%s\n' "$dep" | grep -m1 -F "$name" || printf '%s\n' "$dep" | head -n 1)
  if [ -n "$dep" ]; then echo "$dep"; else grep -m1 '^E:' "$log" | sed 's/^E: //'; fi
}

# apt-get install PACKAGES, retried on a transient failure. On a failure, each
# package that cannot be installed is named with apt's reason, one line each.
apt_install() {
  local log=$logdir/install.log try p
  for try in 1 2 3; do
    apt-get install -y --no-install-recommends "$@" >"$log" 2>&1 && return 0
    transient "$log" && [ "$try" -lt 3 ] || break
    warn "apt-get install failed ($(grep -m1 '^E:' "$log" | cut -c1-160)); trying again"
    sleep $((try * 5))
    apt-get update >/dev/null 2>&1
  done
  local named=
  for p in "$@"; do
    apt-get install -s --no-install-recommends "$p" >/dev/null 2>&1 && continue
    echo "setup: $p cannot be installed: $(why_not "$p")" >&2
    named=1
  done
  [ -n "$named" ] || echo "setup: apt-get install failed: $(grep -m1 '^E:' "$log" | sed 's/^E: //')" >&2
  return 1
}

# wine32 is an i386 package whose libraries must match the amd64 ones version
# for version (Multi-Arch: same). When the security suite's i386 index is
# missing or out of step, the security suite's amd64 libraries have no i386
# twin and the plain install cannot be resolved; the main suite has both
# architectures in step, so then wine32 and the amd64 twins it needs come from
# there alone.
install_wine32() {
  installed wine32:i386 && return 0
  if apt-get install -s --no-install-recommends wine32:i386 >/dev/null 2>&1; then
    apt_install wine32:i386 && return 0
  fi
  local reason prefs=$logdir/main-suite.pref sim=$logdir/wine32-main.log
  reason=$(why_not wine32:i386)
  printf 'Package: *\nPin: release n=bookworm\nPin-Priority: 1001\n' >"$prefs"
  mkdir -p "$logdir/no-prefs"
  local from_main=(-o Dir::Etc::Preferences="$prefs" -o Dir::Etc::PreferencesParts="$logdir/no-prefs")
  if ! apt-get "${from_main[@]}" install -s --allow-downgrades --no-install-recommends wine32:i386 >"$sim" 2>&1; then
    warn "wine32:i386 cannot be installed, not even from the main suite alone: $reason; the 32-bit Windows suites will be SKIPPED"
    return 1
  fi
  # "Inst NAME [OLD] (NEW ...)" with an architecture of amd64: a package that moves.
  local moved
  moved=$(sed -nE 's/^Inst ([^ :]+)(:amd64)? \[([^]]+)\] \(([^ ]+) .*\[amd64\]\).*/\1 \3 -> \4/p' "$sim")
  if ! apt-get "${from_main[@]}" install -y --allow-downgrades --no-install-recommends wine32:i386 \
    >"$logdir/install.log" 2>&1; then
    warn "wine32:i386 from the main suite failed: $(grep -m1 '^E:' "$logdir/install.log"); the 32-bit Windows suites will be SKIPPED"
    return 1
  fi
  say "wine32:i386 installed from the main suite alone (the plain install could not be resolved: $reason);" \
    "$(printf '%s\n' "$moved" | grep -c .) amd64 packages moved to the main suite's versions${moved:+: $(printf '%s\n' "$moved" | awk '{print $1}' | paste -sd' ')}"
}

wanted=("${main_packages[@]}")
if [ "$profile" = test ]; then
  wanted+=("${test_packages[@]}")
fi
mapfile -t missing < <(missing_of "${wanted[@]}")
optional_missing=()
if [ "$profile" = test ]; then
  mapfile -t optional_missing < <(missing_of "${optional_packages[@]}")

  # wine32 is an i386 package.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "add the i386 architecture (dpkg --add-architecture i386)"
    dpkg --add-architecture i386
    updated_sources=1
  fi
  # AmrDll.dll is built from Debian's own source package of opencore-amr,
  # which apt-get source fetches from Debian's main archive.
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src ' /etc/apt/sources.list; then
    need_root "add a deb-src entry for Debian main"
    cat >/etc/apt/sources.list.d/sonavex-deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    updated_sources=1
  fi
fi

if ((${#missing[@]})) || ((${#optional_missing[@]})) || [ -n "${updated_sources:-}" ] ||
  { [ "$profile" = test ] && ! installed wine32:i386; }; then
  need_root "install packages" "${missing[@]}" "${optional_missing[@]}"
  apt_update
fi

if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  apt_install "${missing[@]}" || { echo "setup: the $profile profile's packages are not installed" >&2; exit 1; }
fi
if ((${#optional_missing[@]})); then
  say "installing the test peers ${optional_missing[*]}"
  if ! apt_install "${optional_missing[@]}" 2>/dev/null; then
    for p in "${optional_missing[@]}"; do
      installed "$p" || apt_install "$p" 2>/dev/null ||
        warn "$p cannot be installed ($(why_not "$p")); the tests that need it will be SKIPPED"
    done
  fi
fi
if [ "$profile" = test ] && ! installed wine32:i386; then
  install_wine32 || true
fi
exit 0

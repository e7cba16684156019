#!/usr/bin/env bash
# Shared by the set-up scripts: package installation and the main build.
# Sourced, not run.
set -euo pipefail

KELO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KELO_JOBS=${KELO_JOBS:-$(nproc)}

say() { printf '\n==> %s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Debian 12 packages. The build and the demo need the first group; the full
# test suite also cross-builds for Windows and runs it under Wine, and checks
# the Debian package with lintian.
KELO_PKGS_BUILD=(build-essential cmake pkg-config libgtest-dev libgmock-dev googletest
  libbenchmark-dev libp11-kit-dev nlohmann-json3-dev softhsm2 openssl libssl-dev
  libnss3-dev libnss3-tools libgtk-3-dev libreadline-dev)
KELO_PKGS_TEST=(clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools libwine-dev wine wine64 xvfb xauth xdotool x11-utils chromium firefox-esr file lintian
  wixl msitools)

install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [[ ${#missing[@]} -eq 0 ]]; then
    say "packages already installed"
    return
  fi
  [[ $(id -u) -eq 0 ]] || die "installing ${missing[*]} needs root (run with sudo)"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build_tree DIR [cmake options...]
build_tree() {
  local dir=$1
  shift
  say "building in $dir"
  cmake -S "$KELO_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$KELO_JOBS"
}

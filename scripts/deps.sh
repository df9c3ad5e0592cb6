#!/usr/bin/env bash
# The Debian packages that building, testing and the demo need: one list, used by every script.
#
#   scripts/deps.sh           installs the missing ones with apt-get (needs root or sudo only
#                             when something is missing)
#   scripts/deps.sh --check   lists the missing ones without installing anything; exits 1 when
#                             any is missing
#   --fuzz, --bench, --windows
#                             add the packages of scripts/fuzz.sh, bench/compare.sh or
#                             scripts/windows.sh (either mode)
#
# Sourced or run by the other scripts.
set -euo pipefail

QMH_PACKAGES=(
  # build
  build-essential cmake pkg-config
  zlib1g-dev libminizip-dev libcurl4-openssl-dev libb2-dev libfltk1.3-dev libjpeg-dev libx11-dev
  libgtest-dev ca-certificates
  # tests and demo: web server, virtual display and screenshots, fixtures, unprivileged runs
  nginx-light xvfb xauth x11-apps x11-utils fonts-dejavu-core python3 openssl zip unzip util-linux
  # the other web servers a mirror may run, each serving the game in a test, and the caches and
  # proxies that may stand between a mirror and a player
  apache2 lighttpd caddy varnish squid
)
# Fuzzing with libFuzzer (scripts/fuzz.sh): clang and its sanitizer and fuzzer runtimes.
QMH_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# The side-by-side comparison (bench/compare.sh): the other programs it measures.
QMH_BENCH_PACKAGES=(zsync curl)
# The Windows programs (scripts/windows.sh): the mingw-w64 cross compilers with the POSIX thread
# model (std::thread), zlib for Windows, dpkg-source to unpack the dependencies' Debian source
# packages, 64-bit Wine to run the tests, and xdotool, which clicks through the Windows wizard
# on the virtual display.
QMH_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev dpkg-dev
  wine64 xdotool)

check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    --fuzz) QMH_PACKAGES+=("${QMH_FUZZ_PACKAGES[@]}") ;;
    --bench) QMH_PACKAGES+=("${QMH_BENCH_PACKAGES[@]}") ;;
    --windows) QMH_PACKAGES+=("${QMH_WINDOWS_PACKAGES[@]}") ;;
    *) echo "usage: scripts/deps.sh [--check] [--fuzz] [--bench] [--windows]" >&2; exit 2 ;;
  esac
done

qmh_missing_packages() {
  local p
  for p in "${QMH_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}

mapfile -t missing < <(qmh_missing_packages)

if [ $check = 1 ]; then
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Missing packages: ${missing[*]}"
    exit 1
  fi
  echo "All ${#QMH_PACKAGES[@]} packages are installed."
  exit 0
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# The Debian packages that building, testing and the demo need: one list, used by every script.
#
#   scripts/deps.sh           installs the missing ones with apt-get (needs root or sudo only
#                             when something is missing)
#   scripts/deps.sh --check   lists the missing ones without installing anything; exits 1 when
#                             any is missing
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
)

qmh_missing_packages() {
  local p
  for p in "${QMH_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$p"
    fi
  done
}

mapfile -t missing < <(qmh_missing_packages)

if [ "${1:-}" = "--check" ]; then
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

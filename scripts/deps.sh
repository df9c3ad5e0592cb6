#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when missing.
# Sourced or run by the other scripts; needs root (or sudo) only when something is missing.
set -euo pipefail

QMH_PACKAGES=(
  build-essential cmake pkg-config
  zlib1g-dev libminizip-dev libcurl4-openssl-dev libb2-dev libfltk1.3-dev libjpeg-dev
  libgtest-dev ca-certificates
  nginx-light xvfb xauth x11-apps x11-utils fonts-dejavu-core python3 openssl zip unzip util-linux
)

missing=()
for p in "${QMH_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

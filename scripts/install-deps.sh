#!/usr/bin/env bash
# Installs the Debian 12 packages the suite builds and runs with, only those not yet present.
# Usage: scripts/install-deps.sh [--tests]   (--tests adds what the test suite drives)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config libgcc-12-dev
  zlib1g-dev libssl-dev
  libregina3 libregina3-dev regina-rexx
  zip unzip python3
  libpam0g-dev libpam-modules
  qt6-base-dev libncurses-dev
)
test_packages=(
  libgtest-dev libgmock-dev dnsmasq-base curl tmux lftp wget chromium
  xvfb xauth iproute2 openssl
)
# The metrics page's parser check; the package check's chroot.
test_packages+=(python3-prometheus-client debootstrap)

want=("${packages[@]}")
if [[ "${1:-}" == "--tests" ]]; then want+=("${test_packages[@]}"); fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then exit 0; fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

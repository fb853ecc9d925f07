#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libdpdk-dev libnuma-dev uuid-dev libbsd-dev
  libftdi1-dev libusb-1.0-0-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qemu-system-x86 linux-image-amd64 busybox-static
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is missing. Nothing else is downloaded.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libdpdk-dev libnuma-dev uuid-dev libbsd-dev
  libftdi1-dev libusb-1.0-0-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # The VM bench (tests that run a real emulated NVMe controller and FTDI adapter in a QEMU guest).
  qemu-system-x86 linux-image-amd64 busybox-static
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=()
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null; then
      sudo=(sudo -n)
    else
      echo "setup: missing packages and not root (no sudo): ${missing[*]}" >&2
      exit 1
    fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [ "${node_major}" -lt 20 ]; then
  echo "setup: Node.js 20 or later is needed (found ${node_major})" >&2
  exit 1
fi
# The dev dependencies (TypeScript, for the type test), as pinned in package-lock.json; a checkout only (a packed
# package has no lock file).
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ -f "${repo}/package-lock.json" ] && [ ! -d "${repo}/node_modules/typescript" ]; then
  echo "setup: installing the dev dependencies (npm ci)"
  (cd "${repo}" && npm ci --ignore-scripts --no-audit --no-fund)
fi

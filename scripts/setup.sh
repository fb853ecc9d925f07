#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is missing. Nothing else is downloaded.
#   --package  only what the package's own build needs (the addon and the environment library: no tests, benchmarks
#              or VM bench); the default in an installed package, which has no tests/ folder
#   --check    install nothing: name what is missing and how to install it, and exit 1 when anything is
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
scope=all
[ -d tests ] || scope=package
for arg in "$@"; do
  case "${arg}" in
    --check) check=1 ;;
    --package) scope=package ;;
    *) echo "setup: unknown option ${arg} (--check, --package)" >&2; exit 2 ;;
  esac
done
packages=(
  build-essential cmake pkg-config
  libdpdk-dev libnuma-dev uuid-dev libbsd-dev
  libftdi1-dev libusb-1.0-0-dev nlohmann-json3-dev
)
if [ "${scope}" = all ]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    # The VM bench (tests that run a real emulated NVMe controller and FTDI adapter in a QEMU guest).
    qemu-system-x86 linux-image-amd64 busybox-static
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && [ "${check}" = 1 ]; then
  echo "setup: missing Debian packages: ${missing[*]}" >&2
  echo "setup: install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
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
# The addon compiles against the headers of the Node.js that runs it.
node_include=$(node -p 'require("path").resolve(process.execPath, "..", "..", "include", "node")')
if [ ! -f "${node_include}/node.h" ]; then
  echo "setup: the Node.js headers are missing (${node_include}/node.h): install a Node.js 20 that ships them" \
       "(the nodejs package of the NodeSource repository does)" >&2
  exit 1
fi
# The dev dependencies (TypeScript, for the type test), as pinned in package-lock.json; a checkout only (a packed
# package has no lock file), and not when only checking.
if [ "${check}" = 0 ] && [ "${scope}" = all ] && [ -f package-lock.json ] && [ ! -d node_modules/typescript ]; then
  echo "setup: installing the dev dependencies (npm ci)"
  npm ci --ignore-scripts --no-audit --no-fund
fi

#!/usr/bin/env bash
# The package's install step (npm runs it on `npm install` of the package, and on `npm rebuild`): builds the addon and
# the environment library into build/ when they are not built yet, and always on `npm rebuild`. When the build tools
# are missing it names the Debian packages to install and fails; it never installs anything itself.
#
# The build takes several minutes, and npm shows an install step's output only with --foreground-scripts (or when it
# fails). CMAKE_BUILD_PARALLEL_LEVEL caps its compile jobs (default: one per core).
#
# KYT_INSTALL_FROM (for the package's own test only): a build directory whose addon and environment library are copied
# instead of compiling them again.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -f build/lib/kyt.node ] && [ "${npm_command:-}" != rebuild ]; then
  echo "kyt: build/lib/kyt.node is built (npm rebuild builds it again)"
  exit 0
fi
if [ -n "${KYT_INSTALL_FROM:-}" ]; then
  mkdir -p build/lib
  cp "${KYT_INSTALL_FROM}/lib/kyt.node" "${KYT_INSTALL_FROM}/lib/libkyt_env.so" build/lib/
  echo "kyt: copied the addon from ${KYT_INSTALL_FROM}"
  exit 0
fi
if ! bash scripts/setup.sh --check --package; then
  echo "kyt: cannot build the addon; install what is named above, then run: npm rebuild kyt" >&2
  exit 1
fi
echo "kyt: building the addon and the environment library into build/ (several minutes)"
# The package's own build directory, whatever the environment names for development builds.
env -u KYT_BUILD_DIR -u KYT_ASAN_BUILD_DIR KYT_ASAN=0 bash scripts/build.sh --main-job

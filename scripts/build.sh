#!/usr/bin/env bash
# Configures and builds the addon, the test-only modules, the unit tests and the benchmarks.
# With KYT_ASAN=0 the sanitizer build of the C++ unit tests is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${KYT_ASAN:-1}" != 0 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKYT_SANITIZE=ON \
        -DKYT_BUILD_ADDON=OFF -DKYT_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
fi

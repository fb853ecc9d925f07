#!/usr/bin/env bash
# Configures and builds the addon, the test-only modules, the unit tests and the benchmarks (build/), then the unit
# tests, the addon and the test-only modules once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/; the addon there is loaded into node with the sanitizer runtime preloaded, see scripts/test.sh).
# KYT_ASAN=0 skips the sanitizer build; KYT_BUILD_DIR / KYT_ASAN_BUILD_DIR name other build directories.
# CMAKE_BUILD_PARALLEL_LEVEL caps the compile jobs (default: one per core this process may run on).
# `--main-job` builds only what examples/main-job.js loads (the addon, the environment library and, where tests/sim is
# present, the simulated drive module) and no sanitizer build. The addon compiles against the headers of the Node.js
# that runs this script.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
if ! [[ "${jobs}" =~ ^[1-9][0-9]*$ ]]; then
  echo "build: CMAKE_BUILD_PARALLEL_LEVEL must be a whole number of jobs, 1 or more (it is \"${jobs}\")" >&2
  exit 2
fi
build=${KYT_BUILD_DIR:-build}
build_asan=${KYT_ASAN_BUILD_DIR:-build-asan}
targets=()
asan=${KYT_ASAN:-1}
if [ "${1:-}" = --main-job ]; then
  targets=(--target kyt kyt_env)
  [ -f tests/sim/CMakeLists.txt ] && targets+=(kyt_sim_node)
  asan=0
fi
node_include=$(node -p 'require("path").resolve(process.execPath, "..", "..", "include", "node")')
echo "== Build (${build}, ${jobs} parallel jobs)"
cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKYT_NODE_INCLUDE="${node_include}" >/dev/null
cmake --build "${build}" -j"${jobs}" "${targets[@]}"
if [ "${asan}" != 0 ]; then
  echo "== Sanitizer build (${build_asan}, ${jobs} parallel jobs)"
  cmake -S . -B "${build_asan}" -DCMAKE_BUILD_TYPE=Debug -DKYT_SANITIZE=ON \
        -DKYT_BUILD_ADDON=ON -DKYT_BUILD_BENCH=OFF >/dev/null
  cmake --build "${build_asan}" -j"${jobs}"
fi

#!/usr/bin/env bash
# Runs every test: the C++ units (plain and sanitized) with ctest, then the script tests
# with Node's own runner, each test file in its own process.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
status=0
echo "== C++ unit tests"
ctest --test-dir build --output-on-failure -j"$jobs" || status=1
if [ -d build-asan ] && [ "${KYT_ASAN:-1}" != 0 ]; then
  echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=1
fi
echo "== Script tests"
mapfile -t files < <(find tests -name '*.test.js' -o -name '*.test.mjs' | sort)
if [ ${#files[@]} -gt 0 ]; then
  node --test --test-concurrency="$jobs" "${files[@]}" || status=1
fi
exit $status

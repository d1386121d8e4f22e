#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   1. the normal build (gcc, warnings as errors) and all CTest tests;
#   2. the thread-heavy tests again under ThreadSanitizer and under AddressSanitizer (clang);
#   3. the fuzz targets over their seed corpora (clang, libFuzzer).
# Usage: scripts/test.sh [--quick]   (--quick: step 1 only)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

./scripts/install-deps.sh

step() { printf '\n=== %s\n' "$*"; }

step "build (gcc, -Werror)"
cmake -S . -B build -G Ninja -DQIV_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
step "tests"
ctest --test-dir build --output-on-failure -j "$jobs"

[ "${1:-}" = "--quick" ] && exit 0

for san in thread address; do
  step "tests under ${san} sanitizer (clang)"
  CC=clang CXX=clang++ cmake -S . -B "build-${san}" -G Ninja -DQIV_SANITIZE="$san" -DQIV_BENCH=OFF >/dev/null
  cmake --build "build-${san}" -j "$jobs" --target sanitizer_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ASAN_OPTIONS="detect_leaks=1" \
    ctest --test-dir "build-${san}" --output-on-failure -L sanitize
done

step "fuzz targets over their seed corpora (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQIV_FUZZ=ON -DQIV_BENCH=OFF >/dev/null
if cmake --build build-fuzz --target help | grep -q '^fuzz_targets'; then
  cmake --build build-fuzz -j "$jobs" --target fuzz_targets
  ctest --test-dir build-fuzz --output-on-failure -L fuzz
else
  echo "no fuzz targets yet"
fi
step "all tests passed"

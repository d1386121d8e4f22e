#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   1. the normal build (gcc, warnings as errors) and all CTest tests;
#   2. every test again under AddressSanitizer with UndefinedBehaviorSanitizer, and the concurrency tests under
#      ThreadSanitizer (clang);
#   3. the fuzz targets over their seed corpora (clang, libFuzzer);
#   4. the Debian package: built, checked by lintian, installed, looked at and purged (tests/package_test.sh).
# Usage: scripts/test.sh [--quick]   (--quick: step 1 only)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

./scripts/install-deps.sh

step() { printf '\n=== %s\n' "$*"; }

step "build (gcc, -Werror)"
# The same configuration as scripts/demo.sh's, so that what the demo built is reused.
cmake -S . -B build -G Ninja -DQIV_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
step "tests"
ctest --test-dir build --output-on-failure -j "$jobs"

[ "${1:-}" = "--quick" ] && exit 0

step "every test under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
CC=clang CXX=clang++ cmake -S . -B build-address -G Ninja -DQIV_SANITIZE=address -DQIV_BENCH=OFF >/dev/null
cmake --build build-address -j "$jobs"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
  ctest --test-dir build-address --output-on-failure -j "$jobs"

step "concurrency tests under ThreadSanitizer (clang)"
CC=clang CXX=clang++ cmake -S . -B build-thread -G Ninja -DQIV_SANITIZE=thread -DQIV_BENCH=OFF >/dev/null
cmake --build build-thread -j "$jobs" --target sanitizer_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-thread --output-on-failure -L sanitize

step "fuzz targets over their seed corpora (clang, libFuzzer)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQIV_FUZZ=ON -DQIV_BENCH=OFF >/dev/null
if cmake --build build-fuzz --target help | grep -q '^fuzz_targets'; then
  cmake --build build-fuzz -j "$jobs" --target fuzz_targets
  ctest --test-dir build-fuzz --output-on-failure -L fuzz
else
  echo "no fuzz targets yet"
fi

step "Debian package: build, lintian, install, purge"
tests/package_test.sh || [ $? -eq 77 ]
step "all tests passed"

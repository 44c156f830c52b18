#!/usr/bin/env bash
# Builds everything and runs all tests, in stages:
#   1. the normal build and every test (the virtual-machine tests included);
#   2. the whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer;
#   3. the threaded tests under ThreadSanitizer;
#   4. a short run of every fuzzer over its corpus;
#   5. the 32-bit Windows build, its suite run under wine;
#   6. the 64-bit Windows build, its suite run under wine64, and each Windows
#      build refusing the other's bridge (after stage 5, whose build it needs);
#   7. clang-tidy over the product's sources (.clang-tidy), which must be clean.
# VYHID_STAGES="1 2" runs only the stages named.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --all

jobs=$(nproc)
stages=${VYHID_STAGES:-1 2 3 4 5 6 7}
want() { [[ " $stages " == *" $1 "* ]]; }
banner() { printf '\n==== %s\n' "$*"; }

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

if want 1; then
  banner "Stage 1: build and run every test"
  build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ctest --test-dir build --output-on-failure -j"$jobs"
fi

if want 2; then
  banner "Stage 2: every test under AddressSanitizer and UndefinedBehaviorSanitizer"
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DVYHID_SANITIZE=address,undefined \
    -DVYHID_BUILD_BENCH=OFF
  # The virtual-machine test runs unsanitized binaries in the guest: stage 1 covers it.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE vm
fi

if want 3; then
  banner "Stage 3: threaded tests under ThreadSanitizer"
  build build-tsan -DCMAKE_BUILD_TYPE=Debug -DVYHID_SANITIZE=thread -DVYHID_BUILD_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -LE vm
fi

if want 4 && [ -x scripts/fuzz.sh ]; then
  banner "Stage 4: fuzzers"
  scripts/fuzz.sh -t 30
fi

if want 5 && [ -x scripts/win32.sh ]; then
  banner "Stage 5: 32-bit Windows build under wine"
  scripts/win32.sh
fi

if want 6 && [ -x scripts/win64.sh ]; then
  banner "Stage 6: 64-bit Windows build under wine64"
  scripts/win64.sh
fi

if want 7; then
  banner "Stage 7: clang-tidy"
  scripts/tidy.sh -j "$jobs" >/dev/null || { cat build-tidy/findings.txt; exit 1; }
fi

#!/usr/bin/env bash
# Builds the 64-bit Windows variant (mingw-w64, x86-64) in build-win64 and runs
# its tests under wine64, headless, in a 64-bit wine prefix of its own. Then
# the test that each Windows build refuses the other's HID_Bridge__.dll, in
# both builds: it needs the 32-bit build (scripts/win32.sh) beside this one;
# without it the test skips, and fails under CI=true.
# Installs what it needs first (scripts/setup.sh --all). Non-interactive;
# exits non-zero when a step or a test fails.
#   scripts/win64.sh              configure, build, test
#   VYHID_WIN64_JOBS=N            parallel jobs (default: the number of CPUs)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --all

jobs="${VYHID_WIN64_JOBS:-$(nproc)}"
build=build-win64
# The wine prefix: VYHID_WINEPREFIX with -win64 appended, by default
# $TMPDIR/vyhid-wineprefix-UID-win64, created on first use and kept.

cmake -S . -B "$build" --toolchain cmake/toolchain-mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Debug -DVYHID_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
# Each test has its own time-out; the whole run is bounded as well.
timeout 900 ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE other_bitness

# The 32-bit bridge in this build's program, and this build's bridge in the
# 32-bit build's program.
timeout 300 ctest --test-dir "$build" --output-on-failure --no-tests=error -L other_bitness
if [ -f build-win32/CTestTestfile.cmake ]; then
  timeout 300 ctest --test-dir build-win32 --output-on-failure --no-tests=error -L other_bitness
else
  echo "win64.sh: no 32-bit build in build-win32 (scripts/win32.sh): its wrong-bitness test did not run" >&2
  if [ "${CI:-}" = true ] || [ "${CI:-}" = 1 ]; then exit 1; fi
fi

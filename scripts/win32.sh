#!/usr/bin/env bash
# Builds the 32-bit Windows variant (mingw-w64, i686) in build-win32 and runs
# its tests under wine, headless. Installs what it needs first (the i386
# architecture, the cross compilers, wine32: scripts/setup.sh --all).
# Non-interactive; exits non-zero when a step or a test fails.
#   scripts/win32.sh              configure, build, test
#   VYHID_WIN32_JOBS=N            parallel jobs (default: the number of CPUs)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --all

jobs="${VYHID_WIN32_JOBS:-$(nproc)}"
build=build-win32
# The wine prefix: VYHID_WINEPREFIX, by default $TMPDIR/vyhid-wineprefix-UID,
# created on first use and kept (creating one takes seconds and ~600 MB).

cmake -S . -B "$build" --toolchain cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Debug -DVYHID_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
# Each test has its own time-out; the whole run is bounded as well. The test
# that needs the 64-bit build's bridge runs in scripts/win64.sh, once that
# build exists. vm_wine (about 5 minutes, alone) runs this build's bridge
# under wine in the test VM, with the guest programs of the Linux build in
# build (stage 1), which it does not build again.
timeout 900 ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE other_bitness

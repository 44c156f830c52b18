#!/bin/sh
# Runs one Windows program under wine, headless, in the project's own wine
# prefix (created on first use). CMAKE_CROSSCOMPILING_EMULATOR of the i686
# Windows build: ctest and the build call it as `wine-run.sh PROGRAM ARGS...`.
# Environment: VYHID_WINEPREFIX (default $TMPDIR/vyhid-wineprefix-$UID).
set -e
. "$(dirname "$0")/wine-common.sh"
wine_prefix_ready
exec wine "$@"

#!/bin/sh
# The CTest fixture around the tests that run under wine:
#   wine-env.sh up KEEPER.exe   creates the prefix if needed and starts the
#                      keeper, which holds one wineserver and its desktop for
#                      every test, instead of each program starting its own and
#                      ctest waiting for them to linger out (ctest waits for
#                      every process that still holds a test's output pipe)
#   wine-env.sh down   stops the server and every wine process of the prefix
set -e
. "$(dirname "$0")/wine-common.sh"
case "$1" in
up)
  wine_prefix_ready
  # Detached, with stdio on /dev/null so that ctest does not wait for it;
  # then one program, which returns once the prefix's services are up.
  setsid wine "$2" </dev/null >/dev/null 2>&1 &
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  ;;
down)
  wineserver -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 up KEEPER.exe | down" >&2
  exit 2
  ;;
esac

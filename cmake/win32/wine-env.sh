#!/bin/sh
# The CTest fixture around the tests that run under wine:
#   wine-env.sh up     creates the prefix if needed and starts a persistent
#                      wineserver, so that every test reuses one server
#                      instead of starting its own and waiting for it to
#                      linger out (ctest waits for every process that still
#                      holds a test's output pipe)
#   wine-env.sh down   stops that server and every wine process of the prefix
set -e
. "$(dirname "$0")/wine-common.sh"
case "$1" in
up)
  wine_prefix_ready
  # A persistent server, detached, with stdio on /dev/null so that ctest
  # does not wait for it; then one program so that the prefix's services are
  # up before the first test.
  setsid wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  ;;
down)
  wineserver -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: $0 up | down" >&2
  exit 2
  ;;
esac

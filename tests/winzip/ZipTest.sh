#!/usr/bin/env bash
# The Windows zip as a Windows developer meets it: made by cpack from this
# build, unpacked, a program built against it with the same mingw-w64
# compiler through find_package(VyHID), then that program and the zip's
# vyhid.exe run under wine on the zip's simulated bridge, with no folder but
# the zip's bin\ on wine's search path.
#   ZipTest.sh BUILD_DIR WORK_DIR CONSUMER_DIR CXX WINE_RUN
# WINE_RUN: runs a Windows program (cmake/win32/wine-run.sh).
set -euo pipefail
build=$1 work=$2 consumer=$3 cxx=$4
shift 4
wine_run=("$@")

fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cpack -G ZIP --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack -G ZIP"
zip=$(ls "$work"/VyHID-*.zip)
echo "zip: $zip ($(du -k "$zip" | cut -f1) KiB)"
(cd "$work" && cmake -E tar xf "$zip")
top=${zip%.zip}

for file in README.txt LICENSE.txt bin/rtl270.dll bin/vcl270.dll bin/VyHIDpkg.dll bin/HID_Bridge__.dll \
  bin/bridge/sim/HID_Bridge__.dll bin/bridge/sim/devices/default.txt bin/vyhid.exe \
  bin/libstdc++-6.dll bin/libwinpthread-1.dll include/vyhid/VyHID.h \
  lib/cmake/VyHID/VyHIDConfig.cmake; do
  [ -f "$top/$file" ] || fail "the zip lacks $file"
done
ls "$top"/bin/libgcc_s_*.dll >/dev/null || fail "the zip lacks libgcc's DLL"

# Each step bounded, its output in a file: a Windows program's output read
# from a pipe would wait for every wine process that inherited the pipe, and
# those may live as long as the wine server does.
step() {
  local name=$1 bound=$2 status=0
  shift 2
  timeout -k 5 "$bound" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$work/$name.out" "$work/$name.err" >&2
    if [ "$status" -eq 124 ]; then
      ps -o pid,ppid,etime,args -u "$(id -u)" | grep -i -e wine -e '\.exe' >&2 || true
      fail "$name did not end within $bound s"
    fi
    fail "$name exited with status $status"
  fi
  tr -d '\r' <"$work/$name.out"
}

# Built as a developer with mingw-w64 would: the compiler and the prefix.
step configure 300 cmake -S "$consumer" -B "$work/consumer" -DCMAKE_SYSTEM_NAME=Windows \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$top" -DCMAKE_BUILD_TYPE=Release >/dev/null
step build 300 cmake --build "$work/consumer" >/dev/null

# Nothing but the zip's bin\ on the search path (not the build's bin\): its
# name as wine's Z: drive shows the host's root, written here rather than
# asked of winepath, which would start wine in the user's default prefix.
export WINEPATH
WINEPATH="Z:$(printf '%s' "$top/bin" | tr / '\\')"
out=$(step consumer 120 "${wine_run[@]}" "$work/consumer/consumer.exe" --sim)
[ "$out" = $'scan: 3\nfeature 1: installed' ] || fail "the consumer printed: $out"
WINEPATH=
out=$(step vyhid 120 "${wine_run[@]}" "$top/bin/vyhid.exe" --simulate list)
[[ "$out" == *"Sim Vendor Device"* ]] || fail "vyhid --simulate list printed: $out"
echo "zip test passed: $(basename "$zip")"

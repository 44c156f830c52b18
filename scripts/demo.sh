#!/usr/bin/env bash
# Builds what it runs (the vyhid tool and the bridges, not the tests), then
# shows the main job of the vyhid tool: the HID devices of this machine
# (vyhid list) and a short send-and-receive round trip. It uses the real devices through the hidraw bridge when this machine
# has hidraw devices that this user can open, and the bundled virtual devices
# of the simulated bridge (a keyboard, a mouse and a vendor device that
# answers what it is sent) otherwise.
#
# The round trip sends bytes to a device. The demo sends only to the
# simulated vendor device, unless you name a real device that answers with
#   VYHID_DEMO_DEVICE=<number or text> scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
mkdir -p build
log=build/demo-build.log
echo "Configuring (log: $log)..."
if ! cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "demo: the configure failed; see $log" >&2
  exit 1
fi
# Only what the demo runs: the tool and the bridges it loads.
targets=(vyhid sim_bridge)
if grep -q '^VYHID_HIDRAW_BRIDGE:BOOL=ON' build/CMakeCache.txt; then targets+=(hidraw_bridge); fi
echo "Building ${targets[*]} (the first time a few minutes; log: $log)..."
# cmake's progress lines ("[ 42%] Building CXX object ..."): on a terminal one
# line rewritten in place; otherwise none (the log has them).
if [ -t 1 ]; then
  progress() { awk '/^\[ *[0-9]+%\]/ { printf "\r  %.76s\033[K", $0; fflush() }'; }
else
  progress() { cat >/dev/null; }
fi
if ! cmake --build build -j"$(nproc)" --target "${targets[@]}" 2>&1 | tee -a "$log" | progress; then
  if [ -t 1 ]; then echo; fi
  tail -n 40 "$log" >&2
  echo "demo: the build failed; see $log" >&2
  exit 1
fi
if [ -t 1 ]; then echo; fi
echo "Built."

vyhid=build/tools/vyhid/vyhid
show() {  # prints the command, then runs it
  echo
  echo "\$ vyhid $*"
  "$vyhid" "$@"
}

# Real devices: hidraw nodes that this user can read and write.
shopt -s nullglob
nodes=(/dev/hidraw*)
accessible=()
for node in "${nodes[@]}"; do
  if [ -r "$node" ] && [ -w "$node" ]; then accessible+=("$node"); fi
done

message="Hello, vyhid"
hex=$(printf '%s' "$message" | od -An -tx1 | tr -s ' \n' ' ')

if [ ${#accessible[@]} -gt 0 ]; then
  echo "== ${#accessible[@]} hidraw device(s) accessible: the real devices, through the hidraw bridge"
  show list
  if [ -n "${VYHID_DEMO_DEVICE:-}" ]; then
    echo
    echo "== Round trip with device '$VYHID_DEMO_DEVICE'"
    show send "$VYHID_DEMO_DEVICE" --reply $hex
    exit 0
  fi
  echo
  echo "== Round trip on the simulated vendor device (the demo does not send to your"
  echo "   devices unasked; VYHID_DEMO_DEVICE=<device> uses one of them instead)"
else
  if [ ${#nodes[@]} -gt 0 ]; then
    echo "== ${#nodes[@]} hidraw device(s), but none this user may open: see \"Permissions\" in"
    echo "   README.md (packaging/udev/70-vyhid-hidraw.rules). Meanwhile, the virtual devices:"
  else
    echo "== No hidraw devices here: the simulated bridge's bundled virtual devices"
  fi
  show --simulate list
  echo
  echo "== Round trip with the simulated vendor device, which echoes its output reports:"
fi
echo "== \"$message\" as an output report, answered by an input report"
show --simulate send vendor --reply $hex
echo
echo "== A feature report written, then read back"
show --simulate send vendor --feature --id 1 --reply $hex

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and
# quiet when everything is already there.
#   scripts/setup.sh            what building and the Linux tests need
#   scripts/setup.sh --all      also the virtual-machine tests, the fuzzers and
#                               the 32-bit Windows build under wine
set -euo pipefail

base=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libudev-dev
      libpng-dev libcli11-dev nlohmann-json3-dev)
extra=(clang libclang-rt-14-dev python3 python3-matplotlib
       qemu-system-x86 linux-image-amd64 busybox-static libhidapi-dev
       g++-mingw-w64-i686 wine wine32:i386)

wanted=("${base[@]}")
if [ "${1:-}" = "--all" ]; then wanted+=("${extra[@]}"); fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null

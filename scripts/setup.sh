#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and
# quiet when everything is already there.
#   scripts/setup.sh            what building and the Linux tests need
#   scripts/setup.sh --deb      also what building the Debian package needs
#                               (scripts/deb.sh: dpkg-shlibdeps, lintian)
#   scripts/setup.sh --all      also the virtual-machine tests, the fuzzers,
#                               the 32-bit and 64-bit Windows builds under wine,
#                               the Qt integration and the Debian package
set -euo pipefail

base=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libudev-dev
      libpng-dev libcli11-dev nlohmann-json3-dev)
deb=(dpkg-dev lintian fakeroot help2man man-db)
extra=("${deb[@]}" clang libclang-rt-14-dev python3 python3-matplotlib
       qemu-system-x86 linux-image-amd64 busybox-static libhidapi-dev udev usbip
       g++-mingw-w64-i686 wine wine32:i386 g++-mingw-w64-x86-64-posix wine64
       qt6-base-dev)

wanted=("${base[@]}")
case "${1:-}" in
  --all) wanted+=("${extra[@]}") ;;
  --deb) wanted+=("${deb[@]}") ;;
esac

# Without dpkg and apt (not Debian or a derivative) nothing is installed: the
# packages are named, and the build's own configure names whatever is still
# missing.
if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "setup.sh: no apt here, so nothing was installed. This project needs (Debian names):" >&2
  echo "  ${wanted[*]}" >&2
  echo "Install your system's equivalents; the configure step names any still missing." >&2
  if command -v cmake >/dev/null && command -v c++ >/dev/null; then exit 0; fi
  echo "setup.sh: cmake and a C++ compiler are needed to go on" >&2
  exit 1
fi

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Everything there: apt is not called.
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup.sh: missing packages, and no sudo to install them as root:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
  fi
  SUDO=sudo
fi

if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Builds the Debian package vyhid: a build of its own configured for /usr as
# Debian lays packages out (VYHID_DEBIAN_PACKAGE), then cpack -G DEB, whose
# dependencies dpkg-shlibdeps finds. Prints the package's path.
#   scripts/deb.sh [--no-setup] [BUILD_DIR]     default build-deb
#   VYHID_DEB_JOBS=N                            parallel jobs (default: the number of CPUs)
# Installs what it needs first (scripts/setup.sh --deb) unless --no-setup.
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
if [ "${1:-}" = "--no-setup" ]; then setup=0; shift; fi
build=${1:-build-deb}
if [ "$setup" = 1 ]; then scripts/setup.sh --deb; fi

# Debian's compiler and linker flags, hardening included; CMake takes
# CFLAGS, CXXFLAGS and LDFLAGS from the environment when it first configures.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
# The Qt integration stays out: one package must not pull Qt into every
# program that uses the component (it would be a package of its own).
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DVYHID_DEBIAN_PACKAGE=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYHID_BUILD_TESTS=OFF -DVYHID_BUILD_BENCH=OFF \
  -DVYHID_BUILD_DESIGNER=OFF >/dev/null
cmake --build "$build" -j"${VYHID_DEB_JOBS:-$(nproc)}" >/dev/null
rm -f "$build"/vyhid_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
realpath "$build"/vyhid_*.deb

#!/usr/bin/env bash
# Builds the Debian packages vyhidpkg1 (the runtime libraries and bridges),
# vyhid-dev and vyhid (the tool): a build of its own configured for /usr as
# Debian lays packages out (VYHID_DEBIAN_PACKAGE), then cpack -G DEB, whose
# dependencies dpkg-shlibdeps finds. Prints the packages' paths, one a line.
# Reproducible: dated by the last commit (SOURCE_DATE_EPOCH, unless set), and
# no path of the source or build folder in what is packed.
#   scripts/deb.sh [--no-setup] [BUILD_DIR]     default build-deb
#   VYHID_DEB_JOBS=N                            parallel jobs (default: the number of CPUs)
#   VYHID_DEB_ONLY="COMPONENT TARGET..."        one package only: its install component
#                                               and the targets it installs (a quicker
#                                               build, for the reproducibility test)
# Installs what it needs first (scripts/setup.sh --deb) unless --no-setup.
set -euo pipefail
cd "$(dirname "$0")/.."

setup=1
if [ "${1:-}" = "--no-setup" ]; then setup=0; shift; fi
build=${1:-build-deb}
if [ "$setup" = 1 ]; then scripts/setup.sh --deb; fi

# Debian's compiler and linker flags, hardening included; CMake takes
# CFLAGS, CXXFLAGS and LDFLAGS from the environment when it first configures.
# They map the source folder (here) to "."; the build folder is mapped too,
# wherever it is.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
mkdir -p "$build"
prefix_map="-ffile-prefix-map=$(realpath "$build")=build"
export CFLAGS="$CPPFLAGS $CFLAGS $prefix_map" CXXFLAGS="$CPPFLAGS $CXXFLAGS $prefix_map"
# The date in the packages (file times, the manual page): the last commit's,
# or the changelog's outside a git checkout.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null ||
    dpkg-parsechangelog -l packaging/debian/changelog -STimestamp)
fi
export SOURCE_DATE_EPOCH
read -r -a only <<<"${VYHID_DEB_ONLY:-}"
# One package: its targets alone, and packing it builds no others.
build_targets=() cpack_components=() skip_all=OFF
if [ "${#only[@]}" -gt 0 ]; then
  build_targets=(--target "${only[@]:1}") cpack_components=(-D "CPACK_COMPONENTS_ALL=${only[0]}")
  skip_all=ON
fi
# The Qt integration stays out: Qt must not become a dependency of programs
# that do not use it, and it is not packaged on its own yet. The binaries are
# linked with their installed run paths: one of the build tree, replaced at
# installation, would leave its length in them.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DVYHID_DEBIAN_PACKAGE=ON \
  -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=$skip_all \
  -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYHID_BUILD_TESTS=OFF -DVYHID_BUILD_BENCH=OFF \
  -DVYHID_BUILD_DESIGNER=OFF >/dev/null
cmake --build "$build" -j"${VYHID_DEB_JOBS:-$(nproc)}" "${build_targets[@]}" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB "${cpack_components[@]}" >/dev/null)
realpath "$build"/*.deb

#!/usr/bin/env bash
# The Debian package as a user meets it. scripts/deb.sh builds it; lintian
# must find nothing that the package's overrides do not explain; dpkg
# installs it into a scratch root of this test's own (whose database holds
# the package's dependencies as this machine has them installed, so that
# they are checked) and nothing outside that root is touched, so
# that test runs in parallel, from other build trees, cannot disturb each
# other. Then programs are built against the installed files with pkg-config
# and with find_package(VyHID) and run on the installed simulated bridge, the
# installed tool lists the bundled devices, and the package is purged: nothing
# it installed may remain.
#   DebTest.sh SOURCE_DIR WORK_DIR CONSUMER_DIR CXX
set -euo pipefail
src=$1 work=$2 consumer=$3 cxx=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
missing() {  # something scripts/setup.sh --deb installs: a skip, a failure under CI
  echo "SKIP: missing prerequisite: $* (scripts/setup.sh --deb)" >&2
  case "${CI:-}" in true | 1) echo "FAIL: under CI a missing prerequisite is a failure" >&2; exit 1 ;; esac
  exit 77
}
for tool in dpkg dpkg-deb dpkg-buildflags dpkg-shlibdeps lintian fakeroot pkg-config; do
  command -v "$tool" >/dev/null || missing "$tool"
done

rm -rf "$work/root" "$work/consumer-cmake" "$work/consumer-pkgconfig"
mkdir -p "$work"
deb=$(VYHID_DEB_JOBS=2 "$src/scripts/deb.sh" --no-setup "$work/build")
echo "package: $deb"

# Dependencies, as dpkg-shlibdeps found them: the C++ runtime and libudev.
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for dep in libc6 libstdc++6 libgcc-s1 libudev1; do
  [[ ", $depends," == *", $dep "* ]] || fail "Depends lacks $dep: $depends"
done

# lintian: errors and warnings fail; what the package's design makes lintian
# flag is overridden in the package, each with its reason.
lintian --fail-on error,warning --display-level '>=warning' "$deb" ||
  fail "lintian has findings (above) on $deb"

root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
# The scratch database knows the package's dependencies as this machine has
# them installed (their status, an empty list of files), and nothing else.
arch=$(dpkg-deb --field "$deb" Architecture)
mapfile -t deps < <(tr ',' '\n' <<<"$depends" | sed "s/[(|].*//; s/ //g; s/\$/:$arch/")
dpkg-query --status "${deps[@]}" >"$admin/status" || fail "not installed here: ${deps[*]}"
for dep in "${deps[@]}"; do
  touch "$admin/info/$dep.list" "$admin/info/${dep%:*}.list"
done
touch "$admin/available"
# fakeroot: dpkg wants to be root to set owners; the root is ours. No
# maintainer script runs (the package has none); triggers (ldconfig) are the
# host's business, not the scratch root's.
dpkg_root() {
  fakeroot dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
    --no-triggers "$@"
}
trap 'dpkg_root --purge vyhid >/dev/null 2>&1 || true' EXIT
dpkg_root --install "$deb" >/dev/null || fail "dpkg --install $deb"

installed() { dpkg-query --admindir="$admin" --listfiles vyhid | grep -E "$1" | head -n1; }
rule=$(installed '^/usr/lib/udev/rules\.d/70-vyhid-hidraw\.rules$')
[ -n "$rule" ] || fail "the udev rule is not in /usr/lib/udev/rules.d"
cmp "$root$rule" "$src/packaging/udev/70-vyhid-hidraw.rules" || fail "installed udev rule differs"
pc=$(installed '/pkgconfig/vyhid\.pc$')
[ -n "$pc" ] || fail "no vyhid.pc installed"
libdir=$root$(dirname "$(dirname "$pc")")

# The installed tool finds its bridges beside it.
"$root/usr/bin/vyhid" --simulate list | grep -q "Sim Vendor Device" ||
  fail "the installed vyhid does not list the simulated devices"

# pkg-config, as README shows it. In /usr the loader finds the libraries by
# itself; in the scratch root it is told where they are.
PKG_CONFIG_PATH=$(dirname "$root$pc")
export PKG_CONFIG_PATH
simbridge=$(pkg-config --variable=simbridge vyhid)
simdevices=$(pkg-config --variable=simdevices vyhid)
if [ ! -f "$simbridge" ] || [ ! -f "$simdevices" ]; then
  fail "pkg-config names no installed simulated bridge: $simbridge, $simdevices"
fi
# shellcheck disable=SC2046 # the flags are words
"$cxx" -std=c++20 "$consumer/consumer.cpp" $(pkg-config --cflags --libs vyhid) \
  "-DVYHID_INSTALLED_SIM_BRIDGE=\"$simbridge\"" "-DVYHID_INSTALLED_SIM_DEVICES=\"$simdevices\"" \
  -o "$work/consumer-pkgconfig"
out=$(LD_LIBRARY_PATH=$libdir "$work/consumer-pkgconfig" --sim)
[ "$out" = $'scan: 3\nfeature 1: installed' ] || fail "pkg-config consumer printed: $out"

# find_package(VyHID): CMake gives the program a run path to the libraries.
cmake -S "$consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
out=$("$work/consumer-cmake/consumer" --sim)
[ "$out" = $'scan: 3\nfeature 1: installed' ] || fail "find_package consumer printed: $out"

# Purged, nothing of the package remains: no file outside dpkg's own database,
# and the database no longer knows it.
trap - EXIT
dpkg_root --purge vyhid >/dev/null || fail "dpkg --purge vyhid"
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/lib" \
  -not -path "$admin" -not -path "$admin/*")
[ -z "$left" ] || fail "left behind after the purge: $left"
status=$(dpkg-query --admindir="$admin" --show --showformat='${db:Status-Status}' vyhid 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg still lists vyhid: $status"
for file in "$admin"/info/vyhid.*; do
  [ ! -e "$file" ] || fail "dpkg's file of vyhid remains: $file"
done
echo "deb test passed: $(basename "$deb")"

#!/usr/bin/env bash
# The Debian packages as a user meets them. scripts/deb.sh builds them
# (vyhidpkg1, vyhid-dev, vyhid); lintian must find nothing at warning level;
# dpkg installs them into a scratch root of this test's own (whose database
# holds the packages' dependencies as this machine has them installed, so
# that they are checked) and nothing outside that root is touched, so that
# test runs in parallel, from other build trees, cannot disturb each other.
# Then programs are built against the installed files with pkg-config and
# with find_package(VyHID) and run on the installed simulated bridge,
# dpkg-shlibdeps names the runtime package for them, the installed tool lists
# the bundled devices, man finds its page, and the packages are purged:
# nothing they installed may remain.
#   DebTest.sh SOURCE_DIR WORK_DIR CONSUMER_DIR CXX
set -euo pipefail
src=$1 work=$2 consumer=$3 cxx=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
missing() {  # something scripts/setup.sh --deb installs: a skip, a failure under CI
  echo "SKIP: missing prerequisite: $* (scripts/setup.sh --deb)" >&2
  case "${CI:-}" in true | 1) echo "FAIL: under CI a missing prerequisite is a failure" >&2; exit 1 ;; esac
  exit 77
}
for tool in dpkg dpkg-deb dpkg-buildflags dpkg-shlibdeps lintian fakeroot pkg-config help2man man; do
  command -v "$tool" >/dev/null || missing "$tool"
done

rm -rf "$work/root" "$work/consumer-cmake" "$work/consumer-pkgconfig"
mkdir -p "$work"
mapfile -t debs < <(VYHID_DEB_JOBS=2 "$src/scripts/deb.sh" --no-setup "$work/build")
declare -A deb
for file in "${debs[@]}"; do deb[$(dpkg-deb --field "$file" Package)]=$file; done
echo "packages: ${!deb[*]}"
runtime=vyhidpkg1 packages=(vyhidpkg1 vyhid-dev vyhid)
for package in "${packages[@]}"; do
  [ -n "${deb[$package]:-}" ] || fail "scripts/deb.sh made no package $package: ${debs[*]}"
done
[ "${#debs[@]}" = "${#packages[@]}" ] || fail "scripts/deb.sh made more packages: ${debs[*]}"

# Dependencies: the runtime's as dpkg-shlibdeps found them (the C++ runtime
# and libudev); the others need the runtime of their own version.
depends_of() { dpkg-deb --field "${deb[$1]}" Depends; }
for dep in libc6 libstdc++6 libgcc-s1 libudev1; do
  [[ ", $(depends_of $runtime)," == *", $dep "* ]] || fail "$runtime lacks $dep: $(depends_of $runtime)"
done
version=$(dpkg-deb --field "${deb[$runtime]}" Version)
for package in vyhid-dev vyhid; do
  [[ ", $(depends_of $package)," == *", $runtime (= $version),"* ]] ||
    fail "$package does not depend on $runtime (= $version): $(depends_of $package)"
done

# lintian: errors and warnings fail, and the packages override nothing.
lintian --fail-on error,warning --display-level '>=warning' "${debs[@]}" ||
  fail "lintian has findings (above) on ${debs[*]}"

root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
# The scratch database knows the package's dependencies as this machine has
# them installed (their status, an empty list of files), and nothing else.
arch=$(dpkg-deb --field "${deb[$runtime]}" Architecture)
mapfile -t deps < <(for package in "${packages[@]}"; do depends_of "$package" | tr ',' '\n'; done |
  sed "s/[(|].*//; s/ //g" | grep -vxFf <(printf '%s\n' "${packages[@]}") | sort -u |
  sed "s/\$/:$arch/")
dpkg-query --status "${deps[@]}" >"$admin/status" || fail "not installed here: ${deps[*]}"
for dep in "${deps[@]}"; do
  touch "$admin/info/$dep.list" "$admin/info/${dep%:*}.list"
done
touch "$admin/available"
# fakeroot: dpkg wants to be root to set owners; the root is ours. No
# maintainer script changes anything (the runtime's act on a running udev
# only, and not in another root); triggers (ldconfig) are the host's
# business, not the scratch root's.
dpkg_root() {
  fakeroot dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless \
    --no-triggers "$@"
}
trap 'dpkg_root --purge "${packages[@]}" >/dev/null 2>&1 || true' EXIT
dpkg_root --install "${debs[@]}" >/dev/null || fail "dpkg --install ${debs[*]}"

installed() { dpkg-query --admindir="$admin" --listfiles "$1" | grep -E "$2" | head -n1; }
rule=$(installed $runtime '^/usr/lib/udev/rules\.d/70-vyhid-hidraw\.rules$')
[ -n "$rule" ] || fail "the udev rule is not in /usr/lib/udev/rules.d"
cmp "$root$rule" "$src/packaging/udev/70-vyhid-hidraw.rules" || fail "installed udev rule differs"
pc=$(installed vyhid-dev '/pkgconfig/vyhid\.pc$')
[ -n "$pc" ] || fail "no vyhid.pc installed"
libdir=$root$(dirname "$(dirname "$pc")")

# The installed tool finds its bridges beside it.
"$root/usr/bin/vyhid" --simulate list | grep -q "Sim Vendor Device" ||
  fail "the installed vyhid does not list the simulated devices"
man --manpath="$root/usr/share/man" -P cat vyhid 2>/dev/null | grep -q "list, watch and talk to HID devices" ||
  fail "man does not find the installed page vyhid(1)"
# Bash completes a command's options as the installed tool's help lists them.
out=$(PATH="$root/usr/bin:$PATH" bash -c 'source "$1"; COMP_WORDS=(vyhid send --f) COMP_CWORD=2
  _vyhid; echo "${COMPREPLY[*]}"' completion "$root/usr/share/bash-completion/completions/vyhid")
[ "$out" = "--file --feature" ] || fail "bash completes 'vyhid send --f' as: $out"

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

# A package of a program built against vyhid-dev depends on the runtime
# package, as the installed shlibs file says (dpkg-shlibdeps reads the shlibs
# of the scratch root's database; it wants a debian/control to run in).
mkdir -p "$work/shlibdeps/debian"
touch "$work/shlibdeps/debian/control"
shlibdeps=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O "-L$admin/info/$runtime.shlibs" "-l$libdir" \
  "$work/consumer-pkgconfig")
[[ "$shlibdeps" == *" $runtime (>= $version)"* ]] || fail "dpkg-shlibdeps: $shlibdeps"

# Purged, nothing of the package remains: no file outside dpkg's own database,
# and the database no longer knows it.
trap - EXIT
dpkg_root --purge "${packages[@]}" >/dev/null || fail "dpkg --purge ${packages[*]}"
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/lib" \
  -not -path "$admin" -not -path "$admin/*")
[ -z "$left" ] || fail "left behind after the purge: $left"
for package in "${packages[@]}"; do
  status=$(dpkg-query --admindir="$admin" --show --showformat='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg still lists $package: $status"
  for file in "$admin/info/$package".*; do
    [ ! -e "$file" ] || fail "dpkg's file of $package remains: $file"
  done
done
echo "deb test passed: ${!deb[*]}"

#!/usr/bin/env bash
# The Debian packages are reproducible: the runtime package built again from
# the same sources, in another folder and later, is the same file, byte for
# byte, as the one the package test built; and none of that test's packages
# holds the path of its source or build folder. The second build makes the
# runtime package alone (the libraries and bridges, most of the compiling):
# the other packages come from the same flags and the same packing.
#   ReproducibleTest.sh SOURCE_DIR FIRST_BUILD_DIR WORK_DIR
set -euo pipefail
src=$1 first=$2 work=$3
# What the runtime package installs, built for it alone (scripts/deb.sh
# builds the hidraw bridge whatever the options of the build that tests).
runtime_targets=(rtl270 vcl270 VyHIDpkg sim_bridge hidraw_bridge vyhid_deb_changelog)

fail() { echo "FAIL: $*" >&2; exit 1; }
runtime=$(ls "$first"/vyhidpkg*_*.deb 2>/dev/null) || fail "no runtime package in $first (deb.package)"

unpack() { mkdir -p "$2" && dpkg-deb --raw-extract "$1" "$2"; }
rm -rf "$work"
mkdir -p "$work"
# Dated as the first build (its files' time): a commit made since then
# changes the date that scripts/deb.sh takes, not what is compiled.
unpack "$runtime" "$work/first"
SOURCE_DATE_EPOCH=$(stat -c %Y "$work/first/DEBIAN/control")
export SOURCE_DATE_EPOCH
again=$(VYHID_DEB_JOBS=2 VYHID_DEB_ONLY="runtime ${runtime_targets[*]}" "$src/scripts/deb.sh" --no-setup \
  "$work/built-again-elsewhere")
[ "$(basename "$again")" = "$(basename "$runtime")" ] || fail "built again: $again, not $runtime"

if ! cmp "$runtime" "$again"; then
  unpack "$again" "$work/again"
  diff -r "$work/first" "$work/again" >&2 || true
  fail "$again differs from $runtime (the files that differ above)"
fi

for deb in "$first"/*.deb; do
  unpack "$deb" "$work/contents/$(basename "$deb")"
done
paths=$(grep -rlaF -e "$(realpath "$src")" -e "$(realpath "$first")" "$work/contents" || true)
[ -z "$paths" ] || fail "build paths in the packages: $paths"
echo "reproducible: $(basename "$runtime") built twice is the same; no build paths in $first/*.deb"

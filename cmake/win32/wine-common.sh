# Shared by wine-run.sh and wine-env.sh (sourced): one prefix for the whole
# build, no display, no debug chatter, no .NET or HTML engine prompts.
#
# VYHID_WINE_ARCH (win32, the default, or win64) is the build's bitness. Each
# has a prefix of its own: a 32-bit prefix runs no 64-bit program, and the
# 32-bit build keeps the 32-bit prefix it always had, also where wine64 is
# installed (which would make a new prefix 64-bit).
export WINEARCH="${VYHID_WINE_ARCH:-win32}"
case "$WINEARCH" in
win32) wine_prefix_suffix="" ;;
win64) wine_prefix_suffix="-win64" ;;
*)
  echo "wine-common.sh: VYHID_WINE_ARCH is '$WINEARCH', not win32 or win64" >&2
  exit 2
  ;;
esac
: "${WINEPREFIX:=${VYHID_WINEPREFIX:-${TMPDIR:-/tmp}/vyhid-wineprefix-$(id -u)}$wine_prefix_suffix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY

# Creates the prefix once. Serialised with flock, since ctest -j may start
# several programs at once; `wineserver -w` lets the first boot settle, or
# its services start a second time and the first program times out.
wine_prefix_ready() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i && wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1
}

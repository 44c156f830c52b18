# Shared by wine-run.sh and wine-env.sh (sourced): one prefix for the whole
# build, no display, no debug chatter, no .NET or HTML engine prompts.
: "${WINEPREFIX:=${VYHID_WINEPREFIX:-${TMPDIR:-/tmp}/vyhid-wineprefix-$(id -u)}}"
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

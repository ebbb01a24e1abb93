# Sourced by the scripts that run Windows programs: one throw-away Wine
# prefix with a persistent server for the whole run, warmed up before the
# first test so that no test waits for the server's start or linger time.
# wine_start sets WINEPREFIX and friends; wine_stop ends the server and
# removes the prefix.

WINE_LOADER=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver
[ -x "$WINE_SERVER" ] || WINE_SERVER=$(command -v wineserver64 || command -v wineserver)

wine_start() {
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/kelmyr-wine.XXXXXX)
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  # Detached from our stdio: the server outlives the command that starts it,
  # and a holder of the test runner's pipes would make it wait for ever.
  "$WINE_SERVER" -p </dev/null >/dev/null 2>&1
  "$WINE_LOADER" wineboot --init </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    "$WINE_SERVER" -k </dev/null >/dev/null 2>&1 || true
    "$WINE_SERVER" -w </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}

# Sourced by the Windows test scripts: a private, quiet Wine prefix inside the build folder.
#   . scripts/wine-env.sh BUILD_DIR [win32|win64]
# win32 (the default) is a 32-bit Windows in BUILD_DIR/wineprefix; win64 a 64-bit one in
# BUILD_DIR/wineprefix64, where the 32-bit DLL and programs run under WOW64 as on the 64-bit
# Windows most point-of-sale machines have (Debian's wine64 package beside wine32).
export WINEARCH="${2:-win32}"
if [ "${WINEARCH}" = win64 ]; then
  export WINEPREFIX="$(cd "$1" && pwd)/wineprefix64"
else
  export WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
fi
export WINEDEBUG=-all
# No Mono or Gecko installers (they would open dialogs).
export WINEDLLOVERRIDES="mscoree,mshtml="
# One persistent wineserver and Wine's own services for the whole stage, started with their
# output detached: they outlive the programs, and would otherwise hold the callers' pipes open.
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running
wineboot -i </dev/null >/dev/null 2>&1

# Sourced by the Windows test scripts: a private, quiet Wine prefix inside the build folder.
#   . scripts/wine-env.sh BUILD_DIR
export WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko installers (they would open dialogs).
export WINEDLLOVERRIDES="mscoree,mshtml="
# One persistent wineserver and Wine's own services for the whole stage, started with their
# output detached: they outlive the programs, and would otherwise hold the callers' pipes open.
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running
wineboot -i </dev/null >/dev/null 2>&1

#!/bin/sh
# Runs a Windows program under Wine, headless, in a private prefix.
#   wine-run.sh PREFIX PROGRAM [ARGS...]   run PROGRAM, creating PREFIX first
#   wine-run.sh PREFIX --init              only create PREFIX
# The prefix is created once, under a lock: a new prefix takes seconds to
# build and two Wine processes starting on a half-made one race.
set -eu
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# With no DISPLAY and the null driver, windows and messages work headless.
unset DISPLAY WAYLAND_DISPLAY

if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then wine=wine64
else wine=wine
fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    wineboot -i >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"

# Keep one Wine session, its server and system processes, running across
# the many short test programs, started here with no inherited output: the
# system processes live as long as the server and would otherwise hold the
# first test's output pipes open long after that test has ended.
if wineserver -p30 </dev/null >/dev/null 2>&1; then
  "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi

if [ "${1:-}" = "--init" ]; then exit 0; fi
exec "$wine" "$@"

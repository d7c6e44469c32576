#!/bin/sh
# Runs a Windows program under Wine, headless, in a private prefix.
#   wine-run.sh PREFIX PROGRAM [ARGS...]   run PROGRAM, creating PREFIX first
#   wine-run.sh PREFIX --init              only create PREFIX
# With QUARCTL_WINE_TEMPLATE naming a made prefix, a new PREFIX is a copy of it.
# QUARCTL_WINEDEBUG, where set, is Wine's WINEDEBUG (else -all).
# The prefix is created once, under a lock: a new prefix takes seconds to
# build and two Wine processes starting on a half-made one race.
set -eu
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=${QUARCTL_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
# With no DISPLAY and the null driver, windows and messages work headless.
unset DISPLAY WAYLAND_DISPLAY

if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then wine=wine64
else wine=wine
fi

# A prefix made without Wine's 32-bit half cannot start 32-bit programs
# once it is installed ("could not load kernel32.dll"): the prefix records
# which Wine made it and is made anew when that changes.
if [ -x /usr/lib/wine/wine ]; then made_by="wine64 and wine32"; else made_by="wine64"; fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ "$(cat "$prefix/.ready" 2>/dev/null)" != "$made_by" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
  fi
  template=${QUARCTL_WINE_TEMPLATE:-}
  if [ "$(cat "$prefix/.ready" 2>/dev/null)" != "$made_by" ] && [ -n "$template" ] &&
    [ "$(cat "$template/.ready" 2>/dev/null)" = "$made_by" ]; then
    # A copy of a made prefix takes a second, where making one takes
    # minutes under emulation. Wine writes its registry files whole, by
    # renaming, so a copy of a prefix in use still holds whole files.
    cp -a "$template" "$prefix"
  fi
  if [ "$(cat "$prefix/.ready" 2>/dev/null)" != "$made_by" ]; then
    wineboot -i >/dev/null 2>&1 || true
    # wineboot goes on setting up the registry after it returns.
    wineserver -w
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # No crash debugger, in either registry view: a crashing program then
    # ends at once, instead of waiting minutes in winedbg. Wine falls back
    # to winedbg when the value is missing, so it is set empty instead.
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
      "$wine" reg add "$key" /v Debugger /d '' /f >/dev/null 2>&1
      "$wine" reg add "$key" /v Auto /d 1 /f >/dev/null 2>&1
    done
    wineserver -w
    echo "$made_by" >"$prefix/.ready"
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

#!/bin/sh
# Builds the programs, starts the stand-in server under Wine and drives it
# with quarctl, one command through quarctl-session, showing each command's
# output and exit status, and ends with quarctl-doctor's report.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh --x64
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j 2 --target quarctl quarctl-session quarctl-doctor standin >/dev/null
bin=build/mingw-x64/bin
wine="cmake/wine-run.sh build/mingw-x64/wineprefix"

ready=$(mktemp)
$wine "$bin/standin.exe" --ready - >"$ready" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; rm -f "$ready"' EXIT
tries=0
until grep -q '^ready' "$ready"; do
  tries=$((tries + 1))
  if [ $tries -gt 300 ] || ! kill -0 $server 2>/dev/null; then
    echo "the stand-in did not start:"; cat "$ready"; exit 1
  fi
  sleep 0.1
done
echo "Stand-in server running (activity stopped)."

run() {
  program=$1
  shift
  if [ $# -eq 0 ]; then echo "\$ $program"; else echo "\$ $program $*"; fi
  status=0
  $wine "$bin/$program.exe" "$@" || status=$?
  echo "[exit status $status]"
}
run quarctl
for command in STATUS START STATUS; do run quarctl "$command"; done
# As a service would: quarctl run in the application's session, here our own.
run quarctl-session STOP
for command in CLOSE STATUS; do run quarctl "$command"; done
wait $server || true
# Why the last STATUS failed.
run quarctl-doctor

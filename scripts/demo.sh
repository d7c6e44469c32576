#!/bin/sh
# Builds the tool, starts the stand-in server under Wine and drives it with
# quarctl, showing each command's output and exit status.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j 2 --target quarctl standin >/dev/null
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
  echo "\$ quarctl $*"
  status=0
  $wine "$bin/quarctl.exe" "$@" || status=$?
  echo "[exit status $status]"
}
run
for command in STATUS START STATUS STOP CLOSE STATUS; do run "$command"; done
wait $server || true

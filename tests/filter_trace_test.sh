#!/bin/sh
# quarctl lets the three reply codes through its process's message filter
# before it sends its request. Wine has no UIPI, so nothing that quarctl
# prints shows the calls; Wine's relay trace of a STATUS against the
# stand-in does.
#   filter_trace_test.sh SOURCE BIN PREFIX
set -eu
SOURCE=$1 BIN=$2 PREFIX=$3
. "$SOURCE/tests/release-lib.sh"
wine_run() { "$SOURCE/cmake/wine-run.sh" "$PREFIX" "$@"; }
ready=$(mktemp)
trace=$(mktemp)
wine_run "$BIN/standin.exe" --ready - >"$ready" 2>&1 &
server=$!
trap 'wine_run "$BIN/quarctl.exe" CLOSE >/dev/null 2>&1 || true; wait $server || true; rm -f "$ready" "$trace"' EXIT
tries=0
until grep -q '^ready' "$ready"; do
  tries=$((tries + 1))
  [ $tries -le 300 ] && kill -0 $server 2>/dev/null || { echo "the stand-in did not start"; cat "$ready"; exit 1; }
  sleep 0.1
done

QUARCTL_WINEDEBUG=+relay wine_run "$BIN/quarctl.exe" STATUS >/dev/null 2>"$trace"
calls=$(grep -oE 'Call user32\.(ChangeWindowMessageFilter\(0000048[01]|ChangeWindowMessageFilter\(0000047f|SendMessageTimeoutA)' \
  "$trace" | sed 's/^Call user32\.//' | tr '\n' ' ')
check "0x47F, 0x480 and 0x481 let through, then the send" test "$calls" = \
  "ChangeWindowMessageFilter(0000047f ChangeWindowMessageFilter(00000480 ChangeWindowMessageFilter(00000481 SendMessageTimeoutA "
[ $failures -eq 0 ] || echo "  the trace's calls: $calls"
finish

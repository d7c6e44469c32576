#!/bin/sh
# The QuarctlSession events under Wine, whose ReportEventA writes each
# event's id to its advapi channel and each insert to its eventlog channel.
# The service test's own case serves a request, fails a start and stages
# the refusals that Wine can (every process there is an elevated
# administrator, so no requester is refused), in a prefix of its own whose
# system processes, the service control manager among them, and so the
# service, write to the trace read here.
#   eventlog_test.sh SOURCE BIN TEMPLATE-PREFIX WORK
set -eu
SOURCE=$1 BIN=$2 TEMPLATE=$3 WORK=$4
. "$SOURCE/tests/release-lib.sh"
rm -rf "$WORK" "$WORK.lock"
mkdir -p "$WORK"
prefix=$WORK/wineprefix
trace=$WORK/trace.txt
QUARCTL_WINE_TEMPLATE=$TEMPLATE "$SOURCE/cmake/wine-run.sh" "$prefix" --init
export WINEPREFIX="$prefix"
wineserver -k 2>/dev/null || true
wineserver -w
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true' EXIT
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; else wine=wine64; fi
# A Wine session of our own, whose system processes write to the trace;
# wine-run.sh then finds it running.
WINEDEBUG=+eventlog wineserver -p30
WINEDEBUG=+eventlog WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" cmd.exe /c exit </dev/null >/dev/null 2>"$trace"
# The copy may hold a registration that the service tests made in the
# template meanwhile, which Wine had written to its registry files.
"$SOURCE/cmake/wine-run.sh" "$prefix" sc delete QuarctlSession >/dev/null 2>&1 || true
if ! QUARCTL_TEST_EVENTLOG=1 "$SOURCE/cmake/wine-run.sh" "$prefix" "$BIN/e2e_test.exe" \
  --gtest_filter=ServiceLog.WritesEachRequest >"$WORK/out.txt" 2>&1; then
  cat "$WORK/out.txt"
  exit 1
fi
# One line an event: its id, then its inserts, each after a "|".
awk '/:ReportEventW \(/ { if (event != "") print event; split($0, field, ","); event = field[4]; next }
  /:eventlog:ReportEventW L"/ { text = $0; sub(/^[^"]*"/, "", text); sub(/"$/, "", text); event = event "|" text }
  END { if (event != "") print event }' "$trace" >"$WORK/events.txt"
event() { grep -qE "$1" "$WORK/events.txt"; }
account='[^|]+ \(S-1-5-[0-9-]+\)\|[0-9]+'
check "1, a request served: account, process, session, keyword, status, time" \
  event "^0x40000001\|$account\|1\|STATUS\|1\|[0-9]+$"
check "2, bad arguments: which, and how many" event '^0x80000002\|the token\|5$'
check "4, a pipe that could not be opened: its name, the error" \
  event '^0x80000004\|[^|]*pipe[^|]*quarctl-session-[0-9a-f]{32}\|2$'
check "5, a failed start: account, process, session, keyword, call, error" \
  event "^0xc0000005\|$account\|1\|START\|CreateFileA\|2$"
check "8, a request past its deadline: by how much" event '^0x80000008\|[0-9]+$'
[ "$failures" -eq 0 ] || { echo "  the events:"; sed 's/^/    /' "$WORK/events.txt"; }
finish

#!/bin/sh
# Builds both architectures and runs the whole test suite under Wine, then
# says how the x86 tests ran: natively, under emulation, or not at all.
# Where the setup could not install the x86 set, the rest still builds and
# runs, and the report says why the x86 tests did not, after any suite the
# setup left out of its installs.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in mingw-x64 mingw-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
done
x86=build/mingw-x86
status=0
# A test that fails is run once more, and the report names it: a Wine
# process has been seen, rarely, to end at its start with no output at all.
run_tests() {
  rm -f "build/$1.status"
  { ctest --preset "$1" --repeat until-pass:2 || echo $? >"build/$1.status"; } | tee "build/$1.ctest"
  if [ -f "build/$1.status" ]; then status=$(cat "build/$1.status"); rm -f "build/$1.status"; fi
}
run_tests mingw-x86
# Under emulation one CTest test runs a whole GoogleTest program, which
# prints how many cases it ran. Read before any other ctest call, which
# would write a new log.
ran=$(grep -hE '^\[==========\] [0-9]+ tests? from .* ran\.' "$x86/Testing/Temporary/LastTest.log" 2>/dev/null |
  awk '{n += $2} END {print n + 0}')
rm -f build/mingw-x64/zabbix-report.txt
run_tests mingw-x64

# The x86 report.
suite=$(ctest --test-dir build/mingw-x64 -N | grep -cE 'Test +#[0-9]+: [A-Za-z]+\.[A-Za-z]+$' || true)
lane=$(cat "$x86/x86-lane.txt" 2>/dev/null || echo "unknown")
tests=$(ctest --test-dir "$x86" -N | sed -n 's/^Total Tests: //p')
echo
# Tests that passed only when run again; the peers; a suite the setup left
# out, and why; the x86 line comes last.
retried=$(sed -nE 's/^ *[0-9]*\/*[0-9]* *Test *#[0-9]*: ([^ ]*) .*\*\*\*(Failed|Exception|Timeout).*/\1/p' \
  build/mingw-x86.ctest build/mingw-x64.ctest |
  sort -u | tr '\n' ' ')
if [ -n "$retried" ] && [ $status -eq 0 ]; then echo "failed once, then passed when run again: ${retried% }"; fi
# The peers: what the setup could not install, else how the Zabbix proof went.
if [ -f build/peers-setup.txt ]; then cat build/peers-setup.txt; fi
if ! grep -q '^zabbix:' build/peers-setup.txt 2>/dev/null && [ -f build/mingw-x64/zabbix-report.txt ]; then
  cat build/mingw-x64/zabbix-report.txt
fi
if [ -f build/apt-setup.txt ]; then cat build/apt-setup.txt; fi
if [ -f build/x86-setup.txt ]; then lane=setup; fi
case "$lane" in
setup)
  cat build/x86-setup.txt ;;
native)
  echo "x86: $tests tests ran natively; none under emulation." ;;
emulated:*)
  emulated=$(ctest --test-dir "$x86" -N -L emulated | sed -n 's/^Total Tests: //p')
  echo "x86: natively: $((tests - emulated)) tests (the binary and signing checks)."
  echo "x86: under emulation (${lane#emulated: }): $emulated tests, $ran of the suite's $suite test cases" \
    "and the MSI round trip."
  echo "x86: skipped: the other $((suite - ran)) cases, each of which would start 32-bit processes of its own," \
    "at tens of seconds a start under emulation." ;;
*)
  echo "x86: ${lane#skipped: }; its tests were skipped." ;;
esac
exit $status

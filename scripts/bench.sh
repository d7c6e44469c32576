#!/bin/sh
# Builds the tool for both architectures and measures each under Wine
# against its own stand-in and floor:
#   scripts/bench.sh [PAIRS]   PAIRS interleaved round trips (default 40)
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in mingw-x64 mingw-x86; do
  cmake --preset "$preset" >/dev/null
  echo "== $preset"
  # Under emulation a 32-bit start takes about a minute of qemu's work:
  # that would time the emulator, not the tool. Where 32-bit programs do
  # not run at all, the build has no benchmark to make.
  lane=$(cat "build/$preset/x86-lane.txt" 2>/dev/null || echo native)
  if [ "$lane" != native ]; then
    echo "skipped: 32-bit programs do not run natively here ($lane)"
    echo
    continue
  fi
  cmake --build --preset "$preset" -j 2 --target quarctl_bench >/dev/null
  cmake/wine-run.sh "build/$preset/wineprefix" "build/$preset/bin/quarctl_bench.exe" "$@" | tr -d '\r'
  echo
done

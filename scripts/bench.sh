#!/bin/sh
# Builds the tool for both architectures and measures each under Wine
# against its own stand-in and floor:
#   scripts/bench.sh [PAIRS]   PAIRS interleaved round trips (default 40)
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in mingw-x64 mingw-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 --target quarctl_bench >/dev/null
  echo "== $preset"
  cmake/wine-run.sh "build/$preset/wineprefix" "build/$preset/bin/quarctl_bench.exe" "$@" | tr -d '\r'
  echo
done

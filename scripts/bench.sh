#!/bin/sh
# Builds the 64-bit tool and measures it under Wine against the stand-in:
#   scripts/bench.sh [PAIRS]   PAIRS interleaved round trips (default 40)
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j 2 --target quarctl_bench >/dev/null
cmake/wine-run.sh build/mingw-x64/wineprefix build/mingw-x64/bin/quarctl_bench.exe "$@" | tr -d '\r'

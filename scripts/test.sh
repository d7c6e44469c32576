#!/bin/sh
# Builds both architectures and runs the whole test suite under Wine.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in mingw-x64 mingw-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2
done
ctest --preset mingw-x86
ctest --preset mingw-x64

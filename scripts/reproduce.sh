#!/bin/sh
# Checks that the release packages are reproducible: builds both ZIPs twice,
# from two fresh clones of this checkout's HEAD in different folders, at
# different times and under a different umask and time zone, and compares
# their SHA-256. Also checks that each ZIP carries the runtime's notices.
#   scripts/reproduce.sh
# Prints the checksums; exits 1 if the builds differ or a notice is missing.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Builds the packages in a fresh clone at $1; prints "<sha256>  <zip>".
build() {
  git clone -q "$root" "$1"
  for preset in mingw-x64 mingw-x86; do
    (cd "$1" && cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null &&
      cmake --build --preset "$preset" -j 2 --target package >/dev/null)
    (cd "$1/build/$preset/package" && sha256sum ./*.zip)
  done
}

build "$work/first" >"$work/first.sums"
sleep 2
(umask 077 && TZ=Pacific/Auckland build "$work/second/a-longer-folder-name") >"$work/second.sums"

status=0
echo "Toolchain (Debian packages):"
dpkg-query -W -f='  ${Package} ${Version}\n' cmake g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
  mingw-w64-x86-64-dev mingw-w64-i686-dev binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
echo "SHA-256 of the packages, first build:"
cat "$work/first.sums"
if cmp -s "$work/first.sums" "$work/second.sums"; then
  echo "The second build, elsewhere and later, gave the same bytes."
else
  echo "The second build differs:"
  cat "$work/second.sums"
  status=1
fi

for zip in "$work"/first/build/*/package/*.zip; do
  notices=$(unzip -p "$zip" '*/THIRD-PARTY-NOTICES.txt' || true)
  for text in "mingw-w64-libraries/winpthreads" "GCC RUNTIME LIBRARY EXCEPTION"; do
    if ! printf '%s' "$notices" | grep -q "$text"; then
      echo "$(basename "$zip"): the notices lack $text"
      status=1
    fi
  done
done
[ $status -ne 0 ] || echo "Each package carries the notices of the linked runtime."
exit $status

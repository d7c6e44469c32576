#!/bin/sh
# Checks that the release packages are reproducible: builds both ZIPs and
# both MSIs twice, from two fresh clones of this checkout's HEAD in
# different folders, at different times and under a different umask and
# time zone, and compares their SHA-256. Also checks that each package
# carries the runtime's notices.
#   scripts/reproduce.sh [SIGNED [ROOT]]
# SIGNED, a folder holding a signed release (its ZIPs, MSIs and the MSIs'
# detached signatures, *.msi.sig), is checked against the rebuild too:
# each signed executable, its signature removed, must be the rebuilt one;
# the ZIP made from the signed executables must be the published ZIP; and
# the MSI made from them, with the published signature attached, must be
# the published MSI, all byte for byte. The attached signature must verify:
# against ROOT, a PEM file of the certificate the release's signatures
# chain to, or else against the system's roots.
# Prints the checksums; exits 1 if anything differs or a notice is missing.
set -eu
cd "$(dirname "$0")/.."
signed="" ca=""
if [ $# -gt 0 ]; then signed=$(realpath "$1"); fi
if [ $# -gt 1 ]; then ca=$(realpath "$2"); fi
scripts/setup.sh --x64
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The rebuilds sign nothing, whatever the caller's environment holds.
unset QUARCTL_SIGN_PKCS12 QUARCTL_SIGN_PASSWORD

# Builds the packages in a fresh clone at $1; prints "<sha256>  <package>".
build() {
  git clone -q "$root" "$1"
  for preset in mingw-x64 mingw-x86; do
    (cd "$1" && cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null &&
      cmake --build --preset "$preset" -j 2 --target package >/dev/null)
    (cd "$1/build/$preset/package" && sha256sum ./*.zip ./*.msi)
  done
}

build "$work/first" >"$work/first.sums"
sleep 2
(umask 077 && TZ=Pacific/Auckland build "$work/second/a-longer-folder-name") >"$work/second.sums"

status=0
echo "Toolchain (Debian packages):"
dpkg-query -W -f='  ${Package} ${Version}\n' cmake g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
  mingw-w64-x86-64-dev mingw-w64-i686-dev binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wixl msitools \
  python3-olefile
echo "SHA-256 of the packages, first build:"
cat "$work/first.sums"
if cmp -s "$work/first.sums" "$work/second.sums"; then
  echo "The second build, elsewhere and later, gave the same bytes."
else
  echo "The second build differs:"
  cat "$work/second.sums"
  status=1
fi

# The notices, in each ZIP and each MSI.
for package in "$work"/first/build/*/package/*.zip "$work"/first/build/*/package/*.msi; do
  case "$package" in
  *.zip) notices=$(unzip -p "$package" '*/THIRD-PARTY-NOTICES.txt' || true) ;;
  *)
    # msiextract lays the files out by install folder, which differs by architecture.
    mkdir -p "$work/msi" && (cd "$work/msi" && msiextract "$package" >/dev/null)
    notices=$(find "$work/msi" -name THIRD-PARTY-NOTICES.txt -exec cat {} +)
    rm -rf "$work/msi"
    ;;
  esac
  for text in "mingw-w64-libraries/winpthreads" "GCC RUNTIME LIBRARY EXCEPTION"; do
    if ! printf '%s' "$notices" | grep -q "$text"; then
      echo "$(basename "$package"): the notices lack $text"
      status=1
    fi
  done
done
[ $status -ne 0 ] || echo "Each package carries the notices of the linked runtime."

# A signed release against the first rebuild, packaged again from the
# release's own signed executables.
if [ -n "$signed" ]; then
  checked=0
  for preset in mingw-x64 mingw-x86; do
    build_dir="$work/first/build/$preset"
    for ours in "$build_dir"/package/*.zip; do
      name=$(basename "$ours" .zip)
      if [ ! -f "$signed/$name.zip" ]; then
        echo "$name: not in $signed"
        status=1
        continue
      fi
      rm -rf "$work/exes"
      mkdir -p "$work/exes"
      (cd "$work/exes" && unzip -q -j "$signed/$name.zip" '*.exe')
      if ! (cd "$work/first" && cmake "build/$preset" -DQUARCTL_SIGNED_EXES="$work/exes" >/dev/null &&
        cmake --build "build/$preset" --target package >"$work/package.log" 2>&1); then
        # Such as a signed executable that is not the rebuilt one.
        grep -E 'differs|cannot' "$work/package.log" || cat "$work/package.log"
        status=1
        continue
      fi
      if cmp -s "$ours" "$signed/$name.zip"; then
        echo "$name.zip: its executables, signatures removed, are the rebuilt ones, and the rest is the same bytes."
      else
        echo "$name.zip differs from the rebuild"
        status=1
      fi
      # attach-signature verifies the signature as it attaches it, and
      # osslsigncode 2.5 writes nothing when that fails.
      rm -f "$work/attached.msi"
      if ! osslsigncode attach-signature ${ca:+-CAfile "$ca"} -sigin "$signed/$name.msi.sig" \
        -in "$build_dir/package/$name.msi" -out "$work/attached.msi" >"$work/attach.log" 2>&1; then
        echo "$name.msi: its published signature does not verify on the rebuilt MSI:"
        cat "$work/attach.log"
        status=1
      elif cmp -s "$work/attached.msi" "$signed/$name.msi"; then
        echo "$name.msi: the rebuilt MSI with the published signature attached is the same bytes."
      else
        echo "$name.msi differs from the rebuild with its signature attached"
        status=1
      fi
      checked=$((checked + 1))
    done
  done
  [ $checked -gt 0 ] || { echo "no signed release checked in $signed"; status=1; }
fi
exit $status

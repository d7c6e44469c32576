#!/bin/sh
# Authenticode signing of the release with a throwaway key: signatures
# verify, a changed byte fails, signing is deterministic, and the unsigned
# reproducible bytes come back (executable: signature removed; MSI: the
# detached signature attached to the unsigned build).
#   signing_test.sh SOURCE BIN WORK ARCH
set -eu
SOURCE=$1 BIN=$2 WORK=$3 ARCH=$4
. "$SOURCE/tests/release-lib.sh"
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK"
make_key key
make_payload payload
build_msi payload 1.1.0 unsigned.msi
sign() { sh "$SOURCE/installer/sign.sh" "$1" "$2"; }
verify() { osslsigncode verify -CAfile key/cert.pem -in "$1" >/dev/null 2>&1; }
# Flips one byte in the middle of the file.
tamper() {
  cp "$1" "$2"
  size=$(wc -c <"$1")
  at=$((size / 2))
  byte=$(od -An -tu1 -j "$at" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$2" bs=1 seek="$at" conv=notrunc 2>/dev/null
  ! cmp -s "$1" "$2"
}
unsign() { osslsigncode remove-signature -in "$1" -out "$2" >/dev/null; }
attach() {
  osslsigncode extract-signature -in "$1" -out "$1.sig" >/dev/null &&
    # It verifies the signature as it attaches it; osslsigncode 2.5 writes
    # nothing when that fails, so it is given the test's root.
    osslsigncode attach-signature -CAfile key/cert.pem -sigin "$1.sig" -in "$2" -out "$3" >/dev/null
}

check "sign quarctl.exe" sign "$BIN/quarctl.exe" quarctl.exe
check "sign quarctl.exe again" sign "$BIN/quarctl.exe" quarctl-again.exe
check "sign the MSI" sign unsigned.msi signed.msi
check "sign the MSI again" sign unsigned.msi signed-again.msi
for file in quarctl.exe signed.msi; do
  check "$file verifies" verify "$file"
  check "$file with one byte changed" tamper "$file" "tampered-$file"
  check "$file with one byte changed fails to verify" eval "! verify tampered-$file"
done
check "the exe signed twice: the same bytes" cmp quarctl.exe quarctl-again.exe
check "the MSI signed twice: the same bytes" cmp signed.msi signed-again.msi
check "the exe's signature removed" unsign quarctl.exe stripped.exe
check "... gives the unsigned exe" cmp stripped.exe "$BIN/quarctl.exe"
check "the MSI's signature attached to the unsigned MSI" attach signed.msi unsigned.msi attached.msi
check "... gives the signed MSI" cmp attached.msi signed.msi
check "without a key, signing fails" eval "! QUARCTL_SIGN_PKCS12= sign unsigned.msi nokey.msi 2>/dev/null"
finish

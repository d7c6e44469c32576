#!/bin/sh
# Signs one executable or MSI with Authenticode, reproducibly.
#   installer/sign.sh IN OUT
# From the environment:
#   QUARCTL_SIGN_PKCS12     PKCS#12 file with the certificate and its key (required)
#   QUARCTL_SIGN_PASSWORD   its password (may be empty)
#   QUARCTL_SIGN_URL        URL shown with the signature (optional)
#   QUARCTL_TIMESTAMP_URL   RFC 3161 time-stamp server (optional; needs network)
#   SOURCE_DATE_EPOCH       the signing time (required)
# With a fixed signing time, the same key and input give the same bytes:
# RSA PKCS#1 v1.5 signatures are deterministic, and osslsigncode puts the
# current time in the signature unless it is given one.
set -eu
in=$1
out=$2
: "${QUARCTL_SIGN_PKCS12:?no PKCS#12 file to sign with}"
: "${SOURCE_DATE_EPOCH:?no signing time}"
set -- -pkcs12 "$QUARCTL_SIGN_PKCS12" -readpass /dev/stdin -h sha256 -n QUARCTL -time "$SOURCE_DATE_EPOCH"
if [ -n "${QUARCTL_SIGN_URL:-}" ]; then set -- "$@" -i "$QUARCTL_SIGN_URL"; fi
if [ -n "${QUARCTL_TIMESTAMP_URL:-}" ]; then set -- "$@" -ts "$QUARCTL_TIMESTAMP_URL"; fi
# osslsigncode refuses to overwrite its output file.
rm -f "$out"
# The password goes through a pipe, not the command line, where any user
# could read it.
if ! log=$(printf '%s' "${QUARCTL_SIGN_PASSWORD:-}" | osslsigncode sign "$@" -in "$in" -out "$out" 2>&1); then
  printf 'sign.sh: cannot sign %s:\n%s\n' "$in" "$log" >&2
  rm -f "$out"
  exit 1
fi

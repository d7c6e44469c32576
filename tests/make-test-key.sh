#!/bin/sh
# Makes a throwaway self-signed code-signing certificate for the tests:
# DIR/key.p12 (password "test") to sign with, DIR/cert.pem to verify with.
#   make-test-key.sh DIR
set -eu
mkdir -p "$1"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/key.pem" -out "$1/cert.pem" -days 2 \
  -subj "/CN=QUARCTL test signing" -addext "basicConstraints=critical,CA:FALSE" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -inkey "$1/key.pem" -in "$1/cert.pem" -out "$1/key.p12" -passout pass:test

# Shared by the release tests (sourced): a payload to package, a throwaway
# signing key, and reporting one step of a table at a time.
#   SOURCE  the source tree;  BIN  the build's bin folder;  WORK  a scratch folder

# The files the MSI installs: the build's programs and scripts, the
# source's texts, and stand-in notices (the real ones are made at packaging).
make_payload() {
  mkdir -p "$1"
  for file in quarctl.exe quarctl-doctor.exe quarctl-session.exe ensure-running.cmd close-and-wait.cmd \
    check_quarvel.cmd quarvel-status.ps1 quarvel-detect.ps1 quarvel-remediate.ps1 register-start-task.ps1 \
    register-textfile-task.ps1 quarvel-textfile.ps1; do
    cp "$BIN/$file" "$1/"
  done
  cp "$SOURCE/README.md" "$SOURCE/LICENSE" "$1/"
  cp -r "$SOURCE/examples/zabbix" "$1/"
  cp -r "$SOURCE/docs" "$1/"
  echo "notices" >"$1/THIRD-PARTY-NOTICES.txt"
}

# A throwaway signing key in $1, exported as installer/sign.sh reads it.
make_key() {
  sh "$SOURCE/tests/make-test-key.sh" "$1"
  export QUARCTL_SIGN_PKCS12="$1/key.p12" QUARCTL_SIGN_PASSWORD=test QUARCTL_SIGN_URL=https://example.org/quarctl
}

# The time of the tests' packages and signatures.
export SOURCE_DATE_EPOCH=1796688000

# Builds an MSI of version $2 from payload $1 into $3.
build_msi() {
  /usr/bin/python3 "$SOURCE/installer/build-msi.py" --payload "$1" --folder-check "$BIN/quarctl-folder-check.dll" \
    --arch "$ARCH" --version "$2" \
    --epoch "$SOURCE_DATE_EPOCH" --out "$3"
}

failures=0
# check NAME COMMAND...: runs the command, reports the step as ok or FAILED.
check() {
  name=$1
  shift
  if "$@"; then echo "ok      $name"; else echo "FAILED  $name"; failures=$((failures + 1)); fi
}

# Ends the test: status 1 if a step failed.
finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures step(s) failed"; exit 1; fi
  echo "all steps passed"
}

#!/bin/sh
# The setup's decisions without apt: which packages a machine lacks, and
# how apt's failures are reported.
#   setup_test.sh SOURCE WORK
set -eu
SOURCE=$1 WORK=$2
. "$SOURCE/tests/release-lib.sh"
. "$SOURCE/scripts/setup-lib.sh"
rm -rf "$WORK"
mkdir -p "$WORK/empty"
cd "$WORK"

# apt_first_error OUTPUT EXPECTED: the line the report quotes from apt.
first_error() {
  printf "$1" >apt.log
  [ "$(apt_first_error apt.log)" = "$2" ] || { echo "  got: $(apt_first_error apt.log)"; return 1; }
}
check "apt's first E: line" first_error \
  'W: a warning\n E: not this one\nE: Error, pkgProblemResolver::Resolve generated breaks\nE: Unable to correct problems\n' \
  'E: Error, pkgProblemResolver::Resolve generated breaks'
check "no E: line: the last line" first_error 'Some packages could not be installed.\n  wine32:i386 : Depends: x\n\n' \
  '  wine32:i386 : Depends: x'
check "no output at all" first_error '' 'no output'
check "the x86 line" test "$(x86_not_run wine32:i386 'E: held broken packages')" = \
  "x86: not run: wine32:i386 could not be installed: E: held broken packages"
# Run after the setup itself: nothing of the x64 set is missing, and each
# package is named when its command is.
check "a set-up machine lacks nothing" test -z "$(x64_missing)"
missing=$(PATH="$WORK/empty" x64_missing)
check "an empty PATH lacks the tools" test "${missing#* cmake g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix}" != "$missing"
finish

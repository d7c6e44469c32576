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
# apt_failed_suites OUTPUT EXPECTED: the suites a failed update leaves out.
failed_suites() {
  printf "$1" >update.log
  [ "$(apt_failed_suites update.log | tr '\n' ' ')" = "$2" ] || { echo "  got: $(apt_failed_suites update.log)"; return 1; }
}
mid_sync='E: Failed to fetch http://mirror.example.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz'
mid_sync="$mid_sync  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]\n"
check "a failed index: its suite" failed_suites "W: a warning\n$mid_sync   Hashes of expected file:\n" 'bookworm-security '
check "two failed suites, a Release file among them" failed_suites \
  "$mid_sync${mid_sync}E: The repository 'http://mirror.example.invalid/debian bookworm-backports Release' does not have a Release file.\n" \
  'bookworm-backports bookworm-security '
check "no failed index" failed_suites 'E: Could not get lock /var/lib/apt/lists/lock.\n' ''

# sources_without SUITES FILE EXPECTED: the private sources.
without() {
  printf "$3" >"$2"
  printf "$4" >expected
  sources_without "$1" "$2" | cmp -s - expected || { echo "  got:"; sources_without "$1" "$2"; return 1; }
}
stanza='Types: deb\nURIs: http://mirror.example.invalid/debian%s\nSuites: %s\nComponents: main\n'
# shellcheck disable=SC2059
check "deb822: the suite off its stanza, a stanza left without suites dropped" without bookworm-security \
  debian.sources "$(printf "$stanza" '' 'bookworm bookworm-updates')\n\n$(printf "$stanza" -security bookworm-security)\n" \
  "$(printf "$stanza" '' 'bookworm bookworm-updates')\n\n"
# shellcheck disable=SC2059
check "deb822: one suite of several" without 'bookworm-updates bookworm-backports' debian.sources \
  "$(printf "$stanza" '' 'bookworm bookworm-updates')\n" "$(printf "$stanza" '' bookworm)\n"
check "one-line: its entries, options and all, and nothing else" without bookworm-security sources.list \
  '# deb http://x/debian-security bookworm-security main\ndeb http://x/debian bookworm main\ndeb [ arch=amd64 signed-by=/k.gpg ] http://x/debian-security bookworm-security main\ndeb-src http://x/debian-security bookworm-security main\n' \
  '# deb http://x/debian-security bookworm-security main\ndeb http://x/debian bookworm main\n'

printf 'libgstreamer-plugins-base1.0-0 1.22.0-3+deb12u7 1.22.0-3+deb12u6\nlibc6 2.36-9+deb12u10 2.36-9+deb12u9\n' >twins
check "older i386 twins: each named, and the command that aligns them" test "$(x86_version_report twins)" = \
  "x86: not run: libgstreamer-plugins-base1.0-0 is 1.22.0-3+deb12u7 for amd64, and the newest for i386 that the working indexes offer is 1.22.0-3+deb12u6; libc6 is 2.36-9+deb12u10 for amd64, and the newest for i386 that the working indexes offer is 2.36-9+deb12u9. The setup never downgrades; to align them, run: apt-get install --no-remove --allow-downgrades libgstreamer-plugins-base1.0-0=1.22.0-3+deb12u6 libc6=2.36-9+deb12u9, or run the setup again once the failing index is mended."

# Run after the setup itself: nothing of the x64 set is missing, and each
# package is named when its command is.
check "a set-up machine lacks nothing" test -z "$(x64_missing)"
missing=$(PATH="$WORK/empty" x64_missing)
check "an empty PATH lacks the tools, make among them" \
  test "${missing#* cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix}" != "$missing"
# promtool is asked for apart from the Zabbix set, by its package's name.
check "promtool missing: prometheus" test "$(PATH="$WORK/empty" peers_missing promtool)" = " prometheus"
finish

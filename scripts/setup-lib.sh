# What scripts/setup.sh decides, apart from apt itself, so that a test can
# give it any machine and any apt output. Sourced, never run.

# The first set: what the x64 build, the demo and the x64 tests need.
# Prints the missing packages, each after a space.
x64_missing() {
  command -v cmake >/dev/null 2>&1 || printf ' cmake'
  # CMake's default generator; a minimal Debian has no make.
  command -v make >/dev/null 2>&1 || printf ' make'
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || printf ' g++-mingw-w64-x86-64-posix'
  command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || printf ' g++-mingw-w64-i686-posix'
  command -v x86_64-w64-mingw32-windres >/dev/null 2>&1 || printf ' binutils-mingw-w64-x86-64'
  command -v i686-w64-mingw32-windres >/dev/null 2>&1 || printf ' binutils-mingw-w64-i686'
  command -v wine >/dev/null 2>&1 || printf ' wine'
  [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || printf ' wine64'
  [ -f /usr/src/googletest/CMakeLists.txt ] || printf ' googletest'
  command -v flock >/dev/null 2>&1 || printf ' util-linux'
  command -v cppcheck >/dev/null 2>&1 || printf ' cppcheck'
  command -v clang-tidy >/dev/null 2>&1 || printf ' clang-tidy'
  command -v git >/dev/null 2>&1 || printf ' git'
  command -v unzip >/dev/null 2>&1 || printf ' unzip'
  # The MSIs, their reproducible summary information, and Authenticode.
  command -v wixl >/dev/null 2>&1 || printf ' wixl'
  command -v msibuild >/dev/null 2>&1 || printf ' msitools'
  /usr/bin/python3 -c "import olefile" >/dev/null 2>&1 || printf ' python3-olefile'
  command -v osslsigncode >/dev/null 2>&1 || printf ' osslsigncode'
  command -v openssl >/dev/null 2>&1 || printf ' openssl'
}

# The x86 set, part one: Wine's 32-bit half, an i386 package, which runs
# the 32-bit Windows programs. Part two, qemu-user, is needed only where
# the kernel then refuses to run its loader, and is decided after it.
x86_missing() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed' || printf ' wine32:i386'
}

# The peers set: a real Zabbix 6.0 on PostgreSQL, which the template is
# proven in, and Prometheus' promtool, which checks the textfile sample.
# Prints the missing packages, each after a space; with $1 "promtool",
# only promtool's.
peers_missing() {
  if [ "${1:-}" = promtool ]; then
    command -v promtool >/dev/null 2>&1 || printf ' prometheus'
    return 0
  fi
  for package in zabbix-server-pgsql zabbix-frontend-php zabbix-agent postgresql php-cli php-pgsql; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || printf ' %s' "$package"
  done
}

# apt's first error line in its output; its last line when it wrote none
# that starts with "E:"; "no output" when it wrote nothing.
apt_first_error() {
  line=$(grep -m1 '^E: ' "$1" 2>/dev/null || true)
  [ -n "$line" ] || line=$(grep -v '^[[:space:]]*$' "$1" 2>/dev/null | tail -n1 || true)
  echo "${line:-no output}"
}

# The test command's x86 line when the x86 set could not be installed.
x86_not_run() {
  echo "x86: not run: $1 could not be installed: $2"
}

# The suites whose indexes apt-get update could not fetch, from its output
# in $1, one a line. apt names a failed index by its address, whose suite
# follows /dists/, or a failed Release file by the repository's address
# and suite in quotes.
apt_failed_suites() {
  sed -n -e 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' \
    -e "s|.*The repository '[^ ]* \\([^ ]*\\) \\(In\\)\\{0,1\\}Release'.*|\\1|p" "$1" | sort -u
}

# Prints the apt sources file $2 without the suites in $1 (separated by
# spaces): a one-line entry of such a suite is left out; in a deb822
# stanza (a file named *.sources) the suite is taken off its Suites field,
# and a stanza left with none is left out.
sources_without() {
  case "$2" in
  *.sources)
    awk -v drop=" $1 " '
      function flush() { if (keep) printf "%s", stanza; stanza = ""; keep = 1 }
      BEGIN { keep = 1 }
      /^[ \t]*$/ { flush(); print; next }
      tolower($1) == "suites:" {
        kept = ""
        for (i = 2; i <= NF; i++) if (!index(drop, " " $i " ")) kept = kept " " $i
        if (kept == "") keep = 0
        stanza = stanza "Suites:" kept "\n"
        next
      }
      { stanza = stanza $0 "\n" }
      END { flush() }' "$2" ;;
  *)
    # deb [ options ] URI SUITE COMPONENT...
    awk -v drop=" $1 " '{
      entry = $0
      sub(/^[ \t]+/, "", entry)
      if (entry ~ /^deb(-src)?[ \t]/) {
        sub(/^deb(-src)?[ \t]+/, "", entry)
        sub(/^\[[^]]*\][ \t]*/, "", entry)
        split(entry, field, /[ \t]+/)
        if (index(drop, " " field[2] " ")) next
      }
      print }' "$2" ;;
  esac
}

# The x86 line when i386 twins would have to be older than installed amd64
# packages. $1 holds "PACKAGE AMD64-VERSION I386-VERSION" lines.
x86_version_report() {
  awk '{
    said = said sep $1 " is " $2 " for amd64, and the newest for i386 that the working indexes offer is " $3
    pins = pins " " $1 "=" $3
    sep = "; "
  } END {
    printf "x86: not run: %s. The setup never downgrades; to align them, run: " \
      "apt-get install --no-remove --allow-downgrades%s, or run the setup again once the failing index is mended.\n", said, pins
  }' "$1"
}

#!/bin/sh
# Installs what the build, the tests and the demo need, where it is missing,
# in three sets (scripts/setup-lib.sh lists them):
#   the x64 set: CMake, the mingw-w64 cross compilers, 64-bit Wine,
#     GoogleTest's sources, the tools that make and sign the MSIs;
#   the peers set: Zabbix 6.0's server, frontend and agent with PostgreSQL,
#     and Prometheus' promtool, which the tests check the recipes against;
#   the x86 set: Wine's 32-bit half, with qemu-user where the kernel
#     refuses 32-bit programs.
#   setup.sh          all three sets
#   setup.sh --x64    the x64 set alone (the demo needs nothing else)
# A mirror in mid-sync can serve a bad index for hours: apt-get update is
# tried three times. A suite whose index still fails is then left out of
# every install of the run, for both architectures, through private apt
# lists under build/apt (the machine's own sources less that suite): the
# amd64 and i386 halves of a Multi-Arch library must be the same version,
# and only the failing index may have the newer one. The machine's apt
# configuration and lists stay as they are; build/apt-setup.txt says what
# was left out and why. Nothing is ever removed or downgraded: where an
# installed amd64 package is newer than the i386 twin the lists offer, the
# x86 set is not installed, and the report names the command that would
# align them. A failure to install the x64 set stops the script with apt's
# error; one of the peers set or the x86 set is written to
# build/peers-setup.txt or build/x86-setup.txt, which the test command
# reports, and the script goes on.
# Debian or Ubuntu; run as root or with sudo at hand.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup-lib.sh
x86_state=build/x86-setup.txt
update_tries=3
update_pause=${QUARCTL_APT_PAUSE:-10}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
log=$(mktemp)
policy=/usr/sbin/policy-rc.d
made_policy=""
trap 'rm -f "$log" "$log.twins" "$log.i386"; [ -z "$made_policy" ] || $sudo rm -f "$policy"' EXIT
updated=""
apt_dir=$(pwd)/build/apt
apt_state=build/apt-setup.txt
apt_lists=""
mkdir -p build
rm -f "$apt_state"

# Private lists from the machine's sources less the suites in $1.
leave_out() {
  eval "$(apt-config shell sources Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial"
  : >"$apt_dir/sources.list"
  [ ! -f "$sources" ] || sources_without "$1" "$sources" >"$apt_dir/sources.list"
  for file in "$parts"*.list "$parts"*.sources; do
    [ ! -f "$file" ] || sources_without "$1" "$file" >"$apt_dir/sources.list.d/${file##*/}"
  done
  apt_lists="-o Dir::Etc::sourcelist=$apt_dir/sources.list -o Dir::Etc::sourceparts=$apt_dir/sources.list.d"
  apt_lists="$apt_lists -o Dir::State::Lists=$apt_dir/lists"
}

update() {
  [ -z "$updated" ] || return 0
  updated=yes
  # i386 is known before the first update, in both modes, so that its
  # indexes are judged with amd64's and the x64 set comes from suites that
  # the x86 set can follow.
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  try=1
  until $sudo apt-get update -qq >"$log" 2>&1; do
    if [ $try -ge $update_tries ]; then
      failed=$(apt_failed_suites "$log" | tr '\n' ' ')
      failed=${failed% }
      if [ -z "$failed" ]; then
        echo "apt-get update failed $update_tries times; going on with the indexes it has: $(apt_first_error "$log")"
        return 0
      fi
      echo "apt: left out $failed for both architectures, whose index failed: $(apt_first_error "$log")" |
        tee "$apt_state"
      leave_out "$failed"
      # shellcheck disable=SC2086
      $sudo apt-get $apt_lists update -qq >"$log" 2>&1 ||
        echo "apt-get update without $failed failed too; going on: $(apt_first_error "$log")"
      return 0
    fi
    try=$((try + 1))
    sleep "$update_pause"
  done
}

# Installs the packages given; apt's output is left in $log.
install_packages() {
  echo "Installing:$1"
  update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get $apt_lists install -y -qq --no-install-recommends --no-remove \
    $1 >"$log" 2>&1
}

# "PACKAGE AMD64-VERSION I386-VERSION" for each Multi-Arch: same package
# that installing $1 would need for i386 where the installed amd64 one is
# newer than any i386 version the lists offer.
older_twins() {
  # shellcheck disable=SC2086
  twins=$(apt-cache $apt_lists depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances $1 2>/dev/null | sed -n 's/^\([^ <]*\):i386$/\1/p' | sort -u)
  [ -n "$twins" ] || return 0
  # shellcheck disable=SC2086
  apt-cache $apt_lists policy $(printf '%s:i386 ' $twins) 2>/dev/null |
    awk '/^[^ ]/ {sub(/:i386:$/, ""); package = $0} /^ *Candidate: / && $2 != "(none)" {print package, $2}' \
      >"$log.i386"
  # shellcheck disable=SC2086
  dpkg-query -W -f='${Package} ${Version} ${Multi-Arch} ${db:Status-Abbrev}\n' \
    $(printf '%s:amd64 ' $twins) 2>/dev/null | awk '$3 == "same" && $4 == "ii" {print $1, $2}' |
    while read -r package amd64; do
      i386=$(awk -v p="$package" '$1 == p {print $2}' "$log.i386")
      if [ -n "$i386" ] && dpkg --compare-versions "$amd64" gt "$i386"; then echo "$package $amd64 $i386"; fi
    done
}

need=$(x64_missing)
if [ -n "$need" ] && ! install_packages "$need"; then
  cat "$log"
  echo "setup: the x64 set could not be installed: $(apt_first_error "$log")"
  exit 1
fi
[ "${1:-}" != "--x64" ] || exit 0

# The peers' packages would start their daemons for the whole machine; the
# tests start their own on loopback. invoke-rc.d asks policy-rc.d, and 101
# forbids the start; one that the machine has is kept as it is.
peers_state=build/peers-setup.txt
rm -f "$peers_state"
if [ -n "$(peers_missing)$(peers_missing promtool)" ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  made_policy=yes
fi
for peer in zabbix promtool; do
  need=$(peers_missing "$peer")
  if [ -n "$need" ] && ! install_packages "$need"; then
    echo "$peer: not run:$need could not be installed: $(apt_first_error "$log")" | tee -a "$peers_state"
  fi
done
if [ -n "$made_policy" ]; then
  $sudo rm -f "$policy"
  made_policy=""
fi

rm -f "$x86_state"
need=$(x86_missing)
# Wine's 64-bit half is named beside its 32-bit one, so that apt settles
# both halves of each library in one go.
if [ -n "$need" ] && ! install_packages "wine64$need"; then
  older_twins "${need# }" >"$log.twins"
  if [ -s "$log.twins" ]; then
    x86_version_report "$log.twins" | tee "$x86_state"
  else
    x86_not_run "${need# }" "$(apt_first_error "$log")" | tee "$x86_state"
  fi
  rm -f "$log.twins"
  exit 0
fi
# Where the kernel refuses 32-bit programs, Wine's 32-bit loader runs under
# qemu-i386 (cmake/emulate-x86.sh). Not its recommended qemu-user-binfmt,
# which would register it for the whole machine.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -x /usr/bin/qemu-i386 ] &&
  ! install_packages qemu-user; then
  x86_not_run qemu-user "$(apt_first_error "$log")" | tee "$x86_state"
fi

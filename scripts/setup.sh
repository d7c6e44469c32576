#!/bin/sh
# Installs what the build, the tests and the demo need, where it is missing,
# in two sets (scripts/setup-lib.sh lists them):
#   the x64 set: CMake, the mingw-w64 cross compilers, 64-bit Wine,
#     GoogleTest's sources, the tools that make and sign the MSIs;
#   the x86 set: Wine's 32-bit half, with qemu-user where the kernel
#     refuses 32-bit programs.
#   setup.sh          both sets
#   setup.sh --x64    the x64 set alone (the demo needs nothing 32-bit)
# A mirror in mid-sync can serve a bad index for hours: apt-get update is
# tried three times, then an index that still fails is reported and
# tolerated. A failure to install the x64 set stops the script with apt's
# error; one of the x86 set is written to build/x86-setup.txt, which the
# test command reports, and the script goes on.
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
trap 'rm -f "$log"' EXIT
updated=""

update() {
  [ -z "$updated" ] || return 0
  updated=yes
  try=1
  until $sudo apt-get update -qq >"$log" 2>&1; do
    if [ $try -ge $update_tries ]; then
      echo "apt-get update failed $update_tries times; going on with the indexes it has: $(apt_first_error "$log")"
      return 0
    fi
    try=$((try + 1))
    sleep "$update_pause"
  done
}

# Installs the packages given; apt's output is left in $log.
install_packages() {
  echo "Installing:$1"
  case "$1" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
  update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $1 >"$log" 2>&1
}

need=$(x64_missing)
if [ -n "$need" ] && ! install_packages "$need"; then
  cat "$log"
  echo "setup: the x64 set could not be installed: $(apt_first_error "$log")"
  exit 1
fi
[ "${1:-}" != "--x64" ] || exit 0

mkdir -p build
rm -f "$x86_state"
need=$(x86_missing)
if [ -n "$need" ] && ! install_packages "$need"; then
  x86_not_run "${need# }" "$(apt_first_error "$log")" | tee "$x86_state"
  exit 0
fi
# Where the kernel refuses 32-bit programs, Wine's 32-bit loader runs under
# qemu-i386 (cmake/emulate-x86.sh). Not its recommended qemu-user-binfmt,
# which would register it for the whole machine.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -x /usr/bin/qemu-i386 ] &&
  ! install_packages qemu-user; then
  x86_not_run qemu-user "$(apt_first_error "$log")" | tee "$x86_state"
fi

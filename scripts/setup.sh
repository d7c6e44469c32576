#!/bin/sh
# Installs what the build, the tests and the demo need, where it is missing:
# CMake, the mingw-w64 cross compilers, Wine (64-bit and, beside it, 32-bit,
# for the 32-bit build, with qemu-user where the kernel refuses 32-bit
# programs), GoogleTest's sources, and the tools that make and sign the MSIs.
# Debian or Ubuntu; run as root or with sudo at hand.
set -eu
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix"
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-i686-posix"
command -v x86_64-w64-mingw32-windres >/dev/null 2>&1 || need="$need binutils-mingw-w64-x86-64"
command -v i686-w64-mingw32-windres >/dev/null 2>&1 || need="$need binutils-mingw-w64-i686"
command -v wine >/dev/null 2>&1 || need="$need wine"
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || need="$need wine64"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
command -v flock >/dev/null 2>&1 || need="$need util-linux"
command -v cppcheck >/dev/null 2>&1 || need="$need cppcheck"
command -v clang-tidy >/dev/null 2>&1 || need="$need clang-tidy"
command -v git >/dev/null 2>&1 || need="$need git"
command -v unzip >/dev/null 2>&1 || need="$need unzip"
# The MSIs, their reproducible summary information, and Authenticode.
command -v wixl >/dev/null 2>&1 || need="$need wixl"
command -v msibuild >/dev/null 2>&1 || need="$need msitools"
/usr/bin/python3 -c "import olefile" >/dev/null 2>&1 || need="$need python3-olefile"
command -v osslsigncode >/dev/null 2>&1 || need="$need osslsigncode"
command -v openssl >/dev/null 2>&1 || need="$need openssl"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# 32-bit Windows programs run under wine32, an i386 package.
installed wine32:i386 || need="$need wine32:i386"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
updated=""
install_packages() {
  echo "Installing:$1"
  case "$1" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
  [ -n "$updated" ] || $sudo apt-get update -qq
  updated=yes
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $1 >/dev/null
}
[ -z "$need" ] || install_packages "$need"

# Where the kernel refuses 32-bit programs, Wine's 32-bit loader runs under
# qemu-i386 (cmake/emulate-x86.sh). Not its recommended qemu-user-binfmt,
# which would register it for the whole machine.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -x /usr/bin/qemu-i386 ]; then
  install_packages qemu-user
fi

#!/bin/sh
# Runs a command where 32-bit Linux programs, and so Wine's 32-bit loader,
# run under qemu-i386, on a kernel that refuses them ("Exec format error").
#   emulate-x86.sh --check       say how it would run them, or why it cannot
#   emulate-x86.sh COMMAND...    run COMMAND so
# It prefers a binfmt_misc of its own, mounted in a new user and mount
# namespace (Linux 6.7 and later), which leaves the machine's untouched.
# Else it adds an entry of its own to the machine's binfmt_misc for the
# run only, and removes it afterwards, also on failure or interrupt; it
# never changes an entry that was there before.
set -eu
qemu=${QUARCTL_QEMU_I386:-/usr/bin/qemu-i386}
loader=${QUARCTL_WINE32_LOADER:-/usr/lib/wine/wine}
# i386 ELF executables and shared objects, as qemu's own binfmt table has them.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# O and C: run with the program's credentials; F: qemu is opened now, so
# that it need not be reachable from the program's own mount namespace.
entry() { printf ':%s:M::%b:%b:%s:OCF' "$1" "$magic" "$mask" "$qemu"; }

# Run by "$0 --inside": mount, register, then run the rest.
if [ "${1:-}" = "--inside" ]; then
  shift
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  entry quarctl-i386 >/proc/sys/fs/binfmt_misc/register
  exec "$@"
fi

private_works() {
  unshare --user --map-root-user --mount sh "$0" --inside "$loader" --version >/dev/null 2>&1
}

[ -x "$qemu" ] || { echo "no $qemu (Debian's qemu-user)"; exit 1; }
[ -x "$loader" ] || { echo "no $loader (Debian's wine32:i386)"; exit 1; }

if [ "${1:-}" = "--check" ]; then
  if private_works; then echo "qemu-i386 in a private binfmt_misc"; exit 0; fi
fi
if private_works; then
  exec unshare --user --map-root-user --mount sh "$0" --inside "$@"
fi

# The machine's binfmt_misc, as a fallback.
misc=/proc/sys/fs/binfmt_misc
name=quarctl-i386-$$
mounted=""
cleanup() {
  [ ! -e "$misc/$name" ] || echo -1 >"$misc/$name" 2>/dev/null || true
  [ -z "$mounted" ] || umount "$misc" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
if [ ! -e "$misc/register" ]; then
  mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null || {
    echo "binfmt_misc can be mounted neither in a user namespace nor on the machine"; exit 1; }
  mounted=yes
fi
entry "$name" >"$misc/register" 2>/dev/null || { echo "cannot add an entry to the machine's binfmt_misc"; exit 1; }
if ! "$loader" --version >/dev/null 2>&1; then
  echo "$loader does not run under $qemu"
  exit 1
fi
if [ "${1:-}" = "--check" ]; then echo "qemu-i386 in the machine's binfmt_misc, for the run only"; exit 0; fi
status=0
"$@" || status=$?
exit $status

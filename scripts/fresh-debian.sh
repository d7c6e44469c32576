#!/bin/sh
# Runs a command of this checkout on a fresh Debian: a minimal system made
# by debootstrap --variant=minbase, of this machine's release and with its
# apt sources and settings, entered by chroot inside a private mount
# namespace, so that nothing it mounts is seen outside and a step that
# only this machine's image provides fails there. It gets a copy of the
# checkout (without build/) and of ../shared beside it, and runs as root
# with a plain environment and QUARCTL_FRESH=1. Removed afterwards.
#   scripts/fresh-debian.sh COMMAND...    COMMAND relative to the checkout
# Exits with the command's status, or 75 when no fresh Debian can be made
# here (no debootstrap, no mount namespace, not root), having said why.
set -eu
cd "$(dirname "$0")/.."
cannot() { echo "fresh Debian: cannot be made here: $*"; exit 75; }

[ "$(id -u)" -eq 0 ] || cannot "not root"
command -v debootstrap >/dev/null 2>&1 ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null 2>&1 ||
  cannot "debootstrap is missing and could not be installed"
unshare -m true 2>/dev/null || cannot "no mount namespace (unshare -m)"
. /etc/os-release
[ -n "${VERSION_CODENAME:-}" ] || cannot "this machine's release has no code name"
# The mirror: the first one that the machine's sources name.
eval "$(apt-config shell sources Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
mirror=$(cat "$parts"*.sources 2>/dev/null | sed -n 's/^URIs: *\([^ ]*\).*/\1/p' | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' "$sources" 2>/dev/null | head -n1)
# Only the machine's own: a mirror named here would bypass whatever the
# machine was set to use.
[ -n "$mirror" ] || cannot "the machine's apt sources ($sources, ${parts}*.sources) name no mirror"

root=$(mktemp -d /var/tmp/quarctl-fresh.XXXXXX)
# It is the system's root folder: mktemp's 0700 would keep every user but
# root out of the whole system, the postgres user among them.
chmod 755 "$root"
# The namespace's mounts end with it, so the folder holds only files here.
trap 'rm -rf "$root"' EXIT
trap 'exit 130' INT TERM HUP
start=$(date +%s)
if ! unshare -m debootstrap --variant=minbase "$VERSION_CODENAME" "$root" "$mirror" >"$root.log" 2>&1; then
  tail -n 5 "$root.log"
  rm -f "$root.log"
  cannot "debootstrap $VERSION_CODENAME from $mirror failed"
fi
rm -f "$root.log"
# The machine's apt sources, settings and keys, and its name resolution.
cp -a /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
[ ! -f "$sources" ] || cp "$sources" "$root/etc/apt/sources.list"
for file in "$parts"*.list "$parts"*.sources; do [ ! -f "$file" ] || cp "$file" "$root/etc/apt/sources.list.d/"; done
cp -a /etc/apt/trusted.gpg.d/. "$root/etc/apt/trusted.gpg.d/"
cp -an /usr/share/keyrings/. "$root/usr/share/keyrings/"
cp /etc/resolv.conf /etc/hosts "$root/etc/"
mkdir -p "$root/work/main"
tar --exclude=./build -cf - . | tar -C "$root/work/main" -xf -
[ ! -d ../shared ] || cp -a ../shared "$root/work/shared"
made=$(date +%s)
echo "fresh Debian: $VERSION_CODENAME (minbase) from $mirror made in $((made - start)) s"

status=0
# The root is bound onto itself first: a chroot whose root is no mount point
# refuses a mount namespace of its own (unshare -m: "cannot change root
# filesystem propagation"), which a real system never does.
# shellcheck disable=SC2016
unshare -m sh -c '
  set -e
  mount --bind "$1" "$1"
  mount -t proc proc "$1/proc"
  mount --rbind /sys "$1/sys"
  mount --rbind /dev "$1/dev"
  root=$1
  shift
  exec chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 QUARCTL_FRESH=1 \
    sh -c "cd /work/main && exec \"\$@\"" sh "$@"' sh "$root" "$@" || status=$?
echo "fresh Debian: $* took $(($(date +%s) - made)) s inside, status $status"
exit $status

#!/usr/bin/env bash
# Chroots: one tool that makes and enters the foreign Debian systems the project is tested on
# (a fresh bookworm for the README's commands, sid for the newest interpreters, bullseye and
# arm64 for the wheels).
#
#   tools/chroot.sh make DIR SUITE ARCH [DEBIAN_PACKAGE …]
#       debootstrap --variant=minbase of SUITE (bookworm, bullseye, sid…) for ARCH (amd64, arm64)
#       from the archive the host's apt uses, then apt-get install of the packages inside.
#   tools/chroot.sh run DIR COMMAND
#       bash -c COMMAND inside as root, with a clean environment (HOME, PATH, LANG=C.UTF-8, CI,
#       DEBIAN_FRONTEND=noninteractive); exit status passed through.
#
# Files go in by copying them into DIR (for example git clone into DIR/root/sarvo_functions).
set -euo pipefail

usage() { sed -n '6,12p' "$0" >&2; exit 2; }

# The host's certificate authorities, and where a chroot keeps its copy. Apt inside may rewrite
# /etc/ssl/certs when it installs ca-certificates, so the copy lives beside it, not in it.
host_ca=${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}
chroot_ca=/etc/ssl/host-ca-bundle.crt

# The first Debian archive the host's apt names (deb822 sources first, then one-line lists).
host_mirror() {
  local uri
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
                         /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Foreign binaries run through qemu-user-static; binfmt_misc has to be mounted for the kernel to
# hand them over, and the handler enabled (fix_binary, so it needs no copy inside the chroot).
enable_emulation() {
  local arch=$1 qemu
  case $arch in
    arm64) qemu=qemu-aarch64 ;;
    *) echo "no emulation known for $arch" >&2; return 1 ;;
  esac
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/$qemu ] || update-binfmts --enable "$qemu"
}

# Runs COMMAND inside DIR in a private mount namespace: /proc, /dev, /sys are mounted there for
# the command only and vanish with it however it ends, so no mount outlives a run, even a killed
# one, and two runs in one chroot never unmount each other's.
run() {
  local dir=$1 command=$2
  [ -x "$dir/bin/bash" ] || { echo "$dir is not a chroot made by $0" >&2; exit 2; }
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  unshare --mount --propagation private -- bash -euc '
    dir=$1; shift
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mount --rbind /sys "$dir/sys"
    exec chroot "$dir" "$@"' _ "$dir" \
    env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        CI="${CI:-}" DEBIAN_FRONTEND=noninteractive bash -c "$command"
}

make_chroot() {
  local dir=$1 suite=$2 arch=$3
  shift 3
  [ "$arch" = "$(dpkg --print-architecture)" ] || enable_emulation "$arch"
  mkdir -p "$dir"
  debootstrap --variant=minbase --arch="$arch" "$suite" "$dir" "$(host_mirror)"
  # sid's Release file here carries a Valid-Until date in the past; the other suites don't care.
  [ "$suite" != sid ] || echo 'Acquire::Check-Valid-Until "false";' > "$dir/etc/apt/apt.conf.d/99no-valid-until"
  # No service starts inside (a package's postinst would otherwise try).
  printf '#!/bin/sh\nexit 101\n' > "$dir/usr/sbin/policy-rc.d"
  chmod +x "$dir/usr/sbin/policy-rc.d"
  mkdir -p "$(dirname "$dir$chroot_ca")"
  cp -L "$host_ca" "$dir$chroot_ca"
  printf '[global]\ncert = %s\n' "$chroot_ca" > "$dir/etc/pip.conf"
  if [ $# -gt 0 ]; then
    run "$dir" "apt-get update -q && apt-get install -y -q $*"
  fi
}

[ $# -ge 2 ] || usage
action=$1
shift
case $action in
  make) [ $# -ge 3 ] || usage; make_chroot "$@" ;;
  run) [ $# -eq 2 ] || usage; run "$@" ;;
  *) usage ;;
esac

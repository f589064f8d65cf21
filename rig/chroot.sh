#!/usr/bin/env bash
# Makes, caches and enters the Debian chroots that newer desktops and newer
# Wine run in, with our Debian 12 build used inside them unchanged.
#
#   rig/chroot.sh ensure NAME SUITE [--i386] [PACKAGE...]
#       makes the chroot NAME from SUITE (trixie, sid, ...) with debootstrap
#       --variant=minbase unless it is cached, adds the i386 architecture when
#       asked, and installs the packages it lacks. Prints its directory.
#   rig/chroot.sh run NAME [--user USER] [--env K=V]... -- COMMAND...
#       runs COMMAND inside, as root or as USER, with /proc, /sys, /dev, /tmp
#       and the project's checkout mounted at their host paths, and a clean
#       environment (PATH, HOME, TERM and the --env pairs).
#   rig/chroot.sh path NAME       prints the directory
#   rig/chroot.sh umount NAME     takes the mounts down
#
# The cache lives in $VS_CHROOT_CACHE (default /var/cache/vantorel-screenshot/
# chroots), so a second run pays for debootstrap and the packages only once.
# The packages come from the Debian archive the host's apt uses, through its
# proxy if it has one (scripts/apt-mirror.sh; VS_DEBIAN_MIRROR overrides).
# Mounts stay up between runs (the rigs start processes that outlive one
# `run`); `umount` takes them down. A chroot shares the host's network
# namespace and so its abstract X sockets: rigs inside pick display numbers
# that no host rig uses.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${VS_CHROOT_CACHE:-/var/cache/vantorel-screenshot/chroots}

die() {
  echo "rig/chroot.sh: $*" >&2
  exit 1
}

[ $# -ge 2 ] || die "usage: ensure|run|path|umount NAME ..."
cmd=$1 name=$2
shift 2
case "$name" in *[!a-z0-9._-]* | "") die "bad chroot name '$name'" ;; esac
dir=$cache/$name

mount_all() {
  local m
  for m in proc sys dev tmp "${root#/}"; do mkdir -p "$dir/$m"; done
  mountpoint -q "$dir/proc" || mount -t proc proc "$dir/proc"
  mountpoint -q "$dir/sys" || { mount --rbind /sys "$dir/sys" && mount --make-rslave "$dir/sys"; }
  mountpoint -q "$dir/dev" || { mount --rbind /dev "$dir/dev" && mount --make-rslave "$dir/dev"; }
  mountpoint -q "$dir/tmp" || mount --bind /tmp "$dir/tmp"
  mountpoint -q "$dir$root" || mount --bind "$root" "$dir$root"
  cp -f /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
}

umount_all() {
  local m
  for m in "$root" /tmp /dev /sys /proc; do
    if mountpoint -q "$dir$m"; then umount -R "$dir$m" 2>/dev/null || umount -lR "$dir$m"; fi
  done
}

in_chroot() { chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }

make_chroot() {
  local suite=$1
  command -v debootstrap >/dev/null || die "debootstrap is not installed"
  local part=$dir.part
  rm -rf "$part"
  mkdir -p "$cache"
  local log=$cache/$name.debootstrap.log mirror proxy
  mirror=$("$root/scripts/apt-mirror.sh") || die "no Debian archive to make $name from"
  proxy=$("$root/scripts/apt-mirror.sh" proxy)
  echo "debootstrap $suite from $mirror${proxy:+ through $proxy}" >"$log"
  http_proxy=$proxy debootstrap --variant=minbase "$suite" "$part" "$mirror" >>"$log" 2>&1 ||
    { tail -n 20 "$log" >&2; die "debootstrap $suite failed (log: $log)"; }
  # Services never start inside; an archive past its Valid-Until (sid's
  # snapshot) still installs; no documentation or recommends to wait for.
  printf '#!/bin/sh\nexit 101\n' >"$part/usr/sbin/policy-rc.d"
  chmod 755 "$part/usr/sbin/policy-rc.d"
  cat >"$part/etc/apt/apt.conf.d/90vantorel" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
DPkg::Lock::Timeout "900";
EOF
  if [ -n "$proxy" ]; then
    printf 'Acquire::http::Proxy "%s";\n' "$proxy" >>"$part/etc/apt/apt.conf.d/90vantorel"
  fi
  echo "$suite" >"$part/.vs-suite"
  mv "$part" "$dir"
}

case "$cmd" in
  ensure)
    [ $# -ge 1 ] || die "usage: ensure NAME SUITE [--i386] [PACKAGE...]"
    suite=$1
    shift
    i386=0
    if [ "${1:-}" = --i386 ]; then
      i386=1
      shift
    fi
    mkdir -p "$cache"
    exec 9>"$cache/$name.lock"
    flock 9
    if [ ! -f "$dir/.vs-suite" ]; then make_chroot "$suite"; fi
    [ "$(cat "$dir/.vs-suite")" = "$suite" ] || die "$name is a $(cat "$dir/.vs-suite") chroot, not $suite"
    mount_all
    if [ "$i386" = 1 ] && ! in_chroot dpkg --print-foreign-architectures | grep -qx i386; then
      in_chroot dpkg --add-architecture i386
      rm -f "$dir/.vs-updated"
    fi
    missing=()
    for p in "$@"; do
      in_chroot dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
      log=$cache/$name.apt.log
      # The package lists are fetched once a day at most.
      if [ ! -f "$dir/.vs-updated" ] || [ -n "$(find "$dir/.vs-updated" -mmin +1440)" ]; then
        in_chroot apt-get update -qq >"$log" 2>&1 || { tail -n 20 "$log" >&2; die "apt-get update in $name failed"; }
        touch "$dir/.vs-updated"
      fi
      # A run stopped half-way through dpkg (a test run cut short) leaves
      # packages unconfigured, and apt refuses to go on until they are.
      in_chroot dpkg --configure -a >>"$log" 2>&1 || true
      in_chroot apt-get install -y -qq "${missing[@]}" >>"$log" 2>&1 ||
        { tail -n 20 "$log" >&2; die "installing ${missing[*]} in $name failed (log: $log)"; }
    fi
    echo "$dir"
    ;;
  run)
    [ -f "$dir/.vs-suite" ] || die "no chroot $name: make it with 'ensure' first"
    user="" envs=()
    while [ $# -gt 0 ]; do
      case "$1" in
        --user) user=$2; shift 2 ;;
        --env) envs+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) die "run: unknown option $1" ;;
      esac
    done
    [ $# -gt 0 ] || die "run: no command"
    mount_all
    if [ -z "$user" ]; then
      exec chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 TERM="${TERM:-dumb}" "${envs[@]}" "$@"
    fi
    if ! chroot "$dir" id -u "$user" >/dev/null 2>&1; then
      chroot "$dir" useradd --create-home --shell /bin/bash "$user" >/dev/null 2>&1 ||
        chroot "$dir" id -u "$user" >/dev/null 2>&1 || die "cannot create user $user in $name"
    fi
    home=$(chroot "$dir" getent passwd "$user" | cut -d: -f6)
    exec chroot --userspec="$user:$user" "$dir" /usr/bin/env -i PATH=/usr/bin:/bin HOME="$home" \
      USER="$user" LANG=C.UTF-8 TERM="${TERM:-dumb}" "${envs[@]}" "$@"
    ;;
  path) echo "$dir" ;;
  umount) umount_all ;;
  *) die "unknown command $cmd" ;;
esac

#!/usr/bin/env bash
# Starts a headless GNOME Shell (Wayland only, two virtual monitors 1280x800
# and 1024x768) with its desktop portal in private buses, and prints shell
# assignments for the buses, the Wayland display and the rig, so:
#
#   eval "$(rig/gnome-start.sh)"                    screenshot permission "yes"
#   eval "$(rig/gnome-start.sh --permission no)"    ... or "no", or "unset"
#   rig/portal-stop.sh                              stops it ($VS_PORTAL_RIG)
#   eval "$(rig/gnome-start.sh --chroot trixie)"    the same in the chroot of a
#                                                   newer Debian (rig/chroot.sh),
#                                                   as its user vs-desktop
#
# The portal writes its pictures into $VS_PORTAL_PICTURES (GNOME: the Pictures
# folder user-dirs.dirs names, else the home folder). Needs root; GNOME Shell 43
# runs as root, only announcing a "privileged user" session in a notification,
# which the banner setting below keeps off the screen.
#
# Permission: with "yes" every request is answered at once; with "no" GNOME
# answers 2 (failed) at once; unset, it shows the "Allow Applications to Take
# Screenshots?" dialog and answers nothing until someone clicks, and the
# dialog stays even when the request is closed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/portal-lib.sh"

permission=yes
chroot_name=""
while [ $# -gt 0 ]; do
  case "$1" in
    --permission) permission="$2"; shift 2 ;;
    --chroot) chroot_name="$2"; shift 2 ;;
    *) echo "rig/gnome-start.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

# In a chroot the desktop is the chroot's (the chroot is named after its
# suite), run by an ordinary user as on a real machine; the rig's directory,
# buses and sockets are in the shared /tmp, so the assignments hold outside.
if [ -n "$chroot_name" ]; then
  "$here/chroot.sh" ensure "$chroot_name" "$chroot_name" $(portal_chroot_packages) \
    gnome-shell xdg-desktop-portal-gnome dconf-service gsettings-desktop-schemas >/dev/null
  exec "$here/chroot.sh" run "$chroot_name" --user "$portal_chroot_user" \
    --env VS_RIG_CHROOT="$chroot_name" -- "$here/gnome-start.sh" --permission "$permission"
fi

portal_rig_dir vs-gnome
# A start that fails or is interrupted (the EXIT trap runs on SIGINT, SIGTERM
# and SIGHUP too, with $? not telling) stops what it started: nobody else knows the rig yet.
start_done=0
stop_unless_started() {
  [ "$start_done" = 1 ] || "$here/portal-stop.sh" "$rig" >/dev/null 2>&1 || true
}
trap stop_unless_started EXIT
export XDG_CURRENT_DESKTOP=GNOME WAYLAND_DISPLAY=wayland-0
# GNOME Shell 43 provides the Access backend itself (gnome-shell.portal);
# later backends (gnome.portal) list it themselves.
cp /usr/share/xdg-desktop-portal/portals/gnome.portal "$rig/portals/"
if [ -e /usr/share/xdg-desktop-portal/portals/gnome-shell.portal ]; then
  cp /usr/share/xdg-desktop-portal/portals/gnome-shell.portal "$rig/portals/"
fi
portal_system_bus
portal_session_bus org.freedesktop.portal.Desktop org.freedesktop.impl.portal.PermissionStore \
  org.freedesktop.impl.portal.desktop.gnome ca.desrt.dconf

# No animations (pictures settle at once), no notification banners (nobody
# dismisses them on a headless desktop), no blanking after the idle delay.
gset() { timeout 10 gsettings set "$@" || portal_fail "gsettings set $*"; }
gset org.gnome.desktop.interface enable-animations false
gset org.gnome.desktop.notifications show-banners false
gset org.gnome.desktop.session idle-delay 'uint32 0'
gset org.gnome.desktop.screensaver lock-enabled false

# About one start in 25 hangs before the shell is up: bound the start and
# try once more.
start_shell() {
  setsid gnome-shell --headless --wayland --no-x11 \
    --virtual-monitor 1280x800 --virtual-monitor 1024x768 </dev/null >"$rig/shell.log" 2>&1 &
  echo $! >"$rig/shell.pid"
  local pid=$! i
  for i in $(seq 1 600); do
    grep -q "GNOME Shell started at" "$rig/shell.log" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
stop_shell() {
  local pid
  pid=$(cat "$rig/shell.pid")
  kill -HUP "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}
if ! start_shell; then
  mv "$rig/shell.log" "$rig/shell-first.log"
  stop_shell
  start_shell || portal_fail "GNOME Shell did not start within 60 s, twice"
fi

# The shell starts in the overview; leave it so windows show as they are.
for _ in $(seq 1 50); do
  timeout 5 gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Set org.gnome.Shell OverviewActive '<false>' \
    >/dev/null 2>&1 || true
  state=$(timeout 5 gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
    --method org.freedesktop.DBus.Properties.Get org.gnome.Shell OverviewActive 2>/dev/null || true)
  [ "$state" = "(<false>,)" ] && break
  sleep 0.2
done
[ "$state" = "(<false>,)" ] || portal_fail "the overview did not close"

if [ "$permission" != unset ]; then
  portal_permission "$permission" || portal_fail "could not set the screenshot permission"
fi

start_done=1
{
  printf 'export VS_PORTAL_RIG=%s\n' "$rig"
  printf 'export DBUS_SESSION_BUS_ADDRESS=%s\n' "$DBUS_SESSION_BUS_ADDRESS"
  printf 'export DBUS_SYSTEM_BUS_ADDRESS=%s\n' "$DBUS_SYSTEM_BUS_ADDRESS"
  printf 'export XDG_RUNTIME_DIR=%s\n' "$XDG_RUNTIME_DIR"
  printf 'export WAYLAND_DISPLAY=%s\n' "$WAYLAND_DISPLAY"
  printf 'export VS_PORTAL_PICTURES=%s\n' "$HOME/Pictures"
  printf 'export VS_PORTAL_DESKTOP=gnome\n'
  # The session's own, as its clients see it (the pointer's refusal keys on it).
  printf 'export XDG_CURRENT_DESKTOP=%s\n' "$XDG_CURRENT_DESKTOP"
  if [ -n "${VS_RIG_CHROOT:-}" ]; then
    printf 'export VS_RIG_CHROOT=%s VS_RIG_USER=%s\n' "$VS_RIG_CHROOT" "$(id -un)"
  fi
} | tee "$rig/env"

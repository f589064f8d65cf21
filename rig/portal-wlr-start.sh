#!/usr/bin/env bash
# Starts the headless sway rig (rig/sway-start.sh: its outputs showing known
# pictures) and, in a private session bus, the wlroots desktop portal:
# pipewire (xdg-desktop-portal-wlr exits without it), xdg-desktop-portal-wlr
# (Screenshot), xdg-desktop-portal-gtk (Access: xdg-desktop-portal 1.16 offers
# Screenshot only when some backend also provides Access), the permission
# store and xdg-desktop-portal. Prints shell assignments like the other rigs:
#
#   eval "$(rig/portal-wlr-start.sh [sway-start options])"
#   rig/portal-stop.sh                  stops the portal and the sway rig
#
# The wlroots backend always writes /tmp/out.png. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/portal-lib.sh"

sway_env=$("$here/sway-start.sh" --no-xwayland "$@")
eval "$sway_env"
sway_rig=$RIG_DIR
# A start that fails or is interrupted (the EXIT trap runs on SIGINT, SIGTERM
# and SIGHUP too, with $? not telling) stops what it started: the portal rig (which stops the sway
# rig it names) and the sway rig.
rig=""
start_done=0
stop_unless_started() {
  [ "$start_done" = 1 ] && return
  if [ -n "$rig" ]; then "$here/portal-stop.sh" "$rig" >/dev/null 2>&1 || true; fi
  "$here/sway-stop.sh" "$sway_rig" >/dev/null 2>&1 || true
}
trap stop_unless_started EXIT
sway_socket=$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY

portal_rig_dir vs-portal-wlr
echo "$sway_rig" >"$rig/sway-rig"
# The portal's own runtime directory is the rig's; the compositor's socket is
# named by its full path.
export WAYLAND_DISPLAY=$sway_socket XDG_CURRENT_DESKTOP=sway
cp /usr/share/xdg-desktop-portal/portals/wlr.portal \
  /usr/share/xdg-desktop-portal/portals/gtk.portal "$rig/portals/"
portal_session_bus org.freedesktop.portal.Desktop org.freedesktop.impl.portal.PermissionStore \
  org.freedesktop.impl.portal.desktop.wlr org.freedesktop.impl.portal.desktop.gtk ca.desrt.dconf

start() {
  local name=$1
  shift
  setsid "$@" </dev/null >"$rig/$name.log" 2>&1 &
  echo $! >"$rig/$name.pid"
}
has_owner() {
  [ "$(timeout 5 gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null)" = "(true,)" ]
}
wait_owner() {
  for _ in $(seq 1 100); do
    has_owner "$1" && return 0
    sleep 0.1
  done
  portal_fail "$1 did not appear on the session bus"
}

start pipewire pipewire
portal_wait_file "$XDG_RUNTIME_DIR/pipewire-0" 10 || portal_fail "pipewire did not start"
start permission-store /usr/libexec/xdg-permission-store --replace
wait_owner org.freedesktop.impl.portal.PermissionStore
start portal-wlr /usr/libexec/xdg-desktop-portal-wlr
wait_owner org.freedesktop.impl.portal.desktop.wlr
start portal-gtk /usr/libexec/xdg-desktop-portal-gtk
wait_owner org.freedesktop.impl.portal.desktop.gtk
start portal /usr/libexec/xdg-desktop-portal
wait_owner org.freedesktop.portal.Desktop
portal_permission yes || portal_fail "could not set the screenshot permission"

start_done=1
{
  printf 'export VS_PORTAL_RIG=%s\n' "$rig"
  printf 'export RIG_DIR=%s\n' "$sway_rig"
  printf 'export DBUS_SESSION_BUS_ADDRESS=%s\n' "$DBUS_SESSION_BUS_ADDRESS"
  printf 'export WAYLAND_DISPLAY=%s\n' "$WAYLAND_DISPLAY"
  printf 'export SWAYSOCK=%s\n' "$SWAYSOCK"
  printf 'export VS_PORTAL_PICTURES=/tmp\n'
  printf 'export VS_PORTAL_DESKTOP=wlr\n'
  printf 'export XDG_CURRENT_DESKTOP=%s\n' "$XDG_CURRENT_DESKTOP"
  printf 'export VANTOREL_SCREENSHOT_BACKEND=portal\n'
} | tee "$rig/env"

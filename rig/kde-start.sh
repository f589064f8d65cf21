#!/usr/bin/env bash
# Starts a headless KDE Plasma portal desktop: KWin on two virtual outputs
# (Virtual-0 1280x800 at 0,0 and Virtual-1 1280x800 at 1280,0), the permission
# store, xdg-desktop-portal-kde and xdg-desktop-portal, all on a private
# session bus. Prints shell assignments, so:
#
#   eval "$(rig/kde-start.sh)"          WAYLAND_DISPLAY, XDG_RUNTIME_DIR,
#                                       DBUS_SESSION_BUS_ADDRESS, RIG_DIR,
#                                       KDE_RIG_PICTURES (the portal's
#                                       Pictures folder), KDE_RIG_SCALE
#   rig/kde-start.sh --scale 2          outputs at scale 2 (2560x1600 pixels
#                                       each behind 1280x800 logical)
#   rig/kde-start.sh --no-pictures      without the Pictures folder (the portal
#                                       then answers every request "cancelled")
#   rig/kde-start.sh --xwayland         with a rootless Xwayland too (DISPLAY)
#   rig/kde-start.sh --chroot sid       the chroot's Plasma (rig/chroot.sh; the
#                                       chroot is named after its suite), run
#                                       by its user vs-desktop
#   rig/kde-stop.sh                     stops what this started ($RIG_DIR)
#
# The same assignments are kept in $RIG_DIR/env. Everything runs as the
# calling user with HOME, XDG_CONFIG_HOME and friends inside the rig
# directory, so the desktop neither reads nor writes the user's settings.
# No system bus is needed. Every wait is bounded; a start that hangs is
# stopped and tried once more.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
scale=1
pictures=1
xwayland=0
chroot_name=""
forward=()
while [ $# -gt 0 ]; do
  case "$1" in
    --chroot) chroot_name="$2"; shift 2; continue ;;
  esac
  forward+=("$1")
  case "$1" in
    --scale) scale="$2"; forward+=("$2"); shift 2 ;;
    --scale=*) scale="${1#--scale=}"; shift ;;
    --no-pictures) pictures=0; shift ;;
    --xwayland) xwayland=1; shift ;;
    *) echo "rig/kde-start.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case "$scale" in
  [1-4]) ;;
  *) echo "rig/kde-start.sh: --scale takes 1 to 4" >&2; exit 2 ;;
esac

# Rigs in a chroot: the buses, sockets and the rig directory are in the shared
# /tmp, so the assignments hold outside too. The backend's screenshot code
# loads the QML modules below (and Plasma's dialogs from plasma-workspace)
# even for a request that shows no dialog.
if [ -n "$chroot_name" ]; then
  . "$here/portal-lib.sh"
  "$here/chroot.sh" ensure "$chroot_name" "$chroot_name" $(portal_chroot_packages) \
    kwin-wayland xdg-desktop-portal-kde qt6-wayland plasma-workspace \
    qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-org-kde-kirigami >/dev/null
  exec "$here/chroot.sh" run "$chroot_name" --user "$portal_chroot_user" \
    --env VS_RIG_CHROOT="$chroot_name" -- "$here/kde-start.sh" "${forward[@]}"
fi

backend=""
for candidate in /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde \
  /usr/libexec/xdg-desktop-portal-kde /usr/lib/*/libexec/xdg-desktop-portal-kde; do
  if [ -x "$candidate" ]; then backend=$candidate; break; fi
done
for tool in /usr/bin/kwin_wayland /usr/libexec/xdg-permission-store /usr/libexec/xdg-desktop-portal \
  "$backend" /usr/share/xdg-desktop-portal/portals/kde.portal; do
  if [ -z "$tool" ] || [ ! -e "$tool" ]; then
    echo "rig/kde-start.sh: ${tool:-xdg-desktop-portal-kde} is missing (scripts/install-deps.sh)" >&2
    exit 1
  fi
done

rig_dir=$(mktemp -d /tmp/vs-kde.XXXXXX)
chmod 755 "$rig_dir"
# A start that fails or is interrupted (the EXIT trap runs on SIGINT, SIGTERM
# and SIGHUP too, with $? not telling) stops what it started, keeping the logs.
start_done=0
stop_unless_started() {
  [ "$start_done" = 1 ] || RIG_DIR=$rig_dir "$here/kde-stop.sh" --keep >/dev/null 2>&1 || true
}
trap stop_unless_started EXIT

# Seconds since the start, for the timings the start-up log keeps.
t0=$(date +%s%N)
elapsed() { echo $((($(date +%s%N) - t0) / 1000000)); }
note() { echo "$(elapsed) ms: $*" >>"$rig_dir/start.log"; }

# Every process of the rig carries the rig directory in its environment, which
# is how rig/kde-stop.sh tells it from an unrelated process with a recycled pid.
export VS_KDE_RIG=$rig_dir

# KWin's binary carries a file capability (cap_sys_resource) that a container
# may refuse to grant at exec ("Operation not permitted"); a plain copy has
# none and runs the same.
mkdir -p "$rig_dir/bin"
cp /usr/bin/kwin_wayland "$rig_dir/bin/kwin_wayland"

# The bus activates nothing: every service of the desktop is started below
# with this environment, and nothing else (document portal, a second portal
# backend) appears behind the rig's back.
mkdir -p "$rig_dir/services"
cat >"$rig_dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$rig_dir/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$rig_dir/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

# The portal reads only the backend description in this folder; with the
# system folder it would also start every other installed backend.
mkdir -p "$rig_dir/portals"
cp /usr/share/xdg-desktop-portal/portals/kde.portal "$rig_dir/portals/"

home=$rig_dir/home
mkdir -p "$home/.config" "$home/.local/share" "$home/.cache"
runtime=$rig_dir/run
mkdir -p "$runtime"
chmod 700 "$runtime"
# The portal saves into XDG_PICTURES_DIR of user-dirs.dirs, else ~/Pictures.
pictures_dir=$home/Pictures
if [ "$pictures" = 1 ]; then mkdir -p "$pictures_dir"; fi

export HOME=$home XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$home/.config \
  XDG_DATA_HOME=$home/.local/share XDG_CACHE_HOME=$home/.cache \
  DBUS_SESSION_BUS_ADDRESS=unix:path=$rig_dir/bus XDG_SESSION_TYPE=wayland
# The KDE backend offers its Screenshot interface only on a KDE desktop.
export XDG_CURRENT_DESKTOP=KDE
unset DISPLAY WAYLAND_DISPLAY WAYLAND_SOCKET DBUS_SYSTEM_BUS_ADDRESS
socket=wayland-kde
bus_call() {
  timeout 5 gdbus call --session --timeout 3 -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m "org.freedesktop.DBus.$1" "${@:2}" 2>/dev/null
}
bus_answers() { bus_call GetId >/dev/null; }
has_name() { bus_call NameHasOwner "$1" | grep -q true; }
has_interface() {
  timeout 5 gdbus introspect --session -d "$1" -o /org/freedesktop/portal/desktop 2>/dev/null \
    | grep -q "interface $2 "
}
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

xwayland_display() {
  local kwin_pid proc display
  kwin_pid=$(cat "$rig_dir/kwin.pid")
  for proc in /proc/[0-9]*; do
    [ "$(awk '{print $4}' "$proc/stat" 2>/dev/null)" = "$kwin_pid" ] || continue
    [ "$(cat "$proc/comm" 2>/dev/null)" = Xwayland ] || continue
    display=$({ tr '\0' '\n' <"$proc/cmdline"; } 2>/dev/null | grep -m 1 -x ':[0-9]*') || continue
    DISPLAY=$display timeout 5 xdpyinfo >/dev/null 2>&1 || continue
    echo "$display" >"$rig_dir/xdisplay"
    return 0
  done
  return 1
}

# Waits up to $1 seconds (in steps of 50 ms) for the command after it; fails
# at once when the process in $pid_watch died.
wait_for() {
  local limit=$(($1 * 20)) i
  shift
  for ((i = 0; i < limit; i++)); do
    if "$@"; then return 0; fi
    if [ -n "${pid_watch:-}" ] && ! alive "$pid_watch"; then return 1; fi
    sleep 0.05
  done
  return 1
}

launch() {
  local name=$1
  shift
  setsid "$@" </dev/null >>"$rig_dir/$name.log" 2>&1 &
  echo $! >"$rig_dir/$name.pid"
  pid_watch=$!
}

attempt() {
  rm -f "$runtime/$socket" "$runtime/$socket.lock" "$rig_dir/bus"
  launch dbus dbus-daemon --nofork --nosyslog --config-file="$rig_dir/bus.conf"
  wait_for 10 test -S "$rig_dir/bus" || { note "bus did not start"; return 1; }
  wait_for 5 bus_answers || { note "bus does not answer"; return 1; }
  note "session bus up"

  local kwin_args=(--virtual --no-lockscreen --no-global-shortcuts --no-kactivities
    --output-count 2 --width 1280 --height 800 --socket "$socket")
  if [ "$scale" != 1 ]; then kwin_args+=(--scale "$scale"); fi
  if [ "$xwayland" = 1 ]; then
    # KWin makes Xwayland's socket itself, in a folder a fresh machine may lack.
    if [ ! -d /tmp/.X11-unix ]; then mkdir -m 1777 /tmp/.X11-unix 2>/dev/null || true; fi
    kwin_args+=(--xwayland)
  fi
  launch kwin "$rig_dir/bin/kwin_wayland" "${kwin_args[@]}"
  wait_for 30 test -S "$runtime/$socket" || { note "KWin made no socket"; return 1; }
  wait_for 30 has_name org.kde.KWin || { note "KWin is not on the bus"; return 1; }
  note "KWin up"
  export WAYLAND_DISPLAY=$socket

  launch permission-store /usr/libexec/xdg-permission-store
  wait_for 10 has_name org.freedesktop.impl.portal.PermissionStore \
    || { note "permission store did not start"; return 1; }
  # Newer portals (1.19 on) ask the user before a screenshot of a program with
  # no stored answer, and nobody answers on a headless desktop.
  timeout 10 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
    --object-path /org/freedesktop/impl/portal/PermissionStore \
    --method org.freedesktop.impl.portal.PermissionStore.SetPermission \
    screenshot true screenshot '' "['yes']" >/dev/null || { note "permission not stored"; return 1; }
  note "permission store up"

  # Without a Wayland platform plugin (qtwayland5) the backend does not start.
  QT_QPA_PLATFORM=wayland launch portal-kde "$backend"
  wait_for 30 has_interface org.freedesktop.impl.portal.desktop.kde org.freedesktop.impl.portal.Screenshot \
    || { note "the KDE backend offers no Screenshot"; return 1; }
  note "KDE backend up"

  XDG_DESKTOP_PORTAL_DIR=$rig_dir/portals launch portal /usr/libexec/xdg-desktop-portal --verbose
  wait_for 30 has_interface org.freedesktop.portal.Desktop org.freedesktop.portal.Screenshot \
    || { note "the portal offers no Screenshot"; return 1; }
  note "portal up"

  if [ "$xwayland" = 1 ]; then
    # KWin starts Xwayland on the first free display; the display is the
    # one on the command line of KWin's Xwayland child.
    wait_for 30 xwayland_display || { note "no Xwayland"; return 1; }
    note "Xwayland up on $(cat "$rig_dir/xdisplay")"
  fi
  return 0
}

stop_all() { RIG_DIR=$rig_dir "$here/kde-stop.sh" --keep >/dev/null 2>&1 || true; }

started=0
for try in 1 2; do
  note "start, try $try"
  if attempt; then
    started=1
    break
  fi
  stop_all
done
if [ "$started" != 1 ]; then
  echo "rig/kde-start.sh: the KDE desktop did not start (logs in $rig_dir):" >&2
  cat "$rig_dir/start.log" >&2
  tail -n 20 "$rig_dir"/*.log >&2 || true
  exit 1
fi

start_done=1
{
  printf 'export WAYLAND_DISPLAY=%s\n' "$socket"
  printf 'export XDG_RUNTIME_DIR=%s\n' "$runtime"
  printf 'export DBUS_SESSION_BUS_ADDRESS=%s\n' "$DBUS_SESSION_BUS_ADDRESS"
  printf 'export RIG_DIR=%s\n' "$rig_dir"
  printf 'export KDE_RIG_PICTURES=%s\n' "$pictures_dir"
  printf 'export KDE_RIG_SCALE=%s\n' "$scale"
  printf 'export XDG_CURRENT_DESKTOP=%s\n' "$XDG_CURRENT_DESKTOP"
  # What the portal tests read (tests/portal): the rig, where the portal
  # writes, which desktop.
  printf 'export VS_PORTAL_RIG=%s VS_PORTAL_PICTURES=%s VS_PORTAL_DESKTOP=kde\n' "$rig_dir" "$pictures_dir"
  if [ -n "${VS_RIG_CHROOT:-}" ]; then
    printf 'export VS_RIG_CHROOT=%s VS_RIG_USER=%s\n' "$VS_RIG_CHROOT" "$(id -un)"
  fi
  if [ "$xwayland" = 1 ]; then
    printf 'export DISPLAY=%s\n' "$(cat "$rig_dir/xdisplay")"
  else
    printf 'unset DISPLAY\n'
  fi
} | tee "$rig_dir/env"

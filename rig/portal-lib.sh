# Shared by the portal rigs (rig/gnome-start.sh, rig/portal-wlr-start.sh):
# a rig directory, private system and session buses, and the environment every
# process of the rig gets. Sourced, not run.

# Makes the rig directory ($rig) with a private home, runtime directory and
# the portal backend list; $1 names the rig (vs-gnome, vs-portal-wlr).
portal_rig_dir() {
  rig=$(mktemp -d "/tmp/$1.XXXXXX")
  chmod 755 "$rig"
  mkdir -p "$rig/home/Pictures" "$rig/run" "$rig/portals" "$rig/services"
  chmod 700 "$rig/run"
  # Every process of the rig carries VS_PORTAL_RIG in its environment, which is
  # how rig/portal-stop.sh finds them (services the bus starts included) and
  # never anything else.
  export VS_PORTAL_RIG="$rig"
  export HOME="$rig/home" XDG_RUNTIME_DIR="$rig/run"
  export XDG_CONFIG_HOME="$rig/home/.config" XDG_DATA_HOME="$rig/home/.local/share"
  export XDG_CACHE_HOME="$rig/home/.cache"
  export XDG_SESSION_TYPE=wayland XDG_DESKTOP_PORTAL_DIR="$rig/portals"
  export NO_AT_BRIDGE=1 GTK_A11Y=none GDK_BACKEND=wayland
  # Where GNOME writes its pictures (without it: the home folder).
  mkdir -p "$XDG_CONFIG_HOME"
  echo 'XDG_PICTURES_DIR="$HOME/Pictures"' >"$XDG_CONFIG_HOME/user-dirs.dirs"
  unset DISPLAY WAYLAND_SOCKET
}

# The user a rig in a chroot runs as (rig/chroot.sh makes it), and what every
# portal desktop in a chroot needs besides the desktop itself: the buses and
# their tools, Mesa's software renderer, GObject's Python bindings for the
# probes, and the libraries our Debian 12 build links (its tests included).
portal_chroot_user=vs-desktop
portal_chroot_packages() {
  echo dbus-daemon libglib2.0-bin python3-gi gir1.2-glib-2.0 xdg-desktop-portal \
    libgl1-mesa-dri libegl-mesa0 libwayland-client0 libsystemd0 \
    libxcb1 libxcb-shm0 libxcb-randr0 libxcb-composite0 libxcb-xinerama0 libxcb-xfixes0
}

portal_fail() {
  echo "$(basename "$0"): $*" >&2
  for log in "$rig"/*.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 15 "$log" >&2; }
  done
  "$(dirname "$0")/portal-stop.sh" "$rig" >/dev/null 2>&1 || true
  exit 1
}

# Waits up to $2 seconds for the file $1 to exist.
portal_wait_file() {
  local i
  for i in $(seq 1 $(($2 * 20))); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

# A permissive system bus: GNOME Shell aborts without one.
portal_system_bus() {
  cat >"$rig/system.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$rig/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
CONF
  setsid dbus-daemon --config-file="$rig/system.conf" --nofork --nosyslog \
    </dev/null >"$rig/system-bus.log" 2>&1 &
  echo $! >"$rig/system-bus.pid"
  portal_wait_file "$rig/system_bus" 10 || portal_fail "the system bus did not start"
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$rig/system_bus"
}

# The session bus, able to start only the services named in $@ (file names in
# /usr/share/dbus-1/services without .service): no document portal (it would
# mount a FUSE file system), no backend of another desktop.
portal_session_bus() {
  local name
  for name in "$@"; do
    cp "/usr/share/dbus-1/services/$name.service" "$rig/services/" 2>/dev/null || true
  done
  cat >"$rig/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=$rig/session_bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$rig/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$rig/session_bus"
  setsid dbus-daemon --config-file="$rig/session.conf" --nofork --nosyslog \
    </dev/null >"$rig/session-bus.log" 2>&1 &
  echo $! >"$rig/session-bus.pid"
  portal_wait_file "$rig/session_bus" 10 || portal_fail "the session bus did not start"
}

# Sets the screenshot permission of unsandboxed programs (app id "") to $1
# (yes or no) in the permission store.
portal_permission() {
  timeout 10 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
    --object-path /org/freedesktop/impl/portal/PermissionStore \
    --method org.freedesktop.impl.portal.PermissionStore.SetPermission \
    screenshot true screenshot '' "['$1']" >/dev/null
}

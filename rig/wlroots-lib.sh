# Shared by the wlroots rig scripts (sway-start.sh, sway-layout.sh): where the
# compositor's own tools run. A rig started with --chroot NAME keeps NAME in
# $rig_dir/chroot; its swaymsg, grim, wlr-randr and swaybg are then the
# chroot's (the versions that go with its compositor), the pictures and their
# checks stay on the host (same /tmp on both sides).
# shellcheck shell=bash

# rig_chroot RIG_DIR: the chroot's name, or nothing for a rig on the host.
rig_chroot() { cat "$1/chroot" 2>/dev/null || true; }

# rig_tool RIG_DIR COMMAND...: runs a client of the rig's compositor as root,
# with the rig's WAYLAND_DISPLAY, XDG_RUNTIME_DIR and SWAYSOCK.
rig_tool() {
  local dir=$1 chroot
  shift
  chroot=$(rig_chroot "$dir")
  if [ -z "$chroot" ]; then
    "$@"
    return
  fi
  "$(dirname "${BASH_SOURCE[0]}")/chroot.sh" run "$chroot" --env XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    --env WAYLAND_DISPLAY="$WAYLAND_DISPLAY" --env SWAYSOCK="${SWAYSOCK:-}" -- "$@"
}

# rig_user_start RIG_DIR LOG COMMAND...: starts COMMAND in the background as
# the rig's user, in its own session, with the rig's runtime directory (which
# marks it for sway-stop.sh), output to LOG. Sets rig_started to its pid.
# Without job control setsid does not fork, so the pid is COMMAND's own
# (chroot.sh, chroot and env all exec).
# shellcheck disable=SC2034
rig_user_start() {
  local dir=$1 log=$2 chroot user
  shift 2
  chroot=$(rig_chroot "$dir")
  user=$(cat "$dir/user")
  if [ -z "$chroot" ]; then
    setsid setpriv --reuid="$user" --regid="$user" --init-groups \
      env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$dir/home" LANG=C.UTF-8 \
      XDG_RUNTIME_DIR="$dir/run" "$@" </dev/null >"$log" 2>&1 &
  else
    setsid "$(dirname "${BASH_SOURCE[0]}")/chroot.sh" run "$chroot" --user "$user" \
      --env HOME="$dir/home" --env XDG_RUNTIME_DIR="$dir/run" -- "$@" </dev/null >"$log" 2>&1 &
  fi
  rig_started=$!
}

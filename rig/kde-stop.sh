#!/usr/bin/env bash
# Stops the desktop that rig/kde-start.sh started ($RIG_DIR, or the first
# argument) and removes its directory (kept with --keep). Each process gets
# SIGTERM by its pid, the portal first and KWin last (its clients go before
# the compositor), then the session bus; one that is still there after 5 s
# gets SIGKILL.
set -euo pipefail

keep=0
args=()
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    *) args+=("$arg") ;;
  esac
done
rig_dir=${args[0]:-${RIG_DIR:-}}
if [ -z "$rig_dir" ] || [ ! -d "$rig_dir" ]; then
  echo "rig/kde-stop.sh: no rig directory (set RIG_DIR or pass it)" >&2
  exit 1
fi
case "$rig_dir" in
  /tmp/vs-kde.*) ;;
  *) echo "rig/kde-stop.sh: '$rig_dir' is not a KDE rig directory" >&2; exit 1 ;;
esac

# A pid is ours only while the process is alive and its environment names the
# rig directory, so a recycled pid is never signalled.
ours() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] || return 1
  { tr '\0' '\n' <"/proc/$1/environ"; } 2>/dev/null | grep -qxF "VS_KDE_RIG=$rig_dir"
}

stop() {
  local file=$rig_dir/$1.pid pid i
  [ -e "$file" ] || return 0
  pid=$(cat "$file")
  rm -f "$file"
  [[ "$pid" =~ ^[0-9]+$ ]] && ours "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    ours "$pid" || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  for ((i = 0; i < 20; i++)); do
    ours "$pid" || return 0
    sleep 0.05
  done
}

for name in portal portal-kde permission-store kwin dbus; do stop "$name"; done
if [ "$keep" = 0 ]; then rm -rf "$rig_dir"; fi

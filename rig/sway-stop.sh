#!/usr/bin/env bash
# Stops the sway rig that rig/sway-start.sh started: its sway and what sway
# started (swaybg, Xwayland, clients it spawned), never another rig's, then
# removes the rig's directory ($RIG_DIR, or the argument).
#
#   rig/sway-stop.sh [--keep-dir] [--crash] [RIG_DIR]
#
# --keep-dir leaves the directory for `rig/sway-start.sh --again`; --crash
# kills sway at once (SIGKILL), as a compositor that crashed, leaving its
# sockets behind.
set -euo pipefail

keep=0
crash=0
rig_dir=${RIG_DIR:-}
while [ $# -gt 0 ]; do
  case "$1" in
    --keep-dir) keep=1; shift ;;
    --crash) crash=1; shift ;;
    -*) echo "rig/sway-stop.sh: unknown argument '$1'" >&2; exit 2 ;;
    *) rig_dir=$1; shift ;;
  esac
done
if [ -z "$rig_dir" ] || [ ! -d "$rig_dir" ]; then
  echo "rig/sway-stop.sh: no rig directory (set RIG_DIR or pass it)" >&2
  exit 1
fi
case "$rig_dir" in
  /tmp/vs-swayrig.*) ;;
  *) echo "rig/sway-stop.sh: '$rig_dir' is not a sway rig directory" >&2; exit 1 ;;
esac

# sway's command line names the rig's config (labwc's the rig's directory),
# so a recycled pid is never signalled. What it started (swaybg and Xwayland
# come through a double fork, so they are not its children) and the labwc
# rig's swaybg clients run as the rig's user (in a chroot, the uid of the
# chroot's user, kept in $rig_dir/user) with the rig's XDG_RUNTIME_DIR in
# their environment: that marks them, whatever else runs as that user for
# another rig.
is_sway() { { tr '\0' ' ' <"/proc/$1/cmdline"; } 2>/dev/null | grep -qE "$rig_dir/(config|labwc)( |\$)"; }
start_time() { awk '{ sub(/^.*\) /, ""); print $20 }' "/proc/$1/stat" 2>/dev/null; }
started_by_rig() {
  local uid dir pid
  uid=$(cat "$rig_dir/user" 2>/dev/null || id -u vsrig 2>/dev/null) || return 0
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$(stat -c %u "$dir" 2>/dev/null)" = "$uid" ] || continue
    { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qxF "XDG_RUNTIME_DIR=$rig_dir/run" || continue
    echo "$pid $(start_time "$pid")"
  done
}
# A zombie is done with, whoever reaps it.
still() {
  local state start
  read -r state start < <(awk '{ sub(/^.*\) /, ""); print $1, $20 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$2" ] && [ "$start" = "$2" ] && [ "$state" != Z ]
}

sway_pid=""
if [ -f "$rig_dir/sway.pid" ]; then sway_pid=$(cat "$rig_dir/sway.pid"); fi
others=()
while read -r pid start; do
  [ "$pid" = "$sway_pid" ] || others+=("$pid:$start")
done < <(started_by_rig)
if [[ "$sway_pid" =~ ^[0-9]+$ ]] && is_sway "$sway_pid"; then
  if [ $crash = 1 ]; then signal=KILL; else signal=TERM; fi
  kill -"$signal" "$sway_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    is_sway "$sway_pid" || break
    sleep 0.05
  done
  if is_sway "$sway_pid"; then kill -KILL "$sway_pid" 2>/dev/null || true; fi
fi
# Xwayland and swaybg end with their compositor; whatever has not after a
# moment is made to.
for other in "${others[@]}"; do
  pid=${other%%:*} start=${other#*:}
  for _ in $(seq 1 40); do
    still "$pid" "$start" || break
    sleep 0.05
  done
  if still "$pid" "$start"; then kill -KILL "$pid" 2>/dev/null || true; fi
done

# A sway that was killed leaves Xwayland's lock and socket behind.
if [ -s "$rig_dir/run/display" ]; then
  n=$(tr -dc 0-9 <"$rig_dir/run/display")
  lock=/tmp/.X$n-lock
  if [ -n "$n" ] && [ -f "$lock" ] && [ "$(tr -dc 0-9 <"$lock")" = "$sway_pid" ] && ! is_sway "$sway_pid"; then
    rm -f "$lock" "/tmp/.X11-unix/X$n"
  fi
fi
if [ $keep = 0 ]; then rm -rf "$rig_dir"; fi

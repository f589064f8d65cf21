#!/usr/bin/env bash
# Stops the rig that rig/start.sh started: only the processes whose pid files
# are in the rig's directory ($RIG_DIR, or the first argument), then removes it.
set -euo pipefail

rig_dir=${1:-${RIG_DIR:-}}
if [ -z "$rig_dir" ] || [ ! -d "$rig_dir" ]; then
  echo "rig/stop.sh: no rig directory (set RIG_DIR or pass it)" >&2
  exit 1
fi
case "$rig_dir" in
  /tmp/vs-rig.*) ;;
  *) echo "rig/stop.sh: '$rig_dir' is not a rig directory" >&2; exit 1 ;;
esac

# A pid is ours only while its command line still names the rig directory
# (Xorg's -logfile does), so a recycled pid is never signalled.
ours() { tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -qF "$rig_dir"; }

pids=()
for file in "$rig_dir"/*.pid; do
  [ -e "$file" ] || continue
  pid=$(cat "$file")
  if [[ "$pid" =~ ^[0-9]+$ ]] && ours "$pid"; then pids+=("$pid"); fi
done
for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
for pid in "${pids[@]}"; do
  for _ in $(seq 1 100); do
    ours "$pid" || break
    sleep 0.05
  done
  if ours "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
done
rm -rf "$rig_dir"

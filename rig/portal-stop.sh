#!/usr/bin/env bash
# Stops a portal rig (rig/gnome-start.sh, rig/portal-wlr-start.sh): GNOME
# Shell with SIGHUP (SIGTERM crashes it in its teardown), then every process
# whose environment names the rig directory ($VS_PORTAL_RIG, or the first
# argument) with SIGTERM, SIGKILL after 5 s; then removes the directory.
set -euo pipefail

rig=${1:-${VS_PORTAL_RIG:-}}
case "$rig" in
  /tmp/vs-gnome.* | /tmp/vs-portal-wlr.*) ;;
  *) echo "rig/portal-stop.sh: '$rig' is not a portal rig directory" >&2; exit 1 ;;
esac
[ -d "$rig" ] || exit 0
# Our own processes must not look like the rig's.
unset VS_PORTAL_RIG

members() {
  local file pid
  { grep -lzxF "VS_PORTAL_RIG=$rig" /proc/[0-9]*/environ 2>/dev/null || true; } | while read -r file; do
    pid=${file#/proc/}
    pid=${pid%/environ}
    if [ "$pid" != "$$" ]; then echo "$pid"; fi
  done
}
alive() { kill -0 "$1" 2>/dev/null && [ -n "$(members | grep -x "$1")" ]; }

if [ -f "$rig/shell.pid" ]; then
  shell=$(cat "$rig/shell.pid")
  if alive "$shell"; then
    kill -HUP "$shell" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$shell" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$shell" 2>/dev/null && kill -KILL "$shell" 2>/dev/null || true
  fi
fi
pids=$(members)
for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
for _ in $(seq 1 50); do
  left=$(members)
  [ -z "$left" ] && break
  sleep 0.1
done
for pid in $(members); do kill -KILL "$pid" 2>/dev/null || true; done
rm -rf "$rig"

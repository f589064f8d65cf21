#!/usr/bin/env bash
# The X11 connection, set up every way X clients meet it, with xwininfo -root
# (XCB) beside the library's program (monitors, all) on every row: DISPLAY's
# forms, a server on TCP only, cookies (local, wildcard, by host name through
# /etc/hosts, wrong, missing, XDM-AUTHORIZATION-1), a server slow to accept
# with a host that takes a periodic signal, a stopped server, loopback SYNs
# dropped, no loopback at all. Each row must give the outcome xwininfo gives
# (and the one written in the row), and no call of the program may take 6 s;
# a refused connection must name the server's reason.
#
# Everything runs in namespaces of its own (unshare): a network with only its
# loopback (TCP servers, nft), a mount namespace with its own socket folder
# and /etc/hosts, and its own host name. The host's network is never touched.
# Needs root. Every server is ended by its pid on exit, however it comes.
# Ends with "N passed, N failed", a row a check.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

if [ "${1:-}" != --inside ]; then
  cmake --build "$build" --target vantorel-screenshot-cli vs_x11_signal_host >/dev/null
  exec unshare --net --mount --uts -- bash "$0" --inside
fi

started=$(date +%s)
cli=$build/cli/vantorel-screenshot
signal_host=$build/tests/x11/vs_x11_signal_host
work=$(mktemp -d /tmp/vs-stage12.XXXXXX)
stage_defer rm -rf "$work"
# The servers and proxies started here, ended by their pids.
pids=()
stop_servers() { stage_kill "${pids[@]}"; }
stage_defer stop_servers
trap 'exit 130' INT TERM

ip link set lo up
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
hostname myhost
printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n127.0.1.1 myhost\n' \
  >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

# xvfb NUMBER ARGS...: a server on display NUMBER, once it listens.
xvfb() {
  local number=$1
  shift
  Xvfb ":$number" -nolock -noreset -displayfd 3 -screen 0 320x200x24 "$@" \
    3>"$work/ready.$number" 2>"$work/xvfb.$number.log" &
  pids+=($!)
  for _ in $(seq 1 100); do
    grep -q '^[0-9]' "$work/ready.$number" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$work/xvfb.$number.log" >&2
  stage_abort "Xvfb :$number starts"
}

# Cookie files. The server's holds one cookie; the clients' name it by the
# local host (myhost/unix), by any host (a wildcard entry, as ssh -X makes
# them), by the host name too (xauth resolves it through /etc/hosts, to
# 127.0.1.1), or hold another.
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
other=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
xdm=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
for file in server local wild byname wrong xdm-server xdm empty; do : >"$work/$file.auth"; done
xauth -q -f "$work/server.auth" add :22 MIT-MAGIC-COOKIE-1 "$cookie"
xauth -q -f "$work/local.auth" add :22 MIT-MAGIC-COOKIE-1 "$cookie"
echo "ffff 0000 0002 3232 0012 $(printf MIT-MAGIC-COOKIE-1 | od -An -tx1 | tr -d ' \n') 0010 $cookie" |
  xauth -q -f "$work/wild.auth" nmerge -
xauth -q -f "$work/byname.auth" add :22 MIT-MAGIC-COOKIE-1 "$cookie"
xauth -q -f "$work/byname.auth" add myhost:22 MIT-MAGIC-COOKIE-1 "$cookie"
xauth -q -f "$work/wrong.auth" add :22 MIT-MAGIC-COOKIE-1 "$other"
xauth -q -f "$work/xdm-server.auth" add :24 XDM-AUTHORIZATION-1 "$xdm"
xauth -q -f "$work/xdm.auth" add :24 XDM-AUTHORIZATION-1 "$xdm"

xvfb 21 -listen tcp                                  # every transport, no cookie
xvfb 22 -listen tcp -auth "$work/server.auth"        # a cookie
xvfb 23 -listen tcp -nolisten unix -nolisten local   # TCP only
xvfb 24 -auth "$work/xdm-server.auth"                # XDM-AUTHORIZATION-1
xvfb 26                                              # stopped below
kill -STOP "${pids[-1]}"
stopped=${pids[-1]}
# Display 25: proxies slow to accept, on its file socket and its TCP port,
# in front of display 21.
coproc SLOW { exec /usr/bin/python3 "$root/tests/x11/slow_accept.py" /tmp/.X11-unix/X25 /tmp/.X11-unix/X21; }
pids+=("$SLOW_PID")
read -r -t 10 ready <&"${SLOW[0]}"
[ "$ready" = ready ] || stage_abort "the slow proxy starts"
coproc SLOW_TCP { exec /usr/bin/python3 "$root/tests/x11/slow_accept.py" tcp:6025 /tmp/.X11-unix/X21; }
pids+=("$SLOW_TCP_PID")
read -r -t 10 ready <&"${SLOW_TCP[0]}"
[ "$ready" = ready ] || stage_abort "the slow TCP proxy starts"

rows=0
printf '%-62s %-8s %-8s %-8s %7s  %s\n' row expected xwininfo program "ms" "the program's message"

# timed OUTCOME_VAR MS_VAR MESSAGE_VAR COMMAND...: runs the command with a
# 6 s limit; outcome ok, fail or hang.
timed() {
  local -n outcome_=$1 ms_=$2 message_=$3
  shift 3
  local begin end status=0
  begin=$(date +%s%N)
  timeout 6 "$@" >"$work/out" 2>"$work/err" || status=$?
  end=$(date +%s%N)
  ms_=$(((end - begin) / 1000000))
  message_=$(head -c 300 "$work/err" | tr '\n' '|')
  if [ "$status" -eq 124 ]; then
    outcome_=hang
  elif [ "$status" -eq 0 ]; then
    outcome_=ok
  else
    outcome_=fail
  fi
}

# row NAME EXPECTED [VAR=VALUE...]: xwininfo and the program with these
# variables (DISPLAY, XAUTHORITY; "-u VAR" unsets). EXPECTED is ok, fail or
# "same" (whatever xwininfo gives: XCB's versions differ). $want, when set,
# must be in the program's message; $host_program runs instead of "all".
want=""
host_program=""
row() {
  local name=$1 expected=$2
  shift 2
  rows=$((rows + 1))
  local reference reference_ms reference_message
  timed reference reference_ms reference_message env "$@" xwininfo -root
  [ "$reference" = hang ] && reference=fail
  local listed listed_ms listed_message second second_ms second_message
  timed listed listed_ms listed_message env "$@" "$cli" monitors
  rm -f "$work/all.png"
  if [ -n "$host_program" ]; then
    timed second second_ms second_message env "$@" "$host_program"
    if [ "$second" = ok ] && ! grep -q '^[1-9][0-9]* signals$' "$work/out"; then second=unsignalled; fi
  else
    timed second second_ms second_message env "$@" "$cli" all "$work/all.png"
    if [ "$second" = ok ] && ! head -c 8 "$work/all.png" | grep -q PNG; then second=fail; fi
  fi
  local ours=$listed ms=$((listed_ms > second_ms ? listed_ms : second_ms))
  [ "$listed" = "$second" ] || ours="$listed/$second"
  local verdict=""
  [ "$expected" = same ] || [ "$reference" = "$expected" ] || verdict="xwininfo differs from the row"
  [ "$ours" = "$reference" ] || verdict="differs from xwininfo"
  [ "$ms" -lt 6000 ] || verdict="took $ms ms"
  if [ -n "$want" ] && [[ "$listed_message" != *"$want"* ]]; then verdict="message lacks '$want'"; fi
  # Nothing but the program's own line reaches standard error (XCB would
  # print a refusal's reason there itself).
  if [ "$listed" = fail ] && [ "$(grep -c '' "$work/err")" -ne 1 ]; then
    verdict="more than one line on standard error"
  fi
  printf '%-62s %-8s %-8s %-8s %7s  %s\n' "$name" "$expected" "$reference" "$ours" "$ms" \
    "${listed_message:0:110}"
  if [ -n "$verdict" ]; then
    stage_fail "$name" "$verdict (xwininfo: $reference_message)"
  else
    passed=$((passed + 1))
  fi
  want=""
  host_program=""
}

none=XAUTHORITY=$work/none.auth
row ":N" ok DISPLAY=:21 "$none"
row ":N.0" ok DISPLAY=:21.0 "$none"
row ":N.1, a screen the server lacks" fail DISPLAY=:21.1 "$none"
row "unix:N" ok DISPLAY=unix:21 "$none"
row "localhost:N" ok DISPLAY=localhost:21 "$none"
row "127.0.0.1:N" ok DISPLAY=127.0.0.1:21 "$none"
row "::1:N" ok DISPLAY=::1:21 "$none"
row "[::1]:N" same DISPLAY=[::1]:21 "$none"
row "/tmp/.X11-unix/XN (libxcb 1.16 and later)" same DISPLAY=/tmp/.X11-unix/X21 "$none"
row ":N with nobody there" fail DISPLAY=:29 "$none"
row "no DISPLAY" fail -u DISPLAY "$none"
row "a host that does not resolve" fail DISPLAY=nosuchhost.invalid:21 "$none"
row "TCP only, :N (XCB falls back to TCP)" ok DISPLAY=:23 "$none"
row "TCP only, localhost:N" ok DISPLAY=localhost:23 "$none"
row "cookie for the local host, :N" ok DISPLAY=:22 XAUTHORITY="$work/local.auth"
row "cookie for the local host, localhost:N (ssh)" ok DISPLAY=localhost:22 XAUTHORITY="$work/local.auth"
row "wildcard cookie, localhost:N (ssh)" ok DISPLAY=localhost:22 XAUTHORITY="$work/wild.auth"
row "session's cookie and xauth add myhost:N, myhost:N" ok DISPLAY=myhost:22 XAUTHORITY="$work/byname.auth"
row "session's cookie and xauth add myhost:N, 127.0.1.1:N" ok DISPLAY=127.0.1.1:22 XAUTHORITY="$work/byname.auth"
row "session's cookie and xauth add myhost:N, ::ffff:127.0.0.1:N" ok DISPLAY=::ffff:127.0.0.1:22 \
  XAUTHORITY="$work/byname.auth"
want="the X server refused the connection: Invalid MIT-MAGIC-COOKIE-1 key (EnumDisplayMonitors failed, error 104)"
row "wrong cookie" fail DISPLAY=:22 XAUTHORITY="$work/wrong.auth"
want="the X server refused the connection: Authorization required, but no authorization protocol specified (EnumDisplayMonitors failed, error 104)"
row "no cookie" fail DISPLAY=:22 XAUTHORITY="$work/empty.auth"
# Debian's Xvfb has no XDM-AUTHORIZATION-1 and refuses it; a server with it
# takes the same cookie file.
row "XDM-AUTHORIZATION-1" same DISPLAY=:24 XAUTHORITY="$work/xdm.auth"
host_program=$signal_host
row "slow to accept, :N, a host with SA_RESTART signals" ok DISPLAY=:25 "$none"
host_program=$signal_host
row "slow to accept, localhost:N, a host with SA_RESTART signals" ok DISPLAY=localhost:25 "$none"
want=", error 102)"
row "stopped server" fail DISPLAY=:26 "$none"

# Loopback SYNs dropped, as systemd's IPAddressDeny=any does.
nft add table inet vs_matrix
nft add chain inet vs_matrix input '{ type filter hook input priority 0; }'
nft add rule inet vs_matrix input iif lo tcp flags '&' '(syn | ack)' == syn drop
row "SYNs dropped, :N (the local socket)" ok DISPLAY=:21 "$none"
want=", error 102)"
row "SYNs dropped, localhost:N" fail DISPLAY=localhost:21 "$none"
want=", error 102)"
row "SYNs dropped, TCP only, :N" fail DISPLAY=:23 "$none"

# No loopback interface at all.
ip link set lo down
row "no loopback, :N" ok DISPLAY=:21 "$none"
want=", error 102)"
row "no loopback, stopped server" fail DISPLAY=:26 "$none"

kill -CONT "$stopped"
echo "connection matrix: $rows rows, $failed failed, $(($(date +%s) - started)) s"
stage_end

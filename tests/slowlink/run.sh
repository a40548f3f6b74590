#!/usr/bin/env bash
# Runs a test program over a token-bucket link: in a network namespace of its own (loopback only, its MTU
# 1500 and a tbf queue at the given rate), with a pyftpdlib server in the same namespace.
#   run.sh RATE WINEPREFIX WINE-LOADER... PROGRAM [ARGUMENTS]
# RATE is tc's rate ("1mbit", "128kbit"). The program finds the server through KORVANE_SLOW_LINK (port,
# user, password, the server's folder as a Unix path, and the link's rate in bytes a second).
#
# Wine 8 makes sockets in the wineserver, so the wineserver must start inside the namespace: the prefix is
# the run's own for this purpose (made here once), and its wineserver is stopped before the namespace is
# entered and again when the program has ended. Two runs must not share the prefix at once (CTest holds a
# resource lock). When no namespace can be made here, the run says so and exits 77: skipped.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/machine.sh"

skip() {
  echo "skipped: $*"
  exit 77
}

if [ "${1:-}" != --inside ]; then
  [ $# -ge 4 ] || { echo "usage: run.sh RATE WINEPREFIX WINE-LOADER... PROGRAM [ARGUMENTS]" >&2; exit 2; }
  [ "$(id -u)" = 0 ] || skip "a network namespace with a tc queue needs root"
  for tool in unshare ip tc; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
  unshare -n true 2>/dev/null || skip "unshare -n cannot make a network namespace here"
  prefix=$2
  export WINEPREFIX=$prefix WINEDEBUG=-all
  unset DISPLAY
  if [ ! -f "$prefix/.done" ]; then
    echo "[slow link] making the Wine prefix $prefix"
    rm -rf "$prefix"
    WINEDLLOVERRIDES="mscoree,mshtml=" korvane_wine wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.done"
  fi
  # A wineserver of this prefix that runs outside the namespace would make the program's sockets there.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  exec unshare -n bash "$0" --inside "$@"
fi

shift
rate=$1
shift 2
loader_and_program=("$@")

ip link set lo up mtu 1500 || skip "loopback cannot be brought up in the namespace"
# Loopback's MTU of 65536 makes every packet larger than the bucket's burst: keep 1500.
tc qdisc add dev lo root tbf rate "$rate" burst 32kb latency 2s 2>/dev/null ||
  skip "tc cannot add a tbf queue (rate $rate)"
bytes_per_second=$(/usr/bin/python3 -c '
import re, sys
number, unit = re.fullmatch(r"([0-9.]+)([a-z]*)", sys.argv[1]).groups()
scale = {"bit": 1, "kbit": 1e3, "mbit": 1e6, "gbit": 1e9}[unit]
print(int(float(number) * scale / 8))' "$rate")

work=$(mktemp -d /tmp/korvane-slowlink.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/root"
user=slow$RANDOM
password=pw$RANDOM$RANDOM
/usr/bin/python3 "$here/ftp_server.py" "$work/root" "$work/port" "$user" "$password" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the FTP server did not start:"; cat "$work/server.log"; exit 1; }
port=$(cat "$work/port")

export KORVANE_SLOW_LINK="port=$port user=$user password=$password root=$work/root rate=$bytes_per_second"
echo "[slow link] $rate ($bytes_per_second bytes a second), server on 127.0.0.1:$port"
# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio.
korvane_wine cmd /c exit </dev/null >/dev/null 2>&1 || true
"${loader_and_program[@]}"

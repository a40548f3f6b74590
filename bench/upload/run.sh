#!/usr/bin/env bash
# Upload speed of the engine against curl, to a local vsftpd on a random loopback port, then over slow links.
#   bash bench/upload/run.sh            (ROUNDS=5 big rounds, SMALL_ROUNDS=15 small rounds by default)
# Each round runs the 64-bit engine (wine64), the 32-bit engine (wine, where this machine runs 32-bit
# programs) and curl, one after the other, on a 1 GiB file made for the run and removed after it; then the
# same for a 1 KiB file. The engine is timed from Post to its completion report (upload_bench.exe), curl over
# its whole run. Prints each median with the spread of the rounds (min-max) and the ratio to curl, and exits
# non-zero when a goal is missed: the 1 GiB upload at most 1.00 times curl's time, the 1 KiB upload at most
# 1.15 times, each engine on its own. Then send_parts.exe times the send loop's map and send apart over
# the 1 GiB file, to a plain receiver, beside the same pass read with ReadFile and, natively, the cost of
# reading the file with read(2) and through mappings. Last, slow_link.sh runs its rows (1 Mbit/s and 128 kbit/s, SLOW_ROWS
# to choose others) with its own goals; SLOW_ROWS=none leaves them out.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/machine.sh"
korvane_fixed_layout "$0" "$@"
targets=$(korvane_runnable_targets)
rounds=${ROUNDS:-5}
small_rounds=${SMALL_ROUNDS:-15}
export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$KORVANE_CACHE/wine-bench}
user=korvanebench
password=bench-$RANDOM$RANDOM
work=$(mktemp -d /var/tmp/korvane-bench.XXXXXX)
server_pid=
sink_pid=

cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null || true
  rm -rf "$work"
  [ -d "/home/$user/bench" ] && rm -rf "/home/$user/bench"
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# --- the engine's bench program, both targets ---------------------------------------------------------
bash "$root/tools/setup.sh" >/dev/null
declare -A exe parts_exe
korvane_runs_32bit || echo "NOTE: this machine runs no 32-bit programs: the i686 engine is built but not run here."
for t in x86_64 i686; do
  b=${BENCH_BUILD_PREFIX:-$root/build/bench}-$t
  [ -f "$b/build.ninja" ] || cmake -S "$root" --preset "$t" -B "$b" \
    -DKORVANE_CACHE="$KORVANE_CACHE" >/dev/null
  cmake --build "$b" --target upload_bench send_parts >/dev/null
  exe[$t]=$b/bench/upload/upload_bench.exe
  parts_exe[$t]=$b/bench/upload/send_parts.exe
done
wine_of() { [ "$1" = x86_64 ] && echo /usr/lib/wine/wine64 || echo /usr/bin/wine; }
[ -d "$WINEPREFIX" ] || { WINEDLLOVERRIDES="mscoree,mshtml=" korvane_wine wineboot -i </dev/null >/dev/null 2>&1; wineserver -w; }
wineserver -p
korvane_wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# --- vsftpd: a user of its own, a random control port and passive range ------------------------------
command -v vsftpd >/dev/null || apt-get install -y vsftpd >/dev/null
id "$user" >/dev/null 2>&1 || useradd -m -s /bin/bash "$user"
echo "$user:$password" | chpasswd
mkdir -p /var/run/vsftpd/empty
read -r port pasv sink_port <<<"$(/usr/bin/python3 -c '
import random, socket
def free():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
print(free(), random.randrange(20000, 60000, 100), free())')"
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
background=NO
listen_address=127.0.0.1
listen_port=$port
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pasv
pasv_max_port=$((pasv + 99))
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=/var/run/vsftpd/empty
pam_service_name=vsftpd
xferlog_enable=NO
CONF
vsftpd "$work/vsftpd.conf" &
server_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
# A plain receiver for send_parts: it reads each connection to its end and drops the bytes.
/usr/bin/python3 -c '
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", int(sys.argv[1])))
server.listen(4)
buffer = bytearray(1 << 20)
while True:
    connection, _ = server.accept()
    while connection.recv_into(buffer):
        pass
    connection.close()' "$sink_port" &
sink_pid=$!

# --- one upload each ---------------------------------------------------------------------------------
remote=/home/$user/bench
engine_run() {  # arch file name -> milliseconds
  local out
  out=$("$(wine_of "$1")" "${exe[$1]}" 127.0.0.1 "$port" "$user" "$password" "Z:$(echo "$2" | tr / '\\')" bench "$3")
  case $out in *outcome=complete*) ;; *) echo "engine $1 failed: $out" >&2; exit 1 ;; esac
  cmp -s "$2" "$remote/$3" || { echo "engine $1: the server's file differs" >&2; exit 1; }
  rm -f "$remote/$3"
  echo "$out" | sed 's/^ms=\([0-9.]*\).*/\1/'
}
curl_run() {  # file name -> milliseconds of the whole run
  local start end
  start=$(date +%s%N)
  curl -sS --ftp-create-dirs -T "$1" --user "$user:$password" "ftp://127.0.0.1:$port/bench/$2" -o /dev/null
  end=$(date +%s%N)
  cmp -s "$1" "$remote/$2" || { echo "curl: the server's file differs" >&2; exit 1; }
  rm -f "$remote/$2"
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", (e - s) / 1000000 }'
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%.1f-%.1f\n", lo, hi}'; }

failed=0
measure() {  # label file rounds goal: the engine's median time at most goal times curl's
  local label=$1 file=$2 n=$3 goal=$4 size t i
  size=$(stat -c %s "$file")
  declare -A times
  local c=()
  for i in $(seq "$n"); do
    for t in $targets; do times[$t]="${times[$t]:-} $(engine_run "$t" "$file" "e-$t.bin")"; done
    c+=("$(curl_run "$file" curl.bin)")
  done
  local mc
  mc=$(median "${c[@]}")
  echo "== $label ($size bytes, $n rounds, medians with min-max) =="
  for t in $targets; do
    # shellcheck disable=SC2086
    awk -v t="$t" -v m="$(median ${times[$t]})" -v s="$(spread ${times[$t]})" -v mc="$mc" -v size="$size" \
        -v goal="$goal" '
      function rate(ms) { return size >= 1048576 ? sprintf("  %8.1f MB/s", size / ms / 1000) : "" }
      BEGIN {
        printf "  engine %-6s: %10.1f ms (%s)%s  ratio to curl %.2f (goal at most %.2f: %s)\n", t, m, s, rate(m),
          m / mc, goal, m / mc <= goal ? "met" : "MISSED"
        exit (m / mc > goal) }' || failed=1
  done
  awk -v mc="$mc" -v sc="$(spread "${c[@]}")" -v size="$size" 'BEGIN {
    printf "  curl         : %10.1f ms (%s)%s\n", mc, sc, (size >= 1048576 ? sprintf("  %8.1f MB/s", size / mc / 1000) : "") }'
  for t in $targets; do echo "  runs (ms): $t${times[$t]}"; done
  echo "  runs (ms): curl ${c[*]}"
}

parts() {  # file rounds: the send loop's map and send timed apart by send_parts, both targets
  local file=$1 n=$2 winfile t i out
  winfile="Z:$(echo "$file" | tr / '\\')"
  declare -A runs
  for i in $(seq "$n"); do
    for t in $targets; do
      out=$("$(wine_of "$t")" "${parts_exe[$t]}" 127.0.0.1 "$sink_port" "$winfile" | tr -d '\r')
      case $out in map=*) ;; *) echo "send_parts $t failed: $out" >&2; exit 1 ;; esac
      for part in $out; do runs[$t-${part%%=*}]="${runs[$t-${part%%=*}]:-} ${part#*=}"; done
      # For comparison: the same pass read with ReadFile into a buffer instead of mapped views.
      out=$("$(wine_of "$t")" "${parts_exe[$t]}" 127.0.0.1 "$sink_port" "$winfile" read | tr -d '\r')
      case $out in read=*) ;; *) echo "send_parts $t read failed: $out" >&2; exit 1 ;; esac
      for part in $out; do runs[$t-read-${part%%=*}]="${runs[$t-read-${part%%=*}]:-} ${part#*=}"; done
    done
  done
  echo "== where the send loop's time goes ($(stat -c %s "$file") bytes to a plain receiver, $n rounds, medians with min-max) =="
  for t in $targets; do
    printf '  %-6s' "$t"
    for part in map send total; do
      # shellcheck disable=SC2086
      printf '  %s %7.1f ms (%s)' "$part" "$(median ${runs[$t-$part]})" "$(spread ${runs[$t-$part]})"
    done
    echo
    printf '  %-6s' "($t, ReadFile instead of views)"
    for part in read send total; do
      # shellcheck disable=SC2086
      printf '  %s %7.1f ms (%s)' "$part" "$(median ${runs[$t-read-$part]})" "$(spread ${runs[$t-read-$part]})"
    done
    echo
  done
  # The machine's own cost of the two ways of reading the file, without Wine: read(2) into a buffer, and
  # 4 MiB read-only mappings touched page by page (what a send from a view makes the kernel do). Where
  # mapping a page costs much, the views cost more than curl's reads whatever the loop does.
  /usr/bin/python3 - "$file" "$n" <<'PY'
import mmap, os, statistics, sys, time
path, n = sys.argv[1], int(sys.argv[2])
view = 4 << 20
size = os.path.getsize(path)
runs = {'read(2)': [], 'mapped': []}
buffer = bytearray(view)
for _ in range(n):
    with open(path, 'rb', buffering=0) as f:
        start = time.perf_counter()
        while f.readinto(buffer):
            pass
        runs['read(2)'].append((time.perf_counter() - start) * 1000)
        start = time.perf_counter()
        for offset in range(0, size, view):
            with mmap.mmap(f.fileno(), min(view, size - offset), prot=mmap.PROT_READ, offset=offset) as m:
                memoryview(m)[::mmap.PAGESIZE].tobytes()
        runs['mapped'].append((time.perf_counter() - start) * 1000)
print('  (this machine, no Wine)', end='')
for name, times in runs.items():
    print('  %s %7.1f ms (%.1f-%.1f)' % (name, statistics.median(times), min(times), max(times)), end='')
print()
PY
}

mkdir -p "$remote" && chown "$user" "$remote"
/usr/bin/python3 -c '
import os, sys
with open(sys.argv[1], "wb") as f:
    block = os.urandom(1 << 20)
    for i in range(1024):
        f.write(block[i % 7:] + block[:i % 7])' "$work/big.bin"
head -c 1024 /dev/urandom >"$work/small.bin"

measure "1 GiB" "$work/big.bin" "$rounds" 1.00
parts "$work/big.bin" "$rounds"
rm -f "$work/big.bin"
measure "1 KiB" "$work/small.bin" "$small_rounds" 1.15
echo "(MB = 10^6 bytes; the engine from Post to its report, curl over its whole process)"

if [ "${SLOW_ROWS:-}" != none ]; then
  for t in $targets; do export "UPLOAD_BENCH_$t=${exe[$t]}"; done
  # shellcheck disable=SC2086
  TARGETS="$targets" bash "$root/bench/upload/slow_link.sh" ${SLOW_ROWS:-} || failed=1
fi
if [ "$failed" != 0 ]; then
  echo "A goal was missed (1 GiB at most 1.00 x curl's time, 1 KiB at most 1.15 x; over slow links a report at"
  echo "least every 1.5 s after the first 3 s, at most one a second, the speed within 25 % of the link)."
  exit 1
fi
echo "Every goal met."

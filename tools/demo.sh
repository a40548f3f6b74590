#!/usr/bin/env bash
# The main job: builds the i686 target, starts a local FTP server (pyftpdlib) on a random loopback port,
# uploads a generated file to it with the engine under Wine (the demo prints each report and the outcome),
# and compares the server's copy with the local file. The server is stopped by its PID at the end, also on
# failure. Installs what is missing first (tools/setup.sh), so it works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/setup.sh

export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEPREFIX="$KORVANE_CACHE/wine-demo" WINEDEBUG=-all
jobs=${KORVANE_JOBS:-$(nproc)}
python=/usr/bin/python3
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || apt-get install -y python3-pyftpdlib >/dev/null

cmake --no-warn-unused-cli -S "$root" -B build/i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" \
  -DKORVANE_CACHE="$KORVANE_CACHE" >/dev/null
echo "[demo] building korvane_demo (i686)"
cmake --build build/i686 --target korvane_demo -j"$jobs"

work=$(mktemp -d /tmp/korvane-demo.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The server reads at most 3 MiB/s from the data connection, so the upload takes several seconds and the
# progress reports (one a second at most) show; it binds a port the system picks and writes it down.
mkdir -p "$work/root"
cat >"$work/server.py" <<'PY'
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

root, port_file = sys.argv[1], sys.argv[2]
authorizer = DummyAuthorizer()
authorizer.add_user("demo", "demo-secret", root, perm="elradfmwMT")
ThrottledDTPHandler.read_limit = 3 * 1024 * 1024
FTPHandler.authorizer = authorizer
FTPHandler.dtp_handler = ThrottledDTPHandler
FTPHandler.auth_failed_timeout = 0
server = FTPServer(("127.0.0.1", 0), FTPHandler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.address[1]))
import os
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
PY
"$python" "$work/server.py" "$work/root" "$work/port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
echo "[demo] pyftpdlib listens on 127.0.0.1:$port (pid $server_pid)"

# 24 MiB and a bit (the socket buffers take the first few MiB at once), so the last block is a short one.
head -c $((24 * 1048576 + 12345)) /dev/urandom >"$work/korvane-demo.bin"
local_windows="Z:$(echo "$work/korvane-demo.bin" | tr / '\\')"

# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio, so that
# whoever reads our output is not kept waiting after the demo ends.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "[demo] running the upload under Wine ($WINEPREFIX)"
status=0
wine build/i686/demo/korvane_demo.exe 127.0.0.1 "$port" demo demo-secret "$local_windows" /demo/upload \
  korvane-demo.bin </dev/null || status=$?
wineserver -w || true

stored="$work/root/demo/upload/korvane-demo.bin"
if [ "$status" -eq 0 ]; then
  if cmp -s "$work/korvane-demo.bin" "$stored"; then
    echo "[demo] the server's copy equals the local file ($(stat -c %s "$stored") bytes)"
  else
    echo "[demo] the server's copy DIFFERS from the local file"
    status=1
  fi
fi
exit "$status"

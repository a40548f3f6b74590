#!/usr/bin/env bash
# The main job, as a user would see it: builds Korvane.dll and our script host (i686), registers the DLL in
# a Wine prefix of the demo's own, starts a local FTP server (pyftpdlib) on a random loopback port, and runs
# a page-like script (demo/page.js) that uploads a generated file through Tamsic.Korvane and shows the
# progress texts, the completion and the file's MD5. The server's copy and the MD5 are checked against the
# local file; the server is stopped by its PID at the end, also on failure. Installs what is missing first
# (tools/setup.sh), so it works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/setup.sh

export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEPREFIX="$KORVANE_CACHE/wine-demo" WINEDEBUG=-all
jobs=${KORVANE_JOBS:-$(nproc)}
python=/usr/bin/python3

cmake --preset i686 -DKORVANE_CACHE="$KORVANE_CACHE" >/dev/null
echo "[demo] building Korvane.dll and the script host (i686)"
cmake --build --preset i686 --target Korvane korvane_script_host -j"$jobs"

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
windows_path() { echo "Z:$1" | tr / '\\'; }

# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio, so that
# whoever reads our output is not kept waiting after the demo ends.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "[demo] registering Korvane.dll in $WINEPREFIX"
wine regsvr32 /s "$(windows_path "$root/build/i686/com/Korvane.dll")" </dev/null

# The server reads at most 3 MiB/s from the data connection, so the upload takes several seconds and the
# progress reports (one a second at most) show; it binds a port the system picks and writes it down.
mkdir -p "$work/root"
cat >"$work/server.py" <<'PY'
import os
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
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
PY
"$python" "$work/server.py" "$work/root" "$work/port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "[demo] the FTP server did not start:"; cat "$work/server.log"; exit 1; }
port=$(cat "$work/port")
echo "[demo] pyftpdlib listens on 127.0.0.1:$port (pid $server_pid)"

head -c $((24 * 1048576 + 12345)) /dev/urandom >"$work/korvane-demo.bin"
expected_md5=$(md5sum "$work/korvane-demo.bin" | cut -d' ' -f1)

echo "[demo] running the page (demo/page.js) under Wine"
status=0
wine build/i686/tests/host/host.exe "$(windows_path "$root/demo/page.js")" "$port" demo demo-secret \
  "$(windows_path "$work/korvane-demo.bin")" demo/upload korvane-demo.bin </dev/null | tee "$work/page.log" ||
  status=$?
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1

stored="$work/root/demo/upload/korvane-demo.bin"
if [ "$status" -eq 0 ]; then
  if ! cmp -s "$work/korvane-demo.bin" "$stored"; then
    echo "[demo] the server's copy DIFFERS from the local file"
    status=1
  elif ! grep -q "MD5 of the file: $expected_md5" "$work/page.log"; then
    echo "[demo] the page's MD5 differs from md5sum's ($expected_md5)"
    status=1
  else
    echo "[demo] the server's copy equals the local file ($(stat -c %s "$stored") bytes), MD5 $expected_md5"
  fi
else
  echo "[demo] the page failed (exit $status)"
fi
exit "$status"

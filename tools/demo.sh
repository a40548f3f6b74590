#!/usr/bin/env bash
# The main job, as a user would see it: builds Korvane.dll and our script host (i686; Korvane64.dll and the
# x86_64 host on a machine whose kernel runs no 32-bit programs), registers the DLL in
# a Wine prefix of the demo's own, starts a local FTP server (pyftpdlib, through the FTP lab of the tests,
# tests/lab/ftplab.py) on a loopback port, and runs a page-like script (demo/page.js) that uploads a
# generated file through Tamsic.Korvane and shows the progress texts, the completion and the file's MD5. The
# server's copy and the MD5 are checked against the local file; the lab's controller stops the server and
# itself at the end, also on failure. Installs what is missing first (tools/setup.sh), so it works on a fresh
# Debian 12 machine.
set -euo pipefail
# Wine starts programs more reliably without address randomization (tools/machine.sh says why).
. "$(dirname "$0")/machine.sh"
korvane_fixed_layout "$0" "$@"
cd "$(dirname "$0")/.."
root=$PWD
bash tools/setup.sh

export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEPREFIX="$KORVANE_CACHE/wine-demo" WINEDEBUG=-all
jobs=${KORVANE_JOBS:-$(nproc)}
python=/usr/bin/python3

if korvane_runs_32bit; then
  arch=i686 dll=Korvane progid=Tamsic.Korvane loader=wine
else
  echo "[demo] this machine's kernel runs no 32-bit programs: the demo uses Korvane64.dll"
  arch=x86_64 dll=Korvane64 progid=Tamsic.Korvane64 loader=/usr/lib/wine/wine64
fi
cmake --preset "$arch" -DKORVANE_CACHE="$KORVANE_CACHE" >/dev/null
echo "[demo] building $dll.dll and the script host ($arch)"
cmake --build --preset "$arch" --target Korvane korvane_script_host -j"$jobs"

work=$(mktemp -d /tmp/korvane-demo.XXXXXX)
lab() { "$python" "$root/tests/lab/ftplab.py" "$@"; }
cleanup() {
  [ -f "$work/lab.state" ] && lab stop --state "$work/lab.state" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { echo "Z:$1" | tr / '\\'; }

# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio, so that
# whoever reads our output is not kept waiting after the demo ends.
"$loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "[demo] registering $dll.dll in $WINEPREFIX"
"$loader" regsvr32 /s "$(windows_path "$root/build/$arch/com/$dll.dll")" </dev/null

# The server reads at most 3 MiB/s from the data connection, so the upload takes several seconds and the
# progress reports (one a second at most) show.
lab serve --state "$work/lab.state" --daemon >/dev/null
lab start --state "$work/lab.state" --kind pyftpdlib --user demo --password demo-secret \
  --rate $((3 * 1048576)) >"$work/server"
port=$(sed -n 's/^port=//p' "$work/server")
server_root=$(sed -n 's/^root=//p' "$work/server")
echo "[demo] pyftpdlib listens on 127.0.0.1:$port (pid $(sed -n 's/^pid=//p' "$work/server"))"

head -c $((24 * 1048576 + 12345)) /dev/urandom >"$work/korvane-demo.bin"
expected_md5=$(md5sum "$work/korvane-demo.bin" | cut -d' ' -f1)

echo "[demo] running the page (demo/page.js) under Wine"
status=0
"$loader" "build/$arch/tests/host/host.exe" "$(windows_path "$root/demo/page.js")" "$port" demo demo-secret \
  "$(windows_path "$work/korvane-demo.bin")" demo/upload korvane-demo.bin "$progid" </dev/null | tee "$work/page.log" ||
  status=$?
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1

stored="$server_root/demo/upload/korvane-demo.bin"
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

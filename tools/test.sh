#!/usr/bin/env bash
# Builds Korvane.dll and Korvane64.dll with every test, and runs the tests of both targets under Wine.
# Installs what is missing first (tools/setup.sh), so it works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/setup.sh

export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEPREFIX="$KORVANE_CACHE/wine-test" WINEDEBUG=-all
jobs=$(nproc)

for t in i686 x86_64; do
  cmake -S "$root" -B "build/$t" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$t.cmake" \
    -DKORVANE_CACHE="$KORVANE_CACHE" >/dev/null
  echo "[test] building $t"
  cmake --build "build/$t" -j"$jobs"
done

# One CTest run over both targets, so there is one summary.
printf 'subdirs("i686" "x86_64")\n' > build/CTestTestfile.cmake

# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio, or CTest
# waits for ever on a pipe they keep open. Stop the prefix's server whatever happens.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true

echo "[test] running the tests of both targets"
cd build
ctest -j"$jobs" --output-on-failure --timeout 900 "$@"

#!/usr/bin/env bash
# Builds Korvane.dll and Korvane64.dll with every test, and runs the tests of both targets under Wine.
# Installs what is missing first (tools/setup.sh), so it works on a fresh Debian 12 machine.
set -euo pipefail

# Wine starts programs more reliably without address randomization (tools/machine.sh says why).
. "$(dirname "$0")/machine.sh"
korvane_fixed_layout "$0" "$@"
cd "$(dirname "$0")/.."
root=$PWD
bash tools/setup.sh

# Every C and C++ file follows .clang-format: a file that drifts fails the run before anything is built.
bash tools/check-format.sh

export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
# KORVANE_WINE_TAG gives a checkout Wine prefixes of its own (wine-test<tag>, wine-test<tag>-reg-<arch>),
# so that two checkouts on one machine can run their tests at the same time.
export WINEPREFIX="$KORVANE_CACHE/wine-test${KORVANE_WINE_TAG:-}" WINEDEBUG=-all
jobs=$(nproc)

# Windows need a display: a private Xvfb for this run, on a display number it picks itself. Wine's
# services start with it (a wineserver started without it makes no windows later). Tests see it only where
# they ask for it (KORVANE_DISPLAY): without a display a message box returns at once instead of waiting.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$displayfile" </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
display=$(cat "$displayfile"); rm -f "$displayfile"
[ -n "$display" ] || { echo "[test] Xvfb did not start" >&2; exit 1; }
export KORVANE_DISPLAY=":$display"
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$xvfb_pid" 2>/dev/null || true' EXIT

if [ ! -f "$WINEPREFIX/.done" ]; then
  echo "[test] creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  DISPLAY=$KORVANE_DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" korvane_wine wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.done"
fi

# Both targets are built on every machine. Their tests run where their programs run: a kernel without IA-32
# emulation runs no 32-bit program, so there Korvane.dll is built but
# its tests, and the 64-bit tests' side-by-side registration of it, cannot run; the run says so loudly.
tested=$(korvane_runnable_targets)
if ! korvane_runs_32bit; then
  echo "[test] NOTE: this machine's kernel runs no 32-bit programs (32-bit Wine fails with 'Exec format error')."
  echo "[test] NOTE: Korvane.dll (i686) is built, but its tests and the side-by-side registration are NOT run here."
fi

# The presets (CMakePresets.json) name each target's build folder and toolchain; this run's cache, prefix and
# display go in as cache variables.
for t in i686 x86_64; do
  other=()
  case " $tested " in *" i686 "*) ;; *) other=(-DKORVANE_OTHER_BUILD_DIR=) ;; esac
  cmake --preset "$t" -DKORVANE_CACHE="$KORVANE_CACHE" -DKORVANE_WINEPREFIX="$WINEPREFIX" \
    -DKORVANE_DISPLAY="$KORVANE_DISPLAY" "${other[@]}" >/dev/null
  echo "[test] building $t"
  cmake --build --preset "$t" -j"$jobs"
done
# One CTest run over the targets whose programs run here, so there is one summary: the test preset "all"
# (build/).
builds=()
for t in $tested; do builds+=("$root/build/$t"); done
cmake --preset all -DKORVANE_TEST_BUILDS="$(IFS=';'; echo "${builds[*]}")" >/dev/null

# Wine's services inherit the stdio of the first Wine process: start them with harmless stdio, or CTest
# waits for ever on a pipe they keep open.
korvane_runs_32bit && { DISPLAY=$KORVANE_DISPLAY wine cmd /c exit </dev/null >/dev/null 2>&1 || true; }
DISPLAY=$KORVANE_DISPLAY /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true

# Wine starts the prefix's desktop with the environment of the first program that needs it, and keeps it while
# any program uses it. Most tests run without DISPLAY (a message box must return at once there): had one of them
# come first, the desktop would have no display and every window test of the run would fail. So a program of
# ours makes the desktop with the run's display first and holds it until the run ends (its stdin closes).
hold_in=$(mktemp -u) hold_out=$(mktemp)
mkfifo "$hold_in"
DISPLAY=$KORVANE_DISPLAY /usr/lib/wine/wine64 "$root/build/x86_64/tests/host/desktop_hold.exe" \
  <"$hold_in" >"$hold_out" 2>/dev/null &
exec 9>"$hold_in"
rm -f "$hold_in"
for _ in $(seq 600); do grep -q . "$hold_out" && break; sleep 0.2; done
if ! grep -q "^ready" "$hold_out"; then
  echo "[test] the Wine desktop could not be made with the display $KORVANE_DISPLAY: $(cat "$hold_out")" >&2
  exit 1
fi
rm -f "$hold_out"

korvane_layout_is_fixed ||
  echo "[test] NOTE: address randomization stays on here: now and then Wine may fail to start a program."
echo "[test] running the tests of: $tested"
ctest --preset all -j"$jobs" "$@"

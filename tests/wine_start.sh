#!/usr/bin/env bash
# Starts a test program under Wine for CTest:  wine_start.sh WINE-LOADER PROGRAM [ARGUMENTS]
#
# Now and then Wine 8's loader fails to start a program at all: the process ends at once with a non-zero code
# and, under WINEDEBUG=-all, without a word (not even the loader's own error). No line of the program ran, so
# such a start is made again, at most twice, each time saying so on stderr. Every other run is the program's
# own result and is never made again: one that printed anything on stdout or stderr, that ran longer than
# QUICK_MS, or that ended with 0 or 77 (skipped). The exit code is passed on unchanged, and stdout and stderr
# stay apart and reach CTest as the program writes them.
set -u

# A gtest program prints its first line before any test runs; a start that ends silently within this never
# got that far. KORVANE_WINE_START_QUICK_MS changes it for the launcher's own test only.
quick_ms=${KORVANE_WINE_START_QUICK_MS:-500}
starts=3

seen=$(mktemp -d) || exit 125
trap 'rm -rf "$seen"' EXIT
mkfifo "$seen/stdout.pipe" "$seen/stderr.pipe" || exit 125

for ((start = 1; start < starts; start++)); do
  # tee passes on every byte as it comes and keeps a copy, by which the run is judged.
  tee "$seen/stdout" <"$seen/stdout.pipe" &
  stdout_tee=$!
  tee "$seen/stderr" <"$seen/stderr.pipe" >&2 &
  stderr_tee=$!
  began=${EPOCHREALTIME/./}
  "$@" >"$seen/stdout.pipe" 2>"$seen/stderr.pipe"
  code=$?
  ended=${EPOCHREALTIME/./}
  wait "$stdout_tee" "$stderr_tee"
  ran_ms=$(((ended - began) / 1000))
  if [ "$code" -eq 0 ] || [ "$code" -eq 77 ] || [ -s "$seen/stdout" ] || [ -s "$seen/stderr" ] ||
    [ "$ran_ms" -ge "$quick_ms" ]; then
    exit "$code"
  fi
  echo "[wine_start] $* ended with $code after $ran_ms ms and printed nothing: Wine did not start it;" \
    "start $((start + 1)) of $starts" >&2
done
# The last start is the program itself, in this process: whatever it does is the result.
rm -rf "$seen"
trap - EXIT
exec "$@"

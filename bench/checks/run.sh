#!/usr/bin/env bash
# Speed of the file checks against the system's own tools, on a 1 GiB file made for the run (removed after).
#   bash bench/checks/run.sh            (ROUNDS=5 by default)
# Builds checks_bench.exe in build folders of its own ($BUILD_PREFIX-x86_64 and -i686, default build/chk) and
# runs, alternating in each round: MD5 with the 64-bit engine (wine64), the 32-bit engine (wine), md5sum and
# `openssl md5`; then CRC-32 with both engines and zlib's crc32 (python3). The engines are timed from Start
# to their report, md5sum and openssl over their whole process, zlib around its read-and-checksum loop.
# Every result is compared with the tools' own. Prints each median with the spread of the rounds (min-max)
# and the ratios, and exits non-zero when a goal is missed: MD5 at most 1.10 times `openssl md5`'s time and
# CRC-32 at most 0.90 times zlib's, each engine on its own. Each round ends with `checks_bench parts`, which
# times the reading and the computing of each check apart.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/machine.sh"
korvane_fixed_layout "$0" "$@"
# Both engines are built; the 32-bit one runs only where the machine runs 32-bit programs.
targets=$(korvane_runnable_targets)
rounds=${ROUNDS:-5}
prefix=${BUILD_PREFIX:-$root/build/chk}
export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$KORVANE_CACHE/wine-chk}
work=$(mktemp -d /var/tmp/korvane-checks-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

declare -A exe
for t in x86_64 i686; do
  b=$prefix-$t
  [ -f "$b/build.ninja" ] || cmake -S "$root" --preset "$t" -B "$b" \
    -DKORVANE_CACHE="$KORVANE_CACHE" -DKORVANE_WINEPREFIX="$WINEPREFIX" >/dev/null
  cmake --build "$b" -j8 --target checks_bench >/dev/null
  exe[$t]=$b/bench/checks/checks_bench.exe
done
wine_of() { [ "$1" = x86_64 ] && echo /usr/lib/wine/wine64 || echo /usr/bin/wine; }
[ -d "$WINEPREFIX" ] || { WINEDLLOVERRIDES="mscoree,mshtml=" korvane_wine wineboot -i </dev/null >/dev/null 2>&1; wineserver -w; }
korvane_wine cmd /c exit </dev/null >/dev/null 2>&1 || true
case " $targets " in *" i686 "*) ;; *) echo "NOTE: this machine runs no 32-bit programs: the i686 engine is built but not run here." ;; esac
runs() { case " $targets " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

file=$work/big.bin
/usr/bin/python3 -c '
import os, sys
with open(sys.argv[1], "wb") as f:
    block = os.urandom(1 << 20)
    for i in range(1024):
        f.write(block[i % 7:] + block[:i % 7])' "$file"
size=$(stat -c %s "$file")
winfile="Z:$(echo "$file" | tr / '\\')"
cat "$file" >/dev/null  # every contender reads from the page cache

now() { date +%s%N; }
ms_since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f\n", (e - s) / 1000000 }'; }
engine_run() {  # arch md5|crc -> "ms result"
  local out
  out=$("$(wine_of "$1")" "${exe[$1]}" "$2" "$winfile" | tr -d '\r')
  case $out in *outcome=complete*) ;; *) echo "engine $1 $2 failed: $out" >&2; exit 1 ;; esac
  echo "$out" | sed 's/^ms=\([0-9.]*\) outcome=complete result=\(.*\)$/\1 \2/'
}
md5sum_run() { local s r; s=$(now); r=$(md5sum "$file" | cut -d' ' -f1); echo "$(ms_since "$s") $r"; }
openssl_run() { local s r; s=$(now); r=$(openssl md5 -r "$file" | cut -d' ' -f1); echo "$(ms_since "$s") $r"; }
zlib_run() {
  /usr/bin/python3 -c '
import sys, time, zlib
start = time.perf_counter()
crc = 0
with open(sys.argv[1], "rb", buffering=0) as f:
    while True:
        block = f.read(1 << 20)
        if not block:
            break
        crc = zlib.crc32(block, crc)
print("%.3f %d" % ((time.perf_counter() - start) * 1000, crc))' "$file"
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

declare -A times
expect_md5=$(md5sum "$file" | cut -d' ' -f1)
expect_crc=$(zlib_run | cut -d' ' -f2)
record() {  # name expected "ms result"
  local ms=${3% *} result=${3#* }
  [ "$result" = "$2" ] || { echo "$1 gave $result, expected $2" >&2; exit 1; }
  times[$1]="${times[$1]:-} $ms"
}
for i in $(seq "$rounds"); do
  record md5-x86_64 "$expect_md5" "$(engine_run x86_64 md5)"
  if runs i686; then record md5-i686 "$expect_md5" "$(engine_run i686 md5)"; fi
  record md5sum "$expect_md5" "$(md5sum_run)"
  record openssl "$expect_md5" "$(openssl_run)"
  record crc-x86_64 "$expect_crc" "$(engine_run x86_64 crc)"
  if runs i686; then record crc-i686 "$expect_crc" "$(engine_run i686 crc)"; fi
  record zlib "$expect_crc" "$(zlib_run)"
  for t in $targets; do
    out=$("$(wine_of "$t")" "${exe[$t]}" parts "$winfile" | tr -d '\r')
    case $out in md5_read=*) ;; *) echo "parts $t failed: $out" >&2; exit 1 ;; esac
    for part in $out; do times[$t-${part%%=*}]="${times[$t-${part%%=*}]:-} ${part#*=}"; done
  done
done

spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%s %s\n", lo, hi}'; }
failed=0
report() {  # label name [reference name [goal]]: median with min-max, ratio to the reference's median
  local m lo hi ref=""
  m=$(median ${times[$2]})
  read -r lo hi <<<"$(spread ${times[$2]})"
  [ -n "${3:-}" ] && ref=$(median ${times[$3]})
  awk -v l="$1" -v m="$m" -v lo="$lo" -v hi="$hi" -v r="$ref" -v rn="${3:-}" -v goal="${4:-}" -v size="$size" 'BEGIN {
    printf "  %-24s %9.1f ms (%.1f-%.1f) %8.1f MB/s", l, m, lo, hi, size / m / 1000
    if (r != "") printf "   %.2f x the time of %s", m / r, rn
    if (goal != "") printf " (goal at most %.2f: %s)", goal, m / r <= goal ? "met" : "MISSED"
    printf "\n"
    exit (goal != "" && m / r > goal) }' || failed=1
}
echo "== MD5 of $size bytes ($rounds rounds, medians with min-max; MB = 10^6 bytes) =="
report "engine x86_64 (wine64)" md5-x86_64 openssl 1.10
if runs i686; then report "engine i686 (wine)" md5-i686 openssl 1.10; fi
report "md5sum" md5sum openssl
report "openssl md5" openssl
echo "== CRC-32 of $size bytes =="
report "engine x86_64 (wine64)" crc-x86_64 zlib 0.90
if runs i686; then report "engine i686 (wine)" crc-i686 zlib 0.90; fi
report "zlib (python3)" zlib
echo "== where the checks' time goes (reading and computing timed apart, medians with min-max) =="
for t in $targets; do
  printf '  %-6s' "$t"
  for part in md5_read md5_digest crc_read crc_compute; do
    read -r lo hi <<<"$(spread ${times[$t-$part]})"
    printf '  %s %6.1f ms (%.1f-%.1f)' "$part" "$(median ${times[$t-$part]})" "$lo" "$hi"
  done
  echo
done
for k in md5-x86_64 md5-i686 md5sum openssl crc-x86_64 crc-i686 zlib; do [ -n "${times[$k]:-}" ] || continue; echo "  runs (ms) $k:${times[$k]}"; done
if [ "$failed" != 0 ]; then echo "A goal was missed (MD5 at most 1.10 x openssl's time, CRC-32 at most 0.90 x zlib's)."; exit 1; fi
echo "Every goal met."

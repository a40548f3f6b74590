#!/usr/bin/env bash
# Uploads over token-bucket links, the engine beside curl: what a page hears on a home or mobile link.
#   bash bench/upload/slow_link.sh [RATE:BYTES[:STOP_MS]]...
# Default rows: 1mbit:3000000 and 128kbit:400000. RATE is tc's ("1mbit", "160kbit"); with STOP_MS the
# engine's upload is stopped from its first progress report at or after STOP_MS and posted again at once.
# Each row runs in a network namespace of its own (tests/slowlink/run.sh: loopback at MTU 1500 behind a tbf
# queue, a pyftpdlib server, a Wine prefix of its own). Needs root, and UPLOAD_BENCH_<arch> (the paths of
# upload_bench.exe) and TARGETS (the targets to run) from bench/upload/run.sh, or given by hand.
#
# For each engine: the wall time from Post to the final report, the progress reports and the largest gap
# between them after the first 3 s (the completion included), the shortest interval between two reports,
# and the speed texts' error against the bucket's rate once the speed's 3-second window lies past the
# first 3 s (reports from 6 s on). curl is timed over its whole run. Exits non-zero when a row without a
# stop misses a goal: a report at least every 1.5 s after the first 3 s, at most one per second, the speed
# within 25 % of the link's rate.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/bench/upload

if [ "${1:-}" = --inside ]; then
  # One row in the namespace: each engine, then curl; every result line goes to the output file.
  shift
  bytes=$1 stop=$2 out=$3
  eval "$(echo "$KORVANE_SLOW_LINK" | tr ' ' '\n' | sed 's/^/link_/')"
  file=$(mktemp /var/tmp/korvane-slow.XXXXXX)
  head -c "$bytes" /dev/urandom >"$file"
  winfile="Z:$(echo "$file" | tr / '\\')"
  for t in $TARGETS; do
    var=UPLOAD_BENCH_$t
    loader=/usr/lib/wine/wine64
    [ "$t" = i686 ] && loader=/usr/lib/wine/wine
    extra=(--reports)
    [ "$stop" != - ] && extra+=(--stop-after "$stop")
    "$loader" "${!var}" 127.0.0.1 "$link_port" "$link_user" "$link_password" "$winfile" "" "e-$t.bin" "${extra[@]}" |
      tr -d '\r' | sed "s/^/$t /" >>"$out"
    if cmp -s "$file" "$link_root/e-$t.bin"; then echo "$t copy=same" >>"$out"; else echo "$t copy=differs" >>"$out"; fi
    rm -f "$link_root/e-$t.bin"
  done
  start=$(date +%s%N)
  curl -sS -T "$file" --user "$link_user:$link_password" "ftp://127.0.0.1:$link_port/curl.bin" -o /dev/null 2>"$out.curl"
  code=$?
  end=$(date +%s%N)
  cmp -s "$file" "$link_root/curl.bin" && same=same || same=differs
  echo "curl ms=$(((end - start) / 1000000)) code=$code copy=$same error=$(tr '\n' ' ' <"$out.curl")" >>"$out"
  rm -f "$file" "$link_root/curl.bin" "$out.curl"
  exit 0
fi

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(1mbit:3000000 128kbit:400000)
export TARGETS=${TARGETS:-x86_64}
export KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
prefix=${WINEPREFIX:-$KORVANE_CACHE/wine-bench}-netns
failed=0
for row in "${rows[@]}"; do
  IFS=: read -r rate bytes stop <<<"$row"
  stop=${stop:--}
  out=$(mktemp)
  bash "$root/tests/slowlink/run.sh" "$rate" "$prefix" /bin/bash "$here/slow_link.sh" --inside "$bytes" "$stop" "$out" \
    >"$out.log" 2>&1
  code=$?
  if [ "$code" = 77 ]; then
    echo "== slow link $rate: $(grep skipped "$out.log")"
    failed=1
    rm -f "$out" "$out.log"
    continue
  fi
  rate_bytes=$(sed -n 's/.*(\([0-9]*\) bytes a second).*/\1/p' "$out.log")
  /usr/bin/python3 - "$rate" "$rate_bytes" "$bytes" "$stop" "$out" <<'PY' || failed=1
import re, statistics, sys

rate_name, rate, size, stop, path = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
units = {'Bytes': 1, 'KB': 1024, 'MB': 1024 ** 2, 'GB': 1024 ** 3}

def size_of(text):
    number, unit = re.fullmatch(r'([0-9.]+)([A-Za-z]+)', text).groups()
    return float(number) * units[unit]

runs, curl = {}, None
for line in open(path):
    word, rest = line.split(' ', 1)
    fields = dict(re.findall(r'(\w+)=(\S*)', rest))
    if word == 'curl':
        curl = (fields, rest)
        continue
    run = runs.setdefault(word, {'reports': [], 'stopped': None, 'ended': None, 'final': None, 'copy': None})
    kind = rest.split(' ', 1)[0]
    if kind == 'report':
        run['reports'].append((float(fields['ms']), int(fields['posted']), fields['speed'], fields['left']))
    elif kind == 'stopped':
        run['stopped'] = float(fields['ms'])
    elif kind == 'ended':
        run['ended'] = float(fields['ms'])
    elif kind.startswith('copy'):
        run['copy'] = fields['copy']
    elif kind.startswith('ms='):
        run['final'] = (float(fields['ms']), fields.get('outcome'), fields.get('code'))

print('== slow link %s (%d bytes a second), %d bytes%s ==' % (
    rate_name, rate, size, '' if stop == '-' else ', stopped at the first report from %s ms, then posted again' % stop))
missed = False
for target, run in runs.items():
    final = run['final']
    if final is None:
        print('  engine %-6s: no final report' % target)
        missed = True
        continue
    end_ms, outcome, code = final
    reports = run['reports']
    times = [r[0] for r in reports]
    if stop == '-':
        events = [0.0] + times + [end_ms]
        gaps = [b - a for a, b in zip(events, events[1:]) if b > 3000]
        intervals = [b - a for a, b in zip(times, times[1:])]
        steady = [size_of(r[2]) for r in reports if r[0] >= 6000]
        errors = [abs(s / rate - 1) for s in steady]
        largest = max(gaps) if gaps else float('nan')
        shortest = min(intervals) if intervals else float('nan')
        worst = max(errors) if errors else float('nan')
        median = statistics.median(errors) if errors else float('nan')
        met = (outcome == 'complete' and run['copy'] == 'same' and gaps and largest <= 1500 and
               (not intervals or shortest >= 990) and errors and worst <= 0.25)
        missed |= not met
        print('  engine %-6s: %9.0f ms %s (copy %s), %d reports, largest gap %.2f s, shortest interval %.2f s, '
              'speed error median %.0f %% max %.0f %% over %d reports: %s' % (
                  target, end_ms, outcome if outcome == 'complete' else 'error %s' % code, run['copy'],
                  len(reports), largest / 1000, shortest / 1000, median * 100, worst * 100, len(errors),
                  'goals met' if met else 'GOAL MISSED'))
    else:
        stopped, ended = run['stopped'], run['ended']
        after = [t for t in times if stopped is not None and t > (ended or stopped)]
        first = (after[0] - stopped) / 1000 if after and stopped is not None else float('nan')
        print('  engine %-6s: %9.0f ms %s (copy %s); stopped at %.1f s, the stopped job ended %.2f s later, '
              'the resumed upload reported %.2f s after the stop' % (
                  target, end_ms, outcome if outcome == 'complete' else 'error %s' % code, run['copy'],
                  (stopped or 0) / 1000, ((ended or 0) - (stopped or 0)) / 1000, first))
if curl:
    fields, rest = curl
    print('  curl         : %9s ms %s (copy %s)%s' % (
        fields['ms'], 'complete' if fields['code'] == '0' else 'exit code %s' % fields['code'], fields['copy'],
        '' if fields['code'] == '0' else ': ' + rest.split('error=', 1)[1].strip()))
sys.exit(1 if missed and stop == '-' else 0)
PY
  rm -f "$out" "$out.log"
done
exit $failed

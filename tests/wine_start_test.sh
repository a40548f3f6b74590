#!/usr/bin/env bash
# Checks tests/wine_start.sh with a fake program instead of Wine: only a start that ended at once, non-zero and
# silent is made again (at most twice, each said on stderr); every other run is the program's result, with its
# exit code and its stdout and stderr apart.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The fake program: its Nth start does what the Nth word of the plan says (the last word for any later start).
#   silent:CODE   ends at once with CODE, printing nothing
#   out:CODE      prints a line on stdout, then ends with CODE
#   err:CODE      prints a line on stderr, then ends with CODE
#   slow:CODE     prints nothing, ends with CODE after 0.8 s
# A start counts as quick below KORVANE_WINE_START_QUICK_MS: a minute here, so that a loaded machine cannot make
# a quick start slow, and 0.5 s for the slow plans, which sleep longer than that.
cat >"$work/fake.sh" <<'EOF'
#!/usr/bin/env bash
starts=$1 plan=($2)
shift 2
echo x >>"$starts"
n=$(wc -l <"$starts")
step=${plan[$((n <= ${#plan[@]} ? n - 1 : ${#plan[@]} - 1))]}
code=${step#*:}
case $step in
out:*) echo "start $n out, arguments:$(printf ' [%s]' "$@")" ;;
err:*) echo "start $n err" >&2 ;;
slow:*) sleep 0.8 ;;
esac
exit "$code"
EOF

failures=0
# plan | starts wanted | exit code wanted | notes on stderr wanted | what stdout must hold | what stderr must hold
cases=(
  "silent:1 out:0|2|0|1|start 2 out|"
  "silent:1 silent:1 out:0|3|0|2|start 3 out|"
  "silent:1 silent:3 silent:5|3|5|2||"
  "silent:1 out:2|2|2|1|start 2 out|"
  "silent:53 err:0|2|0|1||start 2 err"
  "out:1|1|1|0|start 1 out|"
  "err:1|1|1|0||start 1 err"
  "out:77|1|77|0|start 1 out|"
  "silent:77|1|77|0||"
  "silent:0|1|0|0||"
  "slow:1|1|1|0||"
  "slow:0|1|0|0||"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r plan want_starts want_code want_notes want_out want_err <<<"$entry"
  rm -f "$work/starts"
  quick_ms=60000
  [[ $plan == slow:* ]] && quick_ms=500
  KORVANE_WINE_START_QUICK_MS=$quick_ms bash "$here/wine_start.sh" bash "$work/fake.sh" "$work/starts" "$plan" "one arg" two \
    >"$work/stdout" 2>"$work/stderr" </dev/null
  code=$?
  starts=$(wc -l <"$work/starts")
  notes=$(grep -c '^\[wine_start\]' "$work/stderr")
  problems=()
  [ "$starts" = "$want_starts" ] || problems+=("started $starts times, not $want_starts")
  [ "$code" = "$want_code" ] || problems+=("ended with $code, not $want_code")
  [ "$notes" = "$want_notes" ] || problems+=("said $notes times that it started again, not $want_notes")
  if [ -n "$want_out" ]; then
    grep -qxF "$want_out, arguments: [one arg] [two]" "$work/stdout" || problems+=("stdout lacks '$want_out'")
  fi
  [ -z "$want_out" ] && [ -s "$work/stdout" ] && problems+=("stdout is not empty")
  if [ -n "$want_err" ]; then
    grep -qxF "$want_err" "$work/stderr" || problems+=("stderr lacks '$want_err'")
  fi
  grep -v '^\[wine_start\]' "$work/stderr" | grep -q 'out' && problems+=("stdout reached stderr")
  grep -q 'err' "$work/stdout" && problems+=("stderr reached stdout")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "ok   $plan"
  else
    echo "FAIL $plan: ${problems[*]}"
    sed 's/^/     stdout: /' "$work/stdout"
    sed 's/^/     stderr: /' "$work/stderr"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]

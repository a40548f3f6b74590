# Sourced by the set-up, test, demo and benchmark scripts: what this machine can run.

# Whether the kernel runs 32-bit x86 programs, which 32-bit Wine (/usr/lib/wine/wine) is. Some kernels are
# built or booted without IA-32 emulation: there every 32-bit program fails with "Exec format error", so
# Korvane.dll can be built but not run under Wine.
korvane_runs_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The targets whose programs run here, in the order the scripts use them.
korvane_runnable_targets() {
  if korvane_runs_32bit; then echo "i686 x86_64"; else echo "x86_64"; fi
}

# The Wine loader that starts Wine's services and wineboot here: the 32-bit one where it runs (as before),
# else the 64-bit one.
korvane_wine() {
  if korvane_runs_32bit; then wine "$@"; else /usr/lib/wine/wine64 "$@"; fi
}

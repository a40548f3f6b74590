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

# Debian's Wine 8 comes without its preloader, so nothing keeps the C heap of wine64 (a program linked at
# 0x7d000000) off the page that every Wine process maps at 0x7ffe0000. Recent kernels start that heap anywhere
# in the gigabyte above the program: now and then it covers the page, and the process ends at once with 1
# before any of its code ran, silent under WINEDEBUG=-all ("failed to map the shared user data" otherwise).
# Without address randomization the heap starts right after the program, so a script runs without it
# wherever the kernel lets a program turn it off (a container's seccomp may not).
# (The personality bit ADDR_NO_RANDOMIZE, 0x40000, is inherited by every program the script starts.)
korvane_layout_is_fixed() { (($(printf '%d' "0x$(cat /proc/$$/personality)") & 0x40000)); }
# korvane_fixed_layout SCRIPT [ARGUMENTS]: runs the script again, without address randomization, when the
# kernel allows it; returns when the layout is fixed already or cannot be.
korvane_fixed_layout() {
  if ! korvane_layout_is_fixed && setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R bash "$@"
  fi
}

#!/usr/bin/env bash
# One-time machine set-up: Debian packages, the cross-built dependencies (cached outside the clone,
# keyed by version and target) and a Wine prefix of our own. Safe to run again: every step checks first.
set -euo pipefail

KORVANE_CACHE=${KORVANE_CACHE:-/var/cache/korvane}
export DEBIAN_FRONTEND=noninteractive
LOG4CPLUS_VERSION=2.0.8
CRYPTOPP_VERSION=8.7.0
TARGETS="i686 x86_64"

say() { echo "[setup] $*" >&2; }
. "$(dirname "$0")/machine.sh"
# Every change to the system (packages, apt entries under /etc, the locale, the cache folder under /var) goes
# through as_root: sudo when not root. Every step checks first, so a set-up machine needs no sudo at all.
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# apt reads its package lists before an install, a source fetch or a download: refreshed once per run, and
# only when one of those steps runs.
apt_updated=
apt_update_once() {
  [ -n "$apt_updated" ] && return 0
  as_root apt-get update -qq
  apt_updated=1
}

PACKAGES=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 libwine-dev
  cmake ninja-build libboost-dev googletest dpkg-dev locales
  python3 python3-pyftpdlib vsftpd curl openssl xvfb xdotool imagemagick clang-format
  gcc libc6-dev flex bison patch
)

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
  done
}

install_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "adding the i386 architecture"
    as_root dpkg --add-architecture i386
  fi
  local missing
  missing=$(missing_packages)
  if [ -n "$missing" ]; then
    say "installing: $(echo $missing)"
    apt_update_once
    # dpkg-dev must not pull upgrades of the toolchain along with it.
    as_root apt-get install -y -qq --no-upgrade $missing >/dev/null
  fi
}

# apt-get source needs a deb-src entry: derive it from the system's own apt entries.
ensure_deb_src() {
  local src=/etc/apt/sources.list.d/korvane-deb-src.sources
  if [ ! -f "$src" ]; then
    say "adding a deb-src entry derived from the existing apt entries"
    if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
      cat /etc/apt/sources.list.d/*.sources | sed 's/^Types:.*/Types: deb-src/' | as_root tee "$src" >/dev/null
    else
      grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | as_root tee /etc/apt/sources.list.d/korvane-deb-src.list >/dev/null
      as_root touch "$src"
    fi
    apt_updated=
  fi
  apt_update_once
}

fetch_source() { # package dir-glob
  local pkg=$1 glob=$2
  mkdir -p "$KORVANE_CACHE/src"
  if ! ls -d "$KORVANE_CACHE/src/"$glob >/dev/null 2>&1; then
    ensure_deb_src
    say "fetching the Debian source of $pkg"
    (cd "$KORVANE_CACHE/src" && apt-get source -qq "$pkg" >/dev/null 2>&1)
  fi
  ls -d "$KORVANE_CACHE/src/"$glob | head -n 1
}

toolchain_file() { echo "$(cd "$(dirname "$0")/.." && pwd)/cmake/toolchain-$1.cmake"; }

build_log4cplus() {
  local t=$1 prefix="$KORVANE_CACHE/log4cplus-$LOG4CPLUS_VERSION-$t"
  [ -f "$prefix/.done" ] && return 0
  local src; src=$(fetch_source log4cplus "log4cplus-$LOG4CPLUS_VERSION")
  say "building log4cplus $LOG4CPLUS_VERSION for $t"
  local b="$KORVANE_CACHE/build/log4cplus-$t"
  rm -rf "$b" "$prefix"; mkdir -p "$b"
  cmake -S "$src" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$(toolchain_file "$t")" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DUNICODE=ON -DLOG4CPLUS_ENABLE_THREAD_POOL=OFF \
    -DLOG4CPLUS_BUILD_TESTING=OFF -DWITH_UNIT_TESTS=OFF -DLOG4CPLUS_BUILD_LOGGINGSERVER=OFF \
    -DCMAKE_CXX_FLAGS="-DLOG4CPLUS_ENABLE_GLOBAL_C_STRING_STREAM_INSERTER" >"$b.log" 2>&1
  cmake --build "$b" -j"$(nproc)" >>"$b.log" 2>&1
  cmake --install "$b" >>"$b.log" 2>&1
  touch "$prefix/.done"
}

build_cryptopp() {
  local t=$1 prefix="$KORVANE_CACHE/cryptopp-$CRYPTOPP_VERSION-$t"
  [ -f "$prefix/.done" ] && return 0
  local src; src=$(fetch_source libcrypto++ "libcrypto++-$CRYPTOPP_VERSION*")
  say "building Crypto++ $CRYPTOPP_VERSION for $t"
  local b="$KORVANE_CACHE/build/cryptopp-$t" triple="$t-w64-mingw32"
  rm -rf "$b" "$prefix"; mkdir -p "$(dirname "$b")"; cp -a "$src" "$b"
  (cd "$b" && make -j"$(nproc)" static CXX="$triple-g++-posix" AR="$triple-ar" RANLIB="$triple-ranlib" \
      CXXFLAGS="-DNDEBUG -O2" >"$b.log" 2>&1 &&
    make install-lib PREFIX="$prefix" >>"$b.log" 2>&1)
  touch "$prefix/.done"
}

# widl from Debian's Wine source, with the type-library fixes of tools/patches/widl-typelib-imports.patch
# (the packaged widl overwrites the LIBID's last byte when a dispinterface comes before the first dual
# interface). Only the compiler itself is built, with the host's gcc; keyed by the Wine package's version.
build_widl() {
  local version; version=$(dpkg-query -W -f='${Version}' wine)
  local prefix="$KORVANE_CACHE/widl-$version"
  [ -f "$prefix/.done" ] && return 0
  local src; src=$(fetch_source wine "wine-${version%%-*}")
  say "building widl from Wine $version"
  local b="$KORVANE_CACHE/build/widl" patch; patch="$(cd "$(dirname "$0")" && pwd)/patches/widl-typelib-imports.patch"
  rm -rf "$b" "$prefix"; mkdir -p "$b/tools/widl" "$prefix"
  cp "$src"/tools/widl/*.[chyl] "$src"/tools/tools.h "$b/tools/widl/"
  mv "$b/tools/widl/tools.h" "$b/tools/"
  # The preprocessor widl runs is shared with wrc.
  cp "$src"/tools/wrc/wpp.c "$src"/tools/wrc/wpp_private.h "$src"/tools/wrc/ppl.l "$src"/tools/wrc/ppy.y "$b/tools/widl/"
  (cd "$b" && patch -s -p1 <"$patch") >"$b.log" 2>&1
  (cd "$b/tools/widl" && : >config.h &&
    bison -d -o parser.tab.c parser.y && bison -d -o ppy.tab.c ppy.y &&
    flex -o parser.yy.c parser.l && flex -o ppl.yy.c ppl.l &&
    gcc -O2 -w -I. -I"$src/include" -DPACKAGE_VERSION="\"${version%%~*}\"" \
      -DINCLUDEDIR='"/usr/include/wine"' -DDLLDIR='"/usr/lib/x86_64-linux-gnu/wine"' \
      -DBIN_TO_INCLUDEDIR='"../include/wine"' -DBIN_TO_DLLDIR='"../lib/x86_64-linux-gnu/wine"' \
      -o "$prefix/widl" *.c) >>"$b.log" 2>&1
  touch "$prefix/.done"
}

# Our own Wine prefixes: one for tests, one for the demo. Wine's services are started once with harmless
# stdio, so that a later CTest run does not wait for ever on a pipe they inherited.
ensure_prefix() {
  local p="$KORVANE_CACHE/wine-$1"
  [ -f "$p/.done" ] && return 0
  say "creating the Wine prefix $p"
  rm -rf "$p"
  WINEPREFIX="$p" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" korvane_wine wineboot -i </dev/null >/dev/null 2>&1
  WINEPREFIX="$p" wineserver -w
  # wineboot says nothing when it fails: a prefix without its system folder is no prefix.
  [ -f "$p/system.reg" ] && [ -d "$p/drive_c/windows/system32" ] || { say "wineboot did not make $p"; return 1; }
  touch "$p/.done"
}

ensure_locale() {
  locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$' && return 0
  say "creating the zh_CN.UTF-8 locale"
  as_root localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}

# pure-ftpd conflicts with vsftpd as a package: unpack it into the cache instead of installing it.
ensure_pureftpd() {
  local d="$KORVANE_CACHE/pure-ftpd"
  [ -x "$d/usr/sbin/pure-ftpd" ] && return 0
  say "unpacking pure-ftpd"
  apt_update_once
  mkdir -p "$d.dl" && (cd "$d.dl" && apt-get download -qq pure-ftpd >/dev/null 2>&1)
  dpkg -x "$d.dl"/pure-ftpd_*.deb "$d"
  rm -rf "$d.dl"
}

# The cache belongs to the user who runs the tests: everything in it is written without root.
ensure_cache() {
  [ -d "$KORVANE_CACHE" ] && [ -w "$KORVANE_CACHE" ] && return 0
  say "creating $KORVANE_CACHE for $(id -un)"
  as_root mkdir -p "$KORVANE_CACHE"
  as_root chown "$(id -u):$(id -g)" "$KORVANE_CACHE"
}

main() {
  ensure_cache
  install_packages
  ensure_locale
  ensure_pureftpd
  # Sources first, one after the other: apt takes a lock, so parallel fetches would fail.
  if ! { [ -f "$KORVANE_CACHE/log4cplus-$LOG4CPLUS_VERSION-i686/.done" ] && [ -f "$KORVANE_CACHE/log4cplus-$LOG4CPLUS_VERSION-x86_64/.done" ]; }; then
    fetch_source log4cplus "log4cplus-$LOG4CPLUS_VERSION" >/dev/null
  fi
  if ! { [ -f "$KORVANE_CACHE/cryptopp-$CRYPTOPP_VERSION-i686/.done" ] && [ -f "$KORVANE_CACHE/cryptopp-$CRYPTOPP_VERSION-x86_64/.done" ]; }; then
    fetch_source libcrypto++ "libcrypto++-$CRYPTOPP_VERSION*" >/dev/null
  fi
  if [ ! -f "$KORVANE_CACHE/widl-$(dpkg-query -W -f='${Version}' wine)/.done" ]; then
    fetch_source wine "wine-$(dpkg-query -W -f='${Version}' wine | sed 's/-[^-]*$//')" >/dev/null
  fi
  local t
  for t in $TARGETS; do build_log4cplus "$t" & build_cryptopp "$t" & done
  build_widl &
  ensure_prefix test &
  ensure_prefix demo &
  # The registration tests register, unregister and re-register the DLLs: a prefix per target of their own.
  ensure_prefix test-reg-i686 &
  ensure_prefix test-reg-x86_64 &
  local failed=0 j
  for j in $(jobs -p); do wait "$j" || failed=1; done
  if [ "$failed" != 0 ]; then
    echo "[setup] a dependency build failed; see the logs under $KORVANE_CACHE/build" >&2
    exit 1
  fi
  korvane_runs_32bit || say "this machine's kernel runs no 32-bit programs: Korvane.dll is built but not run here"
  say "done (cache: $KORVANE_CACHE)"
}

main "$@"

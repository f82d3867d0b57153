#!/usr/bin/env bash
# Interpreters that pyenv does not give us, kept in one cache directory that
# later runs reuse:
#
#   cp313t/   a free-threaded CPython 3.13 (3.13t), built from the upstream
#             tarball that Debian ships for its python3.13 source package
#   sid/      a minimal Debian unstable root with python3.14, python3.15 (the
#             -dev and -venv packages) and g++; those builds need unstable's C
#             library, so they are used inside that root only
#   cp313-windows/include/
#             CPython 3.13's headers as a Windows build sees them (Include/
#             and PC/pyconfig.h.in as pyconfig.h, from the same tarball as
#             3.13t), for compiling the module for Windows with mingw-w64
#   arm64/    the files of Debian's arm64 packages python3, libpython3-dev and
#             libstdc++6 of this machine's own release (unpacked, not
#             installed), for running the module on Linux aarch64 under
#             qemu-user
#   musl/     CPython 3.13 built against musl (Debian's musl-gcc, C only)
#             from the same tarball as 3.13t, with zlib and libffi built for
#             musl from Debian's sources; no ssl, bz2, lzma, sqlite, readline
#   i386/     a minimal Debian root of this machine's own release for i386
#             (32-bit x86, which the kernel runs natively) with python3, its
#             headers, g++ and the test requirements as Debian packages
#
# and, on this machine itself, the compilers and emulator that the other
# platforms' checks use (target "tools"): clang with libc++, mingw-w64, the
# aarch64 cross compiler and qemu-user.
#
# Usage:
#   .ci/interpreters.sh provide [ft|sid|win|arm64|musl|i386|tools|all]
#                                              build or check what is missing (default: all)
#   .ci/interpreters.sh ft-python              print the 3.13t interpreter's path
#   .ci/interpreters.sh win-include            print the Windows header directory
#   .ci/interpreters.sh arm64-root             print the arm64 root's path
#   .ci/interpreters.sh musl-python            print the musl interpreter's path
#   .ci/interpreters.sh i386-run [-b HOST_DIR:ROOT_DIR]... [--] CMD [ARGS...]
#       as sid-run, inside the i386 root
#   .ci/interpreters.sh sid-run [-b HOST_DIR:ROOT_DIR]... [--] CMD [ARGS...]
#       run CMD as root inside the unstable root, in a private mount namespace
#       (/proc, /dev and each -b directory are mounted there and vanish with
#       the command), with a clean environment that trusts this machine's CA
#       bundle; /etc/resolv.conf and the bundle are copied in first
#
# Each step writes a stamp file last (cp313t.ready, cp313-windows.ready,
# arm64.ready, musl.ready, sid.base.ready, sid.ready, i386.base.ready,
# i386.ready); a step without its stamp is redone from scratch, a stamped one
# is only checked.  Safe to run from several processes at once: each step
# holds a lock on its own part of the cache.
#
# Environment:
#   TARNIK_INTERPRETERS    cache directory (default /opt/tarnik-interpreters)
#   TARNIK_DEBIAN_MIRROR   Debian archive to use (default: the first Debian
#                          archive named in this machine's apt sources)
#   TARNIK_DEBIAN_SOURCE_SUITES  suites to look for the python3.13 source in
#                          (default "sid forky trixie")
set -euo pipefail

cache="${TARNIK_INTERPRETERS:-/opt/tarnik-interpreters}"
ft_prefix="$cache/cp313t"
ft_python="$ft_prefix/bin/python3.13t"
win_include="$cache/cp313-windows/include"
sid_root="$cache/sid"
sid_packages="g++ python3.14-dev python3.14-venv python3.15-dev python3.15-venv"
tool_packages="clang libc++-dev libc++abi-dev g++-mingw-w64-x86-64 g++-aarch64-linux-gnu qemu-user-static"
arm64_root="$cache/arm64"
arm64_packages="python3 libpython3-dev libstdc++6"
musl_prefix="$cache/musl"
musl_python="$musl_prefix/bin/python3.13"
i386_root="$cache/i386"
# The test extra as Debian packages: most of it has no wheel for 32-bit x86.
i386_packages="g++ python3-dev python3-pytest python3-pytest-timeout python3-hypothesis python3-numpy
               python3-greenlet python3-gevent python3-eventlet"
source_suites="${TARNIK_DEBIAN_SOURCE_SUITES:-sid forky trixie}"
host_ca=/etc/ssl/certs/ca-certificates.crt
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

log() { printf '[interpreters %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "FAILED: $*"; exit 1; }

lock() {  # lock NAME: hold an exclusive lock until this process exits
  mkdir -p "$cache"
  local fd
  exec {fd}>"$cache/.lock-$1"
  flock "$fd"
}

debian_mirror() {
  if [[ -n "${TARNIK_DEBIAN_MIRROR:-}" ]]; then echo "$TARNIK_DEBIAN_MIRROR"; return; fi
  local url
  # deb822 files ("URIs: ...") and one-line files ("deb URL suite ..."); the
  # main archive is the URL that ends in /debian (not debian-security).
  url="$(cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list /etc/apt/sources.list 2>/dev/null \
         | sed -nE -e 's|^URIs:[[:space:]]+||p' -e 's|^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?||p' \
         | tr ' ' '\n' | grep -E '^https?://[^[:space:]]+/debian/?$' | head -n 1 || true)"
  [[ -n "$url" ]] || die "no Debian archive found in /etc/apt; set TARNIK_DEBIAN_MIRROR"
  echo "${url%/}"
}

host_apt_install() {  # install host packages that are missing; one apt user at a time
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  (( ${#missing[@]} )) || return 0
  log "apt-get install ${missing[*]}"
  (
    lock host-apt
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
  ) >&2
}

# ---- Debian's upstream source tarballs ------------------------------------------
fetch_orig() {  # fetch_orig PACKAGE [SUITE...]: print the path of PACKAGE's .orig tarball, downloaded once
  local package=$1
  shift
  local suites="${*:-$source_suites}"
  (
    # One download at a time; the tarballs stay in the cache for the other steps.
    lock sources
    local keep="$cache/sources" f
    for f in "$keep/${package}"_*.orig.tar.{xz,gz,bz2}; do
      [[ -f "$f" ]] && { echo "$f"; exit 0; }
    done
    local tmp mirror
    tmp="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-src.XXXXXX")"
    # shellcheck disable=SC2064
    trap "rm -rf '$tmp'" EXIT
    mirror="$(debian_mirror)"
    # A private apt configuration with the source indexes of these suites
    # only; the machine's own lists and caches stay untouched.  The archive
    # does not always hold every file that an index names (an .orig tarball
    # may be missing while the index is newer than the pool), so each version
    # that the indexes list is tried, newest first, until one .orig tarball
    # arrives.
    log "$package source: fetching from $mirror ($suites)"
    mkdir -p "$tmp/apt/lists/partial" "$tmp/apt/parts" "$tmp/apt/cache/archives/partial" "$tmp/src" "$keep"
    local suite
    for suite in $suites; do
      echo "deb-src [signed-by=$keyring] $mirror $suite main"
    done >"$tmp/apt/sources.list"
    local opts=(-o "Dir::Etc::sourcelist=$tmp/apt/sources.list" -o "Dir::Etc::sourceparts=$tmp/apt/parts"
                -o "Dir::State::lists=$tmp/apt/lists" -o "Dir::Cache=$tmp/apt/cache"
                -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    apt-get -q "${opts[@]}" update >&2
    local versions version orig=""
    versions="$(apt-cache "${opts[@]}" showsrc "$package" | sed -n 's/^Version: //p' | sort -r -V -u)"
    [[ -n "$versions" ]] || die "no $package source package in $suites"
    for version in $versions; do
      # The .orig tarball is all we need; the rest of the download may fail.
      (cd "$tmp/src" && apt-get -q "${opts[@]}" source --download-only "$package=$version" >&2) || true
      for f in "$tmp/src/${package}"_*.orig.tar.{xz,gz,bz2}; do
        [[ -f "$f" ]] && orig="$f"
      done
      [[ -n "$orig" ]] && break
      log "$package $version: no .orig tarball in the archive"
    done
    [[ -n "$orig" ]] || die "none of the $package sources ($versions) could be downloaded"
    mv "$orig" "$keep/"
    echo "$keep/$(basename "$orig")"
  )
}

# ---- CPython 3.13's headers for Windows -----------------------------------------
win_ok() {
  [[ -f "$win_include/Python.h" && -f "$win_include/pyconfig.h" && -d "$win_include/cpython" ]] &&
    grep -q '^#define PY_MINOR_VERSION[[:space:]]*13$' "$win_include/patchlevel.h"
}

keep_windows_headers() {  # keep_windows_headers TARBALL: the part of the source a Windows compile needs
  local tmp
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-cp313-win.XXXXXX")"
  tar -xf "$1" -C "$tmp" --strip-components=1 --wildcards '*/Include/*' '*/PC/pyconfig.h.in'
  rm -rf "$cache/cp313-windows"
  mkdir -p "$cache/cp313-windows"
  mv "$tmp/Include" "$win_include"
  # A Windows build writes PC/pyconfig.h from this file; the placeholder for
  # the free-threaded build stays commented out, so this is the GIL build.
  cp "$tmp/PC/pyconfig.h.in" "$win_include/pyconfig.h"
  rm -rf "$tmp"
  win_ok || die "win: $win_include does not hold CPython 3.13's headers"
  date -u +%FT%TZ >"$cache/cp313-windows.ready"
  log "win: headers in $win_include"
}

provide_win() {
  lock win
  if [[ -f "$cache/cp313-windows.ready" ]] && win_ok; then
    log "win: reusing $win_include"
    return
  fi
  rm -f "$cache/cp313-windows.ready"
  local orig
  orig="$(fetch_orig python3.13)"
  keep_windows_headers "$orig"
}

# ---- Debian's arm64 CPython, for qemu-user -------------------------------------
arm64_ok() {
  [[ -x "$arm64_root/usr/bin/python3" && -f "$arm64_root/usr/lib/aarch64-linux-gnu/libstdc++.so.6" ]] &&
    compgen -G "$arm64_root/usr/include/aarch64-linux-gnu/python3.*/pyconfig.h" >/dev/null
}

provide_arm64() {
  lock arm64
  if [[ -f "$cache/arm64.ready" && "$(cat "$cache/arm64.ready")" == "$arm64_packages" ]] && arm64_ok; then
    log "arm64: reusing $arm64_root"
    return
  fi
  rm -f "$cache/arm64.ready"
  rm -rf "$arm64_root"
  local tmp mirror release
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-arm64.XXXXXX")"
  # shellcheck disable=SC2064
  trap "rm -rf '$tmp'" EXIT
  mirror="$(debian_mirror)"
  release="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  [[ -n "$release" ]] || die "arm64: no VERSION_CODENAME in /etc/os-release"
  # A private apt configuration for arm64 with an empty package database, so
  # that every dependency is downloaded; the machine's own apt state stays
  # untouched and nothing is installed.
  log "arm64: fetching $arm64_packages ($release) from $mirror"
  mkdir -p "$tmp/lists/partial" "$tmp/parts" "$tmp/prefs" "$tmp/cache/archives/partial"
  : >"$tmp/status"
  echo "deb [arch=arm64 signed-by=$keyring] $mirror $release main" >"$tmp/sources.list"
  local opts=(-o "Dir::Etc::sourcelist=$tmp/sources.list" -o "Dir::Etc::sourceparts=$tmp/parts"
              -o "Dir::Etc::preferencesparts=$tmp/prefs" -o "Dir::State::lists=$tmp/lists"
              -o "Dir::Cache=$tmp/cache" -o "Dir::State::status=$tmp/status" -o Debug::NoLocking=1
              -o APT::Architecture=arm64 -o APT::Architectures::=arm64
              -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
  apt-get -q "${opts[@]}" update >&2
  # shellcheck disable=SC2086
  apt-get -q -y "${opts[@]}" install --download-only --no-install-recommends $arm64_packages >&2
  local deb
  mkdir -p "$arm64_root"
  for deb in "$tmp"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$arm64_root"; done
  arm64_ok || die "arm64: $arm64_root does not hold python3, its headers and libstdc++"
  echo "$arm64_packages" >"$cache/arm64.ready"
  log "arm64: ready ($(ls "$arm64_root"/usr/bin/python3.* | head -n 1))"
}

# ---- CPython 3.13 on musl -------------------------------------------------------
musl_ok() {
  [[ -x "$musl_python" ]] && "$musl_python" -c '
import sys, sysconfig, ctypes, zlib
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("MULTIARCH") == "x86_64-linux-musl", sysconfig.get_config_var("MULTIARCH")
assert not sysconfig.get_config_var("Py_GIL_DISABLED")
' 2>/dev/null && readelf -l "$musl_python" | grep -q 'interpreter: /lib/ld-musl-x86_64\.so\.1'
}

provide_musl() {
  lock musl
  if [[ -f "$cache/musl.ready" ]] && musl_ok; then
    log "musl: reusing $musl_python ($("$musl_python" -V))"
    return
  fi
  rm -f "$cache/musl.ready"
  rm -rf "$musl_prefix"
  # libffi's Debian source is its repository, without the configure script.
  host_apt_install musl-tools make xz-utils autoconf automake libtool
  local tmp cpython zlib ffi
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-musl.XXXXXX")"
  # shellcheck disable=SC2064
  trap "rm -rf '$tmp'" EXIT
  cpython="$(fetch_orig python3.13)"
  # This machine's release: the autotools here must be able to build them.
  local release
  release="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  zlib="$(fetch_orig zlib "$release")"
  ffi="$(fetch_orig libffi "$release")"
  mkdir -p "$tmp/bin" "$tmp/deps" "$tmp/zlib" "$tmp/ffi" "$tmp/cpython"
  # musl-gcc keeps the host's headers and libraries out; CPython's configure
  # also asks the compiler for its multiarch triplet, which musl-gcc (the
  # host's gcc with another specs file) would answer for glibc.
  cat >"$tmp/bin/musl-cc" <<'EOF'
#!/bin/sh
for a in "$@"; do
  [ "$a" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }
done
exec musl-gcc "$@"
EOF
  chmod +x "$tmp/bin/musl-cc"
  local cc="$tmp/bin/musl-cc" deps="$tmp/deps"
  # The kernel's headers are the same for every C library (libffi includes
  # some); the rest of /usr/include is glibc's and stays out.
  mkdir -p "$tmp/kernel"
  ln -s /usr/include/linux /usr/include/asm-generic "$tmp/kernel/"
  ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$tmp/kernel/asm"
  log "musl: building $(basename "$zlib") and $(basename "$ffi") (static, PIC)"
  (
    set -e
    tar -xf "$zlib" -C "$tmp/zlib" --strip-components=1
    cd "$tmp/zlib"
    CC="$cc" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$deps"
    make -j"$(nproc)" && make install
    tar -xf "$ffi" -C "$tmp/ffi" --strip-components=1
    cd "$tmp/ffi"
    [[ -x configure ]] || autoreconf -fi
    CC="$cc" CFLAGS="-O2 -fPIC" CPPFLAGS="-I$tmp/kernel" ./configure --prefix="$deps" --libdir="$deps/lib" \
      --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory
    make -j"$(nproc)" && make install
  ) >"$tmp/deps.log" 2>&1 || { tail -n 60 "$tmp/deps.log" >&2; die "musl: building zlib or libffi failed"; }
  log "musl: building $(basename "$cpython")"
  tar -xf "$cpython" -C "$tmp/cpython" --strip-components=1
  (
    cd "$tmp/cpython"
    # pkg-config would hand out the host's (glibc) flags; the headers of
    # the host's libraries that musl has no build of are marked absent.
    ./configure --prefix="$musl_prefix" --without-ensurepip CC="$cc" PKG_CONFIG=/bin/false \
      CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" \
      ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="-L$deps/lib -lz" \
      LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi" \
      ac_cv_header_bzlib_h=no ac_cv_header_lzma_h=no ac_cv_header_sqlite3_h=no \
      ac_cv_header_readline_readline_h=no ac_cv_header_uuid_uuid_h=no ac_cv_header_uuid_h=no \
      ac_cv_header_gdbm_h=no ac_cv_header_ndbm_h=no ac_cv_header_db_h=no \
      >"$tmp/configure.log" 2>&1 || { tail -n 40 "$tmp/configure.log"; exit 1; }
    make -j"$(nproc)" >"$tmp/make.log" 2>&1 || { tail -n 60 "$tmp/make.log"; exit 1; }
    make install >"$tmp/install.log" 2>&1 || { tail -n 60 "$tmp/install.log"; exit 1; }
  ) >&2 || die "musl: the CPython build failed"
  musl_ok || die "musl: $musl_python is not a working CPython 3.13 on musl with ctypes and zlib"
  date -u +%FT%TZ >"$cache/musl.ready"
  log "musl: ready: $("$musl_python" -VV | head -n 1)"
}

# ---- 3.13t --------------------------------------------------------------------
ft_ok() {
  [[ -x "$ft_python" ]] && "$ft_python" -c '
import sys, sysconfig, ensurepip, ssl, ctypes, _testcapi
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
' 2>/dev/null
}

provide_ft() {
  lock ft
  if [[ -f "$cache/cp313t.ready" ]] && ft_ok; then
    log "3.13t: reusing $ft_python ($("$ft_python" -VV | head -n 1))"
    return
  fi
  rm -f "$cache/cp313t.ready"
  rm -rf "$ft_prefix"
  host_apt_install build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev \
    libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev

  local tmp orig
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-cp313t.XXXXXX")"
  # shellcheck disable=SC2064
  trap "rm -rf '$tmp'" EXIT
  mkdir -p "$tmp/build"
  orig="$(fetch_orig python3.13)"
  # The same tarball holds what a Windows compile needs: keep it now rather
  # than fetching it again (but never replace headers that may be in use).
  (lock win; [[ -f "$cache/cp313-windows.ready" ]] && win_ok || keep_windows_headers "$orig")
  log "3.13t: building $(basename "$orig") with --disable-gil"
  tar -xf "$orig" -C "$tmp/build" --strip-components=1
  (
    cd "$tmp/build"
    ./configure --disable-gil --prefix="$ft_prefix" --with-ensurepip=install >"$tmp/configure.log" 2>&1 \
      || { tail -n 40 "$tmp/configure.log"; exit 1; }
    make -j"$(nproc)" >"$tmp/make.log" 2>&1 || { tail -n 60 "$tmp/make.log"; exit 1; }
    make install >"$tmp/install.log" 2>&1 || { tail -n 60 "$tmp/install.log"; exit 1; }
  ) >&2 || die "3.13t: build failed"
  ft_ok || die "3.13t: the installed interpreter is not a working free-threaded 3.13"
  date -u +%FT%TZ >"$cache/cp313t.ready"
  log "3.13t: ready: $("$ft_python" -VV | head -n 1)"
}

# ---- Debian roots: the unstable one and the i386 one -----------------------------
root_run() {  # root_run ROOT NAME [-b HOST_DIR:ROOT_DIR]... [--] CMD [ARGS...]
  local root=$1 name=$2 binds=() personality=()
  shift 2
  while [[ $# -gt 0 && "$1" == -b ]]; do binds+=("$2"); shift 2; done
  [[ "${1:-}" == -- ]] && shift
  [[ $# -gt 0 ]] || die "$name-run: no command"
  [[ -x "$root/usr/bin/apt-get" ]] || die "no $name root at $root (run: $0 provide $name)"
  # A 32-bit root sees a 32-bit machine (uname -m: i686), as on real hardware.
  [[ "$(cat "$root/.arch" 2>/dev/null)" == i386 ]] && personality=(setarch i686)
  cp -L --remove-destination /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/etc/ssl/certs"
  cp -L --remove-destination "$host_ca" "$root/etc/ssl/certs/ca-certificates.crt"
  local ca=/etc/ssl/certs/ca-certificates.crt
  unshare --mount --propagation private -- bash -euo pipefail -c '
root=$1; shift
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
while [[ "$1" != -- ]]; do
  mkdir -p "$root/${1#*:}"
  mount --bind "${1%%:*}" "$root/${1#*:}"
  shift
done
shift
exec "$@"
' "$name-run" "$root" "${binds[@]}" -- "${personality[@]}" chroot "$root" \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      TERM="${TERM:-dumb}" DEBIAN_FRONTEND=noninteractive \
      SSL_CERT_FILE="$ca" PIP_CERT="$ca" REQUESTS_CA_BUNDLE="$ca" \
      PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" PIP_DISABLE_PIP_VERSION_CHECK=1 \
      PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1 \
      "$@"
}

sid_run() { root_run "$sid_root" sid "$@"; }
i386_run() { root_run "$i386_root" i386 "$@"; }

debootstrap_root() {  # debootstrap_root NAME ROOT SUITE [ARCH]: a minimal root, stamped NAME.base.ready
  local name=$1 root=$2 suite=$3 arch=${4:-} mirror
  [[ -f "$cache/$name.base.ready" ]] && return
  grep -qF " $root/" /proc/mounts && die "$name: something is mounted below $root; unmount it first"
  rm -rf "$root"
  host_apt_install debootstrap
  mirror="$(debian_mirror)"
  log "$name: debootstrap --variant=minbase ${arch:+--arch=$arch }$suite from $mirror"
  debootstrap --variant=minbase ${arch:+--arch="$arch"} "$suite" "$root" "$mirror" \
    >"$cache/$name-debootstrap.log" 2>&1 \
    || { tail -n 40 "$cache/$name-debootstrap.log" >&2; die "$name: debootstrap failed"; }
  [[ -n "$arch" ]] && echo "$arch" >"$root/.arch"
  date -u +%FT%TZ >"$cache/$name.base.ready"
}

i386_ok() {
  i386_run sh -c 'test "$(uname -m)" = i686 && test "$(dpkg --print-architecture)" = i386 &&
                  python3 -c "import sys, pytest, hypothesis, numpy, greenlet, gevent, eventlet; assert sys.maxsize == 2**31 - 1" &&
                  g++ --version >/dev/null' >/dev/null 2>&1
}

provide_i386() {
  lock i386
  # shellcheck disable=SC2116,SC2086
  local packages
  packages="$(echo $i386_packages)"
  if [[ -f "$cache/i386.ready" && "$(cat "$cache/i386.ready")" == "$packages" ]] && i386_ok; then
    log "i386: reusing $i386_root ($(i386_run python3 -V))"
    return
  fi
  rm -f "$cache/i386.ready"
  local release
  release="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  [[ -n "$release" ]] || die "i386: no VERSION_CODENAME in /etc/os-release"
  debootstrap_root i386 "$i386_root" "$release" i386
  log "i386: apt-get install $packages"
  # shellcheck disable=SC2086
  i386_run sh -c "apt-get -q update && apt-get -q -y --no-install-recommends install $packages &&
                  apt-get clean" >"$cache/i386-apt.log" 2>&1 \
    || { tail -n 40 "$cache/i386-apt.log" >&2; die "i386: installing the packages failed"; }
  i386_ok || die "i386: python3, the test requirements or g++ do not work in $i386_root"
  echo "$packages" >"$cache/i386.ready"
  log "i386: ready ($(i386_run python3 -V))"
}

sid_ok() {
  sid_run sh -c 'python3.14 -c "import ensurepip, venv, ssl" && python3.15 -c "import ensurepip, venv, ssl" &&
                 test -f /usr/include/python3.14/Python.h && test -f /usr/include/python3.15/Python.h &&
                 g++ --version >/dev/null' >/dev/null 2>&1
}

provide_sid() {
  lock sid
  if [[ -f "$cache/sid.ready" && "$(cat "$cache/sid.ready")" == "$sid_packages" ]] && sid_ok; then
    log "sid: reusing $sid_root ($(sid_run sh -c 'python3.14 -V; python3.15 -V' | tr '\n' ' '))"
    return
  fi
  rm -f "$cache/sid.ready"
  debootstrap_root sid "$sid_root" sid
  log "sid: apt-get install $sid_packages"
  # shellcheck disable=SC2086
  sid_run sh -c "apt-get -q -o Acquire::Check-Valid-Until=false update &&
                 apt-get -q -y --no-install-recommends install $sid_packages &&
                 apt-get clean" >"$cache/sid-apt.log" 2>&1 \
    || { tail -n 40 "$cache/sid-apt.log" >&2; die "sid: installing the packages failed"; }
  sid_ok || die "sid: python3.14/python3.15/g++ do not work in $sid_root"
  echo "$sid_packages" >"$cache/sid.ready"
  log "sid: ready ($(sid_run sh -c 'python3.14 -V; python3.15 -V' | tr '\n' ' '))"
}

# ---- command line --------------------------------------------------------------
[[ $(id -u) == 0 ]] || die "must run as root (apt, debootstrap, chroot)"
cmd="${1:-provide}"
shift || true
case "$cmd" in
  provide)
    case "${1:-all}" in
      ft) provide_ft ;;
      sid) provide_sid ;;
      win) provide_win ;;
      arm64) provide_arm64 ;;
      musl) provide_musl ;;
      i386) provide_i386 ;;
      # shellcheck disable=SC2086
      tools) host_apt_install $tool_packages ;;
      # shellcheck disable=SC2086
      all) provide_ft; provide_sid; provide_win; provide_arm64; provide_musl; provide_i386
           host_apt_install $tool_packages ;;
      *) die "provide: unknown target ${1}" ;;
    esac ;;
  ft-python) ft_ok || die "3.13t is not provided (run: $0 provide ft)"; echo "$ft_python" ;;
  arm64-root) arm64_ok || die "the arm64 root is not provided (run: $0 provide arm64)"; echo "$arm64_root" ;;
  win-include) win_ok || die "the Windows headers are not provided (run: $0 provide win)"; echo "$win_include" ;;
  musl-python) musl_ok || die "the musl CPython is not provided (run: $0 provide musl)"; echo "$musl_python" ;;
  sid-run) sid_run "$@" ;;
  i386-run) i386_run "$@" ;;
  *) die "unknown command $cmd (provide, ft-python, arm64-root, musl-python, win-include, sid-run, i386-run)" ;;
esac

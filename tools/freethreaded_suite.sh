#!/usr/bin/env bash
# Builds a free-threaded CPython (PEP 703, `./configure --disable-gil`) from the
# sources of Debian's python3.X package, makes a venv of it with the
# free-threaded torch and torchvision wheels, builds the package into it and
# runs the test suite with the GIL off (PYTHON_GIL=0). Linux, as root.
#
#   tools/freethreaded_suite.sh [pytest arguments]       the suite, e.g. -m "not slow"
#   tools/freethreaded_suite.sh --tsan [pytest arguments]
#       the same interpreter built with ThreadSanitizer (GCC), the package
#       built with -fsanitize=thread, and the stress test run under it for
#       TARNEX_STRESS_SECONDS (default 60) per variant; reports are kept in
#       TSAN_REPORTS (default $TARNEX_FT_CACHE/tsan-reports)
#   tools/freethreaded_suite.sh --stress [pytest arguments]
#       the stress test alone on the plain free-threaded build, for
#       TARNEX_STRESS_SECONDS (default 60) per variant, TARNEX_STRESS_RUNS
#       times (default 1), each run in a process of its own: one line per
#       run says whether it passed, failed or crashed (and with which signal)
#   tools/freethreaded_suite.sh --interpreter-only [--tsan]
#       makes (or checks) the interpreter and its venv and stops
#
# TARNEX_FT_CACHE (default /var/cache/tarnex) holds everything, outside the
# clone: the Debian source package, the interpreters (py313t, py313t-tsan),
# their venvs. Each piece is made once and reused while the stamp beside it
# names the same inputs; delete a folder to make it again.
# PY_VERSION (default 3.13) picks the source package python3.X and the wheels;
# DEBIAN_SUITE (default trixie) the Debian release whose sources are used.
# For 3.14: PY_VERSION=3.14 DEBIAN_SUITE=sid, with TORCH_SPEC and
# TORCHVISION_SPEC naming releases that ship cp314t wheels.
#
# WHEELHOUSE=DIR: the package is not built from the sources but installed
# from the cp313t wheel in DIR (pip --no-index --only-binary :all:
# --find-links DIR) into a venv made afresh for it, which sees the cached
# venv's torch and tools through a .pth file; the tests run in that venv.
#
# Every step prints one line with its time. Exit status: 0 passed; 1 a step
# or a test failed (the step is named); 77 the source package cannot be had
# (not served by the archive), said in one line.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD

mode=suite
tsan=0
while [ $# -gt 0 ]; do
  case $1 in
    --tsan) tsan=1; [ "$mode" = suite ] && mode=stress; shift ;;
    --stress) mode=stress; shift ;;
    --interpreter-only) mode=interpreter; shift ;;
    *) break ;;
  esac
done

PY_VERSION=${PY_VERSION:-3.13}
DEBIAN_SUITE=${DEBIAN_SUITE:-trixie}
CACHE=${TARNEX_FT_CACHE:-/var/cache/tarnex}
case $PY_VERSION in
  3.13) TORCH_SPEC=${TORCH_SPEC:-torch==2.12.0} TORCHVISION_SPEC=${TORCHVISION_SPEC:-torchvision==0.27.0} ;;
  *) TORCH_SPEC=${TORCH_SPEC:-torch} TORCHVISION_SPEC=${TORCHVISION_SPEC:-torchvision} ;;
esac
# numpy and pillow below these pins ship cp313t wheels; above them pip would
# start compiling from source.
EXTRA_SPECS=${EXTRA_SPECS:-"numpy<2.5 pillow<13"}
TOOL_SPECS="pytest hypothesis scikit-build-core cmake ninja"
TSAN_REPORTS=${TSAN_REPORTS:-$CACHE/tsan-reports}
JOBS=${JOBS:-2}

tag=py${PY_VERSION/./}t
if [ "$tsan" = 1 ]; then
  flavour=$tag-tsan
  CONFIGURE_FLAGS="--disable-gil --with-thread-sanitizer"
else
  flavour=$tag
  CONFIGURE_FLAGS="--disable-gil"
fi
PREFIX=$CACHE/$flavour
VENV=$CACHE/venv-$flavour
SRCDIR=$CACHE/src
PY=$PREFIX/bin/python${PY_VERSION}t

say() { printf 'freethreaded_suite %s: %s\n' "$flavour" "$*"; }
# The log's end goes with the failure: CI keeps only what is printed.
fail() {
  say "FAILED: $*" >&2
  if [ -s "${LOG:-}" ]; then
    echo "--- the end of $LOG:" >&2
    tail -n 25 "$LOG" >&2
  fi
  exit 1
}
SKIP=77
step_start=$SECONDS
# One line per step: what was done and how long it took.
done_step() { say "$* ($((SECONDS - step_start)) s)"; step_start=$SECONDS; }
mkdir -p "$CACHE" "$SRCDIR"
LOG=$CACHE/$flavour.log
: >"$LOG"

# shellcheck source=tools/debian_mirror.sh
. "$REPO/tools/debian_mirror.sh"

# --- 1. the source: the upstream tarball of Debian's python3.X package -------
# Debian's patches are left out on purpose: they point ensurepip at Debian's
# own wheel folder and change sysconfig's install schemes for /usr, neither of
# which fits an interpreter under its own prefix.
src_stamp=$SRCDIR/python$PY_VERSION-$DEBIAN_SUITE.ready
if [ ! -f "$src_stamp" ]; then
  list=/etc/apt/sources.list.d/tarnex-$DEBIAN_SUITE-src.sources
  if [ ! -f "$list" ]; then
    mirror=${MIRROR:-$(find_mirror)}
    [ -n "$mirror" ] || fail "no Debian archive in the apt sources; set MIRROR"
    cat >"$list" <<EOF
# Source packages of Debian $DEBIAN_SUITE for tools/freethreaded_suite.sh (no binaries).
Types: deb-src
URIs: $mirror
Suites: $DEBIAN_SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  fi
  apt-get update -q >>"$LOG" 2>&1 || fail "apt-get update, see $LOG"
  command -v dpkg-source >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q dpkg-dev >>"$LOG" 2>&1 ||
    fail "installing dpkg-dev, see $LOG"
  rm -rf "$SRCDIR/dl-$PY_VERSION" && mkdir -p "$SRCDIR/dl-$PY_VERSION"
  if ! (cd "$SRCDIR/dl-$PY_VERSION" && apt-get source -q --download-only "python$PY_VERSION/$DEBIAN_SUITE") >>"$LOG" 2>&1; then
    say "the source package python$PY_VERSION of $DEBIAN_SUITE cannot be had (see $LOG); skipped"
    exit $SKIP
  fi
  orig=$(ls "$SRCDIR/dl-$PY_VERSION"/python"$PY_VERSION"_*.orig.tar.* | head -1)
  [ -f "$orig" ] || fail "no upstream tarball in the source package"
  printf '%s\n' "$(basename "$orig")" >"$src_stamp"
fi
orig=$SRCDIR/dl-$PY_VERSION/$(cat "$src_stamp")
done_step "source $(basename "$orig")"

# --- 2. the interpreter ------------------------------------------------------
# What the standard library's extension modules need to build (ssl, zlib,
# ctypes, bz2, lzma, sqlite3, readline, curses, dbm, uuid); zstd for 3.14.
BUILD_DEPS="build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
  libsqlite3-dev libreadline-dev libncurses-dev libgdbm-dev uuid-dev libzstd-dev xz-utils"
interp_id="$(basename "$orig") $CONFIGURE_FLAGS CC=${CC:-gcc}"
if [ ! -x "$PY" ] || [ "$(cat "$PREFIX/.tarnex-ready" 2>/dev/null)" != "$interp_id" ]; then
  missing=
  for p in $BUILD_DEPS; do dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"; done
  if [ -n "${missing// /}" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >>"$LOG" 2>&1 ||
      fail "installing the build dependencies, see $LOG"
  fi
  done_step "build dependencies present"
  build=$SRCDIR/build-$flavour
  rm -rf "$build" "$PREFIX" && mkdir -p "$build"
  tar -C "$build" --strip-components=1 -xf "$orig" || fail "unpacking $orig"
  (cd "$build" && CC=${CC:-gcc} CXX=${CXX:-g++} ./configure --prefix="$PREFIX" $CONFIGURE_FLAGS) >>"$LOG" 2>&1 ||
    fail "configure, see $LOG"
  done_step "configured: $CONFIGURE_FLAGS"
  (cd "$build" && make -j"$JOBS") >>"$LOG" 2>&1 || fail "make, see $LOG"
  done_step "built"
  (cd "$build" && make install) >>"$LOG" 2>&1 || fail "make install, see $LOG"
  # The modules the tests and pip rely on must have been built.
  "$PY" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3, _testcapi, sys; assert not sys._is_gil_enabled()' >>"$LOG" 2>&1 ||
    fail "the new interpreter lacks a standard module or has the GIL on, see $LOG"
  # CPython's own list of the races it knows in itself, for the TSan runs.
  mkdir -p "$PREFIX/share"
  cp "$build/Tools/tsan/suppressions_free_threading.txt" "$PREFIX/share/tsan-suppressions.txt" 2>/dev/null || true
  rm -rf "$build"
  echo "$interp_id" >"$PREFIX/.tarnex-ready"
  rm -rf "$VENV"
  done_step "installed in $PREFIX"
fi
done_step "interpreter $("$PY" -c 'import sys; print(sys.version.split()[0], "free-threaded" if not sys._is_gil_enabled() else "GIL")') at $PY"

# --- 3. the venv with torch and the test tools -------------------------------
venv_id="$interp_id | $TORCH_SPEC $TORCHVISION_SPEC $EXTRA_SPECS $TOOL_SPECS"
if [ ! -x "$VENV/bin/python" ] || [ "$(cat "$VENV/.tarnex-ready" 2>/dev/null)" != "$venv_id" ]; then
  rm -rf "$VENV"
  "$PY" -m venv "$VENV" >>"$LOG" 2>&1 || fail "making the venv, see $LOG"
  # Wheels only: a package without a free-threaded wheel fails here, in one
  # step, instead of being compiled (or, for the newest hypothesis, failing
  # for want of a Rust toolchain); pip picks the newest release with a wheel.
  # shellcheck disable=SC2086  # one requirement per word
  # Under ThreadSanitizer the interpreter runs several times slower: nothing
  # is compiled ahead, only what the tests import.
  if [ "$tsan" = 1 ]; then compile=--no-compile; else compile=; fi
  # shellcheck disable=SC2086  # one requirement per word
  PYTHON_GIL=0 "$VENV/bin/python" -m pip install -q $compile --only-binary=:all: "$TORCH_SPEC" "$TORCHVISION_SPEC" $EXTRA_SPECS $TOOL_SPECS >>"$LOG" 2>&1 ||
    fail "installing torch and the tools, see $LOG"
  echo "$venv_id" >"$VENV/.tarnex-ready"
fi
done_step "venv $VENV: $(PYTHON_GIL=0 "$VENV/bin/python" -c 'import torch, torchvision; print("torch", torch.__version__, "torchvision", torchvision.__version__)' 2>&1 | tail -1)"
[ "$mode" = interpreter ] && exit 0

# --- 4. the package ----------------------------------------------------------
if [ -n "${WHEELHOUSE:-}" ] && [ "$tsan" = 0 ]; then
  wheel_venv=$CACHE/venv-$flavour-wheel
  rm -rf "$wheel_venv"
  "$PY" -m venv "$wheel_venv" >>"$LOG" 2>&1 || fail "making the wheel's venv, see $LOG"
  PYTHON_GIL=0 "$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))' \
    >"$("$wheel_venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/_tarnex_tools.pth"
  PYTHON_GIL=0 "$wheel_venv/bin/python" -m pip install -q --no-index --only-binary :all: --find-links "$WHEELHOUSE" \
    tarnex >>"$LOG" 2>&1 || fail "installing the wheel from $WHEELHOUSE, see $LOG"
  VENV=$wheel_venv
  done_step "installed the wheel tagged $(sed -n 's/^Tag: //p' "$VENV"/lib/python*/site-packages/tarnex-*.dist-info/WHEEL)"
else
  if [ "$tsan" = 1 ]; then sanitize=-Ccmake.define.TARNEX_TSAN=ON; else sanitize=; fi
  PYTHON_GIL=0 CMAKE_BUILD_PARALLEL_LEVEL=$JOBS "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
    --force-reinstall $sanitize -Cbuild-dir="build/$flavour" . >>"$LOG" 2>&1 || fail "building the package, see $LOG"
  done_step "package built"
fi

# --- 5. the tests --------------------------------------------------------------
export PYTHON_GIL=0
status=0
case $mode in
  suite)
    "$VENV/bin/python" -P -m pytest "$@" || status=$?
    ;;
  stress)
    export TARNEX_STRESS_SECONDS=${TARNEX_STRESS_SECONDS:-60}
    if [ "$tsan" = 1 ]; then
      # CPython's own list of the races it knows in itself (copied from its
      # Tools/tsan when the interpreter was built); every other report goes
      # to a file per run and process under TSAN_REPORTS. TSan ends a
      # process that reported anything with exit status 66.
      supp=$PREFIX/share/tsan-suppressions.txt
      [ -f "$supp" ] || supp=
      mkdir -p "$TSAN_REPORTS"
      stamp=$(date +%Y%m%d-%H%M%S)
      tsan_options="halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${supp:+suppressions=$supp} ${TSAN_OPTIONS:-}"
    fi
    # Each run in a process of its own, so that a crash ends one run only.
    runs=${TARNEX_STRESS_RUNS:-1}
    crashed=0 failed=0
    for i in $(seq 1 "$runs"); do
      rc=0
      if [ "$tsan" = 1 ]; then export TSAN_OPTIONS="$tsan_options log_path=$TSAN_REPORTS/$stamp-run$i"; fi
      "$VENV/bin/python" -P -m pytest tests/test_free_threading.py -k stress -p no:cacheprovider -q "$@" \
        >"$CACHE/$flavour-stress-$i.log" 2>&1 || rc=$?
      if [ "$rc" -gt 128 ]; then
        crashed=$((crashed + 1)); what="crashed ($(kill -l $((rc - 128)) 2>/dev/null || echo "exit $rc"))"
      elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1)); what="failed (pytest exit status $rc)"
      else
        what=passed
      fi
      done_step "stress run $i of $runs, ${TARNEX_STRESS_SECONDS} s per variant: $what; log $CACHE/$flavour-stress-$i.log"
    done
    say "stress: $runs runs, $crashed crashed, $failed failed"
    [ $((crashed + failed)) -eq 0 ] || status=1
    ;;
esac
done_step "tests ran, pytest exit status $status"
exit $status

#!/usr/bin/env bash
# Builds the package and runs the test suite on the Python of a Debian suite,
# inside a root of that suite: trixie has Python 3.13, sid (unstable) 3.14,
# each with its own torch and torchvision. Everything inside the root comes
# from Debian's packages; pip there has no index. Linux, as root.
#
#   tools/debian_suite.sh SUITE [pytest arguments]   e.g. tools/debian_suite.sh trixie -m "not slow"
#   tools/debian_suite.sh SUITE-X.Y [pytest arguments]   another Python of the suite, e.g. sid-3.15
#   tools/debian_suite.sh --root-only SUITE          makes (or checks) the root and stops
#   tools/debian_suite.sh --exec SUITE[-X.Y] CMD ... runs CMD in the root, in a fresh copy of
#       the sources (ROOT/opt/tarnex-src), with PY naming the suite's interpreter; the folders
#       that EXEC_BIND names (separated by spaces) are there too, read-only, at their own paths
#       (tools/build_wheels.sh builds the wheels that need a newer Python or compiler this way)
#
# WHEELHOUSE=DIR: the package is not built from the sources but installed
# from the wheel in DIR that this interpreter takes (pip --no-index
# --only-binary :all: --find-links), into a venv made afresh for it.
#
# The root is build/debian-SUITE, made once with debootstrap and reused while
# it holds the packages listed below (delete the folder to start again).
# SUITE-X.Y uses the same root, adds pythonX.Y with its -dev and -venv
# packages to it, and builds and tests with that interpreter. Where the suite
# has no torch for it (Debian builds torch for its default Python only), the
# package is built and imported, tools/standin_smoke.py runs the functions
# against stand-in tensors, and the suite runs with the stand-in torch of
# tools/standin/ importable and every test that needs the real one left out:
# those marked needs_torch (-m "not needs_torch", ANDed with a caller's -m).
# MIRROR (default: the Debian archive this machine's apt sources name) is
# where debootstrap and apt get the packages. /proc is mounted in the root
# while the script runs and unmounted when it ends, however it ends.
#
# Exit status: 0 built and passed; 1 the root, the build or a test failed;
# 77 sid only: its root cannot be made today (unstable is sometimes between
# two versions of a package), one line says so. CI goes on after 77.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD

root_only=0 exec_mode=0
case ${1:-} in
  --root-only) root_only=1; shift ;;
  --exec) exec_mode=1; shift ;;
esac
SUITE=${1:?usage: tools/debian_suite.sh [--root-only] SUITE[-X.Y] [pytest arguments]}
shift
PYVER=
case $SUITE in
  *-[0-9].[0-9]*) PYVER=${SUITE##*-}; SUITE=${SUITE%-*} ;;
esac
case $SUITE in
  sid | unstable) unstable=1 ;;
  *) unstable=0 ;;
esac

# valgrind: the instruction budgets of the suite's Python are checked there too.
PACKAGES="python3 python3-dev python3-venv python3-pip python3-scikit-build-core
  python3-torch python3-torchvision python3-pytest python3-hypothesis
  cmake ninja-build g++ valgrind"
# trixie's root also holds the compiler of the Windows wheels
# (tools/build_wheels.sh): MinGW-w64 for the UCRT, the C runtime that
# CPython itself uses on Windows, which bookworm does not package.
[ "$SUITE" = trixie ] && PACKAGES="$PACKAGES g++-mingw-w64-ucrt64"
ROOT=$REPO/build/debian-$SUITE
READY=$ROOT/.tarnex-ready          # the package list of a finished root
PY=python3${PYVER:+.${PYVER#3.}}    # inside the root
VENV=/opt/tarnex-venv${PYVER:+-$PYVER}  # inside the root
SRC=/opt/tarnex-src                # inside the root
SKIP=77

say() { printf 'debian_suite %s: %s\n' "$SUITE${PYVER:+ (Python $PYVER)}" "$*"; }
now() { date +%s; }

# Every mount under the root, innermost first: /proc of this script, and what
# a debootstrap that failed half-way may have left mounted.
unmount_all() {
  [ -d "$ROOT" ] || return 0
  local m
  for m in $(awk -v r="$ROOT/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck source=tools/debian_mirror.sh
. "$REPO/tools/debian_mirror.sh"

cannot_make_root() {
  unmount_all
  # What went wrong is in the log, and CI keeps only what is printed: its end
  # and the free space go to stderr.
  if [ -n "${2:-}" ] && [ -s "$2" ]; then
    echo "--- the end of ${2#"$REPO"/}:" >&2
    tail -n 25 "$2" >&2
    echo "--- free space: $(df -h --output=avail "$REPO/build" 2>/dev/null | tail -n 1 | tr -d ' ')" >&2
  fi
  if [ "$unstable" = 1 ]; then
    say "cannot make the root today ($1); skipped"
    exit $SKIP
  fi
  say "cannot make the root ($1)" >&2
  exit 1
}

in_root() {
  chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INDEX=1 \
    CMAKE_BUILD_PARALLEL_LEVEL=2 "$@"
}

# apt-get update and install in the root, tried three times: a mirror that
# is syncing answers 404 or "Hash Sum mismatch" for a minute or two, and a
# fresh index after a pause is what clears both.
apt_in_root() {
  local try
  for try in 1 2 3; do
    if in_root apt-get -o Acquire::Retries=3 update -q &&
      in_root apt-get -o Acquire::Retries=3 install -y -q --no-install-recommends "$@" &&
      in_root apt-get clean; then
      return 0
    fi
    [ "$try" = 3 ] || { echo "apt-get failed (try $try of 3); again in 30 s"; sleep 30; }
  done
  return 1
}

mount_proc() {
  mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
}

make_root() {
  local mirror=${MIRROR:-$(find_mirror)}
  [ -n "$mirror" ] || cannot_make_root "no Debian archive in the apt sources; set MIRROR"
  if ! command -v debootstrap >/dev/null; then
    { apt-get update -qq && apt-get install -y -qq debootstrap; } >/dev/null ||
      cannot_make_root "debootstrap cannot be installed"
  fi
  local log=$REPO/build/debian-$SUITE.log try
  say "making the root from $mirror (log: ${log#"$REPO"/})"
  mkdir -p "$REPO/build"
  : >"$log"
  for try in 1 2; do
    unmount_all
    rm -rf --one-file-system "$ROOT"
    mkdir -p "$ROOT"
    debootstrap --variant=minbase "$SUITE" "$ROOT" "$mirror" >>"$log" 2>&1 && break
    [ "$try" = 2 ] && cannot_make_root "debootstrap failed, see ${log#"$REPO"/}" "$log"
    echo "debootstrap failed (try 1 of 2); again in 30 s" >>"$log"
    sleep 30
  done
  mount_proc
  # Unstable's Release file is valid for a week only; an archive mirror that
  # is a little behind would stop apt here. The signatures are still checked.
  echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/99tarnex-mirror"
  # shellcheck disable=SC2086  # the list is split on purpose
  apt_in_root $PACKAGES >>"$log" 2>&1 ||
    cannot_make_root "apt-get install failed, see ${log#"$REPO"/}" "$log"
  echo $PACKAGES >"$READY"
}

t0=$(now)
if [ ! -f "$READY" ] || [ "$(cat "$READY")" != "$(echo $PACKAGES)" ]; then
  make_root
fi
mount_proc
# Another Python of the suite goes into the same root beside the default one.
if [ -n "$PYVER" ] && ! in_root dpkg -s "$PY" "$PY-dev" "$PY-venv" >/dev/null 2>&1; then
  log=$REPO/build/debian-$SUITE-$PYVER.log
  apt_in_root "$PY" "$PY-dev" "$PY-venv" >"$log" 2>&1 ||
    cannot_make_root "apt-get install $PY failed, see ${log#"$REPO"/}" "$log"
fi
t1=$(now)
has_torch=1
in_root "$PY" -c 'import torch, torchvision' >/dev/null 2>&1 || has_torch=0
if [ "$has_torch" = 1 ]; then
  say "root ready ($((t1 - t0)) s): $(in_root "$PY" -c 'import sys, torch, torchvision; print("Python", sys.version.split()[0], "torch", torch.__version__, "torchvision", torchvision.__version__)')"
else
  [ -n "$PYVER" ] || { say "the suite's default Python has no torch" >&2; exit 1; }
  say "root ready ($((t1 - t0)) s): $(in_root "$PY" -c 'import sys; print("Python", sys.version.split()[0])'), no torch for it in the suite"
fi
[ "$root_only" = 1 ] && exit 0

# The sources as a checkout has them (tracked and new files, not what
# .gitignore names), copied afresh; the build and the venv live in the root.
rm -rf "${ROOT:?}$SRC"
mkdir -p "$ROOT$SRC"
if git -C "$REPO" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$REPO" ls-files -z --cached --others --exclude-standard |
    (cd "$REPO" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$REPO" --null -T - -cf - | tar -C "$ROOT$SRC" -xf -
else
  tar -C "$REPO" --exclude=./build --exclude=./.git -cf - . | tar -C "$ROOT$SRC" -xf -
fi
if [ "$exec_mode" = 1 ]; then
  for dir in ${EXEC_BIND:-}; do
    mkdir -p "$ROOT$dir"
    mount --bind -o ro "$dir" "$ROOT$dir"
  done
  status=0
  in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$SRC" env PY="$PY" "$@" || status=$?
  exit $status
fi
if [ -n "${WHEELHOUSE:-}" ]; then
  # A venv of its own each time, so that nothing of an earlier install
  # stands in for what the wheel lacks; torch is the suite's own (system
  # site-packages), the package the wheel alone.
  rm -rf "${ROOT:?}/opt/tarnex-wheelhouse" "${ROOT:?}$VENV"
  mkdir -p "$ROOT/opt/tarnex-wheelhouse"
  cp "$WHEELHOUSE"/*.whl "$ROOT/opt/tarnex-wheelhouse/"
  in_root "$PY" -m venv --system-site-packages "$VENV"
  # --no-deps: pip would check the requirements of Debian's torch as well,
  # and its metadata names releases other than Debian ships (torch 2.6 asks
  # for sympy==1.13.1 beside Debian's 1.13.3, and for setuptools, which its
  # package does not depend on). The package's own requirements are checked
  # against what is installed instead, where this Python has a torch.
  in_root "$VENV/bin/python" -m pip install -q --no-index --only-binary :all: --no-deps \
    --find-links /opt/tarnex-wheelhouse tarnex || { say "no wheel of $WHEELHOUSE installs" >&2; exit 1; }
  if [ "$has_torch" = 1 ]; then
    in_root "$VENV/bin/python" -c '
import importlib.metadata as m
from packaging.requirements import Requirement
for line in m.requires("tarnex"):
    r = Requirement(line)
    if r.marker is not None and not r.marker.evaluate({"extra": ""}):
        continue
    have = m.version(r.name)
    if not r.specifier.contains(have, prereleases=True):
        raise SystemExit(f"tarnex requires {r}, the root has {r.name} {have}")
    print(f"requirement {r}: {r.name} {have}")' || { say "the requirements of the wheel are not met" >&2; exit 1; }
  fi
  t2=$(now)
  say "installed the wheel tagged $(sed -n 's/^Tag: //p' "$ROOT$VENV"/lib/python*/site-packages/tarnex-*.dist-info/WHEEL) ($((t2 - t1)) s)"
else
  [ -x "$ROOT$VENV/bin/python" ] || in_root "$PY" -m venv --system-site-packages "$VENV"
  in_root sh -c "cd $SRC && $VENV/bin/python -m pip install -q --no-index --no-build-isolation \
    --no-deps --force-reinstall -Cbuild-dir=build/debian${PYVER:+-$PYVER} ." || { say "build failed" >&2; exit 1; }
  t2=$(now)
  say "built ($((t2 - t1)) s)"
fi

status=0
if [ "$has_torch" = 1 ]; then
  in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$SRC" "$VENV/bin/python" -P -m pytest "$@" || status=$?
  t3=$(now)
  say "tests ran ($((t3 - t2)) s), pytest exit status $status"
  exit $status
fi

# No torch for this Python. The modules import torch (and mnist torchvision)
# when they are loaded: without one, the import must fail with an ImportError
# (the torch of the default Python is in the shared dist-packages, and fails
# to load here), not crash; then everything runs against the stand-ins of
# tools/standin/.
in_root sh -c 'cd /tmp && exec "$1" -P -c "
try:
    import tarnex.core._batchkit
except ImportError as e:
    print(\"without torch:\", repr(e)[:200])
else:
    raise SystemExit(\"imported without torch\")"' sh "$VENV/bin/python" ||
  { say "the import without torch did not fail as it should" >&2; exit 1; }
in_root sh -c 'cd /tmp && PYTHONPATH="$1/tools/standin" exec "$2" -P "$1/tools/standin_smoke.py"' \
  sh "$SRC" "$VENV/bin/python" || { say "stand-in smoke checks failed" >&2; exit 1; }

# The tests that need the real torch carry the needs_torch mark; the files
# marked so are not even imported without it (tests/conftest.py), the rest
# is deselected here. A caller's own -m is kept and ANDed with that (pytest
# takes the last -m it is given, so the caller's is taken out of the
# arguments: -m EXPR and -mEXPR, the last one given, as pytest would).
args=() markexpr=
while [ $# -gt 0 ]; do
  case $1 in
    --) args+=("$@"); break ;;
    -m) [ $# -ge 2 ] || { say "-m needs an expression" >&2; exit 1; }
      markexpr=$2; shift 2 ;;
    -m*) markexpr=${1#-m}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done
select="not needs_torch"
[ -n "$markexpr" ] && select="($markexpr) and not needs_torch"
say "no torch: -m \"$select\""
in_root sh -c 'cd "$1" && shift && PYTHONPATH="$PWD/tools/standin" exec "$@"' sh "$SRC" \
  "$VENV/bin/python" -P -m pytest -m "$select" ${args[@]+"${args[@]}"} || status=$?
t3=$(now)
say "tests ran ($((t3 - t2)) s), pytest exit status $status"
exit $status

#!/usr/bin/env bash
# Builds the package and runs the test suite on the Python of a Debian suite,
# inside a root of that suite: trixie has Python 3.13, sid (unstable) 3.14,
# each with its own torch and torchvision. Everything inside the root comes
# from Debian's packages; pip there has no index. Linux, as root.
#
#   tools/debian_suite.sh SUITE [pytest arguments]   e.g. tools/debian_suite.sh trixie -m "not slow"
#   tools/debian_suite.sh --root-only SUITE          makes (or checks) the root and stops
#
# The root is build/debian-SUITE, made once with debootstrap and reused while
# it holds the packages listed below (delete the folder to start again).
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

root_only=0
if [ "${1:-}" = --root-only ]; then root_only=1; shift; fi
SUITE=${1:?usage: tools/debian_suite.sh [--root-only] SUITE [pytest arguments]}
shift
case $SUITE in
  sid | unstable) unstable=1 ;;
  *) unstable=0 ;;
esac

PACKAGES="python3 python3-dev python3-venv python3-pip python3-scikit-build-core
  python3-torch python3-torchvision python3-pytest python3-hypothesis
  cmake ninja-build g++"
ROOT=$REPO/build/debian-$SUITE
READY=$ROOT/.tarnex-ready          # the package list of a finished root
VENV=/opt/tarnex-venv              # inside the root
SRC=/opt/tarnex-src                # inside the root
SKIP=77

say() { printf 'debian_suite %s: %s\n' "$SUITE" "$*"; }
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

# The Debian archive that this machine's apt sources name: the first URI
# whose path is /debian (one-line and deb822 formats).
find_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    case $f in
      *.sources) awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' "$f" ;;
      *) sed -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" { print $2 }' ;;
    esac
  done | grep -E -m1 '^(https?|ftp)://[^ ]*/debian/?$' || true
}

cannot_make_root() {
  unmount_all
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
  unmount_all
  rm -rf --one-file-system "$ROOT"
  mkdir -p "$ROOT"
  local log=$REPO/build/debian-$SUITE.log
  say "making the root from $mirror (log: ${log#"$REPO"/})"
  debootstrap --variant=minbase "$SUITE" "$ROOT" "$mirror" >"$log" 2>&1 ||
    cannot_make_root "debootstrap failed, see ${log#"$REPO"/}"
  mount_proc
  # Unstable's Release file is valid for a week only; an archive mirror that
  # is a little behind would stop apt here. The signatures are still checked.
  echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/99tarnex-mirror"
  # shellcheck disable=SC2086  # the list is split on purpose
  { in_root apt-get update -q && in_root apt-get install -y -q --no-install-recommends $PACKAGES &&
    in_root apt-get clean; } >>"$log" 2>&1 ||
    cannot_make_root "apt-get install failed, see ${log#"$REPO"/}"
  echo $PACKAGES >"$READY"
}

t0=$(now)
if [ ! -f "$READY" ] || [ "$(cat "$READY")" != "$(echo $PACKAGES)" ]; then
  make_root
fi
mount_proc
t1=$(now)
say "root ready ($((t1 - t0)) s): $(in_root python3 -c 'import sys, torch, torchvision; print("Python", sys.version.split()[0], "torch", torch.__version__, "torchvision", torchvision.__version__)')"
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
[ -x "$ROOT$VENV/bin/python" ] || in_root python3 -m venv --system-site-packages "$VENV"
in_root sh -c "cd $SRC && $VENV/bin/python -m pip install -q --no-index --no-build-isolation \
  --no-deps --force-reinstall -Cbuild-dir=build/debian ." || { say "build failed" >&2; exit 1; }
t2=$(now)
say "built ($((t2 - t1)) s)"

status=0
in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$SRC" "$VENV/bin/python" -P -m pytest "$@" || status=$?
t3=$(now)
say "tests ran ($((t3 - t2)) s), pytest exit status $status"
exit $status

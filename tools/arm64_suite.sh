#!/usr/bin/env bash
# Installs the aarch64 wheel from dist/ (WHEELHOUSE overrides) into a venv
# made afresh in an arm64 Debian root and runs the tests on it
# there under qemu-user: Debian's own python3 and python3-torch of that
# release, each instruction of them and of the module emulated. Linux
# (x86_64), as root.
#
#   tools/arm64_suite.sh [pytest arguments]   the suite, e.g. -m "not slow"
#   tools/arm64_suite.sh --smoke              each function once on real tensors, the
#                                             loaders module, tools/standin_smoke.py
#   tools/arm64_suite.sh --root-only      makes (or checks) the root and stops
#
# The root is CACHE/debian-SUITE-arm64 (CACHE default /var/cache/tarnex,
# SUITE default trixie), made once with debootstrap and reused while the
# stamp in it names the packages below. Making it takes long under
# emulation, most of it spent byte-compiling torch's Python files, so that is
# switched off: py3compile is a no-op in the root, and the interpreter writes
# the .pyc files of what the tests import on first use, into the root, where
# they stay for the next run.
#
# Exit status: 0 passed; 1 the root, the install or a test failed.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD

mode=suite
case ${1:-} in
  --root-only) mode=root; shift ;;
  --smoke) mode=smoke; shift ;;
esac
SUITE=${SUITE:-trixie}
CACHE=${TARNEX_CACHE:-/var/cache/tarnex}
ROOT=$CACHE/debian-$SUITE-arm64
PACKAGES="python3 python3-venv python3-pip libpython3-dev python3-torch python3-torchvision
  python3-pytest python3-hypothesis"
READY=$ROOT/.tarnex-ready
LOG=$CACHE/debian-$SUITE-arm64.log
VENV=/opt/tarnex-venv
SRC=/opt/tarnex-src

say() { printf 'arm64_suite %s: %s\n' "$SUITE" "$*"; }
fail() {
  say "FAILED: $1" >&2
  if [ -s "${2:-}" ]; then echo "--- the end of $2:" >&2; tail -n 25 "$2" >&2; fi
  exit 1
}

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

# qemu-user with a binfmt_misc entry that opens the interpreter when it is
# registered (flag F), so that arm64 programs run inside the root without a
# copy of qemu in it.
binfmt() {
  if ! [ -x /usr/bin/qemu-aarch64-static ] || ! command -v update-binfmts >/dev/null || ! command -v debootstrap >/dev/null; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static binfmt-support debootstrap; } >/dev/null || fail "cannot install qemu-user-static"
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || fail "cannot mount binfmt_misc"
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64 ||
    fail "cannot register qemu-aarch64 with binfmt_misc"
}

in_root() {
  chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INDEX=1 "$@"
}

mount_proc() { mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"; }

make_root() {
  local mirror=${MIRROR:-$(find_mirror)} try
  [ -n "$mirror" ] || fail "no Debian archive in the apt sources; set MIRROR"
  say "making the root from $mirror (log: $LOG; about 15 minutes)"
  mkdir -p "$CACHE"
  : >"$LOG"
  for try in 1 2; do
    unmount_all
    rm -rf --one-file-system "$ROOT"
    mkdir -p "$ROOT"
    debootstrap --arch=arm64 --variant=minbase "$SUITE" "$ROOT" "$mirror" >>"$LOG" 2>&1 && break
    [ "$try" = 2 ] && fail "debootstrap failed" "$LOG"
    echo "debootstrap failed (try 1 of 2); again in 30 s" >>"$LOG"
    sleep 30
  done
  mount_proc
  # py3compile (and pypy3compile) do nothing: each package's postinst calls
  # them to byte-compile its files, which under emulation is most of the
  # root's making. The interpreter compiles what it imports when it needs it.
  local tool
  for tool in py3compile pypy3compile; do
    in_root dpkg-divert --local --rename --divert /usr/bin/$tool.real --add /usr/bin/$tool >>"$LOG" 2>&1
    printf '#!/bin/sh\nexit 0\n' >"$ROOT/usr/bin/$tool"
    chmod +x "$ROOT/usr/bin/$tool"
  done
  echo 'Acquire::Retries "3";' >"$ROOT/etc/apt/apt.conf.d/80tarnex-retries"
  for try in 1 2 3; do
    # shellcheck disable=SC2086  # the list is split on purpose
    if in_root apt-get update -q >>"$LOG" 2>&1 &&
      in_root apt-get install -y -q --no-install-recommends $PACKAGES >>"$LOG" 2>&1; then
      in_root apt-get clean
      echo $PACKAGES >"$READY"
      return 0
    fi
    [ "$try" = 3 ] || { echo "apt-get failed (try $try of 3); again in 30 s" >>"$LOG"; sleep 30; }
  done
  fail "apt-get install failed" "$LOG"
}

t0=$SECONDS
binfmt
# shellcheck disable=SC2046,SC2086
if [ ! -f "$READY" ] || [ "$(cat "$READY")" != "$(echo $PACKAGES)" ]; then
  make_root
fi
mount_proc
# Versions from dpkg: importing torch under emulation takes a minute.
say "root ready ($((SECONDS - t0)) s): $(in_root dpkg-query -W -f '${Package} ${Version}, ' python3 python3-torch python3-torchvision)$(in_root uname -m)"
[ "$mode" = root ] && exit 0

# The sources as a checkout has them, for the tests and the smoke scripts.
rm -rf "${ROOT:?}$SRC" "${ROOT:?}/opt/tarnex-wheelhouse" "${ROOT:?}$VENV"
mkdir -p "$ROOT$SRC" "$ROOT/opt/tarnex-wheelhouse"
git -C "$REPO" ls-files -z --cached --others --exclude-standard |
  (cd "$REPO" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
  tar -C "$REPO" --null -T - -cf - | tar -C "$ROOT$SRC" -xf -
WHEELHOUSE=${WHEELHOUSE:-$REPO/dist}
ls "$WHEELHOUSE"/tarnex-*-manylinux*_aarch64.whl >/dev/null 2>&1 || fail "no aarch64 wheel in $WHEELHOUSE"
cp "$WHEELHOUSE"/tarnex-*_aarch64.whl "$ROOT/opt/tarnex-wheelhouse/"

# A venv made afresh that sees Debian's torch; the package from the wheel alone.
t1=$SECONDS
# Without pip of its own (ensurepip compiles pip, minutes under emulation):
# the root's pip installs into it.
in_root python3 -m venv --without-pip --system-site-packages "$VENV"
# --no-deps, and the package's requirements checked against what is
# installed: pip would check the requirements of Debian's torch as well,
# whose metadata names releases other than Debian ships (as
# tools/debian_suite.sh says).
in_root python3 -m pip --python "$VENV/bin/python" install -q --no-index --only-binary :all: --no-deps \
  --find-links /opt/tarnex-wheelhouse tarnex || fail "the wheel does not install"
in_root "$VENV/bin/python" -c '
import importlib.metadata as m
from packaging.requirements import Requirement
for line in m.requires("tarnex"):
    r = Requirement(line)
    if r.marker is not None and not r.marker.evaluate({"extra": ""}):
        continue
    have = m.version(r.name)
    if not r.specifier.contains(have, prereleases=True):
        raise SystemExit(f"tarnex requires {r}, the root has {r.name} {have}")' || fail "the requirements of the wheel are not met"
say "installed the wheel tagged $(sed -n 's/^Tag: //p' "$ROOT$VENV"/lib/python*/site-packages/tarnex-*.dist-info/WHEEL | xargs) ($((SECONDS - t1)) s)"

status=0
t2=$SECONDS
case $mode in
  smoke)
    # Each function once on real tensors and a dict, and the module of the
    # loaders; then the stand-in checks of messages and traceback entries.
    in_root sh -c 'cd /tmp && exec "$1" -P -c "$2"' sh "$VENV/bin/python" '
import platform, torch
import tarnex.core._batchkit as bk
import tarnex.data.mnist as mn
t = torch.arange(20.0).reshape(10, 2)
x = {"input_ids": t, "attention_mask": torch.ones(10, 2), "n": 3}
assert platform.machine() == "aarch64", platform.machine()
assert bk.to_device(t, "cpu").equal(t) and bk.to_device(x, "meta")["input_ids"].device.type == "meta"
lin = torch.nn.Linear(2, 3)
assert bk.forward(lin, t).shape == (10, 3)
assert bk.example_tensor(x) is t
r = torch.zeros(10, 2, requires_grad=True)
assert bk.set_primary_input(x, r)["input_ids"] is r
assert bk.split_batch({"input_ids": t, "labels": t[:, 0]})[1].shape == (10,)
assert bk.example_probe(x)["input_ids"].shape == (8, 2)
assert callable(mn.mnist_loaders) and mn.DataLoader is torch.utils.data.DataLoader
print("real torch", torch.__version__, "on", platform.machine() + ": the six functions and the loaders module: passed")
' || status=1
    in_root sh -c 'cd /tmp && exec "$1" -P "$2/tools/standin_smoke.py"' sh "$VENV/bin/python" "$SRC" || status=1
    ;;
  suite)
    in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$SRC" "$VENV/bin/python" -P -m pytest "$@" || status=$?
    ;;
esac
say "$mode ran ($((SECONDS - t2)) s), exit status $status"
exit $status

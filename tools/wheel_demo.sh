#!/usr/bin/env bash
# A user's install, with no compiler to fall back on: a new venv of
# CPython 3.11 installs tarnex from the cp311 wheel in dist/ alone (pip
# --no-index --only-binary :all:), with CXX and CC unset and no C or C++
# compiler on PATH, and runs examples/mnist_demo.py to its accuracy (at least
# 97 %, as CI's demo step asks).
#
#   tools/wheel_demo.sh
#
# WHEELHOUSE (default dist) is where the wheel is. The demo's dependencies
# (torch, torchvision, tqdm, matplotlib) come from requirements.txt less the
# package, as wheels (--only-binary :all:) from the index -- or, with
# SITE_FROM=VENV, from that venv's site-packages through a .pth file (CI
# passes its own venv: torch is then not installed a second time). Exit
# status 1 if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
WHEELHOUSE=$(realpath "${WHEELHOUSE:-dist}")
VENV=$REPO/build/wheel-demo-venv
say() { printf 'wheel_demo: %s\n' "$*"; }
export PIP_DISABLE_PIP_VERSION_CHECK=1

t0=$SECONDS
rm -rf "$VENV"
python3.11 -m venv "$VENV"
site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
if [ -n "${SITE_FROM:-}" ]; then
  "$SITE_FROM/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))' >"$site/_demo_deps.pth"
else
  grep -v '^\s*\(#\|$\)' requirements.txt >"$VENV/deps.txt"
  "$VENV/bin/python" -m pip install -q --only-binary :all: -r "$VENV/deps.txt"
fi

# A PATH of this machine's programs less every C and C++ compiler: each
# folder's programs linked into one folder, the compilers left out.
nocc=$VENV/nocc-bin
mkdir -p "$nocc"
IFS=: read -r -a dirs <<<"/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
for d in "${dirs[@]}"; do
  for f in "$d"/*; do
    n=${f##*/}
    case $n in
      cc | c++ | c89* | c99* | cpp* | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | icc | icpx | tcc) continue ;;
    esac
    [ -e "$nocc/$n" ] || ln -s "$f" "$nocc/$n"
  done
done
run() { env -u CXX -u CC -u CPP PATH="$VENV/bin:$nocc" "$@"; }
if run sh -c 'command -v cc || command -v c++ || command -v gcc || command -v g++ || command -v clang++'; then
  say "a compiler is still on PATH" >&2
  exit 1
fi

if [ -n "${SITE_FROM:-}" ]; then
  # The other venv's folder can hold a tarnex of its own (CI's holds the
  # source build): the wheel goes into this venv regardless, where it comes
  # first on sys.path, and pip is not asked to judge the other venv's
  # packages (their own requirements meet this venv's older setuptools);
  # the package's requirements are checked against them instead.
  run "$VENV/bin/python" -m pip install -q --no-index --only-binary :all: --no-deps --ignore-installed \
    --find-links "$WHEELHOUSE" tarnex
  run "$VENV/bin/python" -c '
import importlib.metadata as m
from packaging.requirements import Requirement
for line in m.requires("tarnex"):
    r = Requirement(line)
    if r.marker is None or r.marker.evaluate({"extra": ""}):
        have = m.version(r.name)
        assert r.specifier.contains(have, prereleases=True), f"tarnex requires {r}, found {r.name} {have}"'
else
  run "$VENV/bin/python" -m pip install -q --no-index --only-binary :all: --find-links "$WHEELHOUSE" tarnex
fi
# The modules imported are the wheel's, in this venv.
run "$VENV/bin/python" -P -c 'import os, sys, tarnex.core._batchkit as m, tarnex.data.mnist as d
for f in (m.__file__, d.__file__):
    assert os.path.realpath(f).startswith(os.path.realpath(sys.prefix) + os.sep), f'
say "installed the wheel tagged $(sed -n 's/^Tag: //p' "$site"/tarnex-*.dist-info/WHEEL) without a compiler ($((SECONDS - t0)) s)"

log=$REPO/build/wheel-demo.log
t1=$SECONDS
# From a folder outside the sources, as a user's script would run: the demo
# is copied there with its shipped digits.
work=$VENV/work
rm -rf "$work" && mkdir -p "$work"
cp -r examples "$work/"
(cd "$work" && run "$VENV/bin/python" -P examples/mnist_demo.py) | tee "$log"
accuracy=$(sed -n 's/^Test accuracy: \([0-9.]*\) %.*/\1/p' "$log")
if ! awk -v a="${accuracy:-0}" 'BEGIN { exit !(a + 0 >= 97) }'; then
  say "test accuracy ${accuracy:-missing} %, want at least 97 %" >&2
  exit 1
fi
say "demo: test accuracy $accuracy % ($((SECONDS - t1)) s)"

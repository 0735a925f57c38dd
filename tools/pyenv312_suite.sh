#!/usr/bin/env bash
# Builds the package and runs the test suite on CPython 3.12, the version
# many users still have: pyenv's 3.12 interpreter (PYENV_VERSION, default
# 3.12.1), in a new virtual environment of it that does not see the
# machine's site-packages, with requirements-dev.txt installed from the
# package index (the cp312 torch and torchvision wheels among it).
#
#   tools/pyenv312_suite.sh [pytest arguments]   e.g. tools/pyenv312_suite.sh -m "not slow"
#
# VENV (default build/py312-venv) is made afresh on every run; pip's cache
# keeps the downloads. PYTHON overrides the interpreter (any 3.12 with venv
# and pip). WHEELHOUSE=DIR: the package is not built from the sources but
# installed from the cp312 wheel in DIR (pip --no-index --only-binary :all:
# --find-links DIR), the rest of requirements-dev.txt from the index as
# before. Exit status: pytest's.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1
VENV=${VENV:-build/py312-venv}
if [ -z "${PYTHON:-}" ]; then
  export PYENV_VERSION=${PYENV_VERSION:-3.12.1}
  PYTHON=$(command -v pyenv >/dev/null && pyenv which python3.12 2>/dev/null || command -v python3.12 || true)
fi
[ -n "$PYTHON" ] && [ -x "$PYTHON" ] || { echo "pyenv312_suite: no python3.12 (set PYTHON)" >&2; exit 1; }
say() { printf 'pyenv312_suite: %s\n' "$*"; }

t0=$SECONDS
rm -rf "$VENV"
"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt
if [ -n "${WHEELHOUSE:-}" ]; then
  "$VENV/bin/python" -m pip install -q --no-index --only-binary :all: --find-links "$WHEELHOUSE" tarnex
  how="installed the wheel tagged $(sed -n 's/^Tag: //p' "$VENV"/lib/python3.12/site-packages/tarnex-*.dist-info/WHEEL)"
else
  "$VENV/bin/python" -m pip install -q --no-deps --no-build-isolation -Cbuild-dir=build/py312 .
  how="built and installed"
fi
say "$("$VENV/bin/python" -c 'import sys, torch; print("Python", sys.version.split()[0], "torch", torch.__version__)'), $how ($((SECONDS - t0)) s)"
status=0
"$VENV/bin/python" -P -m pytest "$@" || status=$?
say "tests ran ($((SECONDS - t0)) s in all), pytest exit status $status"
exit $status

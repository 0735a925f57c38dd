#!/usr/bin/env bash
# Builds both modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option TARNEX_SANITIZE) into a venv of their own and runs the whole
# test suite against that build. GCC or Clang on Linux.
#
#   tools/sanitize.sh [pytest arguments]     e.g. tools/sanitize.sh -m "not slow"
#
# VENV (default build/sanitize-venv) is where the build goes. It sees the
# packages of the Python that makes it (PYTHON, default python3.11: inside an
# activated venv, that venv's), so an installed torch is used as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-build/sanitize-venv}
CXX=${CXX:-g++}
PY=${PYTHON:-python3.11}

if [ ! -x "$VENV/bin/python" ]; then
  # A .pth file puts PYTHON's path folders after the new venv's own:
  # --system-site-packages would reach past a venv to the base interpreter.
  "$PY" -m venv "$VENV"
  site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  "$PY" -c 'import os, sys; print("\n".join(p for p in sys.path[1:] if os.path.isdir(p)))' \
    > "$site/_parent_path.pth"
fi
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt
if "$VENV/bin/python" -c "import scikit_build_core" 2>/dev/null; then isolation=--no-build-isolation; else isolation=; fi
"$VENV/bin/python" -m pip install -q --no-deps --force-reinstall $isolation \
  -Ccmake.define.TARNEX_SANITIZE=ON -Cbuild-dir=build/sanitize .

# The sanitizer runtimes must be loaded before anything else: the interpreter
# itself is not built with them. Python objects go through malloc, so that
# AddressSanitizer sees every object's bounds (pymalloc's arenas hide them).
# detect_leaks=0: the interpreter and torch keep memory until exit on purpose.
# torch's own libraries are not instrumented; nothing else needed disabling.
export LD_PRELOAD="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libubsan.so)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export PYTHONMALLOC=malloc
exec "$VENV/bin/python" -P -m pytest "$@"

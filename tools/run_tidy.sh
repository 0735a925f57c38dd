#!/usr/bin/env bash
# Runs clang-tidy (configured by .clang-tidy) over the C++ sources the build
# compiles, or over the files given, and fails on any finding.
#
#   tools/run_tidy.sh                     # every source in the build
#   tools/run_tidy.sh frame/module.cpp    # just these
#
# The compilation database comes from a CMake configure (no compile) in
# $TIDY_BUILD_DIR (default build/tidy). clang-tidy and cmake are taken from the
# Python environment's scripts folder first (pip install -r
# requirements-dev.txt puts pinned ones there), then from PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
build=${TIDY_BUILD_DIR:-build/tidy}

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
mkdir -p "$build"
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log" >&2
  exit 1
}

if [ "$#" -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <("$PYTHON" -c '
import json, sys
print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1]))})))
' "$build/compile_commands.json")
fi
echo "clang-tidy $(clang-tidy --version | sed -n 's/.*version \([0-9.]*\).*/\1/p') on ${#files[@]} files"
clang-tidy -p "$build" --quiet "${files[@]}"

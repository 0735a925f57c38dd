#!/usr/bin/env bash
# Builds the native modules with clang++ and warnings as errors (-Wall
# -Wextra -Werror), next to the GCC build pip makes, so neither compiler's
# extensions creep in. Needs clang++ on PATH (Debian: apt-get install clang).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
build=${CLANG_BUILD_DIR:-build/clang}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
CXX=${CLANGXX:-clang++} cmake -S . -B "$build" "${generator[@]}" -DTARNEX_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$build" --clean-first

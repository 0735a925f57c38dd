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

pytestmark = pytest.mark.needs_torch

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
    assert "batch/s" not in out  # the progress bars go to stderr
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
    out = _run(tmp_path, "--epochs", "1", "--limit-batches", "1", "--out", str(png), "--device", "cpu")
    assert "sample" not in out and "on 64 test digits" in out and "; device cpu\n" in out
    assert images.stat().st_mtime_ns == stamp


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("mnist_demo", DEMO)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


REFUSED = [
    (["--epochs", "0"], "argument --epochs: must be at least 1, got 0"),
    (["--limit-batches", "x"], "argument --limit-batches: expected an integer, got 'x'"),
    (["--threads", "100000"], "argument --threads: must be between 1 and "),
    (["--timeout", "nan"], "argument --timeout: must be a positive, finite number, got nan"),
    (["--seed", "-1"], "argument --seed: must be between 0 and "),
    (["--out", "a-file/x.png"], "/a-file is a file, not a folder"),
    (["--out", "x.v1"], "argument --out: matplotlib cannot write '.v1' files"),
    # Known only once ./data is there (the sample: 2,000 test digits).
    (["--batch-size", "2001"], "argument --batch-size: must be at most 2,000"),
]
# Known only once torch is imported (before the data is loaded): the devices
# torch can use here.
REFUSED_BY_TORCH = [
    (["--device", "no-such-device"], "argument --device: torch cannot use 'no-such-device' here: "),
    (["--device", "meta"], "argument --device: meta tensors hold no values to train on"),
]


@pytest.mark.parametrize("args, message", REFUSED + REFUSED_BY_TORCH)
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


def _label_12(raw):
    with open(raw / "train-labels-idx1-ubyte", "r+b") as f:
        f.seek(8 + 4321)
        f.write(b"\x0c")


@pytest.mark.parametrize("seeded, damage, message", [
    (True, lambda raw: os.truncate(raw / "t10k-labels-idx1-ubyte", 1000),
     "./data/MNIST/raw/t10k-labels-idx1-ubyte is truncated or corrupt (1,000 bytes where its "
     "header announces 2,008); remove ./data/MNIST and run again."),
    (True, _label_12, "./data/MNIST/raw/train-labels-idx1-ubyte is truncated or corrupt (label 12 "
     "outside 0..9); remove ./data/MNIST and run again."),
    # Not seeded: the road to the download or the sample is blocked.
    (False, lambda raw: raw.mkdir(parents=True) or (raw / "t10k-images-idx3-ubyte").mkdir(),
     "./data/MNIST/raw/t10k-images-idx3-ubyte is not a file; remove ./data/MNIST and run again."),
    (False, lambda raw: raw.parent.parent.touch(),
     "./data is a file, not a folder (the demo keeps MNIST in ./data/MNIST/raw); move it away "
     "or run the demo from another folder."),
], ids=["truncated", "label-out-of-range", "file-is-a-folder", "data-is-a-file"])
def test_demo_names_a_damaged_data_file(demo, tmp_path, monkeypatch, capsys, seeded, damage,
                                        message):
    monkeypatch.chdir(tmp_path)
    raw = tmp_path / "data" / "MNIST" / "raw"
    if seeded:
        demo.seed_from_sample()
    damage(raw)
    with pytest.raises(SystemExit) as exc:
        demo.main(["--offline", "--out", str(tmp_path / "x.png")])
    assert exc.value.code == "error: " + message
    assert "epoch" not in capsys.readouterr().out


def test_demo_shows_why_the_download_failed(demo, tmp_path, monkeypatch, capsys):
    # torchvision's message: the file, then each mirror tried and its error.
    failure = RuntimeError("Error downloading train-images-idx3-ubyte.gz:\nTried https://m1/, "
                           "got:\n<urlopen error timed out>\n")
    calls = []

    def loaders(batch_size):
        calls.append(batch_size)
        if len(calls) == 1:
            raise failure
        return "loaders"

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(demo, "reachable", lambda address, timeout: True)
    monkeypatch.setattr(demo, "mnist_loaders", loaders)
    assert demo.load_mnist(64, False, 1.0) == "loaders"
    assert capsys.readouterr().out.startswith(
        "MNIST download unavailable (download failed: Error downloading "
        "train-images-idx3-ubyte.gz: Tried https://m1/, got: <urlopen error timed out>); "
        "using the 10,000-digit sample")


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


# Runs a demo as a script and says on its last line of stderr whether torch
# got imported; BLOCK names modules to make missing.
STARTUP = """import os, runpy, sys
for name in os.environ.get("BLOCK", "").split():
    sys.modules[name] = None
sys.argv = sys.argv[1:]
try:
    runpy.run_path(sys.argv[0], run_name="__main__")
finally:
    print("torch imported:", "torch" in sys.modules, file=sys.stderr)
"""


@pytest.mark.parametrize("script, args, status, message", [
    # Every option refusal of the MNIST demo but the one that needs ./data.
    *[("mnist_demo.py", ["--offline", *a], 2, m) for a, m in REFUSED[:-1]],
    ("mnist_demo.py", ["--help"], 0, None),
    ("hf_text_demo.py", ["--threads", "100000"], 2, "argument --threads: must be between 1 and "),
    ("hf_text_demo.py", ["--quick", "--batch-size", "300"], 2,
     "argument --batch-size: must be at most --test-size (200)"),
    ("hf_text_demo.py", ["--help"], 0, None),
])
def test_demos_refuse_options_before_importing_torch(tmp_path, script, args, status, message):
    (tmp_path / "a-file").touch()
    script = os.path.join(os.path.dirname(DEMO), script)
    proc = subprocess.run([sys.executable, "-P", "-c", STARTUP, script, *args], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)
    *err, last = proc.stderr.strip().splitlines()
    assert (proc.returncode, last) == (status, "torch imported: False"), proc.stderr
    if message is None:
        assert proc.stdout.startswith("usage: ") and "--threads" in proc.stdout
    else:
        assert ": error: " in err[-1] and message in err[-1], proc.stderr


@pytest.mark.parametrize("script, block, hint", [
    ("mnist_demo.py", "matplotlib", 'mnist_demo.py needs matplotlib: pip install "tarnex[demo]"'),
    ("mnist_demo.py", "tqdm", 'mnist_demo.py needs tqdm: pip install "tarnex[demo]"'),
    ("hf_text_demo.py", "transformers", 'hf_text_demo.py needs transformers: pip install "tarnex[examples]"'),
])
def test_demos_name_a_missing_extra_in_one_line(tmp_path, script, block, hint):
    script = os.path.join(os.path.dirname(DEMO), script)
    proc = subprocess.run([sys.executable, "-P", "-c", STARTUP, script], cwd=tmp_path, capture_output=True, text=True, timeout=600,
                          env={**os.environ, "BLOCK": block})
    assert proc.returncode == 1, proc.stderr
    # The probe's line (its finally runs first), then the hint alone.
    lines = proc.stderr.splitlines()
    assert len(lines) == 2 and lines[1].startswith(hint), proc.stderr


@pytest.mark.parametrize("script, step", [("mnist_demo.py", "check_data"), ("hf_text_demo.py", "import_libraries")])
def test_demos_end_on_ctrl_c_in_one_line_with_status_130(tmp_path, monkeypatch, capsys, script,
                                                         step):
    script = os.path.join(os.path.dirname(DEMO), script)
    spec = importlib.util.spec_from_file_location("demo_under_test", script)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)

    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(mod, step, interrupted)
    with pytest.raises(SystemExit) as exc:
        mod.cli(["--quick"] if script == HF_DEMO else ["--offline", "--out", str(tmp_path)])
    assert exc.value.code == 130
    assert capsys.readouterr().err == f"{os.path.basename(script)}: interrupted\n"

"""The type stubs shipped with the package: they agree with the compiled
modules (stubtest), they give typed code the types it should see (mypy
--strict on the example and on reveal_type probes), and they say what the
runtime docstrings say."""
import ast
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import tarnex
import tarnex.core._batchkit as bk

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALLOWLIST = os.path.join(REPO, "tests", "stubtest_allowlist.txt")
EXAMPLE = os.path.join(REPO, "examples", "typed_usage.py")
PACKAGE = os.path.dirname(tarnex.__file__)  # the installed package

pytestmark = [
    pytest.mark.needs_torch,
    pytest.mark.skipif(
        importlib.util.find_spec("mypy") is None,
        reason="mypy is not installed (pip install -r requirements-dev.txt)",
    ),
]

# tarnex.data.mnist is built by a separate module source; until this checkout
# builds it, its stub is checked by mypy only and stubtest is told to expect
# the import failure.
MNIST_BUILT = importlib.util.find_spec("tarnex.data.mnist") is not None


def _run(args, cwd):
    # Run from a folder without the source tree, so both mypy's stub search
    # and the runtime import find the installed package.
    return subprocess.run(
        [sys.executable, "-P", *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )


def test_stubs_and_marker_are_installed():
    for rel in ("py.typed", "core/_batchkit.pyi", "data/mnist.pyi"):
        assert os.path.isfile(os.path.join(PACKAGE, rel)), rel


@pytest.mark.slow  # 1 to 2 minutes: stubtest imports torch and walks its stubs
def test_stubtest_agrees_with_compiled_modules(tmp_path):
    allowlist = ALLOWLIST
    if not MNIST_BUILT:
        with open(ALLOWLIST, encoding="utf-8") as f:
            kept = [line for line in f if "tarnex.data.mnist" not in line]
        allowlist = tmp_path / "allowlist.txt"
        allowlist.write_text("".join(kept) + "tarnex.data.mnist\n", encoding="utf-8")
    r = _run(["-m", "mypy.stubtest", "tarnex", "--allowlist", str(allowlist)], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


# Each probe line ends in what mypy must say about it: the revealed type, or
# the error code of a call the stubs must refuse.
PROBES = '''\
import torch
from tarnex.core import _batchkit as bk
from tarnex.data.mnist import mnist_loaders

t = torch.zeros(3)
d: dict[str, torch.Tensor] = {"input_ids": t}
reveal_type(bk.to_device(t, "cpu"))  # torch._tensor.Tensor
reveal_type(bk.to_device(d, "cpu"))  # dict[Any, Any]
reveal_type(bk.to_device([t], "cpu"))  # Any
reveal_type(bk.forward(torch.nn.Linear(3, 1), t))  # Any
reveal_type(bk.example_tensor(t))  # torch._tensor.Tensor
reveal_type(bk.example_tensor(d))  # torch._tensor.Tensor
reveal_type(bk.example_tensor([t]))  # Any
reveal_type(bk.set_primary_input(t, 1))  # int
reveal_type(bk.set_primary_input(d, t))  # dict[Any, Any]
reveal_type(bk.split_batch((t, t)))  # tuple[torch._tensor.Tensor, torch._tensor.Tensor]
reveal_type(bk.split_batch([t]))  # list[torch._tensor.Tensor]
reveal_type(bk.split_batch(d))  # tuple[dict[Any, Any], Any]
reveal_type(bk.example_probe(t))  # torch._tensor.Tensor
reveal_type(bk.example_probe(d))  # dict[Any, Any]
reveal_type(mnist_loaders()[0])  # torch.utils.data.dataloader.DataLoader[tuple[torch._tensor.Tensor, int]]
bk.to_device(t, 0)  # error: call-overload
bk.forward(1, t)  # error: arg-type
bk.split_batch()  # error: call-overload
mnist_loaders("32")  # error: arg-type
mnist_loaders(batch_size=8, shuffle=True)  # error: call-arg
'''


@pytest.mark.slow  # half a minute to a minute: mypy reads torch's annotations too
def test_mypy_strict_on_example_and_probes(tmp_path):
    probes = tmp_path / "probes.py"
    probes.write_text(PROBES, encoding="utf-8")
    r = _run(
        ["-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--show-error-codes", EXAMPLE, str(probes)],
        tmp_path,
    )
    expected = {}
    for n, line in enumerate(PROBES.splitlines(), 1):
        if "reveal_type" in line:
            expected[n] = f'note: Revealed type is "{line.rsplit("# ", 1)[1]}"'
        elif "# error: " in line:
            expected[n] = f"[{line.rsplit('# error: ', 1)[1]}]"
    found = {}
    for line in r.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): (error|note): (.*)", line)
        assert m, line
        path, n, kind, text = m.group(1), int(m.group(2)), m.group(3), m.group(4)
        assert os.path.basename(path) == "probes.py", f"typed example fails mypy --strict: {line}"
        if n in found and kind == "note" and not text.startswith("Revealed"):
            continue  # the overload variants listed under an error
        found.setdefault(n, f"{kind}: {text}")
    assert set(found) == set(expected), r.stdout + r.stderr
    for n, want in expected.items():
        assert want in found[n] if want.startswith("[") else found[n] == want, (n, found[n])


def test_example_runs():
    r = subprocess.run([sys.executable, "-P", EXAMPLE], capture_output=True, text=True, timeout=300)
    if r.returncode != 0 and "NotImplementedError" in r.stderr:
        pytest.skip("a _batchkit function this example calls is not built in this checkout yet")
    assert r.returncode == 0, r.stderr
    assert "HF-dict batch" in r.stdout


def _stub_docs(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    docs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and node.name not in docs:
            doc = ast.get_docstring(node, clean=False)
            if doc is not None:
                docs[node.name] = doc
    return ast.get_docstring(tree, clean=False), docs


def test_stub_docstrings_follow_the_runtime():
    module_doc, docs = _stub_docs(os.path.join(PACKAGE, "core", "_batchkit.pyi"))
    assert module_doc == bk.__doc__
    names = ["to_device", "forward", "example_tensor", "set_primary_input", "split_batch",
             "example_probe"]
    assert sorted(docs) == sorted(names)
    for name in names:
        runtime = getattr(bk, name).__doc__
        # The stub may add detail after the runtime's text, never change it.
        assert docs[name].startswith(runtime.rstrip()), name

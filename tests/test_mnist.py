"""tarnex.data.mnist: mnist_loaders over real torchvision datasets (built from
small IDX files written here, never downloaded), its calls, argument
conversion, failures and module import."""
import builtins
import json
import math
import subprocess
import sys
import types
import warnings

import pytest

torch = pytest.importorskip("torch")
torchvision = pytest.importorskip("torchvision")

from torch.utils.data import DataLoader, RandomSampler  # noqa: E402

from doubles import Boom, MnistFakes, write_idx  # noqa: E402
from functions import FUNCTIONS  # noqa: E402

pytestmark = pytest.mark.needs_torch

FILE = FUNCTIONS["mnist_loaders"].file
FN = FUNCTIONS["mnist_loaders"].entry
N_TRAIN, N_TEST = 40, 24
TEST_ID0 = 100  # test images are numbered from here, train images from 0


@pytest.fixture
def mnist():
    import tarnex.data.mnist as mod

    return mod


@pytest.fixture
def mnist_dir(tmp_path, monkeypatch):
    """A working directory whose ./data holds a tiny MNIST in torchvision's
    raw layout, so the datasets load without a download."""
    raw = tmp_path / "data" / "MNIST" / "raw"
    raw.mkdir(parents=True)
    write_idx(raw, "train", N_TRAIN, 0)
    write_idx(raw, "t10k", N_TEST, TEST_ID0)
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def fakes(mnist, monkeypatch):
    fk = MnistFakes()
    monkeypatch.setattr(mnist, "transforms", fk.transforms)
    monkeypatch.setattr(mnist, "torchvision", fk.torchvision)
    monkeypatch.setattr(mnist, "DataLoader", fk.DataLoader)
    return fk


def _fresh_int():
    # Made at run time, so no code object or earlier test holds a reference.
    return int("1" + "0" * 30)


def _loader_kw(fk, index):
    return dict(fk.log[index][2])["batch_size"]


# ------------------------------------------------------------ real datasets


def test_loaders_over_real_mnist_datasets(mnist, mnist_dir):
    out = mnist.mnist_loaders(16)
    assert type(out) is tuple and len(out) == 2
    train, test = out
    for loader, is_train, n in ((train, True, N_TRAIN), (test, False, N_TEST)):
        assert type(loader) is DataLoader
        ds = loader.dataset
        assert type(ds) is torchvision.datasets.MNIST
        assert ds.train is is_train and ds.root == "./data" and len(ds) == n
        assert type(ds.transform) is torchvision.transforms.ToTensor
        assert loader.batch_size == 16 and loader.drop_last is True
        assert isinstance(loader.sampler, RandomSampler)
    # One transform object for both datasets.
    assert train.dataset.transform is test.dataset.transform
    # drop_last: 40 -> 2 batches of 16, 24 -> 1 batch.
    assert (len(train), len(test)) == (2, 1)

    seen = []
    for x, y in train:
        assert x.shape == (16, 1, 28, 28) and x.dtype == torch.float32
        assert y.shape == (16,) and y.dtype == torch.int64
        assert 0.0 <= float(x.min()) and float(x.max()) <= 1.0
        ids = (x[:, 0, 0, 0] * 255).round().long()
        assert torch.equal(ids % 10, y)
        seen += ids.tolist()
    assert len(set(seen)) == 32 and all(0 <= i < N_TRAIN for i in seen)
    (x, y), = list(test)
    assert all(TEST_ID0 <= i < TEST_ID0 + N_TEST for i in (x[:, 0, 0, 0] * 255).round().long().tolist())

    # Every call builds new loaders, datasets and transform.
    again = mnist.mnist_loaders(16)
    assert again[0] is not train and again[0].dataset is not train.dataset
    assert again[0].dataset.transform is not train.dataset.transform


def test_default_and_keyword_batch_size(mnist, mnist_dir):
    train, test = mnist.mnist_loaders()
    assert train.batch_size == 64 and test.batch_size == 64
    assert len(train) == 0  # 40 images, the only batch is incomplete and dropped
    assert mnist.mnist_loaders(batch_size=8)[0].batch_size == 8
    # A keyword name built at run time (not the interned one) binds too.
    assert mnist.mnist_loaders(**{"".join(["batch_", "size"]): 8})[1].batch_size == 8


def test_stand_in_data_loader_with_real_datasets(mnist, mnist_dir, monkeypatch):
    calls = []

    def loader(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return len(calls)

    monkeypatch.setattr(mnist, "DataLoader", loader)
    assert mnist.mnist_loaders(8) == (1, 2)
    (train_args, train_kw), (test_args, test_kw) = calls
    assert [ds.train for (ds,) in (train_args, test_args)] == [True, False]
    for kw in (train_kw, test_kw):
        assert [k for k, _ in kw] == ["batch_size", "shuffle", "drop_last"]
        assert kw[0][1] == 8 and kw[1][1] is True and kw[2][1] is True
    assert train_kw[0][1] is test_kw[0][1]


@pytest.mark.parametrize("size", [0, -2])
def test_sizes_data_loader_refuses_fail_at_line_9(mnist, mnist_dir, entries, monkeypatch, size):
    built = []
    real_mnist = torchvision.datasets.MNIST

    def counting_mnist(**kwargs):
        built.append(kwargs["train"])
        return real_mnist(**kwargs)

    monkeypatch.setattr(mnist, "torchvision", types.SimpleNamespace(
        datasets=types.SimpleNamespace(MNIST=counting_mnist)))
    with pytest.raises(ValueError, match="batch_size") as exc:
        mnist.mnist_loaders(size)
    assert built == [True, False]
    assert entries(exc.value) == [(FN, FILE, 9)]


# -------------------------------------------------------- calls, in order


def test_calls_in_order_with_keywords_in_order(mnist, fakes):
    size = _fresh_int()  # an exact int is passed on as the very object
    assert mnist.mnist_loaders(size) == (fakes.train_loader, fakes.test_loader)
    names = [name for name, _, _ in fakes.log]
    assert names == ["ToTensor", "MNIST", "MNIST", "DataLoader", "DataLoader"]
    assert fakes.log[0][1:] == ((), [])
    for (_, args, kw), train in zip(fakes.log[1:3], (True, False)):
        assert args == ()
        assert [k for k, _ in kw] == ["root", "train", "download", "transform"]
        root, tr, dl, tfm = (v for _, v in kw)
        assert root == "./data" and type(root) is str
        assert tr is train and dl is True and tfm is fakes.tfm
    for (_, args, kw), ds in zip(fakes.log[3:], (fakes.train_ds, fakes.test_ds)):
        assert len(args) == 1 and args[0] is ds
        assert [k for k, _ in kw] == ["batch_size", "shuffle", "drop_last"]
        assert kw[0][1] is size and kw[1][1] is True and kw[2][1] is True


@pytest.mark.parametrize("fail_on, line", [(1, 6), (2, 7), (3, 8), (4, 9), (5, 10)])
def test_callee_failure_passes_on_with_its_line(mnist, fakes, entries, fail_on, line):
    fakes.fail_on = fail_on
    with pytest.raises(Boom) as exc:
        mnist.mnist_loaders(4)
    assert exc.value is fakes.raised
    assert entries(exc.value) == [(FN, FILE, line)]
    assert len(fakes.log) == fail_on  # nothing after the failing call


@pytest.mark.parametrize("name, line", [("transforms", 6), ("torchvision", 7), ("DataLoader", 9)])
def test_globals_looked_up_at_each_use(mnist, fakes, entries, monkeypatch, name, line):
    mnist.mnist_loaders(4)  # warm every look-up site
    monkeypatch.delattr(mnist, name)
    fakes.log.clear()
    with pytest.raises(NameError) as exc:
        mnist.mnist_loaders(4)
    assert str(exc.value) == f"name '{name}' is not defined"
    assert entries(exc.value) == [(FN, FILE, line)]
    assert len(fakes.log) == {6: 0, 7: 1, 9: 3}[line]

    # builtins is the fall-back; and a binding in the module wins over it again.
    monkeypatch.setattr(builtins, name, getattr(fakes, name), raising=False)
    assert mnist.mnist_loaders(4) == (fakes.train_loader, fakes.test_loader)
    other = MnistFakes()
    monkeypatch.setattr(mnist, name, getattr(other, name), raising=False)
    mnist.mnist_loaders(4)
    assert len(other.log) == {6: 1, 7: 2, 9: 2}[line]


# ------------------------------------------------- binding and conversion


class IntSub(int):
    pass


@pytest.mark.parametrize("given, passed", [
    (True, 1), (False, 0), (32.9, 32), (-2.5, -2), (IntSub(7), 7)])
def test_batch_size_converted_to_plain_int(mnist, fakes, given, passed):
    mnist.mnist_loaders(given)
    for i in (3, 4):
        value = _loader_kw(fakes, i)
        assert type(value) is int and value == passed
    assert _loader_kw(fakes, 3) is _loader_kw(fakes, 4)


@pytest.mark.parametrize("value, exc_type, message", [
    ("32", TypeError, "Argument 'batch_size' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'batch_size' has incorrect type (expected int, got NoneType)"),
    ([8], TypeError, "Argument 'batch_size' has incorrect type (expected int, got list)"),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
    (math.inf, OverflowError, "cannot convert float infinity to integer"),
    (3 + 0j, TypeError,
     "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
])
def test_refused_batch_size_builds_nothing(mnist, fakes, entries, value, exc_type, message):
    with pytest.raises(exc_type) as exc:
        mnist.mnist_loaders(value)
    assert str(exc.value) == message
    assert entries(exc.value) == [(FN, FILE, 5)]
    assert fakes.log == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, "mnist_loaders() takes at most 1 positional argument (2 given)"),
    ((8,), {"batch_size": 8}, "mnist_loaders() got multiple values for keyword argument 'batch_size'"),
    ((), {"bs": 8}, "mnist_loaders() got an unexpected keyword argument 'bs'"),
    ((8,), {"bs": 8}, "mnist_loaders() got an unexpected keyword argument 'bs'"),
])
def test_binding_messages(mnist, fakes, entries, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        mnist.mnist_loaders(*args, **kwargs)
    assert str(exc.value) == message
    assert entries(exc.value) == [(FN, FILE, 5)]
    assert fakes.log == []


def test_default_is_the_module_constant_not_defaults(mnist, fakes):
    f = mnist.mnist_loaders
    with pytest.warns(RuntimeWarning, match=r"changes to cyfunction.__defaults__"):
        f.__defaults__ = (8,)
    try:
        assert f.__defaults__ == (8,)
        f()
        assert _loader_kw(fakes, 3) == 64
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = (64,)


def test_function_and_module_attributes(mnist):
    f = mnist.mnist_loaders
    assert mnist.__doc__ is None and f.__doc__ is None and f.__module__ == "tarnex.data.mnist"
    assert f.__defaults__ == (64,) and f.__annotations__ == {"batch_size": "int"}
    assert f.__code__.co_varnames == (
        "batch_size", "tfm", "train_ds", "test_ds", "train_loader", "test_loader")
    assert mnist.DataLoader is DataLoader and mnist.torchvision is torchvision
    assert mnist.transforms is torchvision.transforms and mnist.__test__ == {}


# ------------------------------------------------------------------- leaks


def test_no_leak_on_success_with_stand_ins(mnist, fakes, no_leak):
    size = _fresh_int()

    def call():
        mnist.mnist_loaders(size)
        fakes.log.clear()

    no_leak(call, size, fakes.tfm, fakes.train_ds, fakes.test_ds,
            fakes.train_loader, fakes.test_loader)


def test_no_leak_with_real_datasets(mnist, mnist_dir, no_leak, monkeypatch):
    monkeypatch.setattr(mnist, "DataLoader", lambda ds, **kw: None)
    no_leak(lambda: mnist.mnist_loaders(8), rounds=60, warmup=10)


@pytest.mark.parametrize("fail_on", [1, 3, 5])
def test_no_leak_when_a_callee_fails(mnist, fakes, no_leak, fail_on):
    fakes.fail_on = fail_on
    size = _fresh_int()

    def call():
        with pytest.raises(Boom):
            mnist.mnist_loaders(size)
        fakes.log.clear()
        fakes.raised = None

    no_leak(call, size, fakes.tfm, fakes.train_ds, fakes.test_ds, fakes.train_loader)


@pytest.mark.parametrize("args, kwargs, exc_type", [
    (("32",), {}, TypeError),
    ((math.nan,), {}, ValueError),
    ((8,), {"batch_size": 8}, TypeError),
])
def test_no_leak_on_refused_arguments(mnist, fakes, no_leak, args, kwargs, exc_type):
    def call():
        with pytest.raises(exc_type):
            mnist.mnist_loaders(*args, **kwargs)

    no_leak(call, *args)


# ------------------------------------------------------------------ import

# Runs in a fresh interpreter: each scenario breaks the import in one way,
# tries `import tarnex.data.mnist`, reports, and undoes the breakage. A failed
# execution must leave the module free to be executed again, so the scenarios
# share one process and the last one imports successfully.
_IMPORT_SCRIPT = r"""
import importlib.abc, json, sys, types

class Block(importlib.abc.MetaPathFinder):
    def __init__(self, top):
        self.top = top
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == self.top:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

def attempt():
    try:
        import tarnex.data.mnist as m
    except Exception as e:
        out, tb = [], e.__traceback__
        while tb is not None:
            c = tb.tb_frame.f_code
            if c.co_filename.startswith("tarnex/"):
                out.append([c.co_name, c.co_filename, tb.tb_lineno])
            tb = tb.tb_next
        return {"type": type(e).__name__, "message": str(e), "entries": out,
                "left_in_sys_modules": "tarnex.data.mnist" in sys.modules}
    return {"type": None, "module": m}

results = {}

def blocked(top):
    finder = Block(top)
    sys.meta_path.insert(0, finder)
    try:
        return attempt()
    finally:
        sys.meta_path.remove(finder)

results["no torch"] = blocked("torch")
assert "torch" not in sys.modules
results["no torchvision"] = blocked("torchvision")

import torch.utils.data
saved = torch.utils.data.DataLoader
del torch.utils.data.DataLoader
results["no DataLoader"] = attempt()
torch.utils.data.DataLoader = saved

# A torchvision that is not a package: `import torchvision.transforms` fails.
sys.modules["torchvision"] = types.ModuleType("torchvision")
results["torchvision not a package"] = attempt()

# Both names in sys.modules, but the package neither has `transforms` nor is
# it registered under its own name.
fake = types.ModuleType("elsewhere")
sys.modules["torchvision"] = fake
sys.modules["torchvision.transforms"] = types.ModuleType("torchvision.transforms")
results["no transforms"] = attempt()

# Registered under its name: the submodule is taken from sys.modules.
fake.__name__ = "torchvision"
sub = sys.modules["torchvision.transforms"]
r = attempt()
m = r.pop("module", None)
r["retry"] = m is not None and m.transforms is sub and m.torchvision is fake
results["retry"] = r
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def import_results(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("import")  # keeps the source tree off sys.path
    proc = subprocess.run([sys.executable, "-P", "-c", _IMPORT_SCRIPT], cwd=cwd,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("scenario, exc_type, message, line", [
    ("no torch", "ModuleNotFoundError", "No module named 'torch'", 1),
    ("no torchvision", "ModuleNotFoundError", "No module named 'torchvision'", 2),
    ("no DataLoader", "ImportError", "cannot import name DataLoader", 1),
    ("torchvision not a package", "ModuleNotFoundError",
     "No module named 'torchvision.transforms'; 'torchvision' is not a package", 3),
    ("no transforms", "ImportError", "cannot import name transforms", 3),
])
def test_import_failure(import_results, scenario, exc_type, message, line):
    r = import_results[scenario]
    assert (r["type"], r["message"]) == (exc_type, message)
    assert r["entries"] == [["init tarnex.data.mnist", FILE, line]]
    assert r["left_in_sys_modules"] is False


def test_import_succeeds_after_failed_attempts(import_results):
    r = import_results["retry"]
    assert r["type"] is None and r["retry"] is True

"""The checks of the suite's core tests that need no real torch, against the
stand-in torch and torchvision of tools/standin/: the six functions on
tensors and dicts, their messages and traceback entries, the function
objects' introspection, and mnist_loaders with stand-in datasets and
loaders. For interpreters where the suite cannot run: Windows under wine
(an embeddable python.exe has no pip and no torch) and a CPython that torch
is not yet built for.

    python -P tools/standin_smoke.py [FOLDER ...]

Each FOLDER (e.g. one holding a cross-built tarnex package) goes on sys.path
before the stand-ins. Prints one line per check and ends with
"N passed, M failed"; exit status 1 if any failed.
"""
import inspect
import os
import pickle
import sys
import traceback
import types

HERE = os.path.dirname(os.path.abspath(__file__))
# tests/ for the table of the functions' facts and the stand-in objects that
# the suite uses too (plain Python, no torch).
sys.path[:0] = [*sys.argv[1:], os.path.join(HERE, "standin"), os.path.join(os.path.dirname(HERE), "tests")]

import torch  # noqa: E402  (the stand-in)

import tarnex.core._batchkit as bk  # noqa: E402
import tarnex.data.mnist as mn  # noqa: E402
from doubles import Boom, MnistFakes, Ne  # noqa: E402
from functions import BATCHKIT_FILE, BATCHKIT_NAMES, FUNCTIONS  # noqa: E402

FIRST = {name: FUNCTIONS[name].first for name in BATCHKIT_NAMES}
CHECKS = []


def check(fn):
    CHECKS.append(fn)
    return fn


def entries(exc):
    """The traceback entries the native modules added: (name, file, line)."""
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("tarnex/"):
            out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def raises(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        return e
    raise AssertionError(f"{exc_type.__name__} not raised")


def expect_error(call, exc_type, message, where):
    """call() raises exc_type with exactly `message` (a str) or a message that
    starts with it (a 1-tuple), with one traceback entry per (name, line):
    a function of the table or the generator expression of example_tensor."""
    e = raises(exc_type, call)
    text = str(e)
    if isinstance(message, tuple):
        assert text.startswith(message[0]), text
    else:
        assert text == message, f"{text!r} != {message!r}"
    want = [(FUNCTIONS[n].entry, FUNCTIONS[n].file, line) if n in FUNCTIONS else (n, BATCHKIT_FILE, line)
            for n, line in where]
    assert entries(e) == want, f"{entries(e)} != {want}"


def T(n=12):
    return torch.Tensor(range(n))


@check
def modules_import_with_their_globals():
    assert bk.torch is torch and mn.DataLoader is torch.utils.data.DataLoader
    assert bk.__name__ == FUNCTIONS["to_device"].module and mn.__name__ == FUNCTIONS["mnist_loaders"].module
    assert all(callable(getattr(bk, n)) for n in FIRST) and callable(mn.mnist_loaders)


@check
def to_device_tensors_and_dicts():
    t, p = T(), torch.nn.Parameter([1])
    r = bk.to_device(t, "cpu:0")
    assert type(r) is torch.Tensor and r is not t and r.device == "cpu:0"
    x = {"a": t, "n": None, "p": p, "i": 3}
    out = bk.to_device(x, "cpu")
    assert type(out) is dict and out is not x and list(out) == list(x)
    assert out["a"].device == "cpu" and out["a"] is not t and type(out["p"]) is torch.nn.Parameter
    assert out["n"] is None and out["i"] == 3
    assert bk.to_device(x=t, device="cpu").rows == t.rows  # keywords bind too


@check
def forward_tensors_dicts_and_logits():
    seen = []

    def model(*args, **kwargs):
        seen.append((args, kwargs))
        return "out"

    t = T()
    assert bk.forward(model, t) == "out" and seen[-1] == ((t,), {})
    assert bk.forward(model, {"input_ids": t, "mask": 1}) == "out" and seen[-1] == ((), {"input_ids": t, "mask": 1})
    assert bk.forward(lambda x: types.SimpleNamespace(logits=x), t) is t
    assert bk.forward(lambda x: (x,), t) == (t,)


@check
def example_tensor_and_set_primary_input():
    t, u = T(), T(3)
    assert bk.example_tensor(t) is t and bk.set_primary_input(t, u) is u
    x = {"n": 1, "nested": {"t": u}, "input_ids": t, "mask": u}
    assert bk.example_tensor(x) is t
    out = bk.set_primary_input(x, None)
    assert type(out) is dict and x["input_ids"] is t
    assert list(out.items()) == [("n", 1), ("nested", x["nested"]), ("input_ids", None), ("mask", u)]


@check
def split_batch_and_example_probe():
    a, m, y, z = T(), T(), T(), T()
    pair = (a, y)
    assert bk.split_batch(pair) is pair
    assert bk.split_batch({"input_ids": a, "attention_mask": m, "labels": y}) == ({"input_ids": a, "attention_mask": m}, y)
    assert bk.split_batch({"input_ids": a, "label": z}) == ({"input_ids": a}, z)
    assert bk.split_batch({"label": z, "input_ids": a, "labels": y}) == ({"input_ids": a}, y)
    x = {"a": a}
    xs, ys = bk.split_batch(x)
    assert xs == x and xs is not x and ys is None
    assert bk.example_probe(T(100)).rows == list(range(8)) and bk.example_probe(T(5)).rows == list(range(5))
    out = bk.example_probe({"t": T(20), "l": list(range(20)), "n": None})
    assert out["t"].rows == list(range(8)) and out["l"] == list(range(20)) and out["n"] is None
    assert bk.example_probe((a, m)) == (a, m)


@check
def binding_messages_and_entries():
    for call, message in [
        (lambda: bk.forward(x=1), "forward() takes exactly 2 positional arguments (0 given)"),
        (lambda: bk.forward(1, 2, 3), "forward() takes exactly 2 positional arguments (3 given)"),
        (lambda: bk.to_device(1, x=2), "to_device() got multiple values for keyword argument 'x'"),
        (lambda: bk.forward(1, 2, y=3), "forward() got an unexpected keyword argument 'y'"),
        (lambda: bk.split_batch(), "split_batch() takes exactly 1 positional argument (0 given)"),
        (lambda: bk.example_probe(1, 2), "example_probe() takes exactly 1 positional argument (2 given)"),
        (lambda: bk.example_tensor(1, 2), "example_tensor() takes exactly 1 positional argument (2 given)"),
        (lambda: bk.set_primary_input(replacement=1),
         "set_primary_input() takes exactly 2 positional arguments (0 given)"),
        (lambda: bk.forward(lambda **kw: 0, {1: 2}), "keywords must be strings"),
    ]:
        name = message.split("(")[0]
        if name in FIRST:
            expect_error(call, TypeError, message, [(name, FIRST[name])])
        else:
            assert message in str(raises(TypeError, call))


@check
def failure_messages_and_entries():
    t = T()
    expect_error(lambda: bk.to_device(t, None), TypeError,
                 "Argument 'device' has incorrect type (expected str, got NoneType)", [])  # refused before entry
    expect_error(lambda: bk.to_device(5, "cpu"), AttributeError, "'int' object has no attribute 'to'",
                 [("to_device", 19)])
    expect_error(lambda: bk.to_device({"a": t}, "gpu"), RuntimeError, ("Expected one of cpu",), [("to_device", 18)])
    expect_error(lambda: bk.forward(lambda v: 1 / 0, t), ZeroDivisionError, "division by zero", [("forward", 24)])
    expect_error(lambda: bk.example_tensor({"a": 1}), StopIteration, "", [("example_tensor", 33)])
    expect_error(lambda: bk.example_probe(5), TypeError, "'int' object is unsliceable", [("example_probe", 67)])
    grows = {"a": t}
    grows[Ne(lambda: grows.__setitem__("z", 1) or True)] = 2
    expect_error(lambda: bk.split_batch(grows), RuntimeError, "dictionary changed size during iteration",
                 [("split_batch", 58)])


@check
def torch_global_removed_and_restored():
    saved = bk.__dict__.pop("torch")
    try:
        t = T()
        assert bk.example_tensor(t) is t  # the plain path never looks torch up
        expect_error(lambda: bk.example_tensor({"a": t}), NameError, "name 'torch' is not defined",
                     [("example_tensor", 33), ("genexpr", 33)])
        expect_error(lambda: bk.example_probe({"t": t}), NameError, "name 'torch' is not defined",
                     [("example_probe", 66)])
    finally:
        bk.torch = saved
    assert bk.example_tensor({"a": 1, "b": T()}).rows == list(range(12))


@check
def function_objects_introspection():
    for row in FUNCTIONS.values():
        name, mod = row.name, bk if row.module == bk.__name__ else mn
        f = getattr(mod, name)
        assert f.__name__ == f.__qualname__ == name and f.__module__ == row.module
        assert f.__globals__ is vars(mod) and f.__defaults__ == row.defaults and f.__closure__ is None
        # The address as the interpreter shows one (%p: zero-padded capitals on Windows).
        assert repr(f) == f"<cyfunction {name} at {object.__repr__(f).rsplit(' at ', 1)[1]}", repr(f)
        assert int(repr(f).rsplit(" at ", 1)[1][:-1], 16) == id(f)
        assert str(inspect.signature(f)) == row.signature, (name, str(inspect.signature(f)))
        code = f.__code__
        assert (code.co_firstlineno, code.co_filename) == (row.first, row.file), name
        assert (code.co_argcount, code.co_varnames) == (row.argcount, row.varnames), name
        assert f.__annotations__ == row.annotations, name
        assert pickle.loads(pickle.dumps(f)) is f
        assert (f.__doc__ and f.__doc__.split("\n", 1)[0]) == row.doc, name
    ann = bk.to_device.__annotate__(1)
    assert ann == {"device": "str"} and ann is not bk.to_device.__annotations__
    # The same answer wherever a C long is 32 bits (Windows) or 64.
    for fmt in (2, 2**31 + 1, 2**40, 2**64 + 1, -2**63 - 1):
        raises(NotImplementedError, bk.to_device.__annotate__, fmt)
    raises(TypeError, bk.to_device.__annotate__, "1")


@check
def recursion_through_a_slot_stops_before_the_stack_ends():
    # The stack's end is read from the platform (a thread of its own, with a
    # small stack, and the main thread with a limit far above what it holds).
    import threading

    class D(dict):
        items = bk.split_batch

    seen = []
    run = lambda: seen.append(raises(RecursionError, bk.split_batch, D(a=1)))
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=run)
    t.start()
    t.join()
    threading.stack_size(0)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100000)
    try:
        run()
    finally:
        sys.setrecursionlimit(limit)
    assert len(seen) == 2, seen


@check
def every_function_runs_in_the_smallest_thread_stack():
    # The room the check keeps back grows with the stack: a thread with the
    # smallest stack the interpreter allows still runs every call.
    import threading

    class Movable:
        def to(self, device):
            return self

    def plain(**kw):
        return kw

    out = []
    run = lambda: out.extend([
        type(bk.to_device(Movable(), "cpu")), bk.to_device({"a": 1}, "cpu"),
        bk.forward(plain, {"input_ids": 1}), bk.split_batch({"input_ids": 1, "labels": 2}),
        bk.example_probe([1] * 20), bk.set_primary_input({"a": 1}, 2)])
    for kib in (32, 64, 128, 256):  # 3.14 on, and aarch64's glibc, ask for more
        try:
            threading.stack_size(kib * 1024)
            break
        except ValueError:
            pass
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(0)
    assert out == [Movable, {"a": 1}, {"input_ids": 1}, ({"input_ids": 1}, 2), [1] * 8, {"a": 1}], out


def with_fakes(fk, fn):
    saved = {k: mn.__dict__[k] for k in ("transforms", "torchvision", "DataLoader")}
    mn.transforms, mn.torchvision, mn.DataLoader = fk.transforms, fk.torchvision, fk.DataLoader
    try:
        return fn()
    finally:
        mn.__dict__.update(saved)


@check
def mnist_loaders_with_stand_ins():
    train, test = mn.mnist_loaders(16)  # the stand-in torchvision and DataLoader
    assert (train.batch_size, train.shuffle, train.drop_last) == (16, True, True)
    assert train.dataset.train is True and test.dataset.train is False and train.dataset.root == "./data"
    assert mn.mnist_loaders()[0].batch_size == 64 and mn.mnist_loaders(batch_size=2.9)[1].batch_size == 2
    fk = MnistFakes()
    assert with_fakes(fk, lambda: mn.mnist_loaders(4)) == (fk.train_loader, fk.test_loader)
    assert [n for n, _, _ in fk.log] == ["ToTensor", "MNIST", "MNIST", "DataLoader", "DataLoader"]
    assert [k for k, _ in fk.log[1][2]] == ["root", "train", "download", "transform"]
    assert [dict(fk.log[i][2])["train"] for i in (1, 2)] == [True, False]
    assert [k for k, _ in fk.log[3][2]] == ["batch_size", "shuffle", "drop_last"]
    assert (fk.log[3][1], fk.log[4][1]) == ((fk.train_ds,), (fk.test_ds,))
    for fail_on, line in [(1, 6), (2, 7), (3, 8), (4, 9), (5, 10)]:
        expect_error(lambda: with_fakes(MnistFakes(fail_on), lambda: mn.mnist_loaders(4)), Boom,
                     ["ToTensor", "MNIST", "MNIST", "DataLoader", "DataLoader"][fail_on - 1],
                     [("mnist_loaders", line)])
    expect_error(lambda: mn.mnist_loaders(0), ValueError, ("batch_size should be a positive integer",),
                 [("mnist_loaders", 9)])
    expect_error(lambda: mn.mnist_loaders("32"), TypeError,
                 "Argument 'batch_size' has incorrect type (expected int, got str)",
                 [("mnist_loaders", FUNCTIONS["mnist_loaders"].first)])
    expect_error(lambda: mn.mnist_loaders(1, 2), TypeError,
                 "mnist_loaders() takes at most 1 positional argument (2 given)",
                 [("mnist_loaders", FUNCTIONS["mnist_loaders"].first)])


def main():
    print(f"Python {sys.version.split()[0]} on {sys.platform}; tarnex from "
          f"{os.path.dirname(os.path.dirname(os.path.dirname(bk.__file__)))}")
    passed = failed = 0
    for fn in CHECKS:
        try:
            fn()
        except Exception:
            failed += 1
            print(f"FAIL {fn.__name__}")
            traceback.print_exc(file=sys.stdout)
        else:
            passed += 1
            print(f"ok   {fn.__name__}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""split_batch and example_probe over HF-dict batches, dict subclasses and odd keys."""
import gc

import pytest
import torch

from doubles import Items, Ne
from functions import BATCHKIT, BATCHKIT_FILE

pytestmark = pytest.mark.needs_torch

A, M, Y, Z = (torch.zeros(2) for _ in range(4))
NAME, FILE = BATCHKIT + ".", BATCHKIT_FILE


class Uncuttable(torch.Tensor):
    def __getitem__(self, key):
        return 1 / 0


def mutating(action):  # the key's != acts on the batch; only the batch holds the value
    b = {"a": A}
    b[Ne(lambda: action(b) or True)] = torch.zeros(1)
    return b


def leak_free(no_leak, call):
    # 3.14 and torch keep filling caches on an exception path for a few
    # hundred calls (tens of blocks, then none): warm up past that.
    for _ in range(200):
        call()
    gc.collect()  # cycles that some cases build are not leaks
    no_leak(call, A, M, Y, Z, warmup=0)


@pytest.mark.parametrize("make, xvals, y", [
    (lambda: {"input_ids": A, "attention_mask": M, "labels": Y}, [A, M], Y),
    (lambda: {"label": Z, "input_ids": A, "labels": Y}, [A], Y),
    (lambda: {"input_ids": A, "label": Z}, [A], Z),
    (lambda: {"labels": None, "label": Z, "input_ids": A}, [A], None),
    (lambda: {0: A, ("labels",): M, b"label": Z, type("S", (str,), {})("labels"): Y}, [A, M, Z], Y),
    (lambda: {Ne(lambda: 0): A, Ne(lambda: None): M, Ne(lambda: [1]): Z, None: Y}, [Z, Y], None),
    (lambda: Items([("a", A), ["labels", M], ["b", Z]], labels=Y), [A, Z], Y),
    # Label keys made at run time (equal, not the same object) go; keys of a
    # label's length but other text, in the same or a wider kind, stay.
    (lambda: {"".join(["lab", "el"]): Z, "labelz": A, "".join(["labe", "ls"]): Y}, [A], Y),
    (lambda: {"labe\u0142": A, "label\u00e9": M, "labe\U0001f600": Z}, [A, M, Z], None),
])
def test_split_batch(bk, no_leak, make, xvals, y):
    batch = make()
    before = [(id(k), id(v)) for k, v in dict.items(batch)]
    x, got_y = bk.split_batch(batch)
    assert type(x) is dict and [id(v) for v in x.values()] == [id(v) for v in xvals] and got_y is y
    assert [(id(k), id(v)) for k, v in dict.items(batch)] == before
    leak_free(no_leak, lambda: bk.split_batch(make()))


def test_split_batch_passes_non_dicts_through_and_calls_get_twice(bk):
    assert all(bk.split_batch(b) is b for b in [(A, Y), [A, Y], (A, Y, Z), [], A, None, "labels"])
    calls = []
    get = type("Get", (dict,), {"get": lambda self, *a: calls.append(a) or len(calls)})
    assert bk.split_batch(batch=get(labels=Y))[1] == 2 and calls == [("label",), ("labels", 1)]


@pytest.mark.parametrize("x, check", [
    ({"ids": torch.zeros(32, 4), "note": "n" * 20, "l": list(range(20)), "t": (A, M)},
     lambda x, r: list(r) == list(x) and r["ids"].shape == (8, 4) and all(r[k] is x[k] for k in "note l t".split())),
    (Items([("p", torch.nn.Parameter(torch.zeros(10)))]), lambda x, r: type(r) is dict and r["p"].shape == (8,)),
    (torch.zeros(5, 3), lambda x, r: r.shape == (5, 3)),
    (torch.zeros(100, 3), lambda x, r: r.shape == (8, 3)),
    ((A, M), lambda x, r: r[0] is A and r[1] is M),
])
def test_example_probe(bk, no_leak, x, check):
    assert check(x, bk.example_probe(x=x))
    leak_free(no_leak, lambda: bk.example_probe(x))


@pytest.mark.parametrize("fn, make, exc, msg, line", [
    ("split_batch", lambda: Items([("a", A, M)]), ValueError, "too many values to unpack (expected 2)", 58),
    ("split_batch", lambda: Items([()]), ValueError, "need more than 0 values to unpack", 58),
    ("split_batch", lambda: mutating(lambda b: b.update(z=1)), RuntimeError, "dictionary changed size during iteration", 58),
    ("split_batch", lambda: mutating(dict.clear), RuntimeError, "dictionary changed size during iteration", 58),
    ("split_batch", lambda: {Ne(lambda: 1 / 0): A}, ZeroDivisionError, "division by zero", 58),
    ("split_batch", lambda: type("G", (dict,), {"get": None})(), TypeError, "'NoneType' object is not callable", 57),
    ("example_probe", lambda: {"a": torch.zeros(3).as_subclass(Uncuttable)}, ZeroDivisionError, "division by zero", 66),
    ("example_probe", lambda: 5, TypeError, "'int' object is unsliceable", 67),
    ("example_probe", lambda: {1}, TypeError, "'set' object is unsliceable", 67),
    ("example_probe", lambda: list, TypeError, "'type' object is unsliceable", 67),
])
def test_errors(bk, no_leak, entries, fn, make, exc, msg, line):
    with pytest.raises(exc) as info:
        getattr(bk, fn)(make())
    assert str(info.value) == msg and entries(info.value) == [(NAME + fn, FILE, line)]
    leak_free(no_leak, lambda: pytest.raises(exc, getattr(bk, fn), make()))


def test_torch_is_looked_up_at_each_use(bk, entries):
    saved = bk.torch
    try:
        assert bk.example_probe({"a": 1}) == {"a": 1}  # the look-up site now holds torch
        del bk.torch
        assert bk.example_probe({}) == {}
        with pytest.raises(NameError, match="^name 'torch' is not defined$") as info:
            bk.example_probe({"a": A})
        assert entries(info.value) == [(NAME + "example_probe", FILE, 66)]
    finally:
        bk.torch = saved

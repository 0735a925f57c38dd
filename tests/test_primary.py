"""example_tensor and set_primary_input: the primary tensor of a model input."""
import builtins
import collections
import gc
import types

import pytest
import torch

import tarnex.core._batchkit as bk

from doubles import Meta
from functions import BATCHKIT_FILE, FUNCTIONS

pytestmark = pytest.mark.needs_torch

FILE = BATCHKIT_FILE
ET, GENEXPR = (FUNCTIONS["example_tensor"].entry, FILE, 33), ("genexpr", FILE, 33)
SPI = FUNCTIONS["set_primary_input"].entry


class Values(dict):
    """A dict subclass whose values() returns wrap(result) and counts its calls."""

    def __init__(self, result, wrap=list, **kw):
        super().__init__(**kw)
        self.result, self.wrap, self.calls = result, wrap, 0

    def values(self):
        self.calls += 1
        if isinstance(self.result, BaseException):  # a fresh one: a raised instance keeps its traceback
            raise type(self.result)(*self.result.args)
        return self.wrap(self.result)


class Stop(StopIteration):
    pass


def _gen(items):
    yield from items


def _raise(exc):
    raise exc


class Stops:  # an iterator whose own advance raises: that only ends the walk
    def __iter__(self):
        return self

    def __next__(self):
        raise Stop("own")


@pytest.fixture
def fake_torch(monkeypatch):
    """torch.Tensor whose instance check runs Meta.hook."""
    monkeypatch.setattr(bk, "torch", types.SimpleNamespace(Tensor=Meta("Fake", (), {})))
    yield Meta
    Meta.reset()


@pytest.mark.parametrize("x", [torch.ones(1), None, (torch.ones(1),), collections.UserDict(a=torch.ones(1))])
def test_non_dicts_pass_through_without_torch(x, without_torch):
    r = object()
    assert bk.example_tensor(x) is x and bk.set_primary_input(x, r) is r


@pytest.mark.parametrize("kind", [dict, collections.OrderedDict, lambda **kw: Values(list(kw.values()), **kw)])
def test_first_tensor_found_and_replaced(kind):
    a, m = torch.nn.Parameter(torch.ones(2)), torch.zeros(2)
    x = kind(n=1, nested={"t": torch.ones(1)}, input_ids=a, attention_mask=m)
    before = list(x.items())
    assert bk.example_tensor(x) is a
    out = bk.set_primary_input(x, None)
    assert type(out) is dict and list(x.items()) == before
    assert list(out.items()) == [("n", 1), ("nested", x["nested"]), ("input_ids", None), ("attention_mask", m)]


@pytest.mark.parametrize("wrap", [tuple, list, _gen])
def test_subclass_values_called_once_and_decide_order(wrap):
    t1, t2 = torch.ones(1), torch.zeros(1)
    x = Values([1, t2, t1], wrap, a=t1)
    assert bk.example_tensor(x) is t2 and x.calls == 1


@pytest.mark.parametrize("x", [{}, {"a": 1, "b": {"c": torch.ones(1)}}, Values([1]), Values(0, wrap=lambda _: Stops())])
def test_no_tensor_is_bare_stop_iteration_with_one_entry(x, entries):
    with pytest.raises(KeyError):  # makes a "genexpr" entry at the same line first
        bk.example_tensor(Values(KeyError("k")))
    with pytest.raises(StopIteration) as info:
        bk.example_tensor(x)
    assert type(info.value) is StopIteration and info.value.args == () and entries(info.value) == [ET]
    out = bk.set_primary_input(x, 0)
    assert out == dict(x) and out is not x


@pytest.mark.parametrize(
    "x, torch_ns, hook, exc, message",
    [
        (Values(KeyError("k")), None, None, KeyError, "'k'"),
        (Values(5, wrap=lambda v: v), None, None, TypeError, "'int' object is not iterable"),
        (Values([1], wrap=lambda v: (_raise(ValueError("it")) for _ in v)), None, None, ValueError, "it"),
        (Values(StopIteration("v")), None, None, RuntimeError, "generator raised StopIteration"),
        ({"a": 1}, {}, None, AttributeError, "'types.SimpleNamespace' object has no attribute 'Tensor'"),
        ({"a": 1}, {"Tensor": 5}, None, TypeError, "isinstance() arg 2 must be a type, a tuple of types, or a union"),
        ({"a": 1}, "fake", lambda o: _raise(Stop(o)), RuntimeError, "generator raised StopIteration"),
        ({"a": 1}, "fake", lambda o: 1 / 0, ZeroDivisionError, "division by zero"),
    ],
)
def test_genexpr_failures_carry_two_entries(monkeypatch, fake_torch, x, torch_ns, hook, exc, message, entries):
    if torch_ns != "fake":
        monkeypatch.setattr(bk, "torch", torch if torch_ns is None else types.SimpleNamespace(**torch_ns))
    Meta.hook = hook
    with pytest.raises(exc) as info:
        bk.example_tensor(x)
    assert str(info.value) == message and entries(info.value) == [ET, GENEXPR]
    if exc is RuntimeError:
        assert isinstance(info.value.__cause__, StopIteration) and info.value.__context__ is info.value.__cause__


def test_global_torch_read_each_time(without_torch, entries):
    t = torch.ones(1)
    with pytest.raises(NameError, match="^name 'torch' is not defined$") as info:
        bk.example_tensor({"a": t})
    assert entries(info.value) == [ET, GENEXPR]
    with pytest.raises(NameError) as info:
        bk.set_primary_input({"a": t}, 1)
    assert entries(info.value) == [(SPI, FILE, 42)]
    builtins.torch = torch
    try:
        assert bk.example_tensor({"a": 1, "b": t}) is t
        assert bk.set_primary_input({"a": 1, "b": t, "c": t}, 2) == {"a": 1, "b": 2, "c": t}
    finally:
        del builtins.torch


@pytest.mark.parametrize("action, answer", [("clear", True), ("clear", False), ("grow", False)])
def test_callbacks_that_change_the_walked_dict(fake_torch, action, answer, entries):
    """The value in use survives its dict being cleared; a size change is seen."""

    class Val:  # tracked by the collector, so that the copy is reachable below
        pass

    def run(fn, find):
        x = {str(object()): Val()}  # x holds the only references to key and value
        Meta.hook = lambda o: [d.clear() if action == "clear" else d.setdefault("new", 0) for d in find(o, x)] and answer
        return x, fn(x, "r")

    others = lambda o, x: [d for d in gc.get_referrers(o) if type(d) is dict and d is not x]
    if answer:
        x, got = run(lambda x, r: bk.example_tensor(x), lambda o, x: [x])
        assert type(got) is Val and x == {}
        x, out = run(bk.set_primary_input, others)  # its own copy, cleared under it
        assert list(out) == list(x) and list(out.values()) == ["r"]
        return
    with pytest.raises(RuntimeError, match="changed size") as info:
        run(lambda x, r: bk.example_tensor(x), lambda o, x: [x])
    assert entries(info.value) == [ET, GENEXPR]
    with pytest.raises(RuntimeError, match="changed size") as info:
        run(bk.set_primary_input, others)
    assert entries(info.value) == [(SPI, FILE, 41)]


class Key:
    fail = None  # "hash" or "eq": the operation that starts failing

    def __hash__(self):
        if Key.fail == "hash":
            raise ValueError("hash")  # raised here, not through a helper holding it: no cycle
        return 1

    def __eq__(self, other):
        if Key.fail == "eq":
            raise ValueError("eq")
        return self is other


def _colliding():
    x = {Key(): 1, Key(): 2, "gap": 0}
    del x["gap"]  # a dict with a hole is copied entry by entry, comparing colliding keys
    return x


@pytest.mark.parametrize("make, fail, line", [(_colliding, "eq", 40), (lambda: {Key(): torch.ones(1)}, "hash", 43)])
def test_set_primary_input_failures(monkeypatch, make, fail, line, entries):
    x = make()
    before = list(x.items())
    monkeypatch.setattr(Key, "fail", fail)
    with pytest.raises(ValueError) as info:
        bk.set_primary_input(x, "r")
    assert entries(info.value) == [(SPI, FILE, line)] and list(x.items()) == before


def _swallow(fn, *args):
    try:
        fn(*args)
    except Exception:
        pass


def test_no_leaks(no_leak, monkeypatch):
    t, r = torch.ones(2), torch.zeros(2)
    x, sub, colliding = {"n": 1, "a": t, "b": t}, Values([1, t]), _colliding()
    no_leak(lambda: (bk.example_tensor(x), bk.set_primary_input(x, r), bk.set_primary_input(sub, r)), t, r, x, sub)
    no_leak(lambda: bk.example_tensor(Values([1, t, 2], wrap=_gen)), t)  # walk left early
    fails = [{}, {"n": 1}, Values(StopIteration(1)), Values(KeyError("k")), Values([1], wrap=_gen)]

    def failing():
        for arg in fails:
            _swallow(bk.example_tensor, arg)
        _swallow(bk.set_primary_input, colliding, r)

    monkeypatch.setattr(Key, "fail", "eq")
    no_leak(failing, t, r, *fails)
    monkeypatch.delattr(bk, "torch")
    no_leak(lambda: (_swallow(bk.example_tensor, x), _swallow(bk.set_primary_input, x, r)), t, r, x)

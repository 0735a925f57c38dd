"""Callbacks that run inside a call (to, items, values, get, __instancecheck__,
__ne__, __hash__, a tensor's subscript) and call the same function again, clear
or refill the argument, or remove the module global `torch`."""
import types

import pytest
import torch

import tarnex.core._batchkit as bk

from functions import BATCHKIT_FILE

pytestmark = pytest.mark.needs_torch

FILE = BATCHKIT_FILE
CHANGED = (RuntimeError, "dictionary changed size during iteration")
NO_TORCH = (NameError, "name 'torch' is not defined")


class Hooked(torch.Tensor):
    """A tensor whose `to` and `[...]` run the test's hook first."""

    hook = None

    def to(self, *args, **kwargs):
        Hooked.hook and Hooked.hook()
        return self

    def __getitem__(self, key):
        Hooked.hook and Hooked.hook()
        return torch.Tensor.__getitem__(self.as_subclass(torch.Tensor), key)


class Meta(type):
    hook = None

    def __instancecheck__(cls, obj):
        Meta.hook and Meta.hook()
        return type(obj) is Hooked


class Key:
    """A key whose hash and != run the hook."""

    hook = None

    def __hash__(self):
        Key.hook and Key.hook()
        return 7

    def __ne__(self, other):
        Key.hook and Key.hook()
        return True


class EqKey:
    """A key with the hash of "labels" whose == with "labels" runs the hook: a
    look-up of "labels" in a dict that holds it compares the two."""

    hook = None

    def __hash__(self):
        return hash("labels")

    def __eq__(self, other):
        if other == "labels":
            EqKey.hook and EqKey.hook()
        return False


class Sub(dict):
    """A dict subclass whose items/values/get run the hook before they return."""

    def _after(self, result):
        Sub.hook and Sub.hook()
        return result

    def items(self):
        return self._after(list(dict.items(self)))

    def values(self):
        return self._after(list(dict.values(self)))

    def get(self, *args):
        return self._after(dict.get(self, *args))


def hooked():
    return torch.zeros(10, 2).as_subclass(Hooked)


def once(fn):
    """fn() on the first call only: a callback that re-enters runs again
    inside the inner call."""
    state = []
    return lambda: state or (state.append(1), fn())


def refill(d):
    """Same size, other entries: the size check cannot see it."""

    def go():
        n = len(d)
        d.clear()
        d.update((object(), i) for i in range(n))

    return go


def swap_visited(d):
    """Deletes the key being visited and inserts a new one: the size stays."""
    n = iter(range(1000))
    return lambda: (d.pop(next(iter(d))), d.__setitem__(f"b{next(n)}", hooked()))


def drop_torch():
    bk.__dict__.pop("torch", None)


def fresh_pair(a):
    """Two tensors of a new subclass of Hooked (a.cls), for a callback to
    change: the first call of `to` looks it up on that type, the second must
    see what the callback did to the type or to the second tensor."""
    a.cls = type("Fresh", (Hooked,), {})
    return {"a": torch.zeros(2).as_subclass(a.cls), "b": torch.zeros(2).as_subclass(a.cls)}


def getattribute_to(self, name):
    return (lambda *args: "ga") if name == "to" else torch.Tensor.__getattribute__(self, name)


def no_to(self):
    raise AttributeError("to")


# Changes to what `to` is, made inside the first entry's `to`, each with what
# the second entry's `to` returns after it.
TO_CHANGES = [
    (lambda a: setattr(a.x["b"], "to", lambda *args: "own"), "own"),
    (lambda a: setattr(a.cls, "to", lambda self, *args: "new"), "new"),
    (lambda a: setattr(Hooked, "to", Hooked.to), "b"),  # a base changed, same method
    (lambda a: setattr(a.x["b"], "__class__", type("Sub", (a.cls,), {"to": lambda self, *args: "sub"})),
     "sub"),
    (lambda a: setattr(a.cls, "__getattribute__", getattribute_to), "ga"),
    (lambda a: (setattr(a.cls, "__getattr__", lambda self, name: lambda *args: "getattr"),
                setattr(a.cls, "to", property(no_to))), "getattr"),
    (lambda a: (vars(a.x["b"]).update(to=lambda *args: "own"),
                setattr(a.cls, "to", property(lambda self: lambda *args: "prop"))), "prop"),
]


# Each row: function, argument maker (gets the argument holder to close
# over), which hook the callback goes into, the callback, and what follows: an
# (exception, message, line) or a check of the result.
ROWS = [
    ("to_device", lambda a: {"a": hooked(), "b": hooked()}, "to",
     lambda a: once(lambda: bk.to_device(a.x, "cpu")), lambda a, r: list(r) == ["a", "b"]),
    ("to_device", lambda a: {"a": hooked(), "b": hooked()}, "to", lambda a: drop_torch, (*NO_TORCH, 18)),
    ("to_device", lambda a: {"a": hooked(), "b": 1}, "to", lambda a: a.x.clear, (*CHANGED, 18)),
    ("to_device", lambda a: {"a": hooked(), "b": 1, "c": 2}, "to", lambda a: refill(a.x), None),
    ("to_device", lambda a: {"a": hooked()}, "to", lambda a: swap_visited(a.x),
     (RuntimeError, "dictionary keys changed during iteration", 18)),
    ("to_device", lambda a: Sub(a=hooked()), "items", lambda a: a.x.clear, lambda a, r: list(r) == ["a"]),
    ("to_device", lambda a: Sub(a=1), "items", lambda a: lambda: bk.to_device(a.x, "cpu"),
     (RecursionError, None, 18)),
    ("to_device", lambda a: {Key(): 1, "b": 2}, "hash", lambda a: a.x.clear, (*CHANGED, 18)),
    *[("to_device", fresh_pair, "to", lambda a, c=change: once(lambda: c(a)),
       lambda a, r, e=expect: r["a"] is a.x["a"] and (r["b"] is a.x["b"] if e == "b" else r["b"] == e))
      for change, expect in TO_CHANGES],
    ("forward", lambda a: {"input_ids": 1}, "model", lambda a: a.x.clear, lambda a, r: r == {"input_ids": 1}),
    ("forward", lambda a: {"input_ids": 1}, "model",
     lambda a: once(lambda: bk.forward(a.model, a.x)), lambda a, r: r == {"input_ids": 1}),
    ("example_tensor", lambda a: {"a": 1, "b": hooked()}, "isinstance",
     lambda a: once(lambda: bk.example_tensor(a.x)), lambda a, r: type(r) is Hooked),
    ("example_tensor", lambda a: {"a": 1, "b": hooked()}, "isinstance", lambda a: drop_torch, (*NO_TORCH, 33)),
    ("example_tensor", lambda a: {"a": 1, "b": hooked()}, "isinstance", lambda a: a.x.clear, (*CHANGED, 33)),
    ("example_tensor", lambda a: {"a": 1, "b": 2, "c": hooked()}, "isinstance", lambda a: refill(a.x), None),
    ("example_tensor", lambda a: Sub(a=1, b=hooked()), "values", lambda a: a.x.clear,
     lambda a, r: type(r) is Hooked),
    ("set_primary_input", lambda a: {"a": 1, "b": hooked()}, "isinstance", lambda a: a.x.clear,
     lambda a, r: list(r.items()) == [("a", 1), ("b", "r")]),
    ("set_primary_input", lambda a: {"a": 1, "b": hooked()}, "isinstance",
     lambda a: once(lambda: bk.set_primary_input(a.x, "r")), lambda a, r: r["b"] == "r"),
    ("set_primary_input", lambda a: {"a": 1, "b": hooked()}, "isinstance", lambda a: drop_torch,
     (*NO_TORCH, 42)),
    ("split_batch", lambda a: Sub(labels=1, a=2), "get", lambda a: a.x.clear, lambda a, r: r == ({}, None)),
    ("split_batch", lambda a: {Key(): 1, "labels": 2}, "ne",
     lambda a: once(lambda: bk.split_batch(a.x)), lambda a, r: r[1] == 2 and len(r[0]) == 1),
    ("split_batch", lambda a: {Key(): 1, "labels": 2, "b": 3}, "ne", lambda a: refill(a.x), None),
    ("split_batch", lambda a: {"a": 1, Key(): 2}, "hash", lambda a: a.x.clear, (*CHANGED, 58)),
    # The "label" entry goes while "labels" is looked up: its value, the
    # default of that look-up, must outlive the dict's reference.
    ("split_batch", lambda a: {EqKey(): 1, "label": [5]}, "eq", lambda a: a.x.clear,
     lambda a, r: r == ({}, [5])),
    ("split_batch", lambda a: Sub(a=1), "get", lambda a: lambda: bk.split_batch(a.x),
     (RecursionError, None, 57)),
    ("example_probe", lambda a: {"a": hooked(), "b": hooked()}, "cut", lambda a: drop_torch, (*NO_TORCH, 66)),
    ("example_probe", lambda a: {"a": hooked(), "b": 1}, "cut", lambda a: a.x.clear, (*CHANGED, 66)),
    ("example_probe", lambda a: {"a": hooked(), "b": 1}, "cut",
     lambda a: once(lambda: bk.example_probe(a.x)), lambda a, r: r["a"].shape == (8, 2)),
    ("example_probe", lambda a: {"a": hooked(), "b": 1, "c": 2}, "cut", lambda a: refill(a.x), None),
    ("example_probe", lambda a: {"a": 1, Key(): 2}, "hash", lambda a: a.x.clear, (*CHANGED, 66)),
]


@pytest.fixture
def restore_torch():
    saved = bk.torch
    yield
    bk.torch = saved
    Hooked.hook = Meta.hook = Key.hook = EqKey.hook = Sub.hook = None


@pytest.mark.parametrize("fn, make, where, callback, expect", ROWS,
                         ids=[f"{r[0]}-{r[2]}-{i}" for i, r in enumerate(ROWS)])
def test_callback(restore_torch, entries, monkeypatch, fn, make, where, callback, expect):
    a = types.SimpleNamespace()
    a.x = make(a)
    hook = callback(a)
    if where == "isinstance":
        monkeypatch.setattr(bk, "torch", types.SimpleNamespace(Tensor=Meta("T", (), {})))
    Hooked.hook = Meta.hook = Key.hook = EqKey.hook = Sub.hook = hook
    if fn == "forward":
        a.model = lambda **kw: (hook(), dict(kw))[1]
        args = (a.model, a.x)
    else:
        args = (a.x,) + {"to_device": ("cpu",), "set_primary_input": ("r",)}.get(fn, ())
    try:
        result = getattr(bk, fn)(*args)
    except Exception as exc:
        assert isinstance(expect, tuple) or expect is None, repr(exc)
        if expect is not None:
            exc_type, message, line = expect
            assert type(exc) is exc_type and (message is None or str(exc) == message)
            assert entries(exc)[0] == (f"tarnex.core._batchkit.{fn}", FILE, line)
        return
    assert expect is None or callable(expect), f"returned {result!r}"
    assert expect is None or expect(a, result)


@pytest.mark.parametrize("inside, action, expect", [
    ("dataset", "torchvision", (NameError, "name 'torchvision' is not defined", 8)),
    ("loader", "DataLoader", (NameError, "name 'DataLoader' is not defined", 10)),
    ("dataset", "reenter", None),
    ("loader", "reenter", None),
])
def test_mnist_callbacks(entries, monkeypatch, inside, action, expect):
    """The outside calls of mnist_loaders remove the next global it needs, or
    call mnist_loaders again."""
    import paths
    import tarnex.data.mnist as mn

    stand, calls = paths.StandIns(), []

    def hook():
        calls.append(inside)
        if action == "reenter":
            if len(calls) == 1:
                assert mn.mnist_loaders(3)[0][2] == 3
        elif len(calls) == 1:
            monkeypatch.delattr(mn, action)

    real = getattr(stand, "dataset" if inside == "dataset" else "DataLoader")

    def hooked(*args, **kwargs):
        hook()
        return real(*args, **kwargs)

    for name in ("transforms", "torchvision", "DataLoader"):
        monkeypatch.setattr(mn, name, getattr(stand, name))
    if inside == "dataset":
        stand.torchvision.datasets.MNIST = hooked
    else:
        monkeypatch.setattr(mn, "DataLoader", hooked)
    if expect is None:
        train, test = mn.mnist_loaders(5)
        assert (train[2], test[2], train[1], test[1]) == (5, 5, ("ds", True), ("ds", False))
        return
    exc_type, message, line = expect
    with pytest.raises(exc_type) as info:
        mn.mnist_loaders(5)
    assert str(info.value) == message
    assert entries(info.value) == [("tarnex.data.mnist.mnist_loaders", "tarnex/data/mnist.py", line)]

"""forward calls a model whose class defines __call__ in Python by entering
that method directly; every kind of callable must see exactly the call the
interpreter's own `model(x)` and `model(**x)` would make."""
import collections
import functools

import pytest
import torch

import tarnex.core._batchkit as bk

from functions import BATCHKIT_FILE

pytestmark = pytest.mark.needs_torch

FILE = BATCHKIT_FILE


def record(*args, **kwargs):
    return ("rec", args, kwargs)


class Plain:
    def __call__(self, *args, **kwargs):
        return ("rec", (self,) + args, kwargs)


class Static:
    __call__ = staticmethod(record)


class ClassMeth:
    @classmethod
    def __call__(cls, *args, **kwargs):
        return ("rec", (cls,) + args, kwargs)


class NotADescriptor:
    """__call__ is a callable object that does not bind."""

    class Impl:
        def __call__(self, *args, **kwargs):
            return ("rec", args, kwargs)

    __call__ = Impl()


class Partial(functools.partial):
    pass


class Meta(type):
    def __call__(cls, *args, **kwargs):
        return ("rec", (cls,) + args, kwargs)


class ByMeta(metaclass=Meta):
    pass


CALLABLES = [Plain(), Static(), ClassMeth(), NotADescriptor(), Partial(record, "p"), ByMeta,
             record]


@pytest.mark.parametrize("model", CALLABLES, ids=lambda m: type(m).__name__)
@pytest.mark.parametrize("x", [torch.ones(1), None, (1, 2), {"a": 1, "b": 2},
                               collections.OrderedDict(a=1), {}])
def test_same_call_as_the_interpreter(model, x):
    expected = model(**x) if isinstance(x, dict) else model(x)
    got = bk.forward(model, x)
    assert got[0] == "rec" and got[2] == expected[2] and type(got[2]) is dict
    assert len(got[1]) == len(expected[1])
    assert all(a is b for a, b in zip(got[1], expected[1]))


def test_keywords_are_a_new_dict_and_x_is_unchanged():
    seen = []

    class Keeps:
        def __call__(self, **kw):
            seen.append(kw)
            kw["added"] = 1
            return kw

    t = torch.ones(1)
    x = {"input_ids": t}
    before = len(x), x.__sizeof__()
    out = bk.forward(Keeps(), x)
    assert out is seen[0] and out is not x
    assert x == {"input_ids": t} and (len(x), x.__sizeof__()) == before


def test_class_level_call_is_looked_up_at_each_call():
    class M:
        def __call__(self, v):
            return ("first", v)

    m = M()
    assert bk.forward(m, 1) == ("first", 1)
    M.__call__ = lambda self, v: ("second", v)
    assert bk.forward(m, 1) == ("second", 1)
    m.__call__ = lambda v: "instance"  # special methods come from the type only
    assert bk.forward(m, 1) == ("second", 1)
    M.__call__ = staticmethod(lambda v: ("static", v))
    assert bk.forward(m, 2) == ("static", 2)
    M.__call__ = len  # a builtin does not bind: called without the instance
    assert bk.forward(m, (1, 2, 3)) == 3
    del M.__call__
    with pytest.raises(TypeError, match="'M' object is not callable"):
        bk.forward(m, 1)


def test_torch_module_hooks_and_keywords():
    class Net(torch.nn.Module):
        def forward(self, input_ids, attention_mask=None):
            return input_ids * 2

    net = Net()
    calls = []
    net.register_forward_pre_hook(lambda mod, args, kwargs: calls.append(kwargs), with_kwargs=True)
    t = torch.ones(2)
    assert torch.equal(bk.forward(net, {"input_ids": t}), t * 2)
    assert torch.equal(bk.forward(net, t), t * 2)
    assert [list(c) for c in calls] == [["input_ids"], []]


@pytest.mark.parametrize(
    "x, exc, message",
    [
        ({1: 2}, TypeError, "keywords must be strings"),
        ({"nope": 1}, TypeError, "__call__() got an unexpected keyword argument 'nope'"),
        (1, ZeroDivisionError, "division by zero"),
    ],
)
def test_failures_carry_the_forward_entry(x, exc, message, entries):
    class M:
        def __call__(self, v=None):
            return 1 / 0

    with pytest.raises(exc) as info:
        bk.forward(M(), x)
    assert message in str(info.value)
    assert entries(info.value) == [("tarnex.core._batchkit.forward", FILE, 24)]


def test_direct_path_does_not_leak(no_leak):
    t = torch.ones(2)
    x = {"input_ids": t}
    m = Plain()

    class Fails:
        def __call__(self, *a, **k):
            raise ValueError

    def failing():
        for arg in (t, x, {1: t}):
            try:
                bk.forward(Fails(), arg)
            except (ValueError, TypeError):
                pass

    no_leak(lambda: bk.forward(m, x), t, x, m)
    no_leak(lambda: bk.forward(m, t), t, m)
    no_leak(failing, t, x)

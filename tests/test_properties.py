"""Generated inputs: every function against a small model of what it does,
written here in Python, and every argument left as it was."""
import collections

import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnex.core._batchkit as bk
from paths import snapshot

pytestmark = pytest.mark.needs_torch

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Str(str):
    pass


class Sub(torch.Tensor):
    pass


class Mapping(dict):
    """A dict subclass whose items(), values() and get() may say something
    else than what it stores."""

    def __init__(self, stored, pairs, shape, get):
        super().__init__(stored)
        self._pairs, self._shape, self._get = pairs, shape, get

    def items(self):
        return self._shape(self._pairs)

    def values(self):
        return self._shape([v for _, v in self._pairs])

    def get(self, *args):
        return ("got", *args) if self._get else dict.get(self, *args)


tensors = st.builds(
    lambda rows, kind: kind(torch.zeros(rows, 2)),
    st.integers(0, 12),
    st.sampled_from([lambda t: t, lambda t: t.as_subclass(Sub), torch.nn.Parameter]),
)
others = st.one_of(st.none(), st.integers(), st.text(max_size=3), st.lists(st.integers(), max_size=10),
                   st.just({"nested": torch.ones(1)}))
values = st.one_of(tensors, others)
labels = st.sampled_from(["labels", "label", Str("labels"), Str("label"), ("labels",), b"label"])
keys = st.one_of(labels, st.text(max_size=4), st.builds(Str, st.text(max_size=4)), st.integers(-3, 3),
                 st.none(), st.tuples(st.integers(0, 2)))
pairs = st.lists(st.tuples(keys, values), max_size=8)
# Pairs handed out by a subclass's items() may hold keys a dict cannot.
sub_pairs = st.lists(st.tuples(st.one_of(keys, st.just([])), values), max_size=6)
shapes = st.sampled_from([list, tuple, iter, lambda p: (x for x in p)])

dicts = st.one_of(
    st.builds(dict, pairs),
    st.builds(collections.OrderedDict, pairs),
    st.builds(Mapping, pairs, sub_pairs, shapes, st.booleans()),
)
inputs = st.one_of(dicts, tensors, st.tuples(tensors, tensors), st.lists(values, max_size=3), others)


# -------------------------------------------------------------- the models


def walk(x):
    """The item-pair walk: the dict's own entries, or a subclass's items()."""
    return list(dict.items(x)) if type(x) is dict else list(x.items())


def first_tensor(vals):
    return next(v for v in vals if isinstance(v, torch.Tensor))


def model_to_device(x, device):
    if not isinstance(x, dict):
        return x.to(device)
    return {k: v.to(device) if isinstance(v, torch.Tensor) else v for k, v in walk(x)}


def model_example_tensor(x):
    if not isinstance(x, dict):
        return x
    return first_tensor(dict.values(x) if type(x) is dict else x.values())


def model_set_primary_input(x, r):
    if not isinstance(x, dict):
        return r
    out = dict(x)
    for k, v in out.items():
        if isinstance(v, torch.Tensor):
            out[k] = r
            break
    return out


def differs(key, label):
    if key is label:
        return False
    if type(key) is str:
        return key != label
    if key is None:
        return True
    return bool(key != label)


def model_split_batch(b):
    if not isinstance(b, dict):
        return b
    y = b.get("labels", b.get("label"))
    return {k: v for k, v in walk(b) if differs(k, "labels") and differs(k, "label")}, y


def cut(o):
    if getattr(type(o), "__getitem__", None) is None or isinstance(o, type):
        raise TypeError(f"'{type(o).__name__}' object is unsliceable")
    return o[:8]


def model_example_probe(x):
    if not isinstance(x, dict):
        return cut(x)
    return {k: v[:8] if isinstance(v, torch.Tensor) else v for k, v in walk(x)}


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self


def model_forward(x):
    """What the model must have been called with."""
    if isinstance(x, dict):
        return ((), dict(x))
    return ((x,), {})


# ------------------------------------------------------------- comparison


def same(a, b):
    """Equal structure; shared objects identical; cut tensors the same view."""
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        return (type(a) is type(b) and a.shape == b.shape and a.data_ptr() == b.data_ptr()
                and a.dtype == b.dtype)
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        return (len(a) == len(b) and all(ka is kb or ka == kb for ka, kb in zip(a, b))
                and all(same(a[k], b[k]) for k in a))
    if type(a) in (tuple, list) and a is not b:
        return len(a) == len(b) and all(same(u, v) for u, v in zip(a, b))
    return a is b or a == b


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as exc:
        return "raise", exc


def check(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "raise":
        assert type(got[1]) is type(want[1]) and str(got[1]) == str(want[1])
    else:
        assert same(got[1], want[1]), (got[1], want[1])


@SETTINGS
@given(x=inputs, replacement=st.one_of(tensors, st.none()))
def test_functions_follow_their_model(x, replacement):
    before = [snapshot(x), snapshot(replacement)]
    for fn, model, args in [
        (bk.to_device, model_to_device, (x, "cpu")),
        (bk.example_tensor, model_example_tensor, (x,)),
        (bk.set_primary_input, model_set_primary_input, (x, replacement)),
        (bk.split_batch, model_split_batch, (x,)),
        (bk.example_probe, model_example_probe, (x,)),
    ]:
        got, want = outcome(fn, *args), outcome(model, *args)
        if want[0] == "raise" and isinstance(want[1], StopIteration):
            assert got[0] == "raise" and type(got[1]) is StopIteration
        else:
            check(got, want)
        if fn in (bk.set_primary_input, bk.to_device, bk.split_batch, bk.example_probe) and \
                isinstance(x, dict) and got[0] == "ok":
            result = got[1][0] if fn is bk.split_batch else got[1]
            assert type(result) is dict and result is not x
        assert [snapshot(x), snapshot(replacement)] == before, fn.__name__

    model = Recorder()
    got = outcome(bk.forward, model, x)
    want = outcome(lambda: model_forward(x))
    if isinstance(x, dict) and not all(isinstance(k, str) for k in dict(x)):
        assert got[0] == "raise" and type(got[1]) is TypeError
    else:
        assert got == ("ok", model) and len(model.calls) == 1
        (args, kwargs), (want_args, want_kwargs) = model.calls[0], want[1]
        assert len(args) == len(want_args) and all(a is b for a, b in zip(args, want_args))
        assert kwargs == want_kwargs and all(kwargs[k] is want_kwargs[k] for k in kwargs)
    assert [snapshot(x), snapshot(replacement)] == before, "forward"

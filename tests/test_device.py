"""to_device and forward under both input conventions, and their failures."""
import builtins
import collections
import types

import pytest
import torch

import tarnex.core._batchkit as bk

from doubles import BadKeys, Items, Model, Out
from functions import BATCHKIT_FILE

pytestmark = pytest.mark.needs_torch

FILE = BATCHKIT_FILE


class Rec(torch.Tensor):
    """A tensor whose `to` records its arguments and can run a callback."""

    calls = []
    hook = None

    def to(self, *args, **kwargs):
        Rec.calls.append((args, kwargs))
        if Rec.hook is not None:
            Rec.hook()
        return ("moved", args[0])


@pytest.fixture
def rec():
    Rec.calls = []
    Rec.hook = None
    yield torch.zeros(3).as_subclass(Rec)
    Rec.hook = None


# ------------------------------------------------------------------ to_device


def test_to_device_plain_tensor_returns_what_to_returns(rec):
    dev = "".join(["c", "pu"])  # a distinct str object
    assert bk.to_device(rec, dev) == ("moved", dev)
    assert Rec.calls == [((dev,), {})] and Rec.calls[0][0][0] is dev
    t = torch.ones(2)
    assert bk.to_device(t, "cpu") is t


def test_to_device_dict_moves_tensors_only(rec):
    nested = {"inner": rec}
    tensors = [rec]
    x = {"a": rec, "n": 5, "none": None, "nested": nested, "list": tensors}
    before = dict(x)
    out = bk.to_device(x, "cpu")
    assert type(out) is dict and out is not x
    assert list(out) == list(x)
    assert out["a"] == ("moved", "cpu")
    for k in ("n", "none", "nested", "list"):
        assert out[k] is x[k]
    assert x == before and len(Rec.calls) == 1  # nested containers are not entered


def test_to_device_empty_dict_is_new_even_without_torch(without_torch):
    d = {}
    out = bk.to_device(d, "cpu")
    assert out == {} and out is not d


@pytest.mark.parametrize("kind", [dict, collections.OrderedDict])
def test_to_device_dict_kinds_give_plain_dict(kind):
    t = torch.ones(1)
    out = bk.to_device(kind(a=t, b=1), "cpu")
    assert type(out) is dict and out == {"a": t, "b": 1}


def test_to_device_subclass_items_decide_pairs_and_order():
    t = torch.ones(1)
    x = Items([("b", 1), ("a", t), ("b", 2), ["c", 3]], a=99)
    out = bk.to_device(x, "cpu")
    assert type(out) is dict
    assert list(out.items()) == [("b", 2), ("a", t), ("c", 3)]


def _message(fn):
    """The running interpreter's own message for what fn raises (the walk
    passes the interpreter's errors on as they come)."""
    try:
        fn()
    except Exception as e:
        return str(e)


@pytest.mark.parametrize(
    "pairs, exc, message",
    [
        ([("a", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
        ([("a",)], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
        ([["a", 1, 2]], ValueError, "too many values to unpack (expected 2)"),
        ([None], TypeError, "'NoneType' object is not iterable"),
        ([([], 1)], TypeError, _message(lambda: {}.__setitem__([], 1))),
        (KeyError("boom"), KeyError, "'boom'"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
def test_to_device_subclass_items_failures(pairs, exc, message, entries):
    with pytest.raises(exc) as info:
        bk.to_device(Items(pairs), "cpu")
    assert str(info.value) == message
    assert entries(info.value) == [("tarnex.core._batchkit.to_device", FILE, 18)]


def test_to_device_subclass_items_generator_is_walked_to_the_end():
    t = torch.ones(1)
    x = Items(iter([("a", t), ("b", 2)]))
    assert bk.to_device(x, "cpu") == {"a": t, "b": 2}


@pytest.mark.parametrize(
    "device, shown",
    [(None, "NoneType"), (0, "int"), (b"cpu", "bytes"), (torch.device("cpu"), "torch.device")],
)
def test_to_device_device_must_be_exact_str(rec, device, shown, entries):
    with pytest.raises(TypeError) as info:
        bk.to_device(rec, device)
    assert str(info.value) == f"Argument 'device' has incorrect type (expected str, got {shown})"
    assert entries(info.value) == [] and Rec.calls == []


def test_to_device_str_subclass_gets_the_note(rec):
    class Dev(str):
        pass

    with pytest.raises(TypeError) as info:
        bk.to_device({"a": rec}, Dev("cpu"))
    text = str(info.value)
    assert text.startswith("Argument 'device' has incorrect type (expected str, got Dev). ")
    assert text.endswith(
        ". If you need to pass subclasses then set the 'annotation_typing' directive to False."
    )
    assert "PEP-484" in text and Rec.calls == []


@pytest.mark.parametrize("x", [collections.UserDict(a=1), (torch.ones(1),), [torch.ones(1)], None, 5])
def test_to_device_non_dicts_call_their_own_to(x, entries):
    with pytest.raises(AttributeError) as info:
        bk.to_device(x, "cpu")
    assert "has no attribute 'to'" in str(info.value)
    assert entries(info.value) == [("tarnex.core._batchkit.to_device", FILE, 19)]


def test_to_device_to_failure_is_passed_on(entries):
    with pytest.raises(RuntimeError) as info:
        bk.to_device({"a": torch.ones(1)}, "no-such-device")
    assert entries(info.value) == [("tarnex.core._batchkit.to_device", FILE, 18)]


def test_to_device_global_torch_is_looked_up_each_time(entries):
    t = torch.ones(1)
    assert bk.to_device({"a": t}, "cpu")["a"] is t  # warms any cache
    saved = bk.torch
    try:
        del bk.torch
        with pytest.raises(NameError) as info:
            bk.to_device({"a": t}, "cpu")
        assert str(info.value) == "name 'torch' is not defined"
        assert entries(info.value) == [("tarnex.core._batchkit.to_device", FILE, 18)]
        builtins.torch = saved
        try:
            assert bk.to_device({"a": t}, "cpu")["a"] is t
            # A module binding made later wins over builtins at once.
            bk.torch = types.SimpleNamespace(Tensor=int)
            with pytest.raises(AttributeError, match="'int' object has no attribute 'to'"):
                bk.to_device({"a": 5}, "cpu")
            bk.torch = types.SimpleNamespace()
            with pytest.raises(AttributeError, match="Tensor"):
                bk.to_device({"a": 5}, "cpu")
        finally:
            del builtins.torch
        with pytest.raises(AttributeError):
            bk.to_device({"a": 5}, "cpu")
    finally:
        bk.torch = saved
    assert bk.to_device({"a": 5}, "cpu") == {"a": 5}


@pytest.mark.parametrize("mutation", ["grow", "clear", "shrink"])
def test_to_device_dict_changed_by_callback(rec, mutation, entries):
    x = {"a": rec, "b": torch.ones(1).as_subclass(Rec), "c": 3}

    def hook():
        if mutation == "grow":
            x["new"] = 1
        elif mutation == "clear":
            x.clear()
        else:
            del x["b"]

    Rec.hook = hook
    with pytest.raises(RuntimeError) as info:
        bk.to_device(x, "cpu")
    assert str(info.value) == "dictionary changed size during iteration"
    assert entries(info.value) == [("tarnex.core._batchkit.to_device", FILE, 18)]


def test_to_device_metaclass_check_that_clears_the_dict():
    """The key and value in use survive their dict being cleared."""
    x = {}

    class Meta(type):
        def __instancecheck__(cls, obj):
            x.clear()
            return True

    class Fake(metaclass=Meta):
        pass

    class Val:
        def to(self, device):
            return device

    saved = bk.torch
    bk.torch = types.SimpleNamespace(Tensor=Fake)
    try:
        x[str(object())] = Val()  # the dict holds the only references
        with pytest.raises(RuntimeError, match="changed size"):
            bk.to_device(x, "cpu")
    finally:
        bk.torch = saved


def test_to_device_does_not_leak(no_leak, rec):
    t = torch.ones(2)
    x = {"a": t, "b": 1, "c": rec}
    no_leak(lambda: (bk.to_device(x, "cpu"), Rec.calls.clear()), t, x, rec)
    no_leak(lambda: bk.to_device(t, "cpu"), t)
    no_leak(lambda: bk.to_device(Items([("a", t), ("b", 2)]), "cpu"), t)

    def failing():
        for args in ((Items([("a", 1, 2)]), "cpu"), ({"a": t}, None), (5, "cpu"), ({"a": t}, "bad-device")):
            try:
                bk.to_device(*args)
            except Exception:
                pass

    no_leak(failing, t)


# -------------------------------------------------------------------- forward


def test_forward_dict_spreads_a_copy_as_keywords():
    a, m = torch.ones(1), torch.zeros(1)
    x = {"input_ids": a, "attention_mask": m}
    model = Model("out", record=True)
    assert bk.forward(model, x) == "out"
    (args, kwargs), = model.calls
    assert args == () and list(kwargs) == []  # cleared copy
    assert x == {"input_ids": a, "attention_mask": m}


def test_forward_dict_subclass_copy_uses_mapping_protocol():
    class Odd(dict):
        # dict(x) takes the mapping protocol only when iteration is overridden.
        def __iter__(self):
            return iter(["k"])

        def keys(self):
            return ["k"]

        def __getitem__(self, key):
            return "from-getitem"

    seen = {}

    def model(**kw):
        seen.update(kw)

    bk.forward(model, Odd(real=1))
    assert seen == {"k": "from-getitem"}


@pytest.mark.parametrize("x", [None, (1, 2), [1, 2], torch.ones(2)])
def test_forward_non_dict_is_one_positional(x):
    model = Model(record=True)
    bk.forward(model, x)
    assert model.calls[0][0][0] is x and len(model.calls[0][0]) == 1 and model.calls[0][1] == {}


def test_forward_real_module_and_callables():
    lin = torch.nn.Linear(2, 1)
    x = torch.ones(1, 2)
    assert torch.equal(bk.forward(lin, x), lin(x))
    assert bk.forward(len, (1, 2, 3)) == 3

    class Holder:
        def run(self, v):
            return (self, v)

    h = Holder()
    assert bk.forward(h.run, 7) == (h, 7)


def test_forward_picks_logits_and_reads_it_twice():
    out = Out("L")
    assert bk.forward(lambda v: out, 1) == "L" and out.reads == 2


@pytest.mark.parametrize(
    "result",
    [None, {"logits": 1}, Out(AttributeError("absent")), Out(type("E", (AttributeError,), {})())],
    ids=["none", "dict", "attrerror", "attrerror-subclass"],
)
def test_forward_without_logits_returns_output_itself(result):
    assert bk.forward(lambda v: result, 1) is result


def test_forward_getattr_hook_types():
    class Dyn:
        def __getattr__(self, name):
            if name == "logits":
                return "dyn"
            raise AttributeError(name)

    class NoLogits:
        def __getattr__(self, name):
            raise AttributeError(name)

    assert bk.forward(lambda v: Dyn(), 1) == "dyn"
    n = NoLogits()
    assert bk.forward(lambda v: n, 1) is n


def _second_fetch_fails(reads):
    if reads == 2:
        raise AttributeError("gone")
    return "first"


@pytest.mark.parametrize(
    "model, x, exc, line",
    [
        (lambda v: 1 / 0, 1, ZeroDivisionError, 24),
        (Model(record=True), BadKeys(a=1), KeyError, 24),
        (lambda **kw: None, {1: 2}, TypeError, 24),
        (lambda v: Out(ValueError("bad")), 1, ValueError, 25),
        (lambda v: Out(_second_fetch_fails), 1, AttributeError, 26),
    ],
    ids=["model-raises", "copy-fails", "non-str-keyword", "logits-raises", "second-fetch"],
)
def test_forward_failures(model, x, exc, line, entries):
    with pytest.raises(exc) as info:
        bk.forward(model, x)
    assert entries(info.value) == [("tarnex.core._batchkit.forward", FILE, line)]


def test_forward_does_not_leak(no_leak):
    t = torch.ones(2)
    x = {"input_ids": t}
    out = Out("L")
    no_leak(lambda: bk.forward(lambda input_ids: input_ids, x), t, x)
    no_leak(lambda: bk.forward(lambda v: out, t), t, out)
    no_leak(lambda: bk.forward(len, (t,)), t)

    def failing():
        for model, arg in ((lambda v: 1 / 0, t), (lambda v: Out(ValueError()), t), (Model(record=True), BadKeys(a=t))):
            try:
                bk.forward(model, arg)
            except Exception:
                pass

    no_leak(failing, t)


# ------------------------------------------------------ on the target device
# The cases above pass "cpu" to tensors whose `to` records it. These move
# real tensors to the target device (TARNEX_TEST_DEVICE, "cpu" by default;
# tools/gpu_check.sh runs them on "cuda") and compare with what torch's own
# `.to` and a direct call give there, so they hold on any device.


def _same(out, ref):
    """out is the tensor ref is: its type, device, dtype, shape, gradient
    tracking and values (a meta tensor has none to compare)."""
    assert (type(out), out.device, out.dtype, out.shape) == (type(ref), ref.device, ref.dtype, ref.shape)
    assert out.requires_grad == ref.requires_grad
    if ref.device.type != "meta":
        assert torch.equal(out.detach().cpu(), ref.detach().cpu())


@pytest.mark.parametrize(
    "make",
    [
        lambda: torch.randn(4, 3),
        lambda: torch.randint(0, 100, (4, 16)),  # token ids
        lambda: torch.randn(3, 4).t(),  # not contiguous
        lambda: torch.randn(2, 2, requires_grad=True),
        lambda: torch.nn.Parameter(torch.ones(3)),
    ],
    ids=["float", "int64", "strided", "requires-grad", "parameter"],
)
def test_to_device_moves_a_tensor_to_the_target(target_device, make):
    t = make()
    ref = t.to(target_device)
    out = bk.to_device(t, target_device)
    _same(out, ref)
    assert (out is t) == (ref is t)  # torch hands back a tensor already there


def test_to_device_moves_a_dicts_tensors_to_the_target(target_device):
    ids, mask, p = torch.randint(0, 100, (4, 16)), torch.ones(4, 16), torch.nn.Parameter(torch.ones(3))
    nested = {"t": torch.ones(1)}
    x = {"input_ids": ids, "attention_mask": mask, "p": p, "n": 5, "nested": nested}
    before = dict(x)
    out = bk.to_device(x, target_device)
    assert type(out) is dict and list(out) == list(x) and x == before
    for k in ("input_ids", "attention_mask", "p"):
        _same(out[k], x[k].to(target_device))
    assert out["n"] is x["n"] and out["nested"] is nested and nested["t"].device.type == "cpu"


class Logits:
    """A model output in the Hugging Face manner: the logits as an attribute."""

    def __init__(self, logits):
        self.logits = logits


class Head(torch.nn.Module):
    """Takes the dict convention's keywords, returns an output with `.logits`."""

    def __init__(self):
        super().__init__()
        self.lin = torch.nn.Linear(4, 3)

    def forward(self, pixels, mask):
        return Logits(self.lin(pixels * mask))


@pytest.mark.parametrize("as_dict", [False, True], ids=["tensor", "dict"])
def test_forward_runs_a_model_on_the_target(target_device, as_dict):
    torch.manual_seed(0)
    head = Head().to(target_device)
    pixels, mask = torch.randn(8, 4), (torch.rand(8, 4) > 0.2).float()
    if as_dict:
        out = bk.forward(head, bk.to_device({"pixels": pixels, "mask": mask}, target_device))
        ref = head(pixels.to(target_device), mask.to(target_device)).logits
    else:
        out = bk.forward(head.lin, bk.to_device(pixels, target_device))
        ref = head.lin(pixels.to(target_device))
    _same(out, ref)


@pytest.mark.parametrize("as_dict", [False, True], ids=["tensor", "dict"])
def test_gradients_through_set_primary_input_on_the_target(target_device, as_dict):
    """The saliency road of the demo: the primary tensor replaced by a
    gradient-tracking copy, the model run, the gradient read back."""
    torch.manual_seed(0)
    head = Head().to(target_device)
    pixels, mask = torch.randn(8, 4), (torch.rand(8, 4) > 0.2).float()
    mask_t = mask.to(target_device)
    x = {"pixels": pixels, "mask": mask} if as_dict else pixels
    x = bk.to_device(x, target_device)
    plain = bk.example_tensor(x)
    tracked = plain.detach().clone().requires_grad_(True)
    y = bk.set_primary_input(x, tracked)
    if as_dict:
        assert y["pixels"] is tracked and y["mask"] is x["mask"] and x["pixels"] is plain
        logits = bk.forward(head, y)
    else:
        assert y is tracked
        logits = bk.forward(lambda v: head(v, mask_t), y)
    logits.max(1).values.sum().backward()

    direct = pixels.to(target_device).clone().requires_grad_(True)
    head(direct, mask_t).logits.max(1).values.sum().backward()
    assert tracked.grad is not None and not plain.requires_grad
    _same(tracked.grad, direct.grad)

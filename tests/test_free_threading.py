"""Threads against shared state: eight threads call all six functions on shared
tensors and dicts while one thread rebinds the module's globals (`torch`
among them) and one mutates the shared dict. Every result must be one that
the same call gives with no other thread running, for some state the shared
objects pass through on the way; the exceptions such a state can cause (a
NameError while `torch` is deleted, a RuntimeError for a dict changed under
the walk, no tensor to be found) are outcomes too.

On a GIL build this checks the re-entrancy rules under real thread switches;
on a free-threaded build with the GIL off, the modules' own thread safety.
Each variant runs for TARNEX_STRESS_SECONDS (default 2 s);
tools/freethreaded_suite.sh --stress runs them for a minute."""
import os
import sys
import threading
import time
import types

import pytest
import torch

import tarnex.core._batchkit as bk
from functions import BATCHKIT_NAMES

SECONDS = float(os.environ.get("TARNEX_STRESS_SECONDS", "2"))
CALLERS = 8
DEVICE = "cpu"

CHANGED_SIZE = "dictionary changed size during iteration"
CHANGED_KEYS = "dictionary keys changed during iteration"
NO_TORCH = "name 'torch' is not defined"


class Result:
    """What a stand-in tensor's `.to` and `[:8]` return: one object per
    tensor and operation, so a result names the value it came from."""

    __slots__ = ("src", "op")

    def __init__(self, src, op):
        self.src, self.op = src, op


class StandIn:
    """A tensor made of plain Python: moves and slices into fixed results."""

    __slots__ = ("name", "moved", "cut")

    def __init__(self, name):
        self.name = name
        self.moved = Result(self, "to")
        self.cut = Result(self, "cut")

    def to(self, device):
        return self.moved

    def __getitem__(self, key):
        return self.cut


class Other:
    """What the stand-in module's `Tensor` is rebound to: no value is one."""


class Out:
    __slots__ = ("logits",)

    def __init__(self, logits):
        self.logits = logits


class Model:
    """A model whose output has logits: the keyword arguments it was given (or
    its one positional argument)."""

    def __call__(self, *args, **kwargs):
        return Out(kwargs if not args else args[0])


class Bare:
    """A model whose output has no logits: its input, as it came."""

    def __call__(self, *args, **kwargs):
        return kwargs if not args else args[0]


def make_world(real):
    """The shared objects of one variant and what each key may hold."""
    standin_torch = types.ModuleType("torch")
    standin_torch.Tensor = StandIn
    if real:
        a, b, y = torch.randn(16, 4), torch.ones(16, 4), torch.arange(16)
    else:
        a, b, y = StandIn("a"), StandIn("b"), StandIn("y")
    s = StandIn("s")
    values = {
        "input_ids": [a, b],
        "attention_mask": [b, s],
        "labels": [y, None],
        "label": [y],
        "extra": [3, s],
    }
    fillers = [f"f{i}" for i in range(24)]
    for k in fillers:
        values[k] = [0]
    start = {"input_ids": a, "attention_mask": b, "labels": y}
    # The mutator's cycle: value swaps, deletes and inserts (the order of the
    # keys changes on the way), a run of inserts that resizes the dict, and
    # back to the start. Every step is one dict operation.
    ops = [
        ("set", "input_ids", b), ("set", "attention_mask", s), ("del", "labels", None),
        ("set", "label", y), ("set", "extra", 3), ("set", "input_ids", a),
        ("del", "attention_mask", None), ("set", "attention_mask", b), ("set", "extra", s),
        ("del", "label", None), ("set", "labels", None),
    ]
    ops += [("set", k, 0) for k in fillers]
    ops += [("del", k, None) for k in fillers]
    ops += [("del", "extra", None), ("del", "input_ids", None), ("del", "attention_mask", None),
            ("del", "labels", None), ("set", "input_ids", a), ("set", "attention_mask", b),
            ("set", "labels", y)]
    # The key orders the dict passes through, replayed without threads.
    d = dict(start)
    orders = {tuple(d)}
    for op, k, v in ops:
        if op == "set":
            d[k] = v
        else:
            del d[k]
        orders.add(tuple(d))
        assert all(any(d[k] is x for x in values[k]) for k in d)
    assert d == start and list(d) == list(start), "the cycle must come back to its start"
    return types.SimpleNamespace(
        real=real, standin_torch=standin_torch, values=values, start=start, ops=ops,
        orders=orders, shared=dict(start), stable=dict(start), tensor=a,
        pair=(a, y), replacement=StandIn("r"), model=Model(), bare=Bare())


def tensor_classes(w):
    # What isinstance(v, torch.Tensor) can test against while the rebinder
    # runs: the real class, the stand-in's current class (StandIn or Other).
    return (torch.Tensor, StandIn, Other)


def outcomes(v, op, w):
    """Every value a dict entry holding `v` can turn into: kept (no binding of
    `torch` finds it a tensor) or transformed (one does)."""
    out = [v]
    if op is not None and any(isinstance(v, c) for c in tensor_classes(w)):
        out.append(transform(v, op))
    return out


def transform(v, op):
    if op == "to":
        return v.to(DEVICE)
    if isinstance(v, StandIn):
        return v.cut
    return v[:8]


def same(r, v):
    """`r` is `v`, or both are views of the same rows of one real tensor (a
    cut makes a new view each time)."""
    if r is v:
        return True
    return (isinstance(r, torch.Tensor) and isinstance(v, torch.Tensor)
            and r._base is not None and r._base is v._base and r.shape == v.shape
            and r.data_ptr() == v.data_ptr())


def entry_ok(r, k, op, w):
    return any(same(r, o) for v in w.values.get(k, ()) for o in outcomes(v, op, w))


def dict_ok(r, op, w, orders):
    """A dict made entry by entry from a dict: the keys of one of `orders`
    (None: of the dict that other threads change, whose walk can see entries
    of several states, as a walk of its items() in Python can, with only its
    size guards), each value one the key can hold (transformed or not by
    `op`)."""
    if type(r) is not dict or (orders is not None and tuple(r) not in orders):
        return False
    return all(entry_ok(v, k, op, w) for k, v in r.items())


def check_dict_call(name, x, w, orders):
    """Runs one function on the dict `x`; returns an error text or None."""
    try:
        if name == "to_device":
            r = bk.to_device(x, DEVICE)
            return None if r is not x and dict_ok(r, "to", w, orders) else f"to_device gave {r!r}"
        if name == "example_probe":
            r = bk.example_probe(x)
            return None if r is not x and dict_ok(r, "cut", w, orders) else f"example_probe gave {r!r}"
        if name == "forward":
            r = bk.forward(w.model, x)
            return None if r is not x and dict_ok(r, None, w, orders) else f"forward gave {r!r}"
        if name == "split_batch":
            r = bk.split_batch(x)
            labelled = None if orders is None else {
                tuple(k for k in o if k not in ("labels", "label")) for o in orders}
            ok = (type(r) is tuple and len(r) == 2 and dict_ok(r[0], None, w, labelled)
                  and any(r[1] is v for v in [None, *w.values["labels"], *w.values["label"]]))
            return None if ok else f"split_batch gave {r!r}"
        if name == "example_tensor":
            r = bk.example_tensor(x)
            ok = any(r is v for vs in w.values.values() for v in vs) and isinstance(
                r, tensor_classes(w))
            return None if ok else f"example_tensor gave {r!r}"
        if name == "set_primary_input":
            rep = w.replacement
            r = bk.set_primary_input(x, rep)
            if type(r) is not dict or r is x or (orders is not None and tuple(r) not in orders):
                return f"set_primary_input gave {r!r}"
            hits = [k for k, v in r.items() if v is rep]
            ok = len(hits) <= 1 and all(v is rep or entry_ok(v, k, None, w) for k, v in r.items())
            return None if ok else f"set_primary_input gave {r!r}"
    except NameError as e:
        return None if str(e) == NO_TORCH else f"{name}: {e!r}"
    except RuntimeError as e:
        return None if str(e) in (CHANGED_SIZE, CHANGED_KEYS) else f"{name}: {e!r}"
    except StopIteration as e:
        # No value was a tensor for the binding of `torch` at that moment.
        return None if name == "example_tensor" and not e.args else f"{name}: {e!r}"
    except Exception as e:  # noqa: BLE001 - any other outcome is a wrong result
        return f"{name}: {e!r}"
    raise AssertionError(name)


def check_plain_call(name, w):
    """The non-dict path of each function: never consults `torch`."""
    t = w.tensor
    try:
        if name == "to_device":
            r = bk.to_device(t, DEVICE)
            ok = same(r, transform(t, "to"))
        elif name == "example_probe":
            r = bk.example_probe(t)
            ok = same(r, transform(t, "cut"))
        elif name == "forward":
            r = bk.forward(w.bare, t)
            ok = r is t
        elif name == "split_batch":
            r = bk.split_batch(w.pair)
            ok = r is w.pair
        elif name == "example_tensor":
            r = bk.example_tensor(t)
            ok = r is t
        else:
            r = bk.set_primary_input(t, w.replacement)
            ok = r is w.replacement
    except Exception as e:  # noqa: BLE001
        return f"{name} on a tensor: {e!r}"
    return None if ok else f"{name} on a tensor gave {r!r}"


NAMES = list(BATCHKIT_NAMES)
# TARNEX_STRESS_FUNCTIONS=a,b narrows the calls, to see what else fails once
# one function's fault is known.
if os.environ.get("TARNEX_STRESS_FUNCTIONS"):
    NAMES = [n for n in NAMES if n in os.environ["TARNEX_STRESS_FUNCTIONS"].split(",")]


def run_stress(real, seconds):
    w = make_world(real)
    stable_orders = {tuple(w.stable)}
    stop = threading.Event()
    start = threading.Barrier(CALLERS + 3)  # with this thread
    failures, calls, rounds = [], [0] * CALLERS, {"mutator": 0, "rebinder": 0}
    lock = threading.Lock()

    def report(text):
        with lock:
            if len(failures) < 20:
                failures.append(text)

    def caller(i):
        start.wait()
        n = 0
        while not stop.is_set():
            for name in NAMES[i % len(NAMES):] + NAMES[:i % len(NAMES)]:
                for err in (check_dict_call(name, w.shared, w, None),
                            check_dict_call(name, w.stable, w, stable_orders),
                            check_plain_call(name, w)):
                    if err:
                        report(err)
                n += 3
        calls[i] = n

    def mutator():
        start.wait()
        d = w.shared
        while not stop.is_set():
            for op, k, v in w.ops:
                if op == "set":
                    d[k] = v
                else:
                    del d[k]
            rounds["mutator"] += 1

    def rebinder():
        start.wait()
        g = bk.__dict__
        fillers = [f"_stress_{i}" for i in range(40)]
        while not stop.is_set():
            bk.torch = torch
            w.standin_torch.Tensor = Other
            bk.torch = w.standin_torch
            w.standin_torch.Tensor = StandIn
            g.pop("torch", None)
            bk.torch = w.standin_torch
            # Enough new globals to resize the module's dict, then gone again.
            for name in fillers:
                g[name] = name
            bk.torch = torch
            for name in fillers:
                del g[name]
            rounds["rebinder"] += 1

    # On a GIL build, threads take turns often enough that calls are cut off
    # in the middle of their dict walks and look-ups.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=caller, args=(i,)) for i in range(CALLERS)]
    threads += [threading.Thread(target=mutator), threading.Thread(target=rebinder)]
    for t in threads:
        t.start()
    try:
        start.wait()
        time.sleep(seconds)
    finally:
        stop.set()
        for t in threads:
            t.join()
        bk.torch = torch
        sys.setswitchinterval(interval)
    return failures, calls, rounds


@pytest.mark.parametrize("real", [pytest.param(True, id="real-torch", marks=pytest.mark.needs_torch),
                                  pytest.param(False, id="stand-in-torch")])
def test_stress_shared_inputs_and_globals(real):
    failures, calls, rounds = run_stress(real, SECONDS)
    assert not failures, "\n".join(failures)
    # Every thread got to work: each caller made all its calls at least once,
    # and the dict and the globals went round their cycles.
    assert min(calls) >= 3 * len(NAMES) and min(rounds.values()) >= 1, (calls, rounds)
    assert bk.torch is torch
    print(f"{sys.implementation.name}: {sum(calls)} calls in {SECONDS:g} s, {rounds}")


# ------------------------------------------- the method `to` and the caches


class Holder:
    """A `torch` that is no module: the global is cached, its `Tensor` read
    by plain attribute access (and an instance, so it can be freed)."""

    Tensor = StandIn


def _call_and_keep(holder):
    saved = bk.torch
    bk.torch = holder
    try:
        return bk.to_device({"k": StandIn("h")}, DEVICE)["k"].op == "to"
    finally:
        bk.torch = saved


@pytest.mark.parametrize("where", ["exited-thread", "this-thread-next-call"])
def test_cached_global_is_released(where):
    """A thread's cache holds what it found strongly, and lets go when that
    thread refills the site or its thread state goes."""
    import gc
    import weakref

    holder = Holder()
    ref = weakref.ref(holder)
    if where == "exited-thread":
        results = []
        t = threading.Thread(target=lambda: results.append(_call_and_keep(holder)))
        t.start()
        t.join()
        assert results == [True]
    else:
        assert _call_and_keep(holder)
        # The next call, with the real torch bound again, refills the site.
        assert type(bk.to_device({"k": StandIn("n")}, DEVICE)["k"]) is StandIn
    del holder
    gc.collect()
    assert ref() is None


def test_method_to_against_attribute_and_class_changes():
    """Threads set and delete an instance attribute `to`, fill the object's
    dictionary and clear it, and replace the class's `to`, while others call
    it: every call gets one of the answers the look-up by name gives."""

    def base(self, *a):
        return "base"

    def other(self, *a):
        return "other"

    def own(*a):
        return "own"

    class C:
        to = base

    objs = [C() for _ in range(4)]
    answers = {"base", "other", "own"}
    stop = threading.Event()
    failures = []

    def caller():
        try:
            while not stop.is_set():
                for o in objs:
                    for r in (bk.to_device(o, DEVICE), bk.to_device({"k": o}, DEVICE)["k"]):
                        if r not in answers:
                            failures.append(r)
        except Exception as e:  # noqa: BLE001 - no call may fail
            failures.append(repr(e))

    def changer(mine, owns_class):
        # No `o.__dict__ = {...}` here: replacing an object's dictionary while
        # other threads look its attributes up crashes 3.13.5t by itself
        # (plain `o.to(...)` calls, without this module, in about half of
        # 3-second runs).
        while not stop.is_set():
            for o in mine:
                o.to = own
                del o.to
                vars(o)["x"] = 1
                vars(o).clear()
            if owns_class:
                C.to = other
                C.to = base

    saved = bk.torch
    bk.torch = types.SimpleNamespace(Tensor=C)
    threads = [threading.Thread(target=caller) for _ in range(4)]
    threads += [threading.Thread(target=changer, args=(objs[i::2], i == 0)) for i in range(2)]
    try:
        for t in threads:
            t.start()
        time.sleep(min(SECONDS, 2.0))
    finally:
        stop.set()
        for t in threads:
            t.join()
        bk.torch = saved
    assert not failures, failures[:5]
    assert bk.to_device(objs[0], DEVICE) == "base"

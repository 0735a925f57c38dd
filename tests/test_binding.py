"""Argument binding: the interpreter-style messages and their traceback entry."""
import ctypes
import json
import sys

import pytest
import torch

import tarnex.core._batchkit as bk

from functions import FUNCTIONS

pytestmark = pytest.mark.needs_torch


def _call_raw(f, args, kwnames):
    """Calls f through PyObject_Vectorcall with any kwnames tuple, as C code may."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = list(args)
    arr = (ctypes.py_object * len(values))(*values)
    nargs = len(values) - len(kwnames)
    return api.PyObject_Vectorcall(f, ctypes.cast(arr, ctypes.c_void_p), nargs, kwnames)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: bk.forward(x=1), "forward() takes exactly 2 positional arguments (0 given)"),
        (lambda: bk.forward(1, 2, 3), "forward() takes exactly 2 positional arguments (3 given)"),
        (lambda: bk.forward(), "forward() takes exactly 2 positional arguments (0 given)"),
        (lambda: bk.forward(1, 2, 3, model=4), "forward() takes exactly 2 positional arguments (3 given)"),
        (lambda: bk.to_device(device="cpu"), "to_device() takes exactly 2 positional arguments (0 given)"),
        (lambda: bk.to_device(1, x=2), "to_device() got multiple values for keyword argument 'x'"),
        (lambda: bk.forward(1, model=2), "forward() got multiple values for keyword argument 'model'"),
        (lambda: bk.forward(1, 2, y=3), "forward() got an unexpected keyword argument 'y'"),
        (lambda: bk.split_batch(), "split_batch() takes exactly 1 positional argument (0 given)"),
        (lambda: bk.example_probe(1, 2), "example_probe() takes exactly 1 positional argument (2 given)"),
        (lambda: bk.example_tensor(1, 2), "example_tensor() takes exactly 1 positional argument (2 given)"),
        (lambda: bk.set_primary_input(1), "set_primary_input() takes exactly 2 positional arguments (1 given)"),
        # First unfilled position counts as the number given.
        (lambda: bk.to_device(x=1), "to_device() takes exactly 2 positional arguments (1 given)"),
        (lambda: bk.set_primary_input(replacement=1), "set_primary_input() takes exactly 2 positional arguments (0 given)"),
    ],
)
def test_binding_messages_and_entry(call, message, entries):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    row = FUNCTIONS[message.split("(")[0]]
    assert entries(info.value) == [(row.entry, row.file, row.first)]


def test_keywords_match_by_content_and_in_any_order():
    t = torch.zeros(2)
    # Names that are not interned (built at run time) still bind.
    kw = json.loads('{"x": null, "device": "cpu"}')
    kw["x"] = t
    assert bk.to_device(**kw) is t
    assert bk.to_device(device="cpu", x=t) is t
    assert bk.forward(x=t, model=lambda v: v + 1).tolist() == [1.0, 1.0]
    assert bk.forward(lambda v: v, x=None) is None


def test_keywords_must_be_strings(entries):
    with pytest.raises(TypeError) as info:
        _call_raw(bk.forward, [len, 1], (1,))
    assert str(info.value) == "forward() keywords must be strings"
    assert entries(info.value)[-1][2] == FUNCTIONS["forward"].first
    # The interpreter refuses such a dict itself, before our code runs.
    with pytest.raises(TypeError, match="keywords must be strings"):
        bk.forward(len, **{1: 2})


def test_raw_vectorcall_with_keywords():
    assert _call_raw(bk.forward, [len, (1, 2, 3)], ("x",)) == 3
    assert _call_raw(bk.forward, [(1, 2), len], ("x", "model")) == 2


def test_binding_failures_do_not_leak(no_leak):
    big = object()

    def bad():
        try:
            bk.forward(big, y=big)
        except TypeError:
            pass

    no_leak(bad, big)


def _at_the_limit(fn, *args):
    """fn(*args) called where the recursion limit is reached: in the handler of
    the RecursionError that the next Python frame raised. The outcome, or the
    exception."""
    out = []

    def down():
        try:
            down()
        except RecursionError:
            if not out:
                try:
                    out.append(fn(*args))
                except Exception as exc:  # noqa: BLE001 - the outcome is the result
                    out.append(exc)

    down()
    return out[0]


T = torch.ones(1)


@pytest.mark.parametrize("fn, args, result", [
    (bk.split_batch, ((T, T),), 0),
    (bk.example_tensor, (T,), 0),
    (bk.set_primary_input, (T, "r"), 1),
])
def test_pass_through_calls_skip_the_recursion_guard(fn, args, result):
    """A call that only hands an argument back calls nothing and cannot
    recurse: it returns even where the recursion limit is reached. A call of
    the same function that can run code (a dict argument) keeps the guard; on
    3.11, whose C-level count shares the limit, it raises there."""
    assert _at_the_limit(fn, *args) is args[result]
    guarded = _at_the_limit(fn, {}, *args[1:])
    if sys.version_info[:2] == (3, 11):
        assert isinstance(guarded, RecursionError)

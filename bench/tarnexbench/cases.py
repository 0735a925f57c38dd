"""What the benchmark measures: the cases, each a native function of
tarnex.core._batchkit with its arguments and the floor statement it is held
against, and the statements and loops that every mode runs from them.

A new case is one entry of make_cases; its function must exist in
bench/pure.py and bench/pure_fast.py as well, and instruction_budgets.toml
gives it its budget.
"""
import itertools
import os
import sys

import torch

from . import BENCH, ROOT, import_or_none, load_bench_module

bk, _bk_note = import_or_none("tarnex.core._batchkit")
if bk is None:
    sys.exit(f"bench: {_bk_note}; install the package first (pip install .)")
if os.path.abspath(bk.__file__).startswith(os.path.join(ROOT, "tarnex") + os.sep):
    sys.exit("bench: tarnex is imported from the source tree; run with 'python -P bench/run.py'")
pure = load_bench_module("pure")
pure_fast = load_bench_module("pure_fast")


# An interpreter that no torch is built for yet runs the cases against the
# stand-in of tools/standin/ (on the path): its counts are our own code's on
# that interpreter, over floors of plain Python methods.
STANDIN = torch.__version__ == "0+standin"

if STANDIN:
    class _Rows(torch.Tensor):
        """The stand-in's tensor as the cases use it: moving and slicing hand
        it back, and it keeps no attribute of its own, as a real tensor keeps
        its data outside its instance dictionary."""

        def __init__(self, *shape, dtype=None):
            pass

        def to(self, device):
            return self

        def __getitem__(self, key):
            return self

    def _tensor(*shape, dtype=None):
        return _Rows()

    class _Module:
        def __call__(self, *args, **kwargs):
            return self.forward(*args, **kwargs)

    _LONG = None
else:
    _tensor = torch.zeros
    _Module = torch.nn.Module
    _LONG = torch.long


class Trivial(_Module):
    """A model that does no work: the cost measured is the call path."""

    def forward(self, input_ids, attention_mask=None, token_type_ids=None):
        return input_ids


class Case:
    def __init__(self, name, kind, func, args, floor, ns, floor_text=None, pass_floor=None,
                 by_name=False):
        self.name = name
        self.kind = kind  # "pass" (non-dict input) or "dict"
        self.func = func  # attribute name in tarnex.core._batchkit and pure
        self.args = args  # source of the call's arguments
        self.floor = floor  # source of the floor statement
        self.floor_text = floor_text or floor
        self.ns = ns
        # A path that only hands an argument back: the call of an object of
        # our own vectorcall type with as many arguments (bench/_passfloor.cpp),
        # as (statement, number of arguments). Instruction mode only.
        self.pass_floor = pass_floor
        # A path the method cache must not serve (the object has attributes
        # of its own, one of which could shadow the method): the look-up by
        # name every call. It has a budget, no target; beside its cached
        # twin it shows what the cache saves.
        self.by_name = by_name
        self.note = None


def _small():
    return _tensor(2, 8, dtype=_LONG)


def make_cases():
    t = _small()
    own = _small()
    own.tag = "an attribute of its own"
    hf3 = {"input_ids": _small(), "attention_mask": _small(), "token_type_ids": _small()}
    third = {"note": "text", "n": 3, "input_ids": _small()}
    hf4 = {**hf3, "labels": _tensor(2, dtype=_LONG)}
    rows = _tensor(100, 16)
    probe3 = {"input_ids": _tensor(32, 128), "attention_mask": _tensor(32, 128), "note": "text"}
    pair = (t, _tensor(2))
    r = _tensor(2, 8) if STANDIN else torch.ones(2, 8)
    v3 = list(hf3.values())
    return [
        Case("to_device(tensor)", "pass", "to_device", "x, dev", "x.to(dev)",
             dict(x=t, dev="cpu")),
        Case("to_device(tensor, own attribute)", "pass", "to_device", "x, dev", "x.to(dev)",
             dict(x=own, dev="cpu"), by_name=True),
        Case("to_device(dict3)", "dict", "to_device", "x, dev",
             "dict(x); a.to(dev); b.to(dev); c.to(dev)",
             dict(x=hf3, dev="cpu", a=v3[0], b=v3[1], c=v3[2]),
             "dict(x) + v.to(dev) per tensor"),
        Case("forward(tensor)", "pass", "forward", "model, x", "model(x)",
             dict(x=t, model=Trivial())),
        Case("forward(dict3)", "dict", "forward", "model, x", "model(**x)",
             dict(x=hf3, model=Trivial())),
        Case("example_tensor(tensor)", "pass", "example_tensor", "x", "len(s)",
             dict(x=t, s=pair), "len(s), s a 2-tuple", ("pf(x)", 1)),
        Case("example_tensor(dict, 3rd)", "dict", "example_tensor", "x", "x[k]",
             dict(x=third, k="input_ids")),
        Case("set_primary_input(tensor)", "pass", "set_primary_input", "x, r", "isinstance(x, T)",
             dict(x=t, r=r, T=type(t)), "isinstance(x, type(x))", ("pf(x, r)", 2)),
        Case("set_primary_input(dict, 3rd)", "dict", "set_primary_input", "x, r",
             "y = dict(x); y[k] = r", dict(x=third, r=r, k="input_ids")),
        Case("split_batch(tuple)", "pass", "split_batch", "x", "len(x)", dict(x=pair),
             pass_floor=("pf(x)", 1)),
        Case("split_batch(dict4)", "dict", "split_batch", "x",
             "dict(x), x.get('labels', x.get('label'))", dict(x=hf4)),
        Case("example_probe(tensor100)", "pass", "example_probe", "x", "x[:8]", dict(x=rows)),
        Case("example_probe(dict3)", "dict", "example_probe", "x",
             "dict(x); a[:8]; b[:8]",
             dict(x=probe3, a=probe3["input_ids"], b=probe3["attention_mask"]),
             "dict(x) + v[:8] per tensor"),
    ]


def setup_source(ns):
    """The statement that binds the names of `ns` (found as `_ns`)."""
    return "; ".join(f"{k} = _ns[{k!r}]" for k in ns) or "pass"


def statements(case, passfloor=None):
    """The statements of a case: the native function, the idiomatic Python
    version and the floor; with the module of bench/_passfloor.cpp (the
    instruction mode) also the cheapest Python version and, for a path that
    hands its argument back, the call of a pass-through object."""
    yield "tarnex", "f(" + case.args + ")", {**case.ns, "f": getattr(bk, case.func)}
    yield "pure", "f(" + case.args + ")", {**case.ns, "f": getattr(pure, case.func)}
    yield "floor", case.floor, dict(case.ns)
    if passfloor is not None:
        yield "fast", "f(" + case.args + ")", {**case.ns, "f": getattr(pure_fast, case.func)}
        if case.pass_floor is not None:
            stmt, nargs = case.pass_floor
            yield "passfloor", stmt, {**case.ns, "pf": passfloor.make(nargs)}


def probe(case, passfloor=None):
    """Runs each statement once; a function not built yet makes the case n/a."""
    for who, stmt, ns in statements(case, passfloor):
        try:
            exec(setup_source(ns) + "\n" + stmt, {"_ns": ns})
        except NotImplementedError:
            return f"{case.func} not implemented in this build"
        except Exception as e:  # noqa: BLE001 - reported, not hidden
            return f"{who} failed: {type(e).__name__}: {e}"
    return None


def loop_function(stmt, ns, lean=False):
    """A function _loop(n) that runs `stmt` n times with the names of `ns`
    local; a `lean` loop makes no int object per iteration."""
    over = "_repeat(None, _n)" if lean else "range(_n)"
    src = (f"def _loop(_n):\n    {setup_source(ns)}\n"
           f"    for _i in {over}:\n        {stmt}\n")
    scope = {"_ns": ns, "_repeat": itertools.repeat}
    exec(src, scope)
    return scope["_loop"]

"""Every main path of the native functions, success and failure, as one table.

The allocation-failure sweep, the table-wide leak loop and tools/valgrind_paths.py
all drive this table, so a new path (or a new module) is one more row. Run as a
script, it is the allocation-failure sweep (see `sweep`); tests/test_reliability.py
starts it in a subprocess.
"""
import contextlib
import os
import sys
import types

import torch

import tarnex.core._batchkit as bk

from doubles import BadKeys, Items, Meta, Model, Ne, Out, write_idx

T = torch.zeros(12, 2)  # 12 rows, so that the probe cut makes a new tensor
P = torch.nn.Parameter(torch.ones(3))
BIG = {f"k{i}": i for i in range(9)}  # past the smallest dict size: a resize allocates


# --------------------------------------------------------------- test objects


class Get(dict):
    def get(self, *args):
        return args


FakeTensor = Meta("FakeTensor", (), {})


class Grab:
    """o[key] answers key: hands out the slice example_probe cuts with."""

    def __getitem__(self, key):
        return key


class Colliding:
    """Equal hashes and, once armed, a failing ==: copying a dict with a hole
    compares the keys."""

    armed = False

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self.armed:
            raise ValueError("eq")
        return self is other


def colliding_dict():
    a, b = Colliding(), Colliding()
    d = {a: T, b: 2, "gap": 0}
    del d["gap"]
    a.armed = b.armed = True
    return d


def probe_slice():
    """The module's own slice constant, reached through a subscript hook."""
    return bk.example_probe(Grab())


def shared_constants():
    """Objects every call may touch and that live for the process: a call must
    leave their reference counts as it found them. ("get", "items" and
    "values" are the interpreter's own static strings, used everywhere.)"""
    return [sys.intern(s) for s in ("labels", "label", "to", "logits", "torch", "Tensor")] + [probe_slice()]


# -------------------------------------------------------------- module states


@contextlib.contextmanager
def patched(mod, **names):
    """Binds (or, with the value None, removes) module globals for the call."""
    saved = {k: mod.__dict__[k] for k in names if k in mod.__dict__}
    try:
        for k, v in names.items():
            if v is None:
                mod.__dict__.pop(k, None)
            else:
                setattr(mod, k, v)
        yield
    finally:
        for k in names:
            mod.__dict__.pop(k, None)
        mod.__dict__.update(saved)


def no_torch():
    return patched(bk, torch=None)


def fake_torch(**ns):
    return patched(bk, torch=types.SimpleNamespace(**ns))


# ------------------------------------------------------------------ the table


class Path(types.SimpleNamespace):
    """name; fn (the function object); make() -> (args, kwargs), called for
    every call, so that each call gets fresh arguments; setup() -> a context
    manager that puts the module in the state the path needs; mutates: the
    path's own callbacks change its arguments; sweep: run under injected
    allocation failures (False where the callees cannot take them)."""


def path(name, fn, make, setup=contextlib.nullcontext, mutates=False, sweep=True):
    return Path(name=name, fn=fn, make=make, setup=setup, mutates=mutates, sweep=sweep)


def instance_hook(hook):
    """A fake torch whose Tensor's instance check runs hook(obj)."""

    @contextlib.contextmanager
    def setup():
        with fake_torch(Tensor=FakeTensor):
            Meta.hook = hook
            try:
                yield
            finally:
                Meta.reset()

    return setup


def _raise(exc):
    raise exc


def _unpack_cases(fn, extra=()):
    """The item-pair walk's failures over a subclass's items()."""
    return [
        path(f"{fn.__name__}/items-too-many", fn, lambda: ((Items([("a", 1, 2)]), *extra), {})),
        path(f"{fn.__name__}/items-too-few", fn, lambda: ((Items([("a",)]), *extra), {})),
        path(f"{fn.__name__}/items-not-iterable", fn, lambda: ((Items([None]), *extra), {})),
        path(f"{fn.__name__}/items-raises", fn, lambda: ((Items(KeyError("k")), *extra), {})),
        path(f"{fn.__name__}/unhashable-key", fn, lambda: ((Items([([], 1)]), *extra), {})),
        path(f"{fn.__name__}/items-generator", fn,
             lambda: ((Items(lambda: iter([("a", T), ["b", 2]])), *extra), {})),
    ]


def _batchkit_paths():
    to_device, forward = bk.to_device, bk.forward
    example_tensor, set_primary_input = bk.example_tensor, bk.set_primary_input
    split_batch, example_probe = bk.split_batch, bk.example_probe
    return [
        # ---- binding (shared by all functions)
        path("binding/keywords", to_device, lambda: ((), {"device": "cpu", "x": T})),
        path("binding/too-many", forward, lambda: ((1, 2, 3), {})),
        path("binding/unexpected", forward, lambda: ((1,), {"y": 2})),
        path("binding/multiple", split_batch, lambda: ((1,), {"batch": 2})),
        path("binding/missing", set_primary_input, lambda: ((), {"replacement": 1})),
        # ---- to_device
        path("to_device/tensor", to_device, lambda: ((T, "cpu"), {})),
        path("to_device/dict", to_device, lambda: (({**BIG, "t": T, "p": P, "n": None}, "cpu"), {})),
        path("to_device/empty-no-torch", to_device, lambda: (({}, "cpu"), {}), no_torch),
        path("to_device/subclass", to_device, lambda: ((Items([("a", T), ("b", 1), ("a", 2)]), "cpu"), {})),
        path("to_device/device-not-str", to_device, lambda: ((T, None), {})),
        path("to_device/device-str-subclass", to_device, lambda: ((T, type("S", (str,), {})("cpu")), {})),
        path("to_device/no-to", to_device, lambda: ((5, "cpu"), {})),
        # `to` where the look-up once per type must not take it from the type.
        path("to_device/own-to", to_device, lambda: ((_own_to(), "cpu"), {})),
        path("to_device/to-property", to_device, lambda: (({"t": T.as_subclass(ToProperty)}, "cpu"), {})),
        path("to_device/to-raises", to_device, lambda: (({"t": T}, "no-such-device"), {})),
        path("to_device/no-torch", to_device, lambda: (({"t": T}, "cpu"), {}), no_torch),
        path("to_device/no-Tensor", to_device, lambda: (({"t": T}, "cpu"), {}), fake_torch),
        path("to_device/isinstance-raises", to_device, lambda: (({"t": T}, "cpu"), {}),
             instance_hook(lambda o: 1 / 0)),
        path("to_device/size-change", to_device, lambda: _grows(to_device, "cpu"),
             instance_hook(lambda o: o() if callable(o) else False), mutates=True),
        *_unpack_cases(to_device, ("cpu",)),
        # ---- forward
        # A plain callable: torch.nn.Module's own call path keeps its argument
        # tuple alive when an allocation fails inside it (also when called from
        # Python), which would hide ours.
        path("forward/tensor", forward, lambda: ((Model(T), T), {})),
        path("forward/dict", forward, lambda: ((Model(T), {**BIG, "t": T}), {})),
        path("forward/subclass", forward, lambda: ((Model(T), Items([], a=T)), {})),
        path("forward/logits", forward, lambda: ((Model(Out(T)), None), {})),
        path("forward/no-logits", forward, lambda: ((Model(Out()), None), {})),
        path("forward/model-raises", forward, lambda: ((Model(KeyError("m")), T), {})),
        path("forward/copy-fails", forward, lambda: ((Model(T), BadKeys(a=1)), {})),
        path("forward/non-str-keyword", forward, lambda: ((Model(T), {1: 2}), {})),
        path("forward/logits-raises", forward, lambda: ((Model(Out(ValueError("l"), 1)), T), {})),
        path("forward/second-fetch", forward, lambda: ((Model(Out(AttributeError("l"), 2)), T), {})),
        # ---- example_tensor and its generator expression
        path("example_tensor/tensor", example_tensor, lambda: ((T,), {})),
        path("example_tensor/dict", example_tensor, lambda: (({**BIG, "t": T},), {})),
        path("example_tensor/values-list", example_tensor, lambda: ((Items([1, P, T]),), {})),
        path("example_tensor/values-generator", example_tensor,
             lambda: ((Items(lambda: (v for v in [1, T, 2])),), {})),
        path("example_tensor/empty", example_tensor, lambda: (({},), {})),
        path("example_tensor/no-tensor", example_tensor, lambda: ((dict(BIG),), {})),
        path("example_tensor/values-raises", example_tensor, lambda: ((Items(KeyError("v")),), {})),
        path("example_tensor/values-stopiteration", example_tensor,
             lambda: ((Items(StopIteration("v")),), {})),
        path("example_tensor/iterator-raises", example_tensor,
             lambda: ((Items(lambda: (_raise(ValueError("it")) for _ in [1])),), {})),
        path("example_tensor/no-torch", example_tensor, lambda: (({"t": T},), {}), no_torch),
        path("example_tensor/isinstance-stopiteration", example_tensor, lambda: (({"t": T},), {}),
             instance_hook(lambda o: _raise(StopIteration(o)))),
        path("example_tensor/size-change", example_tensor, lambda: _grows(example_tensor),
             instance_hook(lambda o: o() if callable(o) else False), mutates=True),
        # ---- set_primary_input
        path("set_primary_input/tensor", set_primary_input, lambda: ((T, P), {})),
        path("set_primary_input/dict", set_primary_input, lambda: (({**BIG, "t": T, "u": T}, P), {})),
        path("set_primary_input/no-tensor", set_primary_input, lambda: ((dict(BIG), P), {})),
        path("set_primary_input/subclass", set_primary_input, lambda: ((Items([], a=1, t=T), None), {})),
        path("set_primary_input/copy-fails", set_primary_input, lambda: ((colliding_dict(), P), {})),
        path("set_primary_input/no-torch", set_primary_input, lambda: (({"t": T}, P), {}), no_torch),
        path("set_primary_input/store-fails", set_primary_input, lambda: _store_fails()),
        # ---- split_batch
        path("split_batch/tuple", split_batch, lambda: (((T, T),), {})),
        path("split_batch/labels", split_batch, lambda: (({**BIG, "labels": T, "label": P},), {})),
        path("split_batch/label", split_batch, lambda: (({"a": T, "label": P},), {})),
        path("split_batch/neither", split_batch, lambda: (({"a": T},), {})),
        path("split_batch/odd-keys", split_batch,
             lambda: (({0: T, ("labels",): T, None: 1, type("S", (str,), {})("labels"): 2,
                        Ne(lambda: False): 3, Ne(lambda: [1]): 4},), {})),
        path("split_batch/subclass", split_batch, lambda: ((Items([("a", T), ["labels", 1]], labels=P),), {})),
        path("split_batch/get-override", split_batch, lambda: ((Get(a=T),), {})),
        path("split_batch/get-raises", split_batch, lambda: ((type("G", (dict,), {"get": None})(),), {})),
        path("split_batch/ne-raises", split_batch, lambda: (({Ne(lambda: 1 / 0): T},), {})),
        path("split_batch/size-change", split_batch, lambda: _ne_grows(), mutates=True),
        *_unpack_cases(split_batch),
        # ---- example_probe
        path("example_probe/tensor", example_probe, lambda: ((T,), {})),
        path("example_probe/short-tensor", example_probe, lambda: ((P,), {})),
        path("example_probe/dict", example_probe, lambda: (({**BIG, "t": T, "l": list(range(20))},), {})),
        path("example_probe/subclass", example_probe, lambda: ((Items([("a", T), ("b", 1)]),), {})),
        path("example_probe/tuple", example_probe, lambda: (((T, P, T),), {})),
        path("example_probe/unsliceable", example_probe, lambda: ((5,), {})),
        path("example_probe/cut-raises", example_probe, lambda: (({"t": T.as_subclass(Uncuttable)},), {})),
        path("example_probe/no-torch", example_probe, lambda: (({"t": T},), {}), no_torch),
        path("example_probe/empty-no-torch", example_probe, lambda: (({},), {}), no_torch),
        *_unpack_cases(example_probe),
    ]


def _own_to():
    """A tensor with an instance attribute `to`, which wins over the type's."""
    t = T.as_subclass(torch.Tensor)
    t.to = lambda device: (device, "own")
    return t


class ToProperty(torch.Tensor):
    """A data descriptor named `to`: the attribute access calls it."""

    @property
    def to(self):
        return lambda device: (device, "property")


class Uncuttable(torch.Tensor):
    def __getitem__(self, key):
        raise IndexError("no cut")


def _grows(fn, *extra):
    """An exact dict whose second value, when tested, adds an entry to it."""
    d = {"a": 1}
    d["b"] = lambda: d.setdefault(object(), 0) and False
    return (d, *extra), {}


def _ne_grows():
    d = {"a": T}
    d[Ne(lambda: d.setdefault(object(), 0) or True)] = 1
    return (d,), {}


def _store_fails():
    # The hash runs when the replacement is stored (the copy reuses the
    # stored hashes): raising then fails the store.
    class Once:
        calls = 0

        def __hash__(self):
            Once.calls += 1
            if Once.calls > 1:
                raise ValueError("hash")
            return 1

    return ({Once(): T}, P), {}


# ------------------------------------------------------------------- mnist

_DATA = []


@contextlib.contextmanager
def mnist_data():
    """Runs in a directory whose ./data holds a tiny MNIST in torchvision's raw
    layout (made once per process), so the datasets load without a download."""
    import tempfile

    if not _DATA:
        import atexit
        import shutil

        root = tempfile.mkdtemp(prefix="tarnex-mnist-")
        # One folder per process (the suite runs many child processes that
        # import this table): each removes its own on the way out, and a
        # forked child leaves its parent's alone.
        owner = os.getpid()
        atexit.register(lambda: os.getpid() == owner and shutil.rmtree(root, ignore_errors=True))
        raw = os.path.join(root, "data", "MNIST", "raw")
        os.makedirs(raw)
        for prefix, n in (("train", 6), ("t10k", 4)):
            write_idx(raw, prefix, n)
        _DATA.append(root)
    here = os.getcwd()
    os.chdir(_DATA[0])
    try:
        yield
    finally:
        os.chdir(here)


class StandIns:
    """Light stand-ins for the outside calls of mnist_loaders: the datasets and
    loaders are torchvision's and torch's business, and under failing
    allocations torchvision's dataset may even turn to downloading."""

    def __init__(self, fail=None):
        self.fail = fail
        self.transforms = types.SimpleNamespace(ToTensor=lambda: "tfm")
        self.torchvision = types.SimpleNamespace(datasets=types.SimpleNamespace(MNIST=self.dataset))

    def dataset(self, **kw):
        if self.fail == "dataset":
            raise OSError("no files")
        return ("ds", kw["train"])

    def DataLoader(self, ds, **kw):
        if kw["batch_size"] <= 0:
            raise ValueError("batch_size should be a positive integer value")
        return ("loader", ds, kw["batch_size"])


def _mnist_paths():
    import tarnex.data.mnist as mn

    fn = mn.mnist_loaders

    def outside(stand=None, **names):
        """The module's globals bound to stand-ins (None removes one)."""

        def setup():
            s = stand or StandIns()
            return patched(mn, **{"transforms": s.transforms, "torchvision": s.torchvision,
                                  "DataLoader": s.DataLoader, **names})

        return setup

    return [
        # The real datasets and loaders, on a tiny MNIST written here.
        path("mnist_loaders/real", fn, lambda: ((), {}), mnist_data, sweep=False),
        path("mnist_loaders/real-keyword", fn, lambda: ((), {"batch_size": 2}), mnist_data, sweep=False),
        path("mnist_loaders/default", fn, lambda: ((), {}), outside()),
        path("mnist_loaders/keyword", fn, lambda: ((), {"batch_size": 2}), outside()),
        path("mnist_loaders/float", fn, lambda: ((2.5,), {}), outside()),
        path("mnist_loaders/not-a-number", fn, lambda: (("2",), {}), outside()),
        path("mnist_loaders/nan", fn, lambda: ((float("nan"),), {}), outside()),
        path("mnist_loaders/loader-refuses", fn, lambda: ((0,), {}), outside()),
        path("mnist_loaders/dataset-raises", fn, lambda: ((), {}), outside(StandIns("dataset"))),
        path("mnist_loaders/too-many", fn, lambda: ((1, 2), {})),
        path("mnist_loaders/unexpected", fn, lambda: ((), {"bs": 1})),
        path("mnist_loaders/no-transforms", fn, lambda: ((), {}), outside(transforms=None)),
        path("mnist_loaders/no-datasets", fn, lambda: ((), {}), outside(torchvision=types.SimpleNamespace())),
        path("mnist_loaders/no-DataLoader", fn, lambda: ((), {}), outside(DataLoader=None)),
    ]


# module -> (its rows, the modules its body imports: loaded before an import
# under injected failures, so that the window holds the module's own work).
MODULES = {
    "tarnex.core._batchkit": (_batchkit_paths, ["typing", "torch"]),
    "tarnex.data.mnist": (_mnist_paths, ["torch.utils.data", "torchvision", "torchvision.transforms"]),
}


def all_paths(module=None):
    out = []
    for name, (build, _) in MODULES.items():
        if module in (None, name):
            out.extend(build())
    return out


def table_summary(module):
    """The outcome of every path of `module`, comparable across processes."""
    out = []
    for p in all_paths(module):
        with p.setup():
            try:
                out.append((p.name, summary(call(p))))
            except BaseException as exc:
                out.append((p.name, summary(exc)))
    return out


# ------------------------------------------------------------------ outcomes


def snapshot(o, depth=0):
    """What a call must not change: identities, dict entries, tensor versions."""
    if isinstance(o, torch.Tensor):
        return ("T", id(o), tuple(o.shape), o._version)
    if depth > 2:
        return id(o)
    if isinstance(o, dict):
        return (type(o), id(o), [(snapshot(k, depth + 1), snapshot(v, depth + 1)) for k, v in dict.items(o)],
                sorted(vars(o)) if hasattr(o, "__dict__") else None)
    if type(o) in (tuple, list):
        return (type(o), id(o), [snapshot(v, depth + 1) for v in o])
    return id(o)


def summary(o):
    """A call's outcome in a comparable form: exception type and text, or the
    result's shape with the identity of what it shares with its arguments."""
    if isinstance(o, BaseException):
        return ("raise", type(o).__name__, str(o))
    if isinstance(o, torch.Tensor):
        storage = {T.data_ptr(): "T", P.data_ptr(): "P"}.get(o.data_ptr(), "other")
        return ("T", tuple(o.shape), storage)
    if type(o) is dict:
        return ("dict", [(summary(k), summary(v)) for k, v in o.items()])
    if type(o) in (tuple, list):
        return (type(o).__name__, [summary(v) for v in o])
    if isinstance(o, (str, int, type(None), slice)):
        return repr(o)
    return type(o).__name__


def call(p):
    args, kwargs = p.make()
    return p.fn(*args, **kwargs)


# -------------------------------------------------------- allocation failures

# Exceptions that mean "an allocation failed": the interpreter's, and the one
# torch raises when it cannot allocate a tensor object.
OOM = (MemoryError, torch.OutOfMemoryError)


# CPython 3.11 itself loses the exception in flight when it cannot allocate
# the frame object of a Python caller while a Python callee unwinds with an
# exception: _PyFrame_MakeAndSetFrameObject() drops the pending exception when
# its allocation fails, take_ownership() in Python/frame.c then clears the
# MemoryError, and the evaluation loop reports the empty error as this.
# Reproduced with no module of ours involved.
# It needs Python frames on both sides, so it never comes from our functions
# (a C function that returns NULL without an exception is reported as
# "... returned NULL without setting an exception"). Counted, not failed.
INTERPRETER_FAULT = ("raise", "SystemError", "error return without exception set")


def _chain(exc):
    seen = []
    while exc is not None and len(seen) < 20:
        seen.append(exc)
        exc = exc.__context__
    return seen


def _attempt(fn, args, kwargs, start, stop, nomemory, remove):
    """One call with allocations failing from the start-th (up to stop): the
    hooks go on right before the call and off right after it."""
    sys._getframe()  # the frame object exists before the window opens
    # f(*args, **{}) would build a dict inside the window: two spellings.
    if kwargs:
        nomemory(start, stop)
        try:
            result = fn(*args, **kwargs)
        except BaseException as exc:
            remove()
            return False, exc
        remove()
        return True, result
    nomemory(start, stop)
    try:
        result = fn(*args)
    except BaseException as exc:
        remove()
        return False, exc
    remove()
    return True, result


def sweep_path(p, problems, report=lambda text: None):
    """Runs p with set_nomemory(n) for n = 0, 1, ... until the call meets no
    injected failure ("from"), then fails only the n-th allocation for each n
    up to there ("at"). Every run gets fresh arguments and must leave them as
    they were (reference counts included), and must end in an allocation
    failure or in the outcome of an undisturbed call. Returns the number of
    runs and the allocation count reached."""
    import gc

    import _testcapi

    nomemory, remove = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    outcomes = []

    def run(start, stop):
        args, kwargs = p.make()
        # Small ints, None and strings are shared with the harness itself.
        flat = [a for a in list(args) + list(kwargs.values()) if not isinstance(a, (int, str, type(None)))]
        before = None if p.mutates else [snapshot(a) for a in flat]
        counts = [sys.getrefcount(a) for a in flat]
        ok, value = _attempt(p.fn, args, kwargs, start, stop, nomemory, remove)
        mode, n = ("from", start) if stop == 0 else ("at", start)
        oom = not ok and isinstance(value, OOM)
        chain = [] if ok else [type(e) for e in _chain(value)]
        outcomes.append((f"{p.name}: {mode} n={n}", oom, summary(value), chain))
        del value
        if before is not None and [snapshot(a) for a in flat] != before:
            problems.append(f"{p.name}: {mode} n={n}: an argument changed")
        after = [sys.getrefcount(a) for a in flat]
        if after != counts:
            gc.collect()  # cycles made by Python code that failed are not leaks
            after = [sys.getrefcount(a) for a in flat]
        if after != counts:
            problems.append(f"{p.name}: {mode} n={n}: argument reference counts {counts} -> {after}")
        return oom

    with p.setup():
        n = 0
        while run(n, 0):
            report(f"{p.name} from {n}")
            n += 1
            if n > 5000:
                problems.append(f"{p.name}: still failing after 5000 allocations")
                break
        for m in range(n + 3):
            report(f"{p.name} at {m}")
            run(m, m + 1)
        # The reference, after all of the above: an undisturbed call, which
        # also shows that the function still works.
        try:
            ref = summary(call(p))
        except BaseException as exc:
            ref = summary(exc)
    noise = 0
    for where, oom, summ, chain in outcomes:
        if summ == INTERPRETER_FAULT:
            noise += 1
        elif SystemError in chain:
            problems.append(f"{where}: SystemError in {[c.__name__ for c in chain]}: {summ}")
        elif not oom and summ != ref:
            problems.append(f"{where}: {summ} instead of {ref}")
    return len(outcomes), n, noise


def sweep(names=None):
    """The allocation-failure sweep over the table (or the named paths).
    Prints one JSON line: runs, allocations reached per path, problems."""
    import gc
    import json

    progress = int(os.environ.get("TARNEX_PROGRESS_FD", "-1"))

    def report(text):
        if progress >= 0:
            os.write(progress, (text + "\n").encode())

    gc.disable()  # a collection inside the window would run unrelated code
    problems, reached, total, noise = [], {}, 0, 0
    # A generator released while allocations fail cannot be closed cleanly;
    # the interpreter reports that as unraisable. Only a MemoryError is fine.
    sys.unraisablehook = lambda u: isinstance(u.exc_value, OOM) or problems.append(
        f"unraisable {u.exc_type.__name__}: {u.exc_value} in {u.object!r}")
    for p in all_paths():
        if (names and p.name not in names) or not p.sweep:
            continue
        runs, n, faults = sweep_path(p, problems, report)
        total += runs
        noise += faults
        reached[p.name] = n
        gc.collect()
    print(json.dumps({"runs": total, "reached": reached, "interpreter_faults": noise, "problems": problems}))


if __name__ == "__main__":
    sweep(sys.argv[1:])

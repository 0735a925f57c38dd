"""Faults from outside: every path of the table in tests/paths.py under injected
allocation failures, module imports under injected failures, and the whole
table under a reference-leak loop."""
import gc
import json
import os
import subprocess
import sys

import pytest

import paths

pytestmark = pytest.mark.needs_torch

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import _testcapi  # noqa: F401  (the allocation hooks)
except ImportError:
    _testcapi = None
sweeps = pytest.mark.skipif(_testcapi is None or not hasattr(os, "fork"),
                            reason="needs _testcapi and fork")
# CPython 3.12 and 3.13 themselves crash under injected allocation failures
# here; 3.11 and 3.14 run the sweeps, and 3.12 the import sweeps. Each note
# names what crashes with no module of ours involved.
# 3.12 (measured on 3.12.1): PyFunction_NewWithQualName, failing half-way,
# hands a function object with unset fields to func_dealloc, which crashes in
# func_clear (Objects/funcobject.c:835). The plain-Python example_tensor,
# `next(v for v in x.values() if isinstance(v, torch.Tensor))`, with the
# table's dict subclass whose values() is a lambda making a generator, dies
# at set_nomemory(1) with a segmentation fault there.
# 3.13: inside PyType_FromSpec while the module makes its function type, and
# on the table's paths, where a plain Python function swept the same way
# (`next(v for v in x.values() if isinstance(v, torch.Tensor))` on a dict
# subclass whose values() is a generator) dies with a segmentation fault as
# well.
_INTERPRETER_CRASHES = {
    (3, 12): "CPython 3.12 itself crashes under injected allocation failures "
             "(func_dealloc of a function PyFunction_NewWithQualName could not finish; "
             "the plain-Python example_tensor crashes at set_nomemory(1))",
    (3, 13): "CPython 3.13 itself crashes under injected allocation failures "
             "(PyType_FromSpec; a pure-Python generator path)",
}
interpreter_survives = pytest.mark.skipif(
    sys.version_info[:2] == (3, 13), reason=_INTERPRETER_CRASHES[(3, 13)])
# 3.12's crash is in the calls' sweep only: its import sweeps pass.
calls_survive = pytest.mark.skipif(
    sys.version_info[:2] == (3, 12), reason=_INTERPRETER_CRASHES[(3, 12)])


def _run(args, tmp_path, timeout=600):
    """Runs a script in a fresh interpreter; a crash names the last run it began."""
    read, write = os.pipe()
    # TMPDIR: the sweeps' forked children end in os._exit, past any clean-up,
    # so the MNIST folders they make go where pytest's own clean-up finds them.
    env = dict(os.environ, TARNEX_PROGRESS_FD=str(write), PYTHONPATH=HERE, TMPDIR=str(tmp_path))
    with open(tmp_path / "out", "w+") as out, open(tmp_path / "err", "w+") as err:
        proc = subprocess.Popen([sys.executable, "-P", *args], cwd=tmp_path, env=env,
                                pass_fds=(write,), stdout=out, stderr=err)
        os.close(write)
        with os.fdopen(read) as progress:
            last = progress.read().strip().splitlines()[-1:] or ["(none)"]
        proc.wait(timeout=timeout)
        out.seek(0)
        err.seek(0)
        assert proc.returncode == 0, f"exit {proc.returncode} during run {last[0]}:\n{err.read()[-3000:]}"
        return json.loads(out.read().strip().splitlines()[-1])


@pytest.mark.slow
@sweeps
@interpreter_survives
@calls_survive
def test_allocation_failures_in_calls(tmp_path):
    """Each path runs with allocations failing from the n-th on, for n = 0, 1,
    ... until the call meets none, then with only the n-th failing: every run
    ends in a MemoryError or in the undisturbed outcome, leaves its arguments
    and their reference counts as they were, and never shows a SystemError."""
    result = _run([os.path.join(HERE, "paths.py")], tmp_path)
    print(f"\n{len(result['reached'])} paths, {result['runs']} injected runs, "
          f"{sum(result['reached'].values())} allocations reached, "
          f"{result['interpreter_faults']} interpreter faults (counted, not ours)")
    assert result["problems"] == []
    assert len(result["reached"]) == len([p for p in paths.all_paths() if p.sweep])


IMPORT_SWEEP = r"""
import gc, importlib, importlib.util, json, os, sys, _imp, _testcapi
name, preload = sys.argv[1], sys.argv[2:]
for m in preload:
    importlib.import_module(m)
spec = importlib.util.find_spec(name)
progress = int(os.environ["TARNEX_PROGRESS_FD"])

def attempt(start, stop):
    # Module creation and execution as the import system runs them, with the
    # hooks on for exactly that.
    gc.disable()
    sys._getframe()
    _testcapi.set_nomemory(start, stop)
    try:
        _imp.exec_dynamic(_imp.create_dynamic(spec))
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        chain, e = [], exc
        while e is not None:
            chain.append(type(e).__name__)
            e = e.__context__
        return chain
    _testcapi.remove_mem_hooks()
    return []

def child(start, stop):
    chain = attempt(start, stop)
    gc.enable()
    # A failed import leaves nothing behind: a plain import afterwards gives a
    # working module (the table of its paths gives the usual outcomes).
    try:
        import paths
        after = paths.table_summary(name)
    except BaseException as exc:
        after = repr(exc)
    return {"chain": chain, "after": after}

def fork(start, stop):
    os.write(progress, f"{'from' if stop == 0 else 'at'} n={start}\n".encode())
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.write(w, json.dumps(child(start, stop), default=repr).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        data = f.read()
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if status != 0 or not data:
        return {"chain": [f"exit {status}"], "after": None}
    return json.loads(data)

runs, problems, n = [], [], 0
while True:
    runs.append((f"from n={n}", fork(n, 0)))
    if not runs[-1][1]["chain"] or n > 3000:
        break
    n += 1
for m in range(n + 3):
    runs.append((f"at n={m}", fork(m, m + 1)))
reference = runs[-1][1]["after"]
for where, r in runs:
    if r["chain"] and (r["chain"][0] != "MemoryError" or "SystemError" in r["chain"]):
        problems.append(f"{where}: {r['chain']}")
    if r["after"] != reference:
        problems.append(f"{where}: after a failed import: {str(r['after'])[:300]}")
print(json.dumps({"runs": len(runs), "reached": n, "problems": problems}))
"""


@pytest.mark.slow
@sweeps
@interpreter_survives
@pytest.mark.parametrize("module", sorted(paths.MODULES))
def test_allocation_failures_in_import(module, tmp_path):
    """Each n in a process of its own (forked after the module's imports are
    loaded): the import ends in a clean MemoryError or succeeds, and a plain
    import afterwards always gives a module that works."""
    preload = paths.MODULES[module][1]
    result = _run(["-c", IMPORT_SWEEP, module, *preload], tmp_path)
    print(f"\n{module}: {result['runs']} injected imports, {result['reached']} allocations reached")
    assert result["problems"] == []


def test_the_tables_mnist_folder_is_removed_at_exit(tmp_path):
    code = "import paths, os\nwith paths.mnist_data():\n    print(os.getcwd())"
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, PYTHONPATH=HERE, TMPDIR=str(tmp_path)))
    assert proc.returncode == 0, proc.stderr
    assert os.path.dirname(proc.stdout.strip()) == str(tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_every_path_leaks_nothing(no_leak):
    """All paths of the table, in one loop: no growth of allocated blocks, nor
    of the reference counts of the arguments or of the module's shared
    constants (interned names, the probe slice)."""
    table = paths.all_paths()
    made = [(p, p.make()) for p in table]
    # Small ints, None and strings are shared with everything else.
    mine = lambda args, kwargs: [a for a in (*args, *kwargs.values()) if not isinstance(a, (int, str, type(None)))]

    def one(p, args, kwargs):
        with p.setup():
            try:
                p.fn(*args, **kwargs)
            except Exception:
                pass

    def check(calls, watched, rounds=60):
        # The interpreter's attribute cache holds the names it last looked up,
        # so a constant may move by one or two; a leak moves it by `rounds`.
        constants = paths.shared_constants()
        before = [sys.getrefcount(c) for c in constants]
        no_leak(calls, *watched, rounds=rounds, warmup=5)
        grown = [sys.getrefcount(c) - b for c, b in zip(constants, before)]
        assert max(grown) < rounds // 4, f"shared constants grew by {grown}"

    def all_once():
        for p, (args, kwargs) in made:
            one(p, *(p.make() if p.mutates else (args, kwargs)))

    gc.collect()
    try:
        check(all_once, [a for _, made_args in made for a in mine(*made_args)])
    except AssertionError:
        # Name the path: the same check one path at a time.
        for p, (args, kwargs) in made:
            try:
                check(lambda: one(p, *(p.make() if p.mutates else (args, kwargs))), mine(args, kwargs))
            except AssertionError as exc:
                raise AssertionError(f"{p.name}: {exc}") from None
        raise


# ------------------------------------------------------------------ crashes
# Hostile Python code that once took the process down. Each runs in a fresh
# interpreter and must end normally, printing what the caller saw.

OUTCOME = """
import sys, types
def outcome(fn, *args):
    try:
        return repr(fn(*args))
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
"""
# A stand-in for torch keeps these processes short.
STUB_TORCH = OUTCOME + """
torch = sys.modules["torch"] = types.ModuleType("torch")
torch.Tensor = type("Tensor", (), {})
import tarnex.core._batchkit as bk
"""

# A slot that is the function itself: no Python frame between the calls.
RECURSION = {
    "to": "class C: to = bk.to_device\nprint(outcome(bk.to_device, C(), 'cpu'))",
    "items": "class D(dict): items = bk.example_probe\nprint(outcome(bk.example_probe, D(a=1)))",
    "items-split": "class D(dict): items = bk.split_batch\nprint(outcome(bk.split_batch, D(a=1)))",
    "values": "class D(dict): values = bk.example_tensor\nprint(outcome(bk.example_tensor, D(a=1)))",
    "call": "class M: __call__ = bk.forward\nprint(outcome(bk.forward, M(), 1))",
    "mnist": "import tarnex.data.mnist as mn\n"
             "mn.transforms = types.SimpleNamespace(ToTensor=mn.mnist_loaders)\n"
             "print(outcome(mn.mnist_loaders))",
}

# The walk's previous key is released while the next entry is taken: its
# destructor replaces the next value, which only the dict holds.
SWAP_OUT = """
d = {}
class Swapped:
    done = False
    def __hash__(self): return 1
    def __ne__(self, other):
        if not Swapped.done:
            Swapped.done = True
            del d[self]; d["z"] = 0
        return True
    def __del__(self): d["b"] = None
d[Swapped()] = 1
d["b"] = bytearray(1 << 20)
print(outcome(bk.split_batch, d))
"""

# A daemon thread inside a callback (the lock released) when the interpreter
# exits: the thread is unwound through the native frames.
DAEMON = """
import threading, time
import tarnex.core._batchkit as bk
class D(dict):
    def items(self):
        time.sleep(0.001)
        return [("a", 1)]
class V:
    def to(self, device):
        time.sleep(0.001)
        return self
def loop():
    while True:
        bk.split_batch(D()) if "{how}" == "items" else bk.to_device(V(), "cpu")
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.2)
print("exiting")
"""


# The functions in plain Python, for scenarios whose outcome must be the one
# the same code gives there. Loaded as a module of its own, so that its
# globals can be attacked as the native module's are.
PURE = STUB_TORCH + '''
pure = types.ModuleType("pure")
exec("""
import torch
def example_tensor(x):
    if isinstance(x, dict):
        return next(v for v in x.values() if isinstance(v, torch.Tensor))
    return x
def split_batch(batch):
    if isinstance(batch, dict):
        labels = batch.get("labels", batch.get("label"))
        inputs = {k: v for k, v in batch.items() if k != "labels" and k != "label"}
        return inputs, labels
    return batch
def to_device(x, device):
    if isinstance(x, dict):
        return {k: v.to(device) if isinstance(v, torch.Tensor) else v for k, v in x.items()}
    return x.to(device)
def forward(model, x):
    out = model(**x) if isinstance(x, dict) else model(x)
    return out.logits if hasattr(out, "logits") else out
def set_primary_input(x, replacement):
    if isinstance(x, dict):
        out = dict(x)
        for k, v in out.items():
            if isinstance(v, torch.Tensor):
                out[k] = replacement
                return out
        return out
    return replacement
def example_probe(x):
    if isinstance(x, dict):
        return {k: v[:8] if isinstance(v, torch.Tensor) else v for k, v in x.items()}
    return x[:8]
""", pure.__dict__)
bk = pure
'''
# Only the exception's type is compared: the interpreter words its own
# messages differently for Python and native frames.
KIND = """
def outcome(fn, *args):
    try:
        return type(fn(*args)).__name__
    except Exception as exc:
        return type(exc).__name__
"""

# Code run while a cache entry is being filled. A key with the hash of
# "torch" has its __eq__ run by the look-up; it rebinds `torch` and calls a
# function that fills the same site for another module, or rebinds `torch`
# while the site is filled from builtins.
FILL = """
import builtins, gc
class C1: pass
class C2: pass
g1 = types.ModuleType("g1")
g1.__getattr__ = lambda name: C1 if name == "Tensor" else None
g2 = types.ModuleType("g2"); g2.Tensor = C2
armed = False
class K:
    def __hash__(self): return hash("torch")
    def __eq__(self, other):
        global armed
        if armed:
            armed = False
            bk.torch = g2
            if NESTED:
                outcome(bk.example_tensor, {"a": C2()})
                bk.torch = g1
        return False
del bk.__dict__["torch"]
(bk.__dict__ if NESTED else builtins.__dict__)[K()] = 1
if NESTED: bk.__dict__["torch"] = g1
else: builtins.torch = g1
armed = True
x = {"a": C2(), "b": C1()}
print(outcome(bk.example_tensor, x), outcome(bk.example_tensor, x))
del g2; gc.collect()
print(outcome(bk.example_tensor, x), outcome(bk.example_tensor, x))
"""
# A function reached again through its own slot, with the recursion limit
# far above what the C stack holds, or in a thread with a small stack.
DEEP = """
import threading
class D(dict): items = bk.split_batch
def run(): print(outcome(bk.split_batch, D(a=1)))
if SMALL_STACK:
    threading.stack_size(256 * 1024); t = threading.Thread(target=run); t.start(); t.join()
else:
    sys.setrecursionlimit(100000); run()
"""
# Every function once, in a thread with the smallest stack the interpreter
# allows: the room kept back for the check must leave such a thread usable.
SMALLEST_STACK = """
import threading
class O:
    def to(self, device): return self
def f(**kw): return kw
out = []
def run():
    out.extend([outcome(bk.to_device, O(), "cpu"), outcome(bk.to_device, {"a": 1}, "cpu"),
                outcome(bk.forward, f, {"input_ids": 1}),
                outcome(bk.split_batch, {"input_ids": 1, "labels": 2}),
                outcome(bk.example_probe, [1] * 20), outcome(bk.set_primary_input, {"a": 1}, 2)])
for kib in (32, 64, 128, 256):  # 3.14 on, and aarch64's glibc, ask for more
    try:
        threading.stack_size(kib * 1024)
        break
    except ValueError:
        pass
t = threading.Thread(target=run); t.start(); t.join()
print(out)
"""
# The main thread's first call made with no file descriptor free (glibc reads
# /proc/self/maps for the main thread's stack), then a recursion through `to`
# far deeper than the stack holds.
FAILED_QUERY = """
import os, resource
class O:
    def to(self, device): return bk.to_device(O(), device)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
fds = []
try:
    while True: fds.append(os.open(os.devnull, os.O_RDONLY))
except OSError:
    pass
first = outcome(bk.to_device, {}, "cpu")
for fd in fds: os.close(fd)
sys.setrecursionlimit(100000)
print(first, outcome(bk.to_device, O(), "cpu"))
"""
# Each level's `to` runs native code that takes much stack of its own (the
# json encoder, about 100 KiB for a list nested 1,000 deep) before it calls
# the function again.
HUNGRY_CALLBACK = """
import json, threading
nested = []
for _ in range(1000): nested = [nested]
class O:
    def __init__(self, n): self.n = n
    def to(self, device):
        json.dumps(nested)
        return self.n if self.n == 0 else bk.to_device(O(self.n - 1), device)
def run(): print(outcome(bk.to_device, O(8000), "cpu"))
sys.setrecursionlimit(100000)
threading.stack_size(4 << 20); t = threading.Thread(target=run); t.start(); t.join()
"""
AS_PLAIN_PYTHON = {
    "fill-nested": "NESTED = True\n" + FILL,
    "fill-builtins": "NESTED = False\n" + FILL,
    "deep-limit": "SMALL_STACK = False\n" + DEEP,
    "deep-thread": "SMALL_STACK = True\n" + DEEP,
    "smallest-stack": SMALLEST_STACK,
    "deep-after-failed-stack-query": FAILED_QUERY,
    "deep-hungry-callback": HUNGRY_CALLBACK,
}
# Where a native recursion may also end in RecursionError sooner than plain
# Python's: every level of it takes C stack, which plain Python's does not.
MAY_STOP_EARLY = {"deep-hungry-callback"}


def _python(code, tmp_path):
    proc = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}:\n{proc.stderr[-3000:]}"
    return proc.stdout.strip()


@pytest.mark.parametrize("slot", sorted(RECURSION))
def test_a_function_reached_again_through_its_own_slot(slot, tmp_path):
    out = _python((OUTCOME if slot == "mnist" else STUB_TORCH) + RECURSION[slot], tmp_path)
    # The interpreter's depth check words its own part: "maximum recursion
    # depth exceeded" up to 3.13, the stack used from 3.14 on.
    assert out.startswith("RecursionError: ") and out.endswith(" while calling a Python object")
    assert "\n" not in out


def test_a_key_released_mid_walk_frees_nothing_in_use(tmp_path):
    assert _python(STUB_TORCH + SWAP_OUT, tmp_path) == \
        "RuntimeError: dictionary keys changed during iteration"


def test_non_module_builtins_fails_the_import_cleanly(tmp_path):
    code = OUTCOME + """
real = sys.modules["builtins"]
sys.modules["builtins"] = object()
try:
    import tarnex.core._batchkit
except ImportError as exc:
    print(exc)
sys.modules["builtins"] = real
import tarnex.core._batchkit as bk
print(outcome(bk.example_probe, {}))
"""
    assert _python(code, tmp_path).splitlines() == [
        "module 'builtins' is not a module (sys.modules holds a 'object')", "{}"]


@pytest.mark.slow
@pytest.mark.parametrize("how", ["items", "to"])
def test_daemon_thread_inside_a_callback_at_exit(how, tmp_path):
    for _ in range(4):
        assert _python(DAEMON.replace("{how}", how), tmp_path) == "exiting"


@pytest.mark.parametrize("scenario", sorted(AS_PLAIN_PYTHON))
def test_hostile_code_gets_what_plain_python_gets(scenario, tmp_path):
    native = _python(STUB_TORCH + KIND + AS_PLAIN_PYTHON[scenario], tmp_path)
    if scenario in MAY_STOP_EARLY and native == "RecursionError":
        return
    assert native == _python(PURE + KIND + AS_PLAIN_PYTHON[scenario], tmp_path)


# A garbage collection inside the keyword unpacking of forward(model, x) runs
# a gc callback that grows x: the model sees x as it was or as it became,
# never arrays sized for the one and filled from the other.
GROW = """
import gc
class M:
    def __call__(self, **kw): return len(kw)
def plain(**kw): return len(kw)
for model in [M(), plain] * 3:
    x = {f"k{i}": i for i in range(25)}
    armed = True
    def grow(phase, info):
        global armed
        if phase == "start" and armed:
            armed = False
            x.update((f"z{i}", i) for i in range(20000))
    gc.callbacks.append(grow)
    gc.set_threshold(1)
    try:
        print(outcome(bk.forward, model, x))
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(grow)
"""


def test_forward_unpacks_a_dict_that_grows_meanwhile(tmp_path):
    assert set(_python(STUB_TORCH + GROW, tmp_path).splitlines()) <= {"25", "20025"}


RUN_CODE = """
import inspect
try:
    bk.split_batch(1, 2)
except TypeError as exc:
    frame_code = exc.__traceback__.tb_next.tb_frame.f_code
names = ("to_device", "forward", "example_tensor", "set_primary_input", "split_batch",
         "example_probe")
for code in [getattr(bk, n).__code__ for n in names] + [frame_code]:
    print(outcome(types.FunctionType(code, {}), *range(code.co_argcount)))
def p(x, replacement): pass
p.__code__ = bk.set_primary_input.__code__
print(outcome(p, 1, 2))
print(inspect.signature(bk.set_primary_input))
"""


def test_code_objects_raise_when_run(tmp_path):
    # The interpreter's own choice for code that stands for no Python source.
    assert _python(STUB_TORCH + RUN_CODE, tmp_path).splitlines() == \
        ["AssertionError: "] * 8 + ["(x, replacement: 'torch.Tensor')"]

"""Time mode: nanoseconds per call of each case's native function, its
plain-Python version and its floor; mnist_loaders on synthetic files; the
import times of the modules.

All timings run in this one process with the repeats interleaved (every
timer runs once per round, after a short untimed warm-up run, and the three
timers of a case take turns at going first), each timer calibrated to a fixed
time per run; the time is the thread's CPU time, so time spent descheduled on
a busy machine does not count. The minimum over the rounds is reported, the
median goes to the JSON output. The cost of the empty timing loop is
subtracted.
"""
import gc
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import timeit

from . import BENCH, import_or_none, load_bench_module, targets
from .cases import setup_source, statements

# CPU time of this thread: on a shared machine the time spent descheduled
# does not count, so the minimum over rounds is stable.
CLOCK = getattr(time, "thread_time", time.perf_counter)


def _timer(stmt, ns):
    return timeit.Timer(stmt, setup_source(ns), timer=CLOCK, globals={"_ns": ns})


def _calibrate(timer, seconds):
    n = 1
    while True:
        if timer.timeit(n) >= seconds:
            return n
        n *= 2 if n < 8 else 4


def time_cases(cases, rounds, seconds):
    timers = []  # (case, who, timer, number)
    empty = _timer("pass", {})
    for case in cases:
        if case.note:
            continue
        for who, stmt, ns in statements(case):
            t = _timer(stmt, ns)
            timers.append((case, who, t, _calibrate(t, seconds)))
    n_empty = _calibrate(empty, seconds)
    samples = {}
    empties = []
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            empties.append(empty.timeit(n_empty) / n_empty)
            # The three timers of a case take turns at going first, and each
            # timed run follows a short untimed one: no statement pays for the
            # caches the previous one left cold.
            for i in range(0, len(timers), 3):
                group = timers[i:i + 3]
                shift = r % len(group)
                for case, who, t, n in group[shift:] + group[:shift]:
                    t.timeit(max(1, n // 8))
                    samples.setdefault((case.name, who), []).append(t.timeit(n) / n)
    finally:
        if gc_was:
            gc.enable()
    loop = min(empties)
    results = []
    for case in cases:
        row = {"case": case.name, "kind": case.kind, "floor_op": case.floor_text}
        if case.note:
            row.update(note=case.note, target="n/a", ok=None)
            results.append(row)
            continue
        for who in ("tarnex", "pure", "floor"):
            s = samples[(case.name, who)]
            row[who + "_ns"] = (min(s) - loop) * 1e9
            row[who + "_median_ns"] = (statistics.median(s) - loop) * 1e9
        tx, py, fl = row["tarnex_ns"], row["pure_ns"], row["floor_ns"]
        row["ratio"] = tx / py
        row["overhead_ns"] = tx - fl
        row["pure_overhead_ns"] = py - fl
        targets.judge_time(case, row)
        results.append(row)
    return results, loop * 1e9


# ------------------------------------------------------------ import times

_IMPORT_SNIPPET = """
import sys, time
{pre}
t0 = time.perf_counter()
{imp}
sys.stdout.write(repr(time.perf_counter() - t0))
"""


def _import_once(pre, imp):
    code = _IMPORT_SNIPPET.format(pre=pre, imp=imp)
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         cwd=BENCH)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1] if out.stderr else "failed"
    return float(out.stdout), None


def import_times(rounds):
    load = "import importlib.util as u; s = u.spec_from_file_location('{0}', r'{1}'); " \
           "m = u.module_from_spec(s); s.loader.exec_module(m)"
    # The parent packages are imported first: the plain-Python modules have
    # none, and the rows compare the modules themselves.
    rows = [
        ("tarnex.core._batchkit", "import torch, tarnex.core", "import tarnex.core._batchkit"),
        ("bench/pure.py", "import torch",
         load.format("pure", os.path.join(BENCH, "pure.py"))),
        ("tarnex.data.mnist", "import torch, torchvision, tarnex.data",
         "import tarnex.data.mnist"),
        ("bench/pure_mnist.py", "import torch, torchvision",
         load.format("pure_mnist", os.path.join(BENCH, "pure_mnist.py"))),
        ("tarnex.data.mnist, torchvision not pre-imported", "import torch, tarnex.data",
         "import tarnex.data.mnist"),
    ]
    results = []
    samples = {name: [] for name, _, _ in rows}
    notes = {}
    for _ in range(rounds):  # interleaved, one fresh process each
        for name, pre, imp in rows:
            if name in notes:
                continue
            t, err = _import_once(pre, imp)
            if err:
                notes[name] = err
            else:
                samples[name].append(t)
    for name, _, _ in rows:
        if name in notes:
            results.append({"module": name, "note": notes[name]})
        else:
            s = samples[name]
            results.append({"module": name, "ms": min(s) * 1e3,
                            "median_ms": statistics.median(s) * 1e3})
    return results


# ------------------------------------------------------------------- mnist


def _write_idx(path, magic, dims, payload):
    with open(path, "wb") as f:
        f.write(struct.pack(">I", magic))
        for d in dims:
            f.write(struct.pack(">I", d))
        f.write(payload)


def make_mnist_files(root, n_train, n_test):
    raw = os.path.join(root, "data", "MNIST", "raw")
    os.makedirs(raw, exist_ok=True)
    for prefix, n in (("train", n_train), ("t10k", n_test)):
        pixels = bytes((i * 7) & 0xFF for i in range(28 * 28)) * n
        labels = bytes(i % 10 for i in range(n))
        _write_idx(os.path.join(raw, f"{prefix}-images-idx3-ubyte"), 0x803, (n, 28, 28), pixels)
        _write_idx(os.path.join(raw, f"{prefix}-labels-idx1-ubyte"), 0x801, (n,), labels)


def mnist_case(rounds, n_train, n_test):
    row = {"case": f"mnist_loaders() on synthetic files ({n_train}+{n_test} images)",
           "unit": "ms"}
    mnist, note = import_or_none("tarnex.data.mnist")
    if mnist is None:
        row["note"] = note
        return row
    try:
        pure_mnist = load_bench_module("pure_mnist")
    except ImportError as e:
        row["note"] = f"bench/pure_mnist.py: {e}"
        return row
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        make_mnist_files(tmp, n_train, n_test)
        os.chdir(tmp)
        try:
            fns = {"tarnex": mnist.mnist_loaders, "pure": pure_mnist.mnist_loaders}
            try:
                for f in fns.values():
                    f()
            except NotImplementedError:
                row["note"] = "mnist_loaders not implemented in this build"
                return row
            samples = {k: [] for k in fns}
            for _ in range(rounds):
                for who, f in fns.items():
                    t0 = CLOCK()
                    f()
                    samples[who].append(CLOCK() - t0)
        finally:
            os.chdir(here)
    for who, s in samples.items():
        row[who + "_ms"] = min(s) * 1e3
        row[who + "_median_ms"] = statistics.median(s) * 1e3
    row["ratio"] = row["tarnex_ms"] / row["pure_ms"]
    return row

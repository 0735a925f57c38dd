"""Benchmarks of tarnex's native functions.

For every case this prints nanoseconds per call for the native function, for
the same function written in plain Python (bench/pure.py) and for the floor:
the bare operation the call cannot avoid, written directly (a C builtin call
for paths that only hand their input back). Then tarnex/pure and the overhead
tarnex - floor, and whether the performance targets hold:

  * non-dict inputs: the overhead over the floor is at most 40 ns;
  * dict inputs: the overhead over the floor is at most half of what the
    plain-Python version spends over the same floor;
  * allocations: a call allocates no more than the floor operation does.

All timings run in this one process with the repeats interleaved (every
timer runs once per round, after a short untimed warm-up run, and the three
timers of a case take turns at going first), each timer calibrated to a fixed
time per run; the time is the thread's CPU time, so time spent descheduled on
a busy machine does not count. The minimum over the rounds is reported, the
median goes to the JSON output. The cost of the empty timing loop is
subtracted.

    python -P bench/run.py [--quick] [--json OUT] [--markdown] [--only SUBSTR]
                           [--alloc-only] [--no-alloc] [--no-import] [--no-mnist]
    python -P bench/run.py --instructions [--calls N] [--json OUT] [--markdown]
                           [--only SUBSTR] [--update-readme] [--keep-profiles DIR]

The time targets are reported, never enforced: timings move with the
machine's load by more than a small regression, so the exit status is 1 only
when the allocation check fails. Instruction counts (below) are the gate.

The instruction mode counts instructions instead of time, under valgrind's
callgrind, in one valgrind process for all the cases: the imports run
uninstrumented, and collection is switched on around the measured loops only
(by bench/_callgrind.cpp, compiled on the fly). Instructions per call are
(count at 2N calls - count at N calls) / N, the empty loop's subtracted, so
every fixed cost cancels; each loop runs twice and the lesser count is used.
Besides the three statements it counts the cheapest plain-Python version
(bench/pure_fast.py) and, for the paths that hand an argument back, the call
of an object of our own vectorcall type that returns its first argument
(bench/_passfloor.cpp, the floor "(c)" of a function type of our own). Each
path's count over its floor, and over (c) where it has one, is checked
against bench/instruction_budgets.toml, and each path against its targets
(the shares of the Python versions' overhead, the limits over (c) and over
`x.to(dev)`); the exit status is 1 when a path is over its budget or misses
a target. --update-readme rewrites the instruction table of
docs/performance.md (between its markers) with the run's counts.
"""
import argparse
import gc
import importlib
import importlib.util
import itertools
import json
import math
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit

BENCH = os.path.dirname(os.path.abspath(__file__))
PASS_LIMIT_NS = 40.0
DICT_SHARE = 0.5

# ----------------------------------------------------------------- imports


def _import_or_none(name):
    try:
        return importlib.import_module(name), None
    except ImportError as e:
        return None, f"{name} not importable ({e})"


def _load_bench_module(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(BENCH, name + ".py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


import torch  # noqa: E402

bk, _bk_note = _import_or_none("tarnex.core._batchkit")
if bk is None:
    sys.exit(f"bench: {_bk_note}; install the package first (pip install .)")
if os.path.abspath(bk.__file__).startswith(os.path.join(os.path.dirname(BENCH), "tarnex") + os.sep):
    sys.exit("bench: tarnex is imported from the source tree; run with 'python -P bench/run.py'")
pure = _load_bench_module("pure")
pure_fast = _load_bench_module("pure_fast")

# ------------------------------------------------------------------- cases


class Trivial(torch.nn.Module):
    """A model that does no work: the cost measured is the call path."""

    def forward(self, input_ids, attention_mask=None, token_type_ids=None):
        return input_ids


class Case:
    def __init__(self, name, kind, func, args, floor, ns, floor_text=None, pass_floor=None):
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
        self.note = None


def _small():
    return torch.zeros(2, 8, dtype=torch.long)


def make_cases():
    t = _small()
    hf3 = {"input_ids": _small(), "attention_mask": _small(), "token_type_ids": _small()}
    third = {"note": "text", "n": 3, "input_ids": _small()}
    hf4 = {**hf3, "labels": torch.zeros(2, dtype=torch.long)}
    rows = torch.zeros(100, 16)
    probe3 = {"input_ids": torch.zeros(32, 128), "attention_mask": torch.zeros(32, 128), "note": "text"}
    pair = (t, torch.zeros(2))
    r = torch.ones(2, 8)
    v3 = list(hf3.values())
    return [
        Case("to_device(tensor)", "pass", "to_device", "x, dev", "x.to(dev)",
             dict(x=t, dev="cpu")),
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


def _setup_source(ns):
    return "; ".join(f"{k} = _ns[{k!r}]" for k in ns) or "pass"


# CPU time of this thread: on a shared machine the time spent descheduled
# does not count, so the minimum over rounds is stable.
_CLOCK = getattr(time, "thread_time", time.perf_counter)


def _timer(stmt, ns):
    return timeit.Timer(stmt, _setup_source(ns), timer=_CLOCK, globals={"_ns": ns})


def _calibrate(timer, seconds):
    n = 1
    while True:
        if timer.timeit(n) >= seconds:
            return n
        n *= 2 if n < 8 else 4


def _statements(case, passfloor=None):
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


def _probe(case, passfloor=None):
    """Runs each statement once; a function not built yet makes the case n/a."""
    for who, stmt, ns in _statements(case, passfloor):
        try:
            exec(_setup_source(ns) + "\n" + stmt, {"_ns": ns})
        except NotImplementedError:
            return f"{case.func} not implemented in this build"
        except Exception as e:  # noqa: BLE001 - reported, not hidden
            return f"{who} failed: {type(e).__name__}: {e}"
    return None


def time_cases(cases, rounds, seconds):
    timers = []  # (case, who, timer, number)
    empty = _timer("pass", {})
    for case in cases:
        if case.note:
            continue
        for who, stmt, ns in _statements(case):
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
        if case.kind == "pass":
            row["target"] = f"<= {PASS_LIMIT_NS:.0f} ns"
            row["ok"] = row["overhead_ns"] <= PASS_LIMIT_NS
        else:
            limit = DICT_SHARE * row["pure_overhead_ns"]
            row["target"] = f"<= {limit:.0f} ns"
            row["ok"] = row["overhead_ns"] <= limit
        results.append(row)
    return results, loop * 1e9


# ------------------------------------------------------------- allocations


def _build_helper(tmp, name, what):
    """Compiles bench/<name>.cpp into `tmp`; returns the module or a note."""
    if os.name == "nt":
        return None, f"{what} is built with a POSIX compiler driver only"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    out = os.path.join(tmp, name + suffix)
    cxx = os.environ.get("CXX", "c++")
    cmd = [cxx, "-O2", "-shared", "-fPIC", "-std=c++17",
           "-I" + sysconfig.get_paths()["include"],
           os.path.join(BENCH, name + ".cpp"), "-o", out]
    try:
        subprocess.run(cmd, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as e:
        return None, f"could not build the {what}: {getattr(e, 'stderr', e)}"
    sys.path.insert(0, tmp)
    try:
        return importlib.import_module(name), None
    finally:
        sys.path.remove(tmp)


def build_counter(tmp):
    """Compiles bench/_alloccount.cpp into `tmp`; returns the module or a note."""
    return _build_helper(tmp, "_alloccount", "allocation counter")


def _drain_free_lists():
    """Takes every object out of the interpreter's free lists (tuples, lists,
    dicts and their key tables), so that an object made during the count
    comes from the allocator and is counted at least once."""
    keep = [(i,) * size for size in range(1, 20) for i in range(2100)]
    keep += [[i] for i in range(100)]
    keep += [{"k": i} for i in range(100)]
    return keep


def _loop_function(stmt, ns, lean=False):
    """A function _loop(n) that runs `stmt` n times with the names of `ns`
    local; a `lean` loop makes no int object per iteration."""
    over = "_repeat(None, _n)" if lean else "range(_n)"
    src = (f"def _loop(_n):\n    {_setup_source(ns)}\n"
           f"    for _i in {over}:\n        {stmt}\n")
    scope = {"_ns": ns, "_repeat": itertools.repeat}
    exec(src, scope)
    return scope["_loop"]


def count_allocations(counter, stmt, ns, calls):
    loop = _loop_function(stmt, ns)
    loop(20)  # warm caches inside torch and the interpreter
    gc.collect()
    gc.disable()
    try:
        held = _drain_free_lists()
        counter.start()
        loop(calls)
        n = counter.stop()
        del held
    finally:
        gc.enable()
    return n


def alloc_check(cases, counter, calls):
    rows = []
    for case in cases:
        row = {"case": case.name, "kind": case.kind}
        if case.note:
            row.update(note=case.note, ok=None)
            rows.append(row)
            continue
        base = count_allocations(counter, "pass", {}, calls)
        for who, stmt, ns in _statements(case):
            row[who] = (count_allocations(counter, stmt, ns, calls) - base) / calls
        row["ok"] = row["tarnex"] <= row["floor"]
        rows.append(row)
    return rows


# ------------------------------------------------------------ instructions

BUDGETS = os.path.join(BENCH, "instruction_budgets.toml")
# Loop lengths of the instruction mode: N and 2N calls, each run twice.
CALLS_IR = 1000
REPEATS_IR = 2
# Instruction targets: a dict path's overhead over its floor is at most
# DICT_SHARE_IR of the idiomatic Python version's overhead over the same
# floor, and at most BEST_SHARE_IR of the cheapest Python version's; a path
# that hands its argument back adds at most PASS_LIMIT_IR over the call of a
# pass-through object of our own type (bench/_passfloor.cpp), and
# to_device(tensor) at most TO_LIMIT_IR over `x.to(dev)`. Every target is
# met, and gated as the budgets are: a path that misses one fails the run
# (and tests/test_instruction_budgets.py).
DICT_SHARE_IR = 0.20
BEST_SHARE_IR = 0.50
PASS_LIMIT_IR = 15
TO_LIMIT_IR = 130
CALLGRIND_OPTIONS = [
    "--tool=callgrind",
    # The imports (torch's above all) run uninstrumented, and nothing is
    # counted outside the measured loops.
    "--instr-atstart=no", "--collect-atstart=no",
    "--dump-instr=no", "--dump-line=no",
]


def suggested_budget(overhead, floor):
    """The budget for a measured overhead: 10 instructions, 2 % of the
    overhead and 0.3 % of the floor over it, rounded up to a multiple of 10.
    (The floors that allocate or call into torch move by up to 0.2 % between
    processes, with the addresses their memory gets.)"""
    return int(math.ceil((overhead + 10 + 0.02 * abs(overhead) + 0.003 * floor) / 10) * 10)


def load_budgets(path=BUDGETS):
    """The budget file: (case name -> instructions per call over the floor,
    case name -> instructions per call over the pass-through object)."""
    import tomllib

    with open(path, "rb") as f:
        doc = tomllib.load(f)
    return ({k: int(v) for k, v in doc["budget"].items()},
            {k: int(v) for k, v in doc.get("budget_over_passfloor", {}).items()})


def _callgrind_child(tmp, calls, only):
    """Runs inside valgrind: every statement of every case as a loop of
    `calls` and of 2 * `calls` iterations, each with collection switched on
    around it and dumped under its own label."""
    sys.path.insert(0, tmp)
    import _callgrind
    import _passfloor

    if not _callgrind.running():
        sys.exit("bench: --callgrind-child runs under valgrind only")
    # One thread: torch's pools would otherwise add whatever runs meanwhile.
    torch.set_num_threads(1)
    cases = make_cases()
    if only:
        cases = [c for c in cases if only in c.name]
    loops = [("", "empty", _loop_function("pass", {}, lean=True))]
    for case in cases:
        if _probe(case, _passfloor) is None:
            loops += [(case.name, who, _loop_function(stmt, ns, lean=True))
                      for who, stmt, ns in _statements(case, _passfloor)]
    gc.collect()
    gc.disable()
    for _, _, loop in loops:  # the caches of torch, the interpreter and tarnex
        loop(calls)
    _callgrind.start()
    for name, who, loop in loops:
        loop(calls)  # warm again, instrumented now
        for r in range(REPEATS_IR):
            for n in (calls, 2 * calls):
                _callgrind.measure(loop, n, f"{who}|{n}|{r}|{name}")


_DUMP_LABEL = "desc: Trigger: Client Request: "


def _read_dumps(tmp):
    """{label: instructions} from the callgrind dumps in `tmp`."""
    counts = {}
    for fn in os.listdir(tmp):
        if not fn.startswith("cg.out"):
            continue
        label = total = None
        with open(os.path.join(tmp, fn)) as f:
            for line in f:
                if line.startswith(_DUMP_LABEL):
                    label = line[len(_DUMP_LABEL):].strip()
                elif line.startswith(("totals:", "summary:")):
                    total = int(line.split()[1])
        if label is not None and total is not None:
            counts[label] = total
    return counts


def instruction_counts(cases, calls, budgets, only=None, keep=None):
    """Instructions per call of every statement under callgrind, in one
    valgrind process (the cases whose name has `only`); the profiles go to
    the folder `keep` if given. Returns (rows, note, wall seconds)."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return None, "valgrind not found", 0.0
    with tempfile.TemporaryDirectory() as tmp:
        for name, what in (("_callgrind", "callgrind helper"),
                           ("_passfloor", "pass-through floor")):
            helper, note = _build_helper(tmp, name, what)
            if helper is None:
                return None, note, 0.0
        cmd = [valgrind, *CALLGRIND_OPTIONS, f"--callgrind-out-file={tmp}/cg.out",
               sys.executable, "-P", os.path.abspath(__file__), "--callgrind-child", tmp,
               "--calls", str(calls)] + (["--only", only] if only else [])
        # Fixed hashing, so every run lays out the same dicts.
        env = {**os.environ, "PYTHONHASHSEED": "0", "OMP_NUM_THREADS": "1"}
        t0 = time.perf_counter()
        out = subprocess.run(cmd, capture_output=True, text=True, env=env)
        wall = time.perf_counter() - t0
        if out.returncode != 0:
            return None, f"valgrind run failed: {out.stderr.strip()[-2000:]}", wall
        counts = _read_dumps(tmp)
        if keep:
            # One file per loop, named by its label, for callgrind_annotate.
            os.makedirs(keep, exist_ok=True)
            for fn in os.listdir(tmp):
                if fn.startswith("cg.out."):
                    with open(os.path.join(tmp, fn)) as f:
                        label = next((ln[len(_DUMP_LABEL):].strip() for ln in f
                                      if ln.startswith(_DUMP_LABEL)), None)
                    if label:
                        name = "".join(c if c.isalnum() or c in "-_" else "_" for c in label)
                        shutil.copy(os.path.join(tmp, fn), os.path.join(keep, name + ".out"))

    def per_call(who, name):
        # The least count of each length: an allocator's occasional extra
        # work (a new pool, a freed arena) lands in one run, not in both.
        c1, c2 = ([counts.get(f"{who}|{n}|{r}|{name}") for r in range(REPEATS_IR)]
                  for n in (calls, 2 * calls))
        return None if None in c1 + c2 else (min(c2) - min(c1)) / calls

    empty = per_call("empty", "")
    if empty is None:
        return None, "callgrind wrote no counts", wall
    floor_budgets, pass_budgets = budgets
    rows = []
    for case in cases:
        row = {"case": case.name, "kind": case.kind, "floor_op": case.floor_text}
        whos = ["tarnex", "pure", "fast", "floor"] + (["passfloor"] if case.pass_floor else [])
        vals = {who: per_call(who, case.name) for who in whos}
        if None in vals.values():
            row.update(note=case.note or "not measured", ok=None)
            rows.append(row)
            continue
        for who, v in vals.items():
            row[who + "_ir"] = round(v - empty, 1)
        # The best Python of a path is the cheaper of the two versions: on a
        # path that only hands its input back the idiomatic one can win by the
        # frame of its fewer local variables.
        row["best_ir"] = min(row["pure_ir"], row["fast_ir"])
        row["best_of"] = "pure" if row["pure_ir"] < row["fast_ir"] else "fast"
        tx, py, fast, fl = row["tarnex_ir"], row["pure_ir"], row["best_ir"], row["floor_ir"]
        row["overhead_ir"] = round(tx - fl, 1)
        row["pure_overhead_ir"] = round(py - fl, 1)
        row["best_overhead_ir"] = round(fast - fl, 1)
        row["share"] = (tx - fl) / (py - fl) if py > fl else None
        row["best_share"] = (tx - fl) / (fast - fl) if fast > fl else None
        targets = []
        if case.kind == "dict":
            targets.append((f"share <= {DICT_SHARE_IR:.2f}",
                            row["share"] is not None and row["share"] <= DICT_SHARE_IR))
            targets.append((f"of best <= {BEST_SHARE_IR:.2f}",
                            row["best_share"] is not None and row["best_share"] <= BEST_SHARE_IR))
        elif case.func == "to_device":
            targets.append((f"<= +{TO_LIMIT_IR}", row["overhead_ir"] <= TO_LIMIT_IR))
        budget = floor_budgets.get(case.name)
        row["budget"] = budget
        row["suggested_budget"] = suggested_budget(row["overhead_ir"], fl)
        row["ok"] = None if budget is None else row["overhead_ir"] <= budget
        if case.pass_floor:
            pf = row["passfloor_ir"]
            row["over_passfloor_ir"] = round(tx - pf, 1)
            targets.append((f"<= +{PASS_LIMIT_IR} over (c)",
                            row["over_passfloor_ir"] <= PASS_LIMIT_IR))
            pbudget = pass_budgets.get(case.name)
            row["passfloor_budget"] = pbudget
            row["suggested_passfloor_budget"] = suggested_budget(row["over_passfloor_ir"], pf)
            row["passfloor_ok"] = None if pbudget is None else row["over_passfloor_ir"] <= pbudget
        row["targets"] = [{"target": t, "ok": ok} for t, ok in targets]
        row["target"] = "; ".join(t for t, _ in targets)
        row["target_ok"] = all(ok for _, ok in targets) if targets else None
        rows.append(row)
    return rows, None, wall


def _budget_results(rows):
    """(checked, over): the budget checks made and the ones over, by name."""
    checked, over = [], []
    for r in rows:
        for key, label in (("ok", r["case"]), ("passfloor_ok", r["case"] + " over (c)")):
            if r.get(key) is not None:
                checked.append(label)
                if not r[key]:
                    over.append(label)
    return checked, over


def _targets_text(r):
    return "; ".join(f"{t['target']} {'PASS' if t['ok'] else 'FAIL'}" for t in r["targets"])


def _opt(v, spec):
    return "" if v is None else format(v, spec)


def print_instructions(rows, calls, wall):
    w = max([len(r["case"]) for r in rows] + [4])
    print(f"instructions per call under callgrind ((count at {2 * calls} calls - count at "
          f"{calls}) / {calls}, empty loop subtracted); valgrind ran {wall:.0f} s\n"
          "pure: idiomatic Python (bench/pure.py); best: cheapest Python (bench/pure_fast.py); "
          "(c): an object of our own\nvectorcall type handing back its first argument; share: "
          "tx-floor over py-floor; of best: tx-floor over best-floor\n")
    head = (f"{'case':<{w}}  {'tarnex':>7}  {'pure':>7}  {'best':>7}  {'floor':>7}  {'(c)':>5}  "
            f"{'tx-floor':>8}  {'py-floor':>8}  {'bst-flr':>8}  {'share':>5}  {'ofbest':>6}  "
            f"{'tx-(c)':>6}  {'budget':>10}  {'suggested':>10}  result  target")
    print(head)
    print("-" * len(head))
    for r in rows:
        if r.get("note"):
            print(f"{r['case']:<{w}}  n/a ({r['note']})")
            continue
        budget = _opt(r["budget"], "d")
        suggested = str(r["suggested_budget"])
        result = {True: "PASS", False: "FAIL", None: "n/a"}[r["ok"]]
        if "over_passfloor_ir" in r:
            budget += f"/{_opt(r['passfloor_budget'], 'd')}"
            suggested += f"/{r['suggested_passfloor_budget']}"
            result = {True: "PASS", False: "FAIL", None: "n/a"}[
                None if r["ok"] is None or r["passfloor_ok"] is None
                else r["ok"] and r["passfloor_ok"]]
        pf = _opt(r.get("passfloor_ir"), ".0f")
        over_pf = _opt(r.get("over_passfloor_ir"), "+.0f")
        best = f"{r['best_ir']:.0f}" + ("*" if r["best_of"] == "pure" else "")
        print(f"{r['case']:<{w}}  {r['tarnex_ir']:7.0f}  {r['pure_ir']:7.0f}  {best:>7}  "
              f"{r['floor_ir']:7.0f}  {pf:>5}  {r['overhead_ir']:+8.0f}  "
              f"{r['pure_overhead_ir']:+8.0f}  {r['best_overhead_ir']:+8.0f}  "
              f"{_opt(r['share'], '.2f'):>5}  {_opt(r['best_share'], '.2f'):>6}  {over_pf:>6}  "
              f"{budget:>10}  {suggested:>10}  {result:<6}  {_targets_text(r)}")
    print("\nbest: * where the idiomatic version is the cheaper one; "
          "budget: over the floor (/ over (c) for the pass-through paths)")
    checked, over = _budget_results(rows)
    print(f"instruction budgets: {len(checked) - len(over)} of {len(checked)} PASS"
          + (f"; OVER BUDGET: {', '.join(over)}" if over else ""))
    targeted = [(r["case"], t) for r in rows if not r.get("note") for t in r["targets"]]
    missed = [f"{case} ({t['target']})" for case, t in targeted if not t["ok"]]
    print(f"instruction targets: {len(targeted) - len(missed)} of {len(targeted)} PASS"
          + (f"; FAIL: {', '.join(missed)}" if missed else "")
          + (" (gated, as the budgets are)" if targeted else ""))


def markdown_instructions(rows):
    out = ["| case | tarnex | idiomatic Python | best Python | floor | floor operation "
           "| tarnex - floor | Python - floor | best - floor | share | of best "
           "| (c) floor | tarnex - (c) | budget | target |",
           "| --- | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: "
           "| ---: | ---: | ---: | --- |"]
    for r in rows:
        if r.get("note"):
            out.append(f"| {r['case']} | n/a | n/a | n/a | n/a | `{r['floor_op']}` "
                       "| | | | | | | | | |")
            continue
        budget = _opt(r["budget"], "d")
        if "over_passfloor_ir" in r:
            budget += f" / {_opt(r['passfloor_budget'], 'd')} (c)"
        out.append(f"| {r['case']} | {r['tarnex_ir']:.0f} | {r['pure_ir']:.0f} | "
                   f"{r['best_ir']:.0f}{'*' if r['best_of'] == 'pure' else ''} | "
                   f"{r['floor_ir']:.0f} | `{r['floor_op']}` | "
                   f"{r['overhead_ir']:+.0f} | {r['pure_overhead_ir']:+.0f} | "
                   f"{r['best_overhead_ir']:+.0f} | {_opt(r['share'], '.2f')} | "
                   f"{_opt(r['best_share'], '.2f')} | {_opt(r.get('passfloor_ir'), '.0f')} | "
                   f"{_opt(r.get('over_passfloor_ir'), '+.0f')} | {budget} | "
                   f"{_targets_text(r)} |")
    out.append("")
    out.append("*best Python*: the cheaper of `bench/pure_fast.py` and, marked \\*, the "
               "idiomatic `bench/pure.py`; *(c) floor*: the call of an object of our own "
               "vectorcall type that returns its first argument; *of best*: (tarnex - floor) "
               "/ (best - floor); budget: over the floor, and over (c) where marked.")
    return "\n".join(out)


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
    mnist, note = _import_or_none("tarnex.data.mnist")
    if mnist is None:
        row["note"] = note
        return row
    try:
        pure_mnist = _load_bench_module("pure_mnist")
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
                    t0 = _CLOCK()
                    f()
                    samples[who].append(_CLOCK() - t0)
        finally:
            os.chdir(here)
    for who, s in samples.items():
        row[who + "_ms"] = min(s) * 1e3
        row[who + "_median_ms"] = statistics.median(s) * 1e3
    row["ratio"] = row["tarnex_ms"] / row["pure_ms"]
    return row


# ------------------------------------------------------------------ report


def _fmt(v, spec=".1f"):
    return "n/a" if v is None else format(v, spec)


def print_report(results, loop_ns, allocs, imports, mnist):
    w = max([len(r["case"]) for r in results + (allocs or [])] + [4])
    if results:
        print_times(results, loop_ns, w)
    _print_rest(results, allocs, imports, mnist, w)


def print_times(results, loop_ns, w):
    print(f"ns per call (min of the rounds; empty loop, {loop_ns:.1f} ns, subtracted)\n")
    head = (f"{'case':<{w}}  {'tarnex':>8}  {'pure':>8}  {'floor':>8}  {'tx/pure':>7}  "
            f"{'tx-floor':>8}  {'target':>10}  result  floor operation")
    print(head)
    print("-" * len(head))
    for r in results:
        if r.get("note"):
            print(f"{r['case']:<{w}}  {'n/a':>8}  {'n/a':>8}  {'n/a':>8}  {'n/a':>7}  "
                  f"{'n/a':>8}  {'n/a':>10}  n/a     ({r['note']})")
            continue
        print(f"{r['case']:<{w}}  {r['tarnex_ns']:8.1f}  {r['pure_ns']:8.1f}  {r['floor_ns']:8.1f}  "
              f"{r['ratio']:7.2f}  {r['overhead_ns']:8.1f}  {r['target']:>10}  "
              f"{'PASS' if r['ok'] else 'FAIL':<6}  {r['floor_op']}")


def _print_rest(results, allocs, imports, mnist, w):
    if mnist is not None:
        print()
        if mnist.get("note"):
            print(f"{mnist['case']}: n/a ({mnist['note']})")
        else:
            print(f"{mnist['case']}: tarnex {mnist['tarnex_ms']:.2f} ms, pure "
                  f"{mnist['pure_ms']:.2f} ms, tarnex/pure {mnist['ratio']:.2f}")
    if allocs is not None:
        print("\nallocations per call (interpreter allocator calls, free lists drained)\n")
        print(f"{'case':<{w}}  {'tarnex':>7}  {'pure':>7}  {'floor':>7}  result")
        for a in allocs:
            if a.get("note"):
                print(f"{a['case']:<{w}}  {'n/a':>7}  {'n/a':>7}  {'n/a':>7}  n/a")
                continue
            print(f"{a['case']:<{w}}  {a['tarnex']:7.2f}  {a['pure']:7.2f}  {a['floor']:7.2f}  "
                  f"{'PASS' if a['ok'] else 'FAIL'}")
    if imports is not None:
        print("\nimport time, fresh process, torch (and torchvision for mnist) and the parent\n"
              "package already imported (min of the rounds)\n")
        for r in imports:
            v = f"{r['ms']:8.2f} ms" if "ms" in r else f"     n/a    ({r['note']})"
            print(f"  {r['module']:<50} {v}")
    timed = [r for r in results if r.get("ok") is not None]
    failed = [r["case"] for r in timed if not r["ok"]]
    print()
    if results:
        print(f"time targets: {len(timed) - len(failed)} of {len(timed)} PASS"
              + (f"; FAIL: {', '.join(failed)}" if failed else "")
              + " (reported only: timings move with the machine's load; --instructions "
                "checks the budgets)")
    if allocs is not None:
        counted = [a for a in allocs if a.get("ok") is not None]
        afailed = [a["case"] for a in counted if not a["ok"]]
        print(f"allocation targets: {len(counted) - len(afailed)} of {len(counted)} PASS"
              + (f"; FAIL: {', '.join(afailed)}" if afailed else ""))
    skipped = [r["case"] for r in (results or allocs or []) if r.get("ok") is None]
    if skipped:
        print(f"n/a: {', '.join(skipped)}")


def markdown(results, allocs, imports, mnist):
    """The results as the Markdown tables of docs/performance.md."""
    out = ["| case | tarnex ns | plain Python ns | floor ns | floor operation | tarnex/Python "
           "| tarnex - floor ns | target | allocs tarnex / Python / floor |",
           "| --- | ---: | ---: | ---: | --- | ---: | ---: | --- | --- |"]
    by_case = {a["case"]: a for a in allocs or []}
    for r in results:
        a = by_case.get(r["case"], {})
        al = (f"{a['tarnex']:.2f} / {a['pure']:.2f} / {a['floor']:.2f}"
              if "tarnex" in a else "n/a")
        if r.get("note"):
            out.append(f"| {r['case']} | n/a | n/a | n/a | `{r['floor_op']}` | | | n/a | {al} |")
            continue
        out.append(f"| {r['case']} | {r['tarnex_ns']:.0f} | {r['pure_ns']:.0f} | {r['floor_ns']:.0f} "
                   f"| `{r['floor_op']}` | {r['ratio']:.2f} | {r['overhead_ns']:.0f} "
                   f"| {r['target']} {'PASS' if r['ok'] else 'FAIL'} | {al} |")
    if mnist and not mnist.get("note"):
        out.append(f"| {mnist['case']} | {mnist['tarnex_ms']:.1f} ms | {mnist['pure_ms']:.1f} ms "
                   f"| | | {mnist['ratio']:.2f} | | | |")
    if imports:
        out += ["", "| import (fresh process) | ms |", "| --- | ---: |"]
        out += [f"| {r['module']} | {r['ms']:.2f} |" if "ms" in r else f"| {r['module']} | n/a |"
                for r in imports]
    return "\n".join(out)


def instructions_main(args):
    cases = make_cases()
    if args.only:
        cases = [c for c in cases if args.only in c.name]
        if not cases:
            sys.exit(f"bench: no case name contains {args.only!r}")
    for case in cases:
        case.note = _probe(case)
    budgets = load_budgets() if os.path.exists(BUDGETS) else ({}, {})
    rows, note, wall = instruction_counts(cases, args.calls, budgets, args.only,
                                          args.keep_profiles)
    if rows is None:
        print(f"instruction counts: n/a ({note})")
        return 1
    print_instructions(rows, args.calls, wall)
    if args.markdown:
        print("\n" + markdown_instructions(rows))
    if args.update_readme:
        for path in README_FILES:
            update_readme(path, instruction_table_text(rows))
            print(f"bench: rewrote the instruction table of {os.path.relpath(path)}")
    if args.json:
        doc = {
            "machine": {"python": sys.version.split()[0], "torch": torch.__version__,
                        "platform": platform.platform(), "processor": platform.processor(),
                        "cpus": os.cpu_count()},
            "method": {"tool": "callgrind", "calls": args.calls, "valgrind_seconds": wall},
            "instructions": rows,
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=2)
    missed_target = any(not t["ok"] for r in rows if not r.get("note") for t in r["targets"])
    return 1 if _budget_results(rows)[1] or missed_target else 0


# The Markdown files whose instruction table --update-readme rewrites: the
# lines between the two markers, both kept. The flag keeps its name from when
# the table was in the README; the README now links to this page.
README_FILES = (os.path.join(os.path.dirname(BENCH), "docs", "performance.md"),)
TABLE_BEGIN = ("<!-- instruction table: made by python -P bench/run.py --instructions"
               " --update-readme -->")
TABLE_END = "<!-- end of instruction table -->"


def instruction_table_text(rows):
    """The generated part of docs/performance.md: where the counts come from,
    and the table of --markdown."""
    return (f"Instructions per call on this machine (Python {sys.version.split()[0]}, "
            f"torch {torch.__version__.split('+')[0]}):\n\n" + markdown_instructions(rows))


def update_readme(path, text):
    """Replaces the lines between TABLE_BEGIN and TABLE_END of `path` with
    `text`; a file without both markers, in that order, is an error."""
    with open(path, encoding="utf-8") as f:
        doc = f.read()
    begin, end = doc.find(TABLE_BEGIN), doc.find(TABLE_END)
    if begin < 0 or end < begin:
        sys.exit(f"bench: {path} has no instruction table markers")
    head = doc[:begin + len(TABLE_BEGIN)]
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{head}\n{text}\n{doc[end:]}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    ap.add_argument("--json", metavar="OUT", help="write the results as JSON to OUT")
    ap.add_argument("--only", metavar="SUBSTR", help="run only the cases whose name has SUBSTR")
    ap.add_argument("--no-alloc", action="store_true", help="skip the allocation check")
    ap.add_argument("--alloc-only", action="store_true",
                    help="only the allocation check (no timing, mnist or import times)")
    ap.add_argument("--no-import", action="store_true", help="skip the import times")
    ap.add_argument("--no-mnist", action="store_true", help="skip mnist_loaders")
    ap.add_argument("--markdown", action="store_true",
                    help="also print the results as Markdown tables")
    ap.add_argument("--instructions", action="store_true",
                    help="only the instruction counts under callgrind, checked against "
                         "bench/instruction_budgets.toml")
    ap.add_argument("--calls", type=int, default=CALLS_IR, metavar="N",
                    help=f"instruction mode: loops of N and 2N calls (default {CALLS_IR})")
    ap.add_argument("--keep-profiles", metavar="DIR",
                    help="instruction mode: keep callgrind's profile of every loop in DIR "
                         "(read them with callgrind_annotate)")
    ap.add_argument("--update-readme", action="store_true",
                    help="instruction mode: rewrite the instruction table of "
                         "docs/performance.md with this run's counts (all cases only)")
    ap.add_argument("--callgrind-child", metavar="DIR", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.callgrind_child:
        _callgrind_child(args.callgrind_child, args.calls, args.only)
        return 0
    if args.update_readme and (not args.instructions or args.only):
        ap.error("--update-readme needs --instructions and every case (no --only)")
    if args.instructions:
        return instructions_main(args)

    rounds, seconds = (7, 0.003) if args.quick else (25, 0.005)
    cases = make_cases()
    if args.only:
        cases = [c for c in cases if args.only in c.name]
        if not cases:
            ap.error(f"no case name contains {args.only!r}")
    for case in cases:
        case.note = _probe(case)
    if args.alloc_only:
        args.no_mnist = args.no_import = True
        results, loop_ns = [], 0.0
    else:
        results, loop_ns = time_cases(cases, rounds, seconds)

    # The full run uses the real data set's sizes.
    mnist = None if args.no_mnist or args.only else mnist_case(
        5 if args.quick else 15, *((6000, 1000) if args.quick else (60000, 10000)))

    allocs = None
    alloc_note = None
    if not args.no_alloc:
        with tempfile.TemporaryDirectory() as tmp:
            counter, alloc_note = build_counter(tmp)
            if counter is not None:
                allocs = alloc_check(cases, counter, 200)
    imports = None if args.no_import or args.only else import_times(3 if args.quick else 7)

    print_report(results, loop_ns, allocs, imports, mnist)
    if alloc_note:
        print(f"allocation check: n/a ({alloc_note})")
    if args.markdown:
        print("\n" + markdown(results, allocs, imports, mnist))
    if args.json:
        doc = {
            "machine": {"python": sys.version.split()[0], "torch": torch.__version__,
                        "platform": platform.platform(), "processor": platform.processor(),
                        "cpus": os.cpu_count()},
            "method": {"rounds": rounds, "seconds_per_run": seconds, "statistic": "min",
                       "empty_loop_ns": loop_ns},
            "cases": results, "mnist": mnist, "allocations": allocs,
            "allocation_note": alloc_note, "imports": imports,
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=2)
    # A time over its target does not fail the run: on a shared machine a
    # row moves by 10 to 30 ns from run to run. Allocation counts do not move.
    alloc_fail = allocs is not None and any(a.get("ok") is False for a in allocs)
    return 1 if alloc_fail else 0


if __name__ == "__main__":
    sys.exit(main())

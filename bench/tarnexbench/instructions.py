"""Instruction mode: instructions per call instead of time, under valgrind's
callgrind, in one valgrind process for all the cases. The imports run
uninstrumented, and collection is switched on around the measured loops only
(by bench/_callgrind.cpp, compiled on the fly). Instructions per call are
(count at 2N calls - count at N calls) / N, the empty loop's subtracted, so
every fixed cost cancels; each loop runs twice and the lesser count is used.

Besides the three statements of a case it counts the cheapest plain-Python
version (bench/pure_fast.py) and, for the paths that hand an argument back,
the call of an object of our own vectorcall type that returns its first
argument (bench/_passfloor.cpp, the floor "(c)" of a function type of our
own). The rows are judged by targets.judge_instructions.
"""
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import time

import torch

from . import BENCH, targets
from .cases import loop_function, make_cases, probe, statements
from .helpers import build_helper

# Loop lengths of the instruction mode: N and 2N calls, each run twice.
CALLS_IR = 1000
REPEATS_IR = 2
CALLGRIND_OPTIONS = [
    "--tool=callgrind",
    # The imports (torch's above all) run uninstrumented, and nothing is
    # counted outside the measured loops.
    "--instr-atstart=no", "--collect-atstart=no",
    "--dump-instr=no", "--dump-line=no",
]
# The command line that the valgrind process runs: the child mode of
# bench/run.py.
RUN_PY = os.path.join(BENCH, "run.py")


def callgrind_child(tmp, calls, only):
    """Runs inside valgrind: every statement of every case as a loop of
    `calls` and of 2 * `calls` iterations, each with collection switched on
    around it and dumped under its own label."""
    sys.path.insert(0, tmp)
    import _callgrind
    import _passfloor

    if not _callgrind.running():
        sys.exit("bench: --callgrind-child runs under valgrind only")
    # One thread: torch's pools would otherwise add whatever runs meanwhile.
    if hasattr(torch, "set_num_threads"):  # not the stand-in's
        torch.set_num_threads(1)
    cases = make_cases()
    if only:
        cases = [c for c in cases if only in c.name]
    loops = [("", "empty", loop_function("pass", {}, lean=True))]
    for case in cases:
        if probe(case, _passfloor) is None:
            loops += [(case.name, who, loop_function(stmt, ns, lean=True))
                      for who, stmt, ns in statements(case, _passfloor)]
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


def _keep_profiles(tmp, keep):
    """One file per loop in `keep`, named by its label, for callgrind_annotate."""
    os.makedirs(keep, exist_ok=True)
    for fn in os.listdir(tmp):
        if fn.startswith("cg.out."):
            with open(os.path.join(tmp, fn)) as f:
                label = next((ln[len(_DUMP_LABEL):].strip() for ln in f
                              if ln.startswith(_DUMP_LABEL)), None)
            if label:
                name = "".join(c if c.isalnum() or c in "-_" else "_" for c in label)
                shutil.copy(os.path.join(tmp, fn), os.path.join(keep, name + ".out"))


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
            helper, note = build_helper(tmp, name, what)
            if helper is None:
                return None, note, 0.0
        cmd = [valgrind, *CALLGRIND_OPTIONS, f"--callgrind-out-file={tmp}/cg.out",
               sys.executable, "-P", RUN_PY, "--callgrind-child", tmp,
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
            _keep_profiles(tmp, keep)

    def per_call(who, name):
        # The least count of each length: an allocator's occasional extra
        # work (a new pool, a freed arena) lands in one run, not in both.
        c1, c2 = ([counts.get(f"{who}|{n}|{r}|{name}") for r in range(REPEATS_IR)]
                  for n in (calls, 2 * calls))
        return None if None in c1 + c2 else (min(c2) - min(c1)) / calls

    empty = per_call("empty", "")
    if empty is None:
        return None, "callgrind wrote no counts", wall
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
        targets.judge_instructions(case, row, budgets)
        rows.append(row)
    return rows, None, wall

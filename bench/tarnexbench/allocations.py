"""Allocations per call: the interpreter's allocator calls that a statement
makes, counted by the hook of bench/_alloccount.cpp with the free lists
drained, so that an object made during the count comes from the allocator.
"""
import gc

from . import targets
from .cases import loop_function, statements
from .helpers import build_helper


def build_counter(tmp):
    """Compiles bench/_alloccount.cpp into `tmp`; returns the module or a note."""
    return build_helper(tmp, "_alloccount", "allocation counter")


def _drain_free_lists():
    """Takes every object out of the interpreter's free lists (tuples, lists,
    dicts and their key tables), so that an object made during the count
    comes from the allocator and is counted at least once."""
    keep = [(i,) * size for size in range(1, 20) for i in range(2100)]
    keep += [[i] for i in range(100)]
    keep += [{"k": i} for i in range(100)]
    return keep


def count_allocations(counter, stmt, ns, calls):
    loop = loop_function(stmt, ns)
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
        for who, stmt, ns in statements(case):
            row[who] = (count_allocations(counter, stmt, ns, calls) - base) / calls
        row["ok"] = targets.allocations_ok(row)
        rows.append(row)
    return rows

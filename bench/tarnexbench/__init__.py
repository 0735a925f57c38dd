"""The benchmark of tarnex's native functions, one module per job;
bench/run.py is its command line.

    cases         what is measured: the cases, their statements and loops
    targets       what a path may cost: the time, allocation and instruction
                  targets, and the instruction budgets
    helpers       builds the C++ helpers of bench/ on the fly
    timing        time mode: ns per call, mnist_loaders, import times
    allocations   allocations per call
    instructions  instruction mode: counts under callgrind
    reports       the printed reports, the Markdown tables, the JSON files,
                  the generated table of docs/performance.md
    cli           the command line: which jobs run, the exit status

A new case is an entry of cases.make_cases (and its line in
instruction_budgets.toml); what the budgets are, and which table of the
budget file applies, is decided in targets alone.
"""
import importlib
import importlib.util
import os

# bench/, which holds the plain-Python versions, the C++ helpers and the
# budget file; and the repository's root.
BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BENCH)


def import_or_none(name):
    """(module, None), or (None, why not) when `name` cannot be imported."""
    try:
        return importlib.import_module(name), None
    except ImportError as e:
        return None, f"{name} not importable ({e})"


def load_bench_module(name):
    """bench/<name>.py, loaded from its file: bench/ is no package."""
    spec = importlib.util.spec_from_file_location(name, os.path.join(BENCH, name + ".py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod

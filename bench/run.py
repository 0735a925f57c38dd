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

    python -P bench/run.py [--quick] [--json OUT] [--markdown] [--only SUBSTR]
                           [--alloc-only] [--no-alloc] [--no-import] [--no-mnist]
    python -P bench/run.py --instructions [--calls N] [--json OUT] [--markdown]
                           [--only SUBSTR] [--update-readme] [--keep-profiles DIR]

The time targets are reported, never enforced: timings move with the
machine's load by more than a small regression, so the exit status is 1 only
when the allocation check fails. Instruction counts are the gate: the
instruction mode counts instructions instead of time under valgrind's
callgrind, checks each path's count over its floor (and over the call of a
pass-through object of our own type, where it has one) against
bench/instruction_budgets.toml and against its targets, and exits with 1
when a path is over its budget or misses a target. --update-readme rewrites
the instruction table of docs/performance.md (between its markers) with the
run's counts.

The work is done by the package bench/tarnexbench, one module per job (its
__init__ lists them); this file is the command line, and the names that
tests/ use are found here.
"""
import os
import sys

# bench/ itself, where the package is: run with -P, the interpreter does not
# put the script's folder on the path (so tarnex comes from the install).
BENCH = os.path.dirname(os.path.abspath(__file__))
if BENCH not in sys.path:
    sys.path.insert(0, BENCH)

from tarnexbench import targets  # noqa: E402,F401
from tarnexbench.allocations import build_counter, count_allocations  # noqa: E402,F401
from tarnexbench.cases import bk, make_cases, pure, pure_fast  # noqa: E402,F401
from tarnexbench.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())

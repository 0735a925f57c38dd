"""Drives every path of tests/paths.py (and the import of each module) under
valgrind's memcheck and reports the errors whose stack passes through our
modules.

    python tools/valgrind_paths.py            # runs valgrind on itself; exit 1 on an error of ours

The interpreter runs with PYTHONMALLOC=malloc, so memcheck sees every Python
object. CPython and torch report errors of their own under memcheck (reads of
uninitialised memory in their allocators and JIT-free fast paths, conditional
jumps on values memcheck cannot follow); those are counted and listed by
library but do not fail the run. An error fails it when any frame of its stack
is in one of our shared libraries.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OURS = re.compile(r"/tarnex/(core/_batchkit|data/mnist)\.cpython")


def drive(rounds=2):
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import paths  # imports the modules themselves

    count = 0
    for _ in range(rounds):
        for p in paths.all_paths():
            with p.setup():
                try:
                    paths.call(p)
                except Exception:
                    pass
            count += 1
    print(f"{count} calls over {len(paths.all_paths())} paths")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "memcheck.log")
        env = dict(os.environ, PYTHONMALLOC="malloc")
        cmd = ["valgrind", "--tool=memcheck", "--error-limit=no", "--num-callers=40",
               f"--log-file={log}", sys.executable, "-P", os.path.abspath(__file__), "--drive"]
        proc = subprocess.run(cmd, env=env, cwd=tmp)
        text = open(log).read()
    # One error per block: a header line "==pid== Invalid read of size 8" and its stack.
    blocks = re.split(r"\n==\d+== \n", text)
    errors = [b for b in blocks if re.search(r"==\d+== (Invalid|Conditional|Use of uninit|Syscall param|"
                                             r"Mismatched|Source and destination|Argument)", b)]
    ours = [b for b in errors if OURS.search(b)]
    where = collections.Counter()
    for b in errors:
        libs = re.findall(r"\((?:in )?([^()]*?\.so[^():]*)\)", b)
        where[os.path.basename(libs[0]) if libs else "the interpreter"] += 1
    print(f"memcheck: {len(errors)} error contexts, {len(ours)} through our modules")
    for lib, n in where.most_common():
        print(f"  {n:5d}  first frame in {lib}")
    for b in ours:
        print(b)
    return 1 if ours or proc.returncode != 0 else 0


if __name__ == "__main__":
    if "--drive" in sys.argv:
        drive()
    else:
        sys.exit(main())

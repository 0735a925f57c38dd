"""Drives every path of tests/paths.py (and the import of each module) under
valgrind's memcheck and reports the errors whose stack passes through our
modules.

    python tools/valgrind_paths.py            # runs valgrind on itself; exit 1 on an error of ours
    python tools/valgrind_paths.py --log FILE # the figures of a kept log (build/memcheck.log)

The interpreter runs with PYTHONMALLOC=malloc, so memcheck sees every Python
object. The interpreter and torch draw errors of their own from memcheck (uses
of values memcheck cannot follow, also with no module of ours loaded); those are
counted and listed by library but do not fail the run. An error fails it when
its innermost frame, past memcpy-like helpers, is in our code.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OURS = re.compile(r"/tarnex/(core/_batchkit|data/mnist)\.cpython|\((frame|_batchkit|device|primary|batches|mnist|"
                  r"function|helpers|module|traceback|ref)\.[ch]pp:")
# Frames that only carry out a memory operation for their caller.
CARRIERS = re.compile(r"vgpreload_memcheck|/libc\.so|/libc-|\(string_fortified\.h|\(memcpy|\(memmove")


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
    log = os.path.join(ROOT, "build", "memcheck.log")  # kept for reading
    os.makedirs(os.path.dirname(log), exist_ok=True)
    env = dict(os.environ, PYTHONMALLOC="malloc")
    cmd = ["valgrind", "--tool=memcheck", "--error-limit=no", "--num-callers=40",
           f"--log-file={log}", sys.executable, "-P", os.path.abspath(__file__), "--drive"]
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.run(cmd, env=env, cwd=tmp)
    print(f"log: {log}")
    return 1 if analyse(open(log).read()) or proc.returncode != 0 else 0


def analyse(text):
    """Prints the figures of a memcheck log; returns the errors in our code."""
    # One error per block: a header line "==pid== Invalid read of size 8" and its stack.
    blocks = re.split(r"\n==\d+== \n", text)
    errors = [b for b in blocks if re.search(r"==\d+== (Invalid|Conditional|Use of uninit|Syscall param|"
                                             r"Mismatched|Source and destination|Argument)", b)]
    ours, where = [], collections.Counter()
    for b in errors:
        frames = [f for f in re.findall(r"==\d+==    (?:at|by) 0x[0-9A-F]+: (.*)", b) if not CARRIERS.search(f)]
        top = frames[0] if frames else ""
        if OURS.search(top):
            ours.append(b)
        libs = re.findall(r"\(in ([^()]*\.so[^()]*)\)", top)
        where[os.path.basename(libs[0]) if libs else "the interpreter"] += 1
    below = sum(1 for b in errors if OURS.search(b))
    print(f"memcheck: {len(errors)} error contexts; {len(ours)} in our code; {below} others had our "
          f"code further down the stack (Python code or a library it called)")
    for lib, n in where.most_common():
        print(f"  {n:5d}  innermost frame in {lib}")
    for b in ours:
        print(b)
    return ours


if __name__ == "__main__":
    if "--drive" in sys.argv:
        drive()
    elif sys.argv[1:2] == ["--log"]:  # the figures of an earlier run's log
        sys.exit(1 if analyse(open(sys.argv[2]).read()) else 0)
    else:
        sys.exit(main())

"""The C++ helpers of bench/ (the allocation counter, callgrind's switch,
the pass-through floor), compiled on the fly against this interpreter."""
import importlib
import os
import subprocess
import sys
import sysconfig

from . import BENCH


def build_helper(tmp, name, what):
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

"""Module lifecycle: creation, execution, import failures and retries, and the
one-interpreter rule. Anything that changes process-wide state runs in a
subprocess."""
import os
import subprocess
import sys
import textwrap

import pytest

import tarnex.core._batchkit as bk

from functions import BATCHKIT_NAMES

# Reading the module definition's slots lets a test call create and exec
# directly, as the import system does.
SLOTS = r"""
import ctypes, sys, types
api = ctypes.pythonapi
# Py_mod_create and Py_mod_exec: 3.15 gave the slots new numbers (the old
# ones still work, for modules built against older headers).
CREATE, EXEC = (84, 85) if sys.version_info >= (3, 15) else (1, 2)
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]

# PyModuleDef_HEAD_INIT: an object header (larger on the free-threaded
# build), then m_init, m_index and m_copy.
HEAD = object.__basicsize__ + 3 * ctypes.sizeof(ctypes.c_void_p)

class Def(ctypes.Structure):
    _fields_ = [("head", ctypes.c_byte * HEAD), ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p),
                ("m_size", ctypes.c_ssize_t), ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.c_void_p)]

class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

def slots(mod):
    d = Def.from_address(api.PyModule_GetDef(mod))
    found, i = {}, 0
    while True:
        s = Slot.from_address(d.m_slots + i * ctypes.sizeof(Slot))
        if s.slot == 0:
            return d, found
        found[s.slot] = s.value
        i += 1

def exec_slot(mod):
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slots(mod)[1][EXEC])

def create_slot(mod):
    d, found = slots(mod)
    fn = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(found[CREATE])
    return lambda spec: fn(spec, ctypes.addressof(d))
"""

ENTRIES = r"""
def entries(exc):
    out, tb = [], exc.__traceback__
    while tb is not None:
        c = tb.tb_frame.f_code
        if c.co_filename.startswith("tarnex/"):
            out.append((c.co_name, c.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out
"""


def run(*pieces):
    """Runs the code pieces in a fresh interpreter outside the source tree (the
    last argument is the directory); returns stdout."""
    *code, tmp_path = pieces
    proc = subprocess.run(
        [sys.executable, "-P", "-c", "\n".join(textwrap.dedent(c) for c in code)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_namespace_after_execution():
    names = set(vars(bk)) - {"__spec__"}
    assert names == {
        "__name__", "__doc__", "__loader__", "__file__", "__package__", "__builtins__",
        "Any", "Dict", "torch", *BATCHKIT_NAMES, "__test__",
    }
    import builtins
    import typing

    import torch

    assert bk.__builtins__ is builtins and bk.torch is torch
    assert bk.Any is typing.Any and bk.Dict is typing.Dict and bk.__test__ == {}
    assert bk.__loader__ is bk.__spec__.loader and bk.__file__ == bk.__spec__.origin
    assert bk.__package__ == "tarnex.core" and sys.modules["tarnex.core._batchkit"] is bk


def test_import_without_torch_fails_at_line_12_and_can_be_retried(tmp_path):
    out = run(ENTRIES, """
        import sys
        sys.modules["torch"] = None
        try:
            import tarnex.core._batchkit
        except ModuleNotFoundError as e:
            print(type(e).__name__, entries(e))
        print("tarnex.core._batchkit" in sys.modules)
        del sys.modules["torch"]
        import tarnex.core._batchkit as bk
        print(bk.forward(len, "abc"), sorted(k for k in vars(bk) if not k.startswith("_")))
    """, tmp_path)
    lines = out.splitlines()
    assert lines[0] == "ModuleNotFoundError [('init tarnex.core._batchkit', 'tarnex/core/_batchkit.py', 12)]"
    assert lines[1] == "False"
    assert lines[2] == f"3 {sorted(['Any', 'Dict', 'torch', *BATCHKIT_NAMES])}"


def test_missing_typing_name_is_import_error_at_line_10(tmp_path):
    out = run(ENTRIES, """
        import sys, types
        import typing as real  # whether start-up imported it or not
        fake = types.ModuleType("typing")
        fake.Any = object()
        sys.modules["typing"] = fake
        try:
            import tarnex.core._batchkit
        except ImportError as e:
            print(repr(str(e)), entries(e))
        sys.modules["typing"] = real
    """, tmp_path)
    assert out == "'cannot import name Dict' [('init tarnex.core._batchkit', 'tarnex/core/_batchkit.py', 10)]"


def test_import_hook_in_builtins_is_used(tmp_path):
    out = run("""
        import builtins
        seen = []
        real = builtins.__import__
        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if globals and globals.get("__name__") == "tarnex.core._batchkit":
                seen.append((name, list(fromlist or []), level, locals))
            return real(name, globals, locals, fromlist, level)
        builtins.__import__ = hook
        import sys
        sys.modules.pop("typing", None)  # start-up may or may not have imported it
        import tarnex.core._batchkit
        print(seen)
    """, tmp_path)
    # typing was not in sys.modules, so the hook sees it; torch is imported too.
    assert out.startswith("[('typing', ['Any', 'Dict'], 0, {})")
    assert "('torch', [], 0, {})" in out


def test_exec_slot_rules(tmp_path):
    out = run(SLOTS, """
        import tarnex.core._batchkit as bk
        ex = exec_slot(bk)
        print(ex(bk))                       # the recorded module: a no-op
        try:
            ex(types.ModuleType("other"))
        except RuntimeError as e:
            print(e)
        print(create_slot(bk)(bk.__spec__) is bk)
    """, tmp_path)
    assert out.splitlines() == [
        "0",
        "Module '_batchkit' has already been imported. Re-initialisation is not supported.",
        "True",
    ]


def test_create_skips_spec_attributes_that_are_missing(tmp_path):
    out = run(SLOTS, """
        import importlib.util, _imp
        real = importlib.util.find_spec("tarnex.core._batchkit")
        class Spec:
            name = "tarnex.core._batchkit"
            origin = real.origin
            submodule_search_locations = ["somewhere"]
            @property
            def loader(self):
                raise AttributeError("no loader")
            @property
            def parent(self):
                raise AttributeError("no parent")
        mod = _imp.create_dynamic(Spec())
        print(mod.__loader__, mod.__package__, mod.__file__ == real.origin, mod.__path__)
        class Broken(Spec):
            @property
            def parent(self):
                raise KeyError("bad spec")
        try:
            _imp.create_dynamic(Broken())
        except KeyError as e:
            print("KeyError", e)
    """, tmp_path)
    # The import system pre-sets __loader__ and __package__ to None; the
    # skipped entries keep those values.
    assert out.splitlines() == ["None None True ['somewhere']", "KeyError 'bad spec'"]


def test_second_interpreter_is_refused(tmp_path):
    # A subinterpreter that shares the main one's GIL and admits every
    # extension (what Py_NewInterpreter makes on each version), so the
    # module's own check answers. An isolated one (the default of 3.13's
    # _interpreters) is refused by the import system before that.
    pytest.importorskip("_testcapi")
    out = run("""
        import _testcapi
        import tarnex.core._batchkit
        _testcapi.run_in_subinterp(
            "try:\\n"
            "    import tarnex.core._batchkit\\n"
            "except ImportError as e:\\n"
            "    print('ImportError', e)\\n"
            "else:\\n"
            "    print('imported')\\n"
        )
    """, tmp_path)
    assert out == ("ImportError Interpreter change detected - this module can only be loaded "
                   "into one interpreter per process.")


def test_reimport_and_reload_keep_the_module():
    import importlib

    before = bk.forward
    assert importlib.import_module("tarnex.core._batchkit") is bk
    assert importlib.reload(bk) is bk and bk.forward is before


def test_failed_execution_leaves_no_module_in_sys_modules(tmp_path):
    """Run outside the import system (which makes and removes the sys.modules
    entry itself), a failed execution takes back the entry it added, so a
    later import starts afresh instead of finding a half-made module."""
    out = run("""
        import sys, _imp, importlib.util
        spec = importlib.util.find_spec("tarnex.core._batchkit")
        sys.modules["torch"] = None
        try:
            _imp.exec_dynamic(_imp.create_dynamic(spec))
        except ImportError as e:
            print(type(e).__name__)
        print("tarnex.core._batchkit" in sys.modules)
        del sys.modules["torch"]
        import tarnex.core._batchkit as bk
        print(bk.split_batch({"labels": 1, "a": 2}))
    """, tmp_path)
    assert out.splitlines() == ["ModuleNotFoundError", "False", "({'a': 2}, 1)"]


EMBED = r"""
#include <Python.h>
static const char code[] =
    "import sys, types\n"
    "t = sys.modules['torch'] = types.ModuleType('torch')\n"
    "t.Tensor = type('Tensor', (), {})\n"
    "try:\n"
    "    import tarnex.core._batchkit as bk\n"
    "    print(bk.to_device({'a': 1}, 'cpu'), bk.split_batch({'label': 2}))\n"
    "except ImportError as exc:\n"
    "    print('ImportError:', exc)\n";
int main(void) {
  for (int i = 0; i < 2; ++i) {
    Py_Initialize();
    if (PyRun_SimpleString(code) != 0) return 1;
    if (Py_FinalizeEx() < 0) return 2;
  }
  return 0;
}
"""


def test_runtime_finalized_and_initialized_again(tmp_path):
    """An embedding program that finalizes the runtime and starts a new one
    (same interpreter ID) must not get the old, finalized module back."""
    import os
    import shutil
    import sysconfig

    cc = shutil.which(os.environ.get("CC", "cc"))
    cfg = sysconfig.get_config_var
    if cc is None or not cfg("Py_ENABLE_SHARED") or sys.platform == "win32":
        pytest.skip("needs a C compiler and a shared libpython to embed the interpreter")
    (tmp_path / "embed.c").write_text(EMBED)
    libdir = cfg("LIBDIR")
    subprocess.run([cc, "embed.c", "-o", "embed", f"-I{sysconfig.get_paths()['include']}",
                    f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{cfg('LDVERSION')}"],
                   cwd=tmp_path, check=True)
    site = os.path.dirname(os.path.dirname(os.path.dirname(bk.__file__)))
    proc = subprocess.run(["./embed"], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=site))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "{'a': 1} ({}, 2)",
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
    ]


def test_tests_without_dash_p_end_in_one_usage_line():
    # Without -P the source folder, whose tarnex has no compiled modules,
    # shadows the installed package: one line saying so, not an internal error.
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONSAFEPATH"}
    proc = subprocess.run([sys.executable, "-m", "pytest", "--co", "-q", "-p", "no:cacheprovider",
                           os.path.join("tests", "test_module.py")],
                          cwd=repo, env=env, capture_output=True, text=True, timeout=120)
    out = (proc.stdout + proc.stderr).strip()
    assert proc.returncode == pytest.ExitCode.USAGE_ERROR, out
    assert out.startswith("ERROR: tarnex is imported from the source tree") and "\n" not in out, out


# Test files for the run without the real torch: one whose module-level code
# needs it and is marked, one that imports it without the mark, one that runs
# on the stand-in with one marked test.
_MARKED = "import pytest\nimport torch\npytestmark = pytest.mark.needs_torch\nT = torch.zeros(2)\n" \
          "def test_real():\n    pass\n"
_UNMARKED = "import torch\ndef test_unmarked():\n    pass\n"
_MIXED = "import pytest\ndef test_plain():\n    pass\n@pytest.mark.needs_torch\ndef test_marked():\n    pass\n"


@pytest.mark.parametrize("files, args, status, says", [
    # The marked file is not imported (its torch.zeros would fail on the
    # stand-in), the marked test is deselected, the header names the file.
    ({"test_b.py": _MARKED, "test_c.py": _MIXED}, ["-m", "not needs_torch"], pytest.ExitCode.OK,
     ["left out (test_b.py)", "<Function test_plain>", "1/2 tests collected (1 deselected)"]),
    # A marked test that -m leaves selected stops the run.
    ({"test_b.py": _MARKED, "test_c.py": _MIXED}, [], pytest.ExitCode.USAGE_ERROR,
     ["1 selected tests need the real torch", "test_c.py::test_marked"]),
    # So does a file that imports torch without the mark, named.
    ({"test_a.py": _UNMARKED, "test_c.py": _MIXED}, ["-m", "not needs_torch"], pytest.ExitCode.USAGE_ERROR,
     ["test_a.py: import torch at module level but are not marked needs_torch"]),
])
def test_run_without_the_real_torch_leaves_out_what_is_marked(tmp_path, files, args, status, says):
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tests = tmp_path / "tests"
    tests.mkdir()
    with open(os.path.join(repo, "tests", "conftest.py"), encoding="utf-8") as f:
        (tests / "conftest.py").write_text(f.read(), encoding="utf-8")
    for name, text in files.items():
        (tests / name).write_text(text, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.path.join(repo, "tools", "standin"))
    proc = subprocess.run([sys.executable, "-P", "-m", "pytest", "--co", "-p", "no:cacheprovider",
                           "-W", "ignore::pytest.PytestUnknownMarkWarning", *args, "tests"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    out = proc.stdout + proc.stderr
    assert proc.returncode == status, out
    for text in says:
        assert text in out, out

"""Shared fixtures; also makes sure the tests run against the installed build,
and leaves out what needs the real torch where there is none."""
import ast
import functools
import gc
import importlib.util
import os
import sys
import sysconfig

import pytest

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_HERE = os.path.join(_REPO, "tests")


def pytest_configure(config):
    # Asked before anything is imported: without -P, `python -m pytest` puts
    # the current folder first on sys.path, `tarnex` resolves to the source
    # tree, which holds no compiled module, and the import below would end in
    # an internal error that reads like a failed install.
    spec = importlib.util.find_spec("tarnex")
    if spec is None:
        raise pytest.UsageError(
            "tarnex is not installed; install it with 'pip install .' and run the tests "
            "with 'python -P -m pytest'"
        )
    source = os.path.join(_REPO, "tarnex")
    for here in spec.submodule_search_locations or [spec.origin or ""]:
        here = os.path.abspath(here)
        if here == source or here.startswith(source + os.sep):
            raise pytest.UsageError(
                f"tarnex is imported from the source tree ({here}); install it with pip and "
                "run the tests with 'python -P -m pytest' so the compiled package is used"
            )


# ------------------------------------------------------------ the real torch
# A test that needs the real torch carries the needs_torch mark: a file whose
# module-level code uses it, as `pytestmark = pytest.mark.needs_torch`; a
# single test of a file that runs without it, as a decorator. Where this
# interpreter has no real torch (none at all, or the stand-in of
# tools/standin/), a marked file is not even imported (importing it would
# fail, and -m deselects only what was collected); a marked test is left to
# -m "not needs_torch", and one still selected stops the run instead of
# failing in some unrelated way. A test file that imports torch, torchvision
# or the path table at module level without the mark stops the run too: the
# mark is the one list of what needs torch, so it must not be forgotten.

# Files that do import torch at module level and run against the stand-in
# too (their own cases that need the real torch are marked).
_RUNS_ON_THE_STANDIN = {"test_free_threading.py"}
_TORCH_MODULES = {"torch", "torchvision", "paths"}
_UNMARKED = pytest.StashKey[set]()


@functools.cache
def real_torch():
    """Whether this interpreter has the real torch and torchvision (not the
    stand-ins, not a torch built for another Python that fails to load)."""
    try:
        import torch
        import torchvision  # noqa: F401
    except Exception:  # noqa: BLE001 - any failure to load means no torch here
        return False
    return not getattr(torch, "__version__", "").endswith("+standin")


@functools.cache
def _module_level(path):
    """(marked needs_torch, imports torch) of a test file, read from its source
    (not imported): a `pytestmark` that names needs_torch; an import of torch,
    torchvision or the path table, or an importorskip of them, outside
    functions."""
    with open(path, "rb") as f:
        tree = ast.parse(f.read(), path)
    marked = imports = False
    todo = list(tree.body)
    while todo:
        node = todo.pop()
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            continue
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "pytestmark"
                                                for t in node.targets):
            marked |= any(isinstance(n, ast.Attribute) and n.attr == "needs_torch" for n in ast.walk(node.value))
        elif isinstance(node, ast.Import):
            imports |= any(a.name.split(".")[0] in _TORCH_MODULES for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            imports |= node.level == 0 and (node.module or "").split(".")[0] in _TORCH_MODULES
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
              and node.func.attr == "importorskip" and node.args
              and isinstance(node.args[0], ast.Constant) and str(node.args[0].value).split(".")[0] in _TORCH_MODULES):
            imports = True
        todo.extend(ast.iter_child_nodes(node))
    return marked, imports


def _needs_torch_file(name):
    return _module_level(os.path.join(_HERE, name))[0]


def pytest_ignore_collect(collection_path, config):
    path = str(collection_path)
    name = os.path.basename(path)
    if (real_torch() or os.path.dirname(path) != _HERE or not name.startswith("test_")
            or not name.endswith(".py")):
        return None
    if _needs_torch_file(name):
        return True
    if name not in _RUNS_ON_THE_STANDIN and _module_level(path)[1]:
        # Not imported: it would fail, or skip itself, without saying why.
        config.stash.setdefault(_UNMARKED, set()).add(name)
        return True
    return None



def pytest_report_header(config):
    if real_torch():
        return None
    left = sorted(n for n in os.listdir(_HERE) if n.startswith("test_") and n.endswith(".py")
                  and _needs_torch_file(n))
    return f"no real torch: the files marked needs_torch are left out ({', '.join(left)})"


@pytest.hookimpl(trylast=True)  # after -m has deselected what it deselects
def pytest_collection_modifyitems(config, items):
    if real_torch():
        return
    unmarked = config.stash.get(_UNMARKED, set())
    if unmarked:
        raise pytest.UsageError(
            f"{', '.join(sorted(unmarked))}: import torch at module level but are not marked "
            "needs_torch (pytestmark = pytest.mark.needs_torch), and this interpreter has no real torch")
    selected = [item.nodeid for item in items if item.get_closest_marker("needs_torch")]
    if selected:
        raise pytest.UsageError(
            f"{len(selected)} selected tests need the real torch, which this interpreter lacks "
            f"(deselect them with -m 'not needs_torch'): {', '.join(selected)}")


@pytest.fixture(scope="session")
def target_device():
    """The device the device cases move real tensors to: TARNEX_TEST_DEVICE,
    "cpu" when it is unset or empty (tools/gpu_check.sh sets "cuda"). A
    device torch cannot make a tensor on fails the case instead of skipping
    it: the run was asked to check that device."""
    import torch

    name = os.environ.get("TARNEX_TEST_DEVICE") or "cpu"
    torch.empty(0, device=name)
    return name


@pytest.fixture
def bk():
    import tarnex.core._batchkit as mod

    return mod


# On the free-threaded build, part of what a collection frees goes back to
# the allocator only at a later quiescent point, which the next collection
# passes: a type made per call (pure Python, no call of ours) counts about one
# block per call after a single collection there, none after two. Its
# per-thread caches also take several hundred calls of torch's exception
# paths to fill (tens of blocks per round, then none), so a round may be
# measured again: a leak of ours grows every round alike.
_FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
_COLLECTIONS = 2 if _FREE_THREADED else 1
_MEASURES = 5 if _FREE_THREADED else 1


def _settle():
    for _ in range(_COLLECTIONS):
        gc.collect()
    return sys.getallocatedblocks()


@pytest.fixture
def no_leak():
    """Calls fn() repeatedly and fails if allocated blocks or the refcounts of
    the watched objects grow."""

    def check(fn, *watched, rounds=200, warmup=20):
        for _ in range(warmup):
            fn()
        for measure in range(_MEASURES):
            before = _settle()
            if measure == 0:
                counts = [sys.getrefcount(o) for o in watched]
            for _ in range(rounds):
                fn()
            after = _settle()
            assert [sys.getrefcount(o) for o in watched] == counts, "reference leak on an argument"
            # A few blocks of slack for interpreter caches; a leak per call
            # shows up as at least `rounds` blocks.
            if after - before < rounds // 4:
                break
        else:
            raise AssertionError(f"{after - before} blocks leaked over {rounds} calls")

    return check


def _entries(exc):
    """The traceback entries our native modules added: (name, file, line)."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("tarnex/"):
            out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


@pytest.fixture
def entries():
    return _entries


@pytest.fixture
def without_torch(bk):
    """Removes the module global `torch` for the test and puts it back."""
    saved = bk.__dict__.pop("torch")
    try:
        yield
    finally:
        bk.torch = saved

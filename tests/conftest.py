"""Shared fixtures; also makes sure the tests run against the installed build."""
import gc
import importlib.util
import os
import sys
import sysconfig

import pytest

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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

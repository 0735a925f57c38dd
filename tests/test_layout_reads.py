"""The frame reads a few of the interpreter's own fields in place (an
object's instance dictionary or inline values, a str's cached hash, a dict's
version, a type's version tag). Each read is held here to what the public API
says about the same object, on whatever interpreter runs the suite: a
version that moves a field fails here rather than in a user's call."""
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
CXX = os.environ.get("CXX", "c++")

pytestmark = pytest.mark.skipif(os.name == "nt" or shutil.which(CXX) is None,
                                reason="the probe is built with a POSIX C++ compiler driver")


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("layout")
    out = tmp / ("_layout_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    # TARNEX_LAYOUT_UNKNOWN=1: the probe built as the modules are for a version
    # past every read's range, its fallbacks pinned instead.
    unknown = ["-DTARNEX_LAYOUT_UNKNOWN"] if os.environ.get("TARNEX_LAYOUT_UNKNOWN") else []
    cmd = [CXX, "-O1", "-shared", "-fPIC", "-std=c++20", *unknown,
           "-I" + sysconfig.get_paths()["include"],
           "-I" + os.path.join(REPO, "frame"), os.path.join(REPO, "tests", "_layout_probe.cpp"),
           "-o", str(out)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr[-3000:]
    sys.path.insert(0, str(tmp))
    try:
        return importlib.import_module("_layout_probe")
    finally:
        sys.path.remove(str(tmp))


class Plain:
    pass


class Slotted:
    __slots__ = ("a",)


class FromFloat(float):
    """A heap type over a builtin with data of its own, as torch's Tensor is
    over its C base: no inline values before 3.14."""


class WithDictOffset(Exception):
    """Instances keep their dictionary at a positive tp_dictoffset."""


def _set(o):
    o.a = 1


def _set_and_delete(o):
    o.a = 1
    del o.a


def _vars_cleared(o):
    o.a = 1
    vars(o).clear()


def _dict_replaced_empty(o):
    o.__dict__ = {}


def _dict_replaced(o):
    o.__dict__ = {"a": 1}


CHANGES = {"fresh": lambda o: None, "set": _set, "set-and-deleted": _set_and_delete,
           "vars-cleared": _vars_cleared, "dict-replaced-empty": _dict_replaced_empty,
           "dict-replaced": _dict_replaced}
KINDS = {"plain": Plain, "float-subclass": lambda: FromFloat(1.5),
         "dict-offset": WithDictOffset}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("kind", KINDS)
def test_no_instance_attributes_never_misses_one(probe, kind, change):
    """Never "none" for an object that holds an attribute; "none" for a
    fresh object wherever the read applies (else the method cache would never
    serve it: slower, which the budgets catch, but nothing wrong)."""
    obj = KINDS[kind]()
    CHANGES[change](obj)
    answer = probe.no_instance_attributes(obj)  # before anything reads __dict__
    if obj.__dict__:
        assert answer is False, f"{kind}, {change}: an attribute the read does not see"
    if change == "fresh" and _read_applies(probe, kind):
        assert answer is True, f"{kind}: a fresh object read as holding attributes"


def _read_applies(probe, kind):
    """Where a fresh object must read as holding nothing: a dictionary at a
    positive offset everywhere; from 3.13 the managed dictionary and the
    inline values too (3.11 and 3.12 keep values apart, unread), in a build
    that reads them; without the GIL, no inline values (a plain class's are
    "may hold")."""
    if kind == "dict-offset":
        return True
    if "managed_dict" in probe.fallbacks():
        return False
    if FREE_THREADED:
        return kind != "plain" and sys.version_info < (3, 14)
    return sys.version_info >= (3, 13)


def test_no_instance_attributes_without_a_dict(probe):
    s = Slotted()
    assert probe.no_instance_attributes(s) is True
    s.a = 1  # a slot, not an instance attribute
    assert probe.no_instance_attributes(s) is True
    assert probe.no_instance_attributes(object()) is True


@pytest.mark.needs_torch
@pytest.mark.parametrize("change", ["fresh", "set", "set-and-deleted", "vars-cleared"])
def test_no_instance_attributes_of_a_tensor(probe, change):
    import torch

    t = torch.zeros(2)
    CHANGES[change](t)
    answer = probe.no_instance_attributes(t)
    if t.__dict__:
        assert answer is False
    if change == "fresh" and "managed_dict" not in probe.fallbacks():
        assert answer is True, "a fresh tensor read as holding attributes"


def test_cached_hash_is_the_hash_once_computed(probe):
    s = "".join(["layout", "-probe"])  # a new str, its hash not computed yet
    assert probe.cached_hash(s) == -1
    h = hash(s)
    assert probe.cached_hash(s) == (-1 if "str_hash" in probe.fallbacks() else h)


def test_dict_version_moves_on_every_change(probe):
    d = {"a": 1}
    if not probe.watch(d):
        assert "dict_version" in probe.fallbacks()  # and the caches stay empty
        return
    seen = [probe.dict_version(d)]
    _ = d["a"], d.get("b"), "a" in d
    assert probe.dict_version(d) == seen[-1], "a read moved the version"
    for change in (lambda: d.__setitem__("b", 2), lambda: d.__setitem__("a", 3),
                   lambda: d.__delitem__("b"), d.clear):
        change()
        v = probe.dict_version(d)
        assert v != seen[-1], "a change left the version where it was"
        seen.append(v)


def test_type_version_changes_with_the_type(probe):
    class C:
        def to(self):
            return 1

    C().to()  # the attribute cache gives the type a tag
    C.to  # noqa: B018
    before = probe.type_version(C)
    if "type_version" in probe.fallbacks():
        assert before == 0  # no version: nothing is cached by it
        return
    assert before != 0
    C.to = lambda self: 2
    assert probe.type_version(C) != before
    C.to  # noqa: B018  - a look-up gives it a new tag, never the old one
    assert probe.type_version(C) != before

"""The function objects of the native modules: attributes, setters, pickling,
introspection, GC and weak references."""
import gc
import inspect
import pickle
import types
import warnings
import weakref

import pytest

import tarnex.core._batchkit as bk

from functions import BATCHKIT_NAMES as NAMES
from functions import FUNCTIONS, MODULE_DOCS


@pytest.fixture
def fresh():
    """A function whose attributes a test may change; restored afterwards."""
    f = bk.forward
    saved = {a: getattr(f, a) for a in ("__name__", "__qualname__", "__doc__", "__module__")}
    saved_defaults, saved_kw = f.__defaults__, f.__kwdefaults__
    yield f
    for a, v in saved.items():
        setattr(f, a, v)
    f.__annotations__ = None
    f.__dict__.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f.__defaults__, f.__kwdefaults__ = saved_defaults, saved_kw


@pytest.mark.parametrize("name", NAMES)
def test_identity_attributes(name):
    f = getattr(bk, name)
    assert f.__name__ == f.func_name == f.__qualname__ == name
    assert f.__module__ == FUNCTIONS[name].module
    assert f.__globals__ is f.func_globals is vars(bk)
    assert f.__closure__ is None and f.func_closure is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f._is_coroutine is False
    assert repr(f) == f"<cyfunction {name} at {hex(id(f))}>"
    assert str(inspect.signature(f)) == FUNCTIONS[name].signature


@pytest.mark.parametrize("name", NAMES)
def test_code_objects(name):
    code = getattr(bk, name).__code__
    row = FUNCTIONS[name]
    assert code is getattr(bk, name).func_code
    assert (code.co_argcount, code.co_firstlineno, code.co_varnames) == (row.argcount, row.first, row.varnames)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert code.co_filename == row.file
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == 3
    assert not code.co_flags & inspect.CO_GENERATOR


def test_docstrings_and_annotations():
    assert bk.__doc__.startswith(f"\n{MODULE_DOCS[bk.__name__]}\n")
    # One-line docstrings are the whole line; longer ones start with it.
    for name in ("to_device", "example_probe"):
        assert getattr(bk, name).__doc__ == FUNCTIONS[name].doc
    assert bk.forward.func_doc == FUNCTIONS["forward"].doc
    assert bk.split_batch.__doc__.startswith(FUNCTIONS["split_batch"].doc + "\n")
    assert bk.split_batch.__doc__.endswith("unpack it as (x, y).\n    ")
    for name in NAMES:
        assert getattr(bk, name).__doc__.split("\n", 1)[0] == FUNCTIONS[name].doc, name
        assert getattr(bk, name).__annotations__ == FUNCTIONS[name].annotations, name
    ann = bk.forward.__annotations__
    assert ann == {} and bk.forward.__annotations__ is ann  # made once, then kept


@pytest.mark.parametrize(
    "attr, bad, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("func_name", None, "__name__ must be set to a string object"),
        ("__qualname__", b"x", "__qualname__ must be set to a string object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ],
)
def test_setters_refuse_wrong_types(fresh, attr, bad, message):
    before = getattr(fresh, attr)
    with pytest.raises(TypeError) as info:
        setattr(fresh, attr, bad)
    assert str(info.value) == message
    assert getattr(fresh, attr) == before


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_names_cannot_be_deleted(fresh, attr):
    with pytest.raises(TypeError, match=f"{attr} must be set to a string object"):
        delattr(fresh, attr)


def test_setters_accept(fresh):
    fresh.func_name = "renamed"
    fresh.__qualname__ = "Q.renamed"
    assert fresh.__name__ == "renamed" and repr(fresh).startswith("<cyfunction Q.renamed at ")
    fresh.func_doc = 42
    assert fresh.__doc__ == 42
    del fresh.__doc__
    assert fresh.__doc__ is None
    ann = {"x": "int"}
    fresh.__annotations__ = ann
    assert fresh.__annotations__ is ann
    fresh.__annotations__ = None
    assert fresh.__annotations__ == {} and fresh.__annotations__ is not ann
    fresh.__module__ = "elsewhere"
    assert fresh.__module__ == "elsewhere"
    # Binding messages keep the function's own name.
    with pytest.raises(TypeError, match=r"^forward\(\) takes exactly 2"):
        fresh()


@pytest.mark.parametrize(
    "attr, value, shown",
    [("__defaults__", (1,), "__defaults__"), ("func_defaults", None, "__defaults__"),
     ("__kwdefaults__", {"x": 1}, "__kwdefaults__")],
)
def test_defaults_warn_and_leave_calls_alone(fresh, attr, value, shown):
    with pytest.warns(RuntimeWarning) as rec:
        setattr(fresh, attr, value)
    assert str(rec[0].message) == (
        f"changes to cyfunction.{shown} will not currently affect the values used in function calls"
    )
    assert getattr(fresh, attr) == value
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        fresh(1)


def test_defaults_warning_as_error_keeps_value(fresh):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            fresh.__defaults__ = (1,)
    assert fresh.__defaults__ is None


@pytest.mark.parametrize("attr", ["__code__", "__globals__", "__closure__", "_is_coroutine"])
def test_read_only(attr):
    with pytest.raises(AttributeError):
        setattr(bk.forward, attr, None)


def test_dict_and_alias(fresh):
    fresh.tag = 1
    assert fresh.__dict__ is fresh.func_dict and fresh.__dict__ == {"tag": 1}
    with pytest.raises(TypeError):
        fresh.__dict__ = []
    fresh.func_dict = {"other": 2}
    assert fresh.other == 2 and not hasattr(fresh, "tag")


@pytest.mark.parametrize("name", NAMES)
def test_pickle_by_reference(name):
    f = getattr(bk, name)
    assert f.__reduce__() == name
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, proto)) is f


def test_binds_as_method_on_a_class():
    class Holder:
        split = bk.split_batch

    h = Holder()
    assert Holder.split is bk.split_batch
    bound = h.split
    assert isinstance(bound, types.MethodType) and bound.__self__ is h and bound.__func__ is bk.split_batch
    assert inspect.isroutine(bk.forward)


def test_type_cannot_be_instantiated_or_subclassed():
    tp = type(bk.forward)
    with pytest.raises(TypeError):
        tp()
    with pytest.raises(TypeError):
        type("Sub", (tp,), {})


def test_weakref_and_gc_cycle():
    f = bk.forward
    r = weakref.ref(f)
    assert r() is f
    assert gc.is_tracked(f)
    # A cycle through the function's __dict__ is collectable.
    f.selfref = f
    assert f in gc.get_referents(f.__dict__)
    del f.selfref


def test_functools_partial_and_wraps():
    import functools

    part = functools.partial(bk.forward, len)
    assert part((1, 2)) == 2

    @functools.wraps(bk.to_device)
    def wrapper(*a, **k):
        return bk.to_device(*a, **k)

    assert wrapper.__name__ == "to_device" and wrapper.__doc__ == bk.to_device.__doc__
    assert wrapper.__annotations__ == FUNCTIONS["to_device"].annotations
    assert str(inspect.signature(wrapper)) == FUNCTIONS["to_device"].signature


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_cycle_through_a_str_subclass_name_is_collectable(fresh, attr):
    """A str subclass can carry a __dict__; the collector must see it."""

    class Name(str):
        pass

    name = Name("renamed")
    setattr(fresh, attr, name)
    assert any(r is name for r in gc.get_referents(fresh))


def test_annotate_answers_as_a_python_function_does():
    """__annotate__ is how 3.14's functools.wraps and annotationlib read
    annotations: VALUE gives a new dict, other formats are left to
    annotationlib, which then derives the same as for a Python function."""
    ann = bk.to_device.__annotate__(1)
    assert ann == {"device": "str"} and ann is not bk.to_device.__annotations__
    assert bk.forward.__annotate__(1) == {}
    # Past the C long too (32 bits on Windows): the same answer everywhere.
    for fmt in (0, -1, 2, 3, 4, 2**31 + 1, 2**32 + 1, 2**40, 2**63 + 1, 2**64 + 1, -2**63 - 1):
        with pytest.raises(NotImplementedError):
            bk.to_device.__annotate__(fmt)
    for fmt in ("1", 1.0, None):
        with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
            bk.to_device.__annotate__(fmt)


def test_annotationlib_derives_what_it_derives_for_a_python_function():
    annotationlib = pytest.importorskip("annotationlib")  # 3.14

    def to_device(x, device: "str"):
        pass

    for fmt in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING):
        assert (annotationlib.get_annotations(bk.to_device, format=fmt)
                == annotationlib.get_annotations(to_device, format=fmt)), fmt

"""The tensor test's caches: `torch.Tensor` served from the module dictionary's
version, and the direct instance check for metaclasses that inherit type's
hook. Each must give exactly what a fresh look-up and isinstance would."""
import gc
import sys
import types
import weakref

import sysconfig

import pytest
import torch

import tarnex.core._batchkit as bk

pytestmark = pytest.mark.needs_torch

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _skip_if_immortal(obj):
    """The free-threaded 3.13 interpreter makes every class and module created
    after a thread has started immortal (their reference count reads
    2**32 - 1 there), so such an object is never freed, whatever holds it."""
    if sys.getrefcount(obj) >= 2**32 - 1:
        pytest.skip("the interpreter made this class or module immortal (free-threaded 3.13 "
                    "after a thread has run)")


class Sentinel:
    pass


MOVED = Sentinel()
REPLACED = Sentinel()


class Val:
    """A value every function can treat as a tensor: it moves and slices."""

    def to(self, device):
        return MOVED

    def __getitem__(self, key):
        return MOVED


def _to_device(v):
    return bk.to_device({"k": v}, "cpu")["k"] is MOVED


def _example_probe(v):
    return bk.example_probe({"k": v})["k"] is MOVED


def _set_primary_input(v):
    return bk.set_primary_input({"k": v}, REPLACED)["k"] is REPLACED


def _example_tensor(v):
    try:
        return bk.example_tensor({"k": v}) is v
    except StopIteration:
        return False


# Every function that makes the tensor test, each with its own look-up site.
TESTS = [_to_device, _example_probe, _set_primary_input, _example_tensor]


@pytest.fixture
def fake_torch():
    """A plain module bound as the module global `torch` for the test."""
    saved = bk.torch
    mod = types.ModuleType("torch")
    bk.torch = mod
    try:
        yield mod
    finally:
        bk.torch = saved


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
def test_tensor_attribute_follows_the_module_dictionary(fake_torch, is_tensor):
    class Other:
        pass

    fake_torch.Tensor = Val
    assert is_tensor(Val())
    assert is_tensor(Val())  # served from the cache
    fake_torch.Tensor = Other  # replacement in the same dictionary
    assert not is_tensor(Val())
    fake_torch.Tensor = Val
    assert is_tensor(Val())
    # An unrelated insert also changes the version: still the right answer.
    fake_torch.unrelated = 1
    assert is_tensor(Val())
    del fake_torch.Tensor
    with pytest.raises(AttributeError, match="module 'torch' has no attribute 'Tensor'"):
        is_tensor(Val())


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
def test_module_getattr_and_reassigned_module_type_are_asked_each_time(fake_torch, is_tensor):
    asked = []

    def module_getattr(name):
        asked.append(name)
        return Val

    fake_torch.__getattr__ = module_getattr
    assert is_tensor(Val()) and is_tensor(Val())
    assert asked == ["Tensor", "Tensor"]  # a miss in the dictionary is never cached
    del fake_torch.__getattr__

    fake_torch.Tensor = Val
    assert is_tensor(Val())  # cached against this dictionary's version

    class Sub(types.ModuleType):
        reads = 0

        @property
        def Tensor(self):
            Sub.reads += 1
            return Sentinel

    # The module's type changes, its dictionary does not: the property wins.
    fake_torch.__class__ = Sub
    assert not is_tensor(Val()) and not is_tensor(Val())
    assert Sub.reads == 2
    fake_torch.__class__ = types.ModuleType
    assert is_tensor(Val())


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("change, error", [
    (lambda d: d.update(Tensor=Sentinel), None),
    (lambda d: d.pop("Tensor"), AttributeError),
    (lambda d: d.popitem(), AttributeError),  # Tensor was inserted last
    (lambda d: d.clear(), AttributeError),
], ids=["update", "pop", "popitem", "clear"])
def test_every_kind_of_change_to_the_dictionary_is_seen(fake_torch, is_tensor, change, error):
    """Each dict operation that changes the module dictionary moves its
    version, whatever tracks it (a version tag, or a dict watcher)."""
    fake_torch.Tensor = Val
    assert is_tensor(Val()) and is_tensor(Val())
    change(vars(fake_torch))
    if error is None:
        assert not is_tensor(Val())
    else:
        with pytest.raises(error):
            is_tensor(Val())


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
def test_a_builtin_torch_is_followed(without_torch, is_tensor):
    """With no module global `torch`, the name falls through to builtins;
    that dictionary's changes are seen by the very next call too."""
    import builtins

    class Other:
        pass

    builtins.torch = types.SimpleNamespace(Tensor=Val)
    try:
        assert is_tensor(Val()) and is_tensor(Val())
        builtins.torch = types.SimpleNamespace(Tensor=Other)
        assert not is_tensor(Val())
        bk.torch = types.SimpleNamespace(Tensor=Val)  # a global shadows it again
        assert is_tensor(Val())
        del bk.torch
        assert not is_tensor(Val())
    finally:
        del builtins.torch
    with pytest.raises(NameError, match="name 'torch' is not defined"):
        is_tensor(Val())


def test_sites_do_not_share_a_stale_value(fake_torch):
    class Other:
        pass

    fake_torch.Tensor = Val
    assert _to_device(Val()) and _example_probe(Val())
    fake_torch.Tensor = Other
    assert not _example_probe(Val())
    # to_device's site last saw Val under an older version.
    assert not _to_device(Val())


def test_another_module_object_as_torch(fake_torch):
    fake_torch.Tensor = Val
    assert _to_device(Val())
    second = types.ModuleType("torch")
    second.Tensor = Sentinel
    bk.torch = second
    assert not _to_device(Val())
    bk.torch = types.SimpleNamespace(Tensor=Val)  # not a module: plain access
    assert _to_device(Val())


def test_cached_class_is_released_after_rebinding(fake_torch):
    class Temp:
        pass

    _skip_if_immortal(Temp)
    fake_torch.Tensor = Temp
    assert not _to_device(Val())
    ref = weakref.ref(Temp)
    del Temp
    fake_torch.Tensor = Val
    assert _to_device(Val())  # the site now holds Val
    gc.collect()
    assert ref() is None


# -------------------------------------------------------- instance checks


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
def test_metaclass_inheriting_type_hook_follows_the_full_protocol(fake_torch, is_tensor):
    class Meta(type):
        pass

    Base = Meta("Base", (), {})

    class Derived(Base, Val):
        pass

    class Claims(Val):
        """Not a subclass, but its instances report Base as their __class__."""

        @property
        def __class__(self):
            return Base

    fake_torch.Tensor = Base
    assert is_tensor(Derived())
    assert not is_tensor(Val())
    assert is_tensor(Claims())

    # A hook given to the metaclass later is used from the next value on.
    seen = []

    def hook(cls, obj):
        seen.append(obj)
        return True

    Meta.__instancecheck__ = hook
    v = Val()
    assert is_tensor(v) and seen == [v]
    del Meta.__instancecheck__
    assert not is_tensor(Val())


def test_hook_of_a_metaclass_base_is_honoured(fake_torch):
    class HookMeta(type):
        def __instancecheck__(cls, obj):
            return isinstance(obj, Val)

    class Meta(HookMeta):
        pass

    fake_torch.Tensor = Meta("T", (), {})
    assert _to_device(Val()) and not _to_device(5)


def test_real_tensor_kinds():
    p = torch.nn.Parameter(torch.ones(2))
    assert bk.example_tensor({"a": 1, "p": p}) is p  # _ParameterMeta's own hook
    t = torch.ones(2)
    assert bk.example_tensor({"a": 1, "b": "s", "t": t}) is t
    with pytest.raises(StopIteration):
        bk.example_tensor({"a": 1, "b": [t]})


# ------------------------------------------------------ nothing kept alive


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("what", ["global", "attribute"])
def test_replaced_objects_are_freed_at_once(is_tensor, what):
    """A site refers to what the module's dictionaries hold and nothing more:
    once `torch` (or its `Tensor`) is replaced, the old object is freed
    without another call through the site. Free-threaded builds keep what a
    thread found with strong references, in that thread's own cache: there
    the old object goes at the thread's next call through the site (or when
    its thread state goes), and must go then."""
    saved = bk.torch
    fake = types.ModuleType("fake")
    fake.Tensor = type("Temp", (), {})
    held = fake if what == "global" else fake.Tensor
    _skip_if_immortal(held)
    ref = weakref.ref(held)
    bk.torch = fake
    try:
        assert not is_tensor(Val())
    finally:
        bk.torch = saved
    if FREE_THREADED:
        assert not is_tensor(Val())  # the refill lets the old entry go
    del fake, held
    gc.collect()
    assert ref() is None


def test_mnist_sites_keep_nothing_alive():
    import tarnex.data.mnist as mn

    saved = mn.transforms

    class Transforms:
        @staticmethod
        def ToTensor():
            raise LookupError("stop here")

    _skip_if_immortal(Transforms)
    ref = weakref.ref(Transforms)
    mn.transforms = Transforms
    try:
        with pytest.raises(LookupError):
            mn.mnist_loaders()
    finally:
        mn.transforms = saved
    if FREE_THREADED:
        # This thread's next call refills the site (see the test above); it
        # stops at the data set, whose module is a stand-in that refuses.
        class NoData:
            def __getattr__(self, name):
                raise LookupError("stop at the data set")

        saved_tv = mn.torchvision
        mn.torchvision = NoData()
        try:
            with pytest.raises(LookupError, match="data set"):
                mn.mnist_loaders()
        finally:
            mn.torchvision = saved_tv
    del Transforms
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("is_tensor", TESTS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("meta", [type, type("Meta", (type,), {})], ids=["type", "subclass"])
def test_class_claims_are_asked_whenever_they_can_differ(fake_torch, is_tensor, meta):
    """A value whose __class__ may not be its type (a property, a custom
    attribute access) is asked; any other value is answered by its type."""
    Base = meta("Base", (), {})
    fake_torch.Tensor = Base

    class Claims(Val):
        __class__ = property(lambda self: Base)

    class Asks(Val):
        def __getattribute__(self, name):
            return Base if name == "__class__" else object.__getattribute__(self, name)

    class Plain(Val):
        pass

    assert is_tensor(Claims()) and is_tensor(Asks()) and not is_tensor(Plain())
    assert is_tensor(meta("Sub", (Base, Val), {})())


# ------------------------------------------------------------ the method `to`
# to_device calls `to` with the method looked up once per type. Each change
# below makes the interpreter's own look-up by name find something else; the
# call after it must find the same.


def _cls(kind, name, bases=None, **ns):
    if kind == "slots":
        ns.setdefault("__slots__", ())
    return type(name, bases or (torch.Tensor if kind == "tensor" else object,), ns)


def _new(kind, cls):
    return torch.zeros(2).as_subclass(cls) if kind == "tensor" else cls()


def _getattribute(kind):
    return torch.Tensor.__getattribute__ if kind == "tensor" else object.__getattribute__


def _no_attribute(self):
    raise AttributeError("to")


def _getattr(kind, base, cls, obj, name):
    cls.__getattr__ = lambda self, n: lambda *a: "getattr"
    setattr(base, name, property(_no_attribute))  # the normal look-up fails, __getattr__ answers


def _data_descriptor(kind, base, cls, obj, name):
    if kind != "slots":
        vars(obj)[name] = lambda *a: "own"  # the data descriptor wins over it
    setattr(cls, name, property(lambda self: lambda *a: "prop"))


def _own(*a):
    return "own"


# The two type look-ups that a site keeps: to_device's method `to` (found on
# the class) and forward's optional `logits` (found missing). What each
# serves, and what the look-up by name finds, as one comparable value.
def _served(name, obj):
    if name == "to":
        return bk.to_device(obj, "cpu")
    out = bk.forward(lambda v: obj, None)
    return "absent" if out is obj else out("cpu")


def _fresh(name, obj):
    if name == "to":
        return obj.to("cpu")
    return obj.logits("cpu") if hasattr(obj, "logits") else "absent"


def _after(*steps):
    # Each step changes the object's own attributes without giving it the
    # name, and the call after it must still be served as before; then the
    # name is set on the object.
    def change(kind, base, cls, obj, name):
        before = _fresh(name, obj)
        for step in steps:
            step(obj)
            assert _served(name, obj) == before
        setattr(obj, name, _own)
    return change


CHANGES = {
    "instance-attribute": lambda kind, base, cls, obj, name: setattr(obj, name, _own),
    "other-attribute-first": _after(lambda o: setattr(o, "x", 1)),
    "attribute-set-and-deleted": _after(lambda o: setattr(o, "x", 1), lambda o: delattr(o, "x")),
    "dict-materialized": _after(vars, lambda o: vars(o).clear()),
    "dict-replaced": _after(lambda o: setattr(o, "__dict__", {"x": 1}),
                            lambda o: setattr(o, "__dict__", {})),
    "dict-written-directly": lambda kind, base, cls, obj, name: vars(obj).__setitem__(name, _own),
    "class-method-replaced": lambda kind, base, cls, obj, name: setattr(
        cls, name, lambda self, *a: "class"),
    "base-method-replaced": lambda kind, base, cls, obj, name: setattr(
        base, name, lambda self, *a: "base2"),
    "subclass-redefines": lambda kind, base, cls, obj, name: _new(
        kind, _cls(kind, "Sub", (cls,), **{name: lambda self, *a: "sub"})),
    "class-reassigned": lambda kind, base, cls, obj, name: setattr(
        obj, "__class__", _cls(kind, "Other", (cls,), **{name: lambda self, *a: "other"})),
    "getattribute": lambda kind, base, cls, obj, name: setattr(
        cls, "__getattribute__",
        lambda self, n, ga=_getattribute(kind): (lambda *a: "ga") if n == name else ga(self, n)),
    "getattr": _getattr,
    "data-descriptor": _data_descriptor,
}


SLOTS_CHANGES = {"class-method-replaced", "base-method-replaced", "subclass-redefines",
                 "class-reassigned", "getattribute", "getattr", "data-descriptor"}


@pytest.mark.parametrize("name", ["to", "logits"])
@pytest.mark.parametrize("change", CHANGES, ids=list(CHANGES))
@pytest.mark.parametrize("kind", ["tensor", "plain", "slots"])
def test_cached_type_look_up_is_what_the_look_up_by_name_finds(kind, change, name):
    if kind == "slots" and change not in SLOTS_CHANGES:
        pytest.skip("no instance dictionary")
    base = _cls(kind, "Base", **({"to": lambda self, *a: "base"} if name == "to" else {}))
    cls = _cls(kind, "C", (base,))
    obj = _new(kind, cls)
    before = _fresh(name, obj)
    for _ in range(3):  # the later calls are served from the cache
        assert _served(name, obj) == before
    new = CHANGES[change](kind, base, cls, obj, name)  # a new object to call, or None
    obj = obj if new is None else new
    expected = _fresh(name, obj)
    assert expected != before
    assert _served(name, obj) == expected
    if kind == "tensor" and name == "to":
        assert bk.to_device({"k": obj}, "cpu")["k"] == expected


def test_method_to_cache_keeps_nothing_alive():
    cls = type("Temp", (torch.Tensor,), {"to": lambda self, *a: "temp"})
    _skip_if_immortal(cls)
    ref = weakref.ref(cls)
    assert bk.to_device(torch.zeros(1).as_subclass(cls), "cpu") == "temp"
    del cls
    gc.collect()
    assert ref() is None

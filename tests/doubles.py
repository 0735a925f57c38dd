"""Objects that stand in for a caller's: dict subclasses with their own walk,
keys and metaclasses with hooks, models and their outputs, recording stand-ins
for the callees of mnist_loaders, and the IDX files of a tiny MNIST.

One definition each for the tests and tools/standin_smoke.py. Plain Python
with no torch: the smoke checks load it where there is none.
"""
import os
import struct
import types


class Items(dict):
    """A dict subclass whose items() and values() answer `result` (a callable
    gives a fresh object per call; an exception instance is raised anew)."""

    def __init__(self, result, **kw):
        super().__init__(kw)
        self.result = result

    def _answer(self):
        r = self.result
        if isinstance(r, BaseException):
            raise type(r)(*r.args)
        return r() if callable(r) else r

    def items(self):
        return self._answer()

    values = items


class Ne:
    """A key whose != answers fn()."""

    def __init__(self, fn):
        self.fn = fn

    def __ne__(self, other):
        return self.fn()

    __hash__ = object.__hash__


def _not_an_instance(obj):
    return False


class Meta(type):
    """A metaclass whose instance check answers Meta.hook(obj); `reset()` puts
    back the hook that answers False."""

    hook = staticmethod(_not_an_instance)

    def __instancecheck__(cls, obj):
        return Meta.hook(obj)

    @staticmethod
    def reset():
        Meta.hook = staticmethod(_not_an_instance)


class BadKeys(dict):
    """Iterated as empty; keys() raises, so copying it as a mapping fails."""

    def __iter__(self):
        return iter(())

    def keys(self):
        raise KeyError("keys")


class Out:
    """A model output whose `logits` counts its reads in `reads`. It answers
    `logits`; an exception instance is raised instead (on every read, or with
    fail_at on that read only); a callable is called with the read count; with
    no logits the read raises AttributeError."""

    def __init__(self, logits=None, fail_at=None):
        self._logits, self.fail_at, self.reads = logits, fail_at, 0

    @property
    def logits(self):
        self.reads += 1
        v = self._logits
        if v is None:
            raise AttributeError("logits")
        if isinstance(v, BaseException):
            if self.fail_at in (None, self.reads):
                raise v
            return v
        return v(self.reads) if callable(v) else v


class Model:
    """A model that answers `result`, or raises it anew where it is an
    exception instance. With record=True it keeps every call's (args, kwargs)
    in `calls` and then clears the keywords it got: they must be a dict of
    the call's own, not the caller's. (Without it, it holds nothing of a
    call, so that reference counts can be compared across calls.)"""

    def __init__(self, result=None, record=False):
        self.result, self.calls = result, [] if record else None

    def __call__(self, *args, **kwargs):
        if self.calls is not None:
            self.calls.append((args, kwargs))
            kwargs.clear()
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


# ------------------------------------------------------------------- mnist


def write_idx(raw, prefix, n, first_id=0):
    """Writes PREFIX-images-idx3-ubyte and PREFIX-labels-idx1-ubyte of n
    images into the folder `raw`, as torchvision's MNIST reads them. Pixel
    (0, 0) carries the image's number (first_id, first_id + 1, ...), so that a
    batch can be traced back to its file; the label is that number mod 10."""
    images = bytearray()
    for i in range(n):
        img = bytearray(28 * 28)
        img[0] = first_id + i
        for r in range(4, 24):
            img[r * 28 + 4 + (i % 20)] = 255
        images += img
    with open(os.path.join(raw, f"{prefix}-images-idx3-ubyte"), "wb") as f:
        f.write(struct.pack(">IIII", 2051, n, 28, 28) + images)
    with open(os.path.join(raw, f"{prefix}-labels-idx1-ubyte"), "wb") as f:
        f.write(struct.pack(">II", 2049, n) + bytes((first_id + i) % 10 for i in range(n)))


class Boom(Exception):
    pass


class MnistFakes:
    """Recording stand-ins for the module globals `transforms`, `torchvision`
    and `DataLoader` of tarnex.data.mnist. Every call is logged as (callee,
    args, keyword items); the call numbered `fail_on` (1-based) raises a new
    Boom(callee) instead, kept as `raised`."""

    def __init__(self, fail_on=None):
        self.log = []
        self.fail_on = fail_on
        self.raised = None
        self.tfm = object()
        self.train_ds, self.test_ds = object(), object()
        self.train_loader, self.test_loader = object(), object()
        self.transforms = types.SimpleNamespace(ToTensor=self._to_tensor)
        self.torchvision = types.SimpleNamespace(datasets=types.SimpleNamespace(MNIST=self._mnist))

    def _record(self, name, args, kwargs):
        self.log.append((name, args, list(kwargs.items())))
        if len(self.log) == self.fail_on:
            # A new exception each time: a re-raised one would collect
            # traceback entries across calls.
            self.raised = Boom(name)
            raise self.raised

    def _to_tensor(self, *args, **kwargs):
        self._record("ToTensor", args, kwargs)
        return self.tfm

    def _mnist(self, *args, **kwargs):
        self._record("MNIST", args, kwargs)
        return self.train_ds if kwargs.get("train") else self.test_ds

    def DataLoader(self, *args, **kwargs):
        self._record("DataLoader", args, kwargs)
        return self.train_loader if args and args[0] is self.train_ds else self.test_loader


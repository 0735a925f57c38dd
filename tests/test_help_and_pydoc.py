"""What documentation and introspection tools show of the native functions:
help() and pydoc (text and HTML), typing.get_type_hints; for tarnex.data.mnist
also the signature, pickling and functools support that
test_function_object.py covers for _batchkit."""
import functools
import importlib.util
import inspect
import io
import pickle
import pydoc
import typing

import pytest
import torch

import tarnex.core._batchkit as bk

from functions import FUNCTIONS, MODULE_DOCS, of

pytestmark = pytest.mark.needs_torch

MNIST_BUILT = importlib.util.find_spec("tarnex.data.mnist") is not None
needs_mnist = pytest.mark.skipif(not MNIST_BUILT, reason="tarnex.data.mnist is not built in this checkout")

# name -> (signature as help() shows it, first line of its docstring)
BATCHKIT = {f.name: (f.signature, f.doc) for f in of(bk.__name__)}
MNIST_LOADERS = FUNCTIONS["mnist_loaders"]

def _shown(name, sig):
    """The signature that pydoc shows for a Python function `def name<sig>` in
    the running interpreter (3.14 shows string annotations unquoted)."""
    ns = {}
    exec(f"def {name}{sig}: pass", ns)
    text = pydoc.render_doc(ns[name], renderer=pydoc.plaintext)
    return next(line for line in text.splitlines() if line.startswith(name + "("))[len(name):]


def _header(fn, module):
    # pydoc names the kind of object as the running interpreter classifies it:
    # 3.14 calls a method descriptor that.
    assert pydoc.describe(fn) in ("cyfunction", f"method descriptor {fn.__name__}")
    return f"Help on {pydoc.describe(fn)} in module {module}:\n\n"


def _help(obj):
    out = io.StringIO()
    pydoc.Helper(output=out).help(obj)
    return out.getvalue()


@pytest.mark.parametrize("name", BATCHKIT)
def test_help_on_each_function(name):
    sig, first = BATCHKIT[name]
    text = _help(getattr(bk, name))
    assert text.startswith(_header(getattr(bk, name), "tarnex.core._batchkit"))
    assert f"\n{name}{_shown(name, sig)}\n    {first}\n" in text


def test_help_on_the_module_lists_every_function_with_its_doc():
    text = pydoc.render_doc(bk, renderer=pydoc.plaintext)
    assert f"NAME\n    tarnex.core._batchkit - {MODULE_DOCS[bk.__name__]}\n" in text
    functions = text.split("\nFUNCTIONS\n", 1)[1].split("\nDATA\n", 1)[0]
    for name, (sig, first) in BATCHKIT.items():
        assert f"    {name}{_shown(name, sig)}\n        {first}\n" in functions
    # The docstring's own indentation is cleaned as for a Python function.
    assert "\n        For HF dict batches the 'labels'/'label' key is extracted as y;\n" in functions


def test_html_pydoc_shows_signatures():
    html = pydoc.HTMLDoc().document(bk)
    for name, (sig, _) in BATCHKIT.items():
        shown = pydoc.HTMLDoc().escape(_shown(name, sig))
        assert f'<a name="-{name}"><strong>{name}</strong></a>{shown}' in html


def test_string_annotations_resolve_in_the_module_namespace():
    # get_type_hints evaluates the recorded strings in __globals__, where the
    # module body bound torch and Any.
    assert typing.get_type_hints(bk.to_device) == {"device": str}
    assert typing.get_type_hints(bk.example_tensor) == {"return": torch.Tensor}
    assert typing.get_type_hints(bk.set_primary_input) == {"replacement": torch.Tensor}
    assert typing.get_type_hints(bk.example_probe) == {"return": typing.Any}
    assert typing.get_type_hints(bk.forward) == {}


@needs_mnist
def test_mnist_introspection():
    import tarnex.data.mnist as mnist

    f = mnist.mnist_loaders
    sig = inspect.signature(f)
    assert str(sig) == MNIST_LOADERS.signature
    assert sig.parameters["batch_size"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert typing.get_type_hints(f) == {"batch_size": int}
    shown = _shown("mnist_loaders", MNIST_LOADERS.signature)
    assert _help(f) == _header(f, "tarnex.data.mnist") + f"mnist_loaders{shown}\n\n"
    text = pydoc.render_doc(mnist, renderer=pydoc.plaintext)
    assert f"\nFUNCTIONS\n    mnist_loaders{shown}\n" in text
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, proto)) is f
    part = functools.partial(f, 8)
    assert part.func is f and str(inspect.signature(part)) == "()"
    wrapper = functools.wraps(f)(lambda *a, **k: f(*a, **k))
    assert wrapper.__name__ == "mnist_loaders" and wrapper.__doc__ is None
    assert str(inspect.signature(wrapper)) == MNIST_LOADERS.signature

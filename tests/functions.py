"""The public facts of the native functions, one row each, as the compiled
modules show them: where a function lives, its signature, the line its code
object starts at (the line of its binding errors too), its locals, its
annotations, defaults and the first line of its docstring.

The tests and tools/standin_smoke.py check the modules against these rows
instead of keeping their own copies, so a new function, or a changed
signature or line, is one row here. Plain Python that imports nothing: the
smoke checks load it where there is neither pytest nor torch (an embeddable
python.exe under wine, a CPython that torch is not yet built for).
"""


class Function:
    """One native function's facts; `entry` is the name its traceback entries carry."""

    def __init__(self, module, file, name, signature, first, varnames, argcount,
                 annotations, doc, defaults=None):
        self.module, self.file, self.name = module, file, name
        self.signature, self.first, self.varnames, self.argcount = signature, first, varnames, argcount
        self.annotations, self.doc, self.defaults = annotations, doc, defaults
        self.entry = f"{module}.{name}"

    def __repr__(self):
        return f"Function({self.entry})"


BATCHKIT, MNIST = "tarnex.core._batchkit", "tarnex.data.mnist"
BATCHKIT_FILE, MNIST_FILE = "tarnex/core/_batchkit.py", "tarnex/data/mnist.py"

# module -> the first line of its docstring (None: it has none)
MODULE_DOCS = {
    BATCHKIT: "Shared utilities for PyTorch model introspection.",
    MNIST: None,
}


def _batchkit(name, signature, first, argcount, varnames, annotations, doc):
    return Function(BATCHKIT, BATCHKIT_FILE, name, signature, first, varnames, argcount, annotations, doc)


FUNCTIONS = {f.name: f for f in [
    _batchkit("to_device", "(x, device: 'str')", 15, 2, ("x", "device", "k", "v"), {"device": "str"},
              "Move x to device \u2014 handles plain tensors and HF dict inputs."),
    _batchkit("forward", "(model, x)", 22, 2, ("model", "x", "out"), {},
              "Run forward pass \u2014 handles plain tensors and HF dict inputs/outputs."),
    _batchkit("example_tensor", "(x) -> 'torch.Tensor'", 30, 1, ("x", "genexpr", "genexpr"),
              {"return": "torch.Tensor"},
              "Return a plain tensor from x (first tensor value for dict inputs)."),
    _batchkit("set_primary_input", "(x, replacement: 'torch.Tensor')", 37, 2,
              ("x", "replacement", "out", "k", "v"), {"replacement": "torch.Tensor"},
              "Return x with the first tensor replaced by replacement (for gradient tracking)."),
    _batchkit("split_batch", "(batch)", 49, 1, ("batch", "labels", "inputs", "k", "v"), {},
              "Split a batch into (x, y) from a tuple, list, or HF-style dict."),
    _batchkit("example_probe", "(x) -> 'Any'", 63, 1, ("x", "k", "v"), {"return": "Any"},
              "Small example batch (\u22648 samples) for hook auto-selection."),
    Function(MNIST, MNIST_FILE, "mnist_loaders", "(batch_size: 'int' = 64)", 5,
             ("batch_size", "tfm", "train_ds", "test_ds", "train_loader", "test_loader"), 1,
             {"batch_size": "int"}, None, defaults=(64,)),
]}


def of(module):
    """The rows of one module, in the order the module defines them."""
    return [f for f in FUNCTIONS.values() if f.module == module]


BATCHKIT_NAMES = [f.name for f in of(BATCHKIT)]

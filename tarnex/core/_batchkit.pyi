"""
Shared utilities for PyTorch model introspection.

Normalises the two input conventions tarnex supports:
  - plain tensor : x (Tensor), y (Tensor)
  - HF dict      : x = {"input_ids": ..., "attention_mask": ...}, y = labels
"""

# Type information for the compiled module. The runtime tells inputs apart by
# one test, "is it a dict (or a dict subclass)?"; the overloads below name the
# cases where that test decides the result type, and fall back to Any where
# it does not (a value typed as a Mapping may still be a dict at run time, so
# a catch-all overload never promises "returns the argument's own type").
# A tensor is never a dict, so the tensor overloads are exact.

from collections.abc import Callable
from typing import Any, TypeVar, overload

import torch

_T = TypeVar("_T")
_SeqT = TypeVar("_SeqT", bound=tuple[Any, ...] | list[Any])

@overload
def to_device(x: dict[Any, Any], device: str) -> dict[Any, Any]:
    """Move x to device — handles plain tensors and HF dict inputs.

    A dict gives a new plain dict whose tensor values are moved (other values
    are kept as they are); anything else gives ``x.to(device)``. ``device``
    must be exactly a ``str``: a subclass of ``str`` is refused.
    """

@overload
def to_device(x: torch.Tensor, device: str) -> torch.Tensor: ...
@overload
def to_device(x: Any, device: str) -> Any: ...

def forward(model: Callable[..., Any], x: Any) -> Any:
    """Run forward pass — handles plain tensors and HF dict inputs/outputs.

    A dict input is passed as keyword arguments (``model(**x)``), anything
    else as the one positional argument. Returns ``out.logits`` when the
    model's output has that attribute, otherwise the output itself.
    """

@overload
def example_tensor(x: dict[Any, Any]) -> torch.Tensor:
    """Return a plain tensor from x (first tensor value for dict inputs).

    A dict gives its first value that is a tensor (StopIteration when it
    holds none); anything else is returned unchanged.

    The StopIteration is the contract (callers catch it), and it has a trap:
    raised inside ``map()`` or a generator it is taken for the end of the
    iteration. ``list(map(example_tensor, batches))`` stops silently at the
    first dict without a tensor and loses the rest; a generator turns it into
    ``RuntimeError: generator raised StopIteration``. Check for a tensor first
    (``any(isinstance(v, torch.Tensor) for v in x.values())``), or call it in
    a plain loop and catch StopIteration there.
    """

@overload
def example_tensor(x: torch.Tensor) -> torch.Tensor: ...
@overload
def example_tensor(x: Any) -> Any: ...

@overload
def set_primary_input(x: dict[Any, Any], replacement: Any) -> dict[Any, Any]:
    """Return x with the first tensor replaced by replacement (for gradient tracking).

    A dict gives a new plain dict in which only the first tensor value is
    replaced; anything else gives ``replacement`` itself. A dict without a
    tensor value gives a plain copy of itself, ``replacement`` dropped without
    an error: check for a tensor first, as for ``example_tensor``.
    """

@overload
def set_primary_input(x: torch.Tensor, replacement: _T) -> _T: ...
@overload
def set_primary_input(x: Any, replacement: Any) -> Any: ...

@overload
def split_batch(batch: dict[Any, Any]) -> tuple[dict[Any, Any], Any]:
    """Split a batch into (x, y) from a tuple, list, or HF-style dict.

    For HF dict batches the 'labels'/'label' key is extracted as y;
    everything else becomes x.  For tuple/list batches the original
    object is returned so the caller can unpack it as (x, y).
    """

@overload
def split_batch(batch: _SeqT) -> _SeqT: ...
@overload
def split_batch(batch: Any) -> Any: ...

@overload
def example_probe(x: dict[Any, Any]) -> dict[Any, Any]:
    """Small example batch (≤8 samples) for hook auto-selection.

    A dict gives a new plain dict whose tensor values are cut to their first
    8 samples; anything else is cut as a whole (``x[:8]``).
    """

@overload
def example_probe(x: torch.Tensor) -> torch.Tensor: ...
@overload
def example_probe(x: Any) -> Any: ...

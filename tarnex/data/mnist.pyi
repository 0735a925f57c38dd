# Type information for the compiled module tarnex.data.mnist.

import torch
from torch.utils.data import DataLoader

def mnist_loaders(
    batch_size: int = 64,
) -> tuple[DataLoader[tuple[torch.Tensor, int]], DataLoader[tuple[torch.Tensor, int]]]:
    """The MNIST training and test loaders, in that order.

    Both datasets live under ``./data`` (relative to the current directory)
    and are downloaded when missing; images come as tensors (``ToTensor``),
    labels as ints. Both loaders shuffle and drop the last incomplete batch.
    ``batch_size`` is converted with ``int()`` when it is another number:
    ``64.9`` trains with 64, ``True`` with 1. A ``batch_size`` larger than one
    of the sets gives that set's loader length 0: it yields nothing (for MNIST
    the test set, 10,000 images, is the smaller). Check the value before
    calling, as ``examples/mnist_demo.py`` does for its ``--batch-size``.
    """

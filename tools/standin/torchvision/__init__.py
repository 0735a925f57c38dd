"""A stand-in torchvision (see the stand-in torch): datasets.MNIST keeps its
keywords and reads nothing; transforms.ToTensor is a marker class."""
import types

__version__ = "0+standin"


class MNIST:
    def __init__(self, root, train=True, download=False, transform=None):
        self.root, self.train, self.download, self.transform = root, train, download, transform


datasets = types.SimpleNamespace(MNIST=MNIST)

from . import transforms  # noqa: E402,F401

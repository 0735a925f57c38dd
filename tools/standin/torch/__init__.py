"""A stand-in torch of plain Python classes, for interpreters that have no
real one (Windows under wine, a new CPython before torch is built for it).
It holds what the native modules reach: `torch.Tensor` with `.to` and
slicing, `torch.nn.Parameter`, `torch.utils.data.DataLoader`."""
import types

__version__ = "0+standin"


class Tensor:
    """Rows and a device; `.to` and slicing make new tensors, as torch's do."""

    def __init__(self, rows, device="cpu"):
        self.rows, self.device = list(rows), device

    def to(self, device):
        if not device.startswith("cpu"):
            raise RuntimeError(f"Expected one of cpu device type at start of device string: {device}")
        return type(self)(self.rows, device)

    def __getitem__(self, key):
        return type(self)(self.rows[key], self.device)

    def __len__(self):
        return len(self.rows)

    def __repr__(self):
        return f"Tensor({self.rows!r}, device={self.device!r})"


class Parameter(Tensor):
    pass


nn = types.SimpleNamespace(Parameter=Parameter)

from . import utils  # noqa: E402  (torch.utils.data, as torch has it)

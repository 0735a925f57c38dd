"""How typed toolkit code sees tarnex's native modules.

``mypy --strict`` checks this file, and it runs: a tiny linear model takes a
made-up batch in each input convention.
"""

from __future__ import annotations

from typing import Any

import torch

from tarnex.core import _batchkit as bk


class Linear(torch.nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.proj = torch.nn.Linear(4, 3)

    def forward(self, input_ids: torch.Tensor) -> torch.Tensor:
        out: torch.Tensor = self.proj(input_ids)
        return out


def plain_step(model: Linear, batch: tuple[torch.Tensor, torch.Tensor]) -> float:
    x, y = bk.split_batch(batch)  # a tuple comes back as it is
    x = bk.to_device(x, "cpu")  # a tensor stays a tensor
    logits = bk.forward(model, x)
    loss = torch.nn.functional.cross_entropy(logits, y)
    return float(loss.detach())


def dict_step(model: Linear, batch: dict[str, Any]) -> float:
    inputs, labels = bk.split_batch(batch)  # (dict of inputs, labels)
    moved: dict[Any, Any] = bk.to_device(inputs, "cpu")
    primary: torch.Tensor = bk.example_tensor(moved)
    tracked = primary.detach().requires_grad_(True)
    fed = bk.set_primary_input(moved, tracked)
    loss = torch.nn.functional.cross_entropy(bk.forward(model, fed), labels)
    (grad,) = torch.autograd.grad(loss, tracked)  # the gradient reaches the fed tensor
    assert grad.shape == tracked.shape
    probe: dict[Any, Any] = bk.example_probe(fed)  # tensors cut to 8 samples
    assert probe.keys() == fed.keys()
    return float(loss.detach())


def main() -> None:
    torch.manual_seed(0)
    model = Linear()
    x = torch.randn(16, 4)
    y = torch.randint(0, 3, (16,))
    cut: torch.Tensor = bk.example_probe(x)
    assert cut.shape == (8, 4)
    print(f"plain-tensor batch: loss {plain_step(model, (x, y)):.3f}")
    print(f"HF-dict batch:      loss {dict_step(model, {'input_ids': x, 'labels': y}):.3f}")


if __name__ == "__main__":
    main()

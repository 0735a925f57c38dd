"""The model-input utilities as a user would write them in plain Python.

The benchmark times these next to the native functions: same behaviour on
the inputs it uses, written the obvious, idiomatic way.
"""
import torch


def to_device(x, device):
    if isinstance(x, dict):
        return {k: v.to(device) if isinstance(v, torch.Tensor) else v for k, v in x.items()}
    return x.to(device)


def forward(model, x):
    out = model(**x) if isinstance(x, dict) else model(x)
    return out.logits if hasattr(out, "logits") else out


def example_tensor(x):
    if isinstance(x, dict):
        return next(v for v in x.values() if isinstance(v, torch.Tensor))
    return x


def set_primary_input(x, replacement):
    if isinstance(x, dict):
        out = dict(x)
        for k, v in out.items():
            if isinstance(v, torch.Tensor):
                out[k] = replacement
                return out
        return out
    return replacement


def split_batch(batch):
    if isinstance(batch, dict):
        labels = batch.get("labels", batch.get("label"))
        inputs = {k: v for k, v in batch.items() if k != "labels" and k != "label"}
        return inputs, labels
    return batch


def example_probe(x):
    if isinstance(x, dict):
        return {k: v[:8] if isinstance(v, torch.Tensor) else v for k, v in x.items()}
    return x[:8]

"""tarnex: a PyTorch toolkit (native core)."""

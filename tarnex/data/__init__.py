"""Data loaders of tarnex."""

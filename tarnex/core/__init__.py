"""Core utilities of tarnex; `_batchkit` is the native module."""

"""Tensor identities shared by the tracer and the module lookup."""

from __future__ import annotations

import torch

__all__ = ["get_tensor_uid"]


def get_tensor_uid(tensor: torch.Tensor) -> int:
    """Identity of a tensor object (a parameter or buffer) while it lives.

    Equal to the ``tensor_uid`` the tracer records for the same object.
    """
    if not isinstance(tensor, torch.Tensor):
        raise TypeError(f"get_tensor_uid expects a torch.Tensor, got {type(tensor).__name__}")
    return id(tensor)

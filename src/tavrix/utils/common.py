"""Module helpers."""

from __future__ import annotations

from typing import Any, Iterator

import torch

__all__ = ["get_submodule", "iter_leaves"]


def iter_leaves(obj: Any) -> Iterator[Any]:
    """Every non-container value of a nested tuple/list/dict structure, in order."""
    if isinstance(obj, (tuple, list)):
        for item in obj:
            yield from iter_leaves(item)
    elif isinstance(obj, dict):
        for item in obj.values():
            yield from iter_leaves(item)
    else:
        yield obj


def get_submodule(model: torch.nn.Module, name: str) -> torch.nn.Module:
    """The sub-module of ``model`` at the dotted path ``name`` ("" is the model itself)."""
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"get_submodule expects a torch.nn.Module, got {type(model).__name__}")
    if not isinstance(name, str):
        raise TypeError(f"Sub-module path must be a string, got {type(name).__name__}")
    module = model
    if name == "":
        return module
    walked = []
    for part in name.split("."):
        child = module._modules.get(part) if part else None
        if child is None:
            where = ".".join(walked) or "the model"
            raise AttributeError(
                f"No sub-module {name!r}: {where} ({type(module).__name__}) has no child {part!r}"
            )
        module = child
        walked.append(part)
    return module

"""Module helpers."""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, Iterator, List, Tuple

import torch
from torch._C import DisableTorchFunctionSubclass

__all__ = ["BufferSnapshot", "get_submodule", "is_dataclass_instance", "iter_leaves"]


def is_dataclass_instance(obj: Any) -> bool:
    """True for an instance (not the class) of a dataclass."""
    return hasattr(type(obj), "__dataclass_fields__") and dataclasses.is_dataclass(obj)


def iter_leaves(obj: Any) -> Iterator[Any]:
    """Every non-container value of a nested tuple/list/dict/dataclass structure, in order."""
    if isinstance(obj, (tuple, list)):
        for item in obj:
            yield from iter_leaves(item)
    elif isinstance(obj, dict):
        for item in obj.values():
            yield from iter_leaves(item)
    elif is_dataclass_instance(obj):
        for field in dataclasses.fields(obj):
            yield from iter_leaves(getattr(obj, field.name))
    else:
        yield obj


class BufferSnapshot:
    """The buffers of every module of a model: which tensor sits under each name, and its values.

    :meth:`restore` puts back every tensor that a name held when the snapshot
    was taken (names added since are left alone) and the values of each of
    those tensors. Values are compared, not only version counters: batch-norm
    kernels update running statistics in place without bumping the counter.
    With ``values_of_eval_modules=False`` the values of buffers of modules
    that were in eval mode are compared only when their version changed
    (cheaper, for a single call that cannot switch modes).
    """

    def __init__(self, model: torch.nn.Module, values_of_eval_modules: bool = True) -> None:
        self._entries: List[Tuple[torch.nn.Module, Dict[str, Any]]] = []
        self._values: List[Tuple[Any, ...]] = []
        # The copies are ordinary tensors even when the snapshot is taken in
        # inference mode, so that they can be written back outside of it.
        tensors: List[torch.Tensor] = []
        compares: List[bool] = []
        with torch.no_grad(), torch.inference_mode(False):
            for module in model.modules():
                buffers = dict(module._buffers)
                self._entries.append((module, buffers))
                compare = values_of_eval_modules or module.training
                for buf in buffers.values():
                    if buf is not None and not buf.is_meta:
                        tensors.append(buf)
                        compares.append(compare)
            self._values = _save_values(tensors, compares)

    def restore(self) -> None:
        with torch.no_grad(), DisableTorchFunctionSubclass():
            for module, buffers in self._entries:
                current = module._buffers
                for name, buf in buffers.items():
                    if current.get(name, buffers) is not buf:
                        current[name] = buf
            _restore_values(self._values)


def _save_values(tensors: List[torch.Tensor], compares: List[bool]) -> List[Tuple[Any, ...]]:
    """(tensor, version, copy, compare) entries for _restore_values; call under
    no_grad, outside inference mode.

    Plain tensors are copied by one call: a clone each from Python costs more
    in dispatch than in copying on a small model's buffers.
    """
    # an inference tensor (a model built or loaded in inference mode) keeps no version:
    # its values are compared instead
    versions = [None if t.is_inference() else t._version for t in tensors]
    compares = [c or v is None for c, v in zip(compares, versions)]
    copies: Any = None
    batched = getattr(torch, "_foreach_clone", None)  # private: absent from some releases
    if batched is not None and tensors and all(type(t) is torch.Tensor for t in tensors):
        try:
            copies = batched(tensors)
        except RuntimeError:  # a kind of tensor the batched copy does not take
            copies = None
    if copies is None:
        copies = [t.detach().clone() for t in tensors]
    return list(zip(tensors, versions, copies, compares))


def _restore_values(values: Any) -> None:
    """Gives back the saved values of (buffer, version, saved copy, compare) entries
    whose buffer changed; under no_grad, with subclass dispatch off."""
    for buf, version, saved, compare in values:
        if (version is None or buf._version == version) and not (compare and _changed(buf, saved)):
            continue
        # an inference tensor is written only in inference mode
        with torch.inference_mode(version is None):
            if buf.shape == saved.shape and buf.dtype == saved.dtype:
                buf.copy_(saved)
            else:
                buf.set_(saved)  # resized or retyped in place; the copy is ours to give


def _changed(buf: torch.Tensor, saved: torch.Tensor) -> bool:
    if buf.shape != saved.shape or buf.dtype != saved.dtype:
        return True
    if torch.equal(buf, saved):
        return False
    if buf.is_floating_point() or buf.is_complex():
        # a NaN statistic that stayed NaN is unchanged
        return not bool(torch.isclose(buf, saved, rtol=0, atol=0, equal_nan=True).all())
    return True


def get_submodule(model: torch.nn.Module, name: str) -> torch.nn.Module:
    """The sub-module of ``model`` at the dotted path ``name`` ("" is the model itself)."""
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"get_submodule expects a torch.nn.Module, got {type(model).__name__}")
    if not isinstance(name, str):
        raise TypeError(f"Sub-module path must be a string, got {type(name).__name__}")
    module = model
    if name == "":
        return module
    walked: List[str] = []
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

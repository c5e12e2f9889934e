"""A shrink decision kept in a small readable file, and re-applied to a fresh model.

The file (JSON) lists, per prunable group, its modules and the channel
positions kept; per cut tensor its original shape and the indices kept along
each cut axis; the attributes rules set explicitly (a depthwise convolution's
groups); and a fingerprint of the analysed call: per node the operation, the
result shape and the owning module, plus every parameter and buffer shape.
Applying it checks the fresh model against the fingerprint first and names
the first difference; the cut itself is the one :func:`shrink` makes.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import torch
from torch import nn

from tavrix.flowscope.tracing import trace
from tavrix.pruning.shrink.context import OwnedTensor, tensor_owners
from tavrix.pruning.shrink.cut import (
    GroupCut,
    ShrinkReport,
    TensorChange,
    call_fingerprint,
    commit,
    resolve_cuts,
)
from tavrix.pruning.shrink.huggingface import update_configs, watch

__all__ = [
    "PLAN_FORMAT",
    "SHRUNK_MODEL_FORMAT",
    "PlanMismatchError",
    "plan_record",
    "save_plan",
    "load_plan",
    "apply_plan",
    "save_shrunk",
    "load_shrunk",
]

PLAN_FORMAT = "tavrix-shrink-plan"
SHRUNK_MODEL_FORMAT = "tavrix-shrunk-model"
_VERSION = 1

PathLike = Union[str, "os.PathLike[str]"]


class PlanMismatchError(ValueError):
    """The model is not the one the plan was made for; nothing was changed."""


def plan_record(report: ShrinkReport) -> Dict[str, Any]:
    """The decision of one :func:`shrink` as plain JSON-compatible data."""
    return {
        "format": PLAN_FORMAT,
        "version": _VERSION,
        "groups": [
            {
                "index": group.index,
                "channels": group.channels,
                "kept": group.kept,
                "modules": list(group.module_names),
                "keep": list(group.keep),
            }
            for group in report.groups
        ],
        "cuts": {
            change.name: {
                "shape": list(change.before),
                "keep": {str(axis): list(indices) for axis, indices in change.keep.items()},
            }
            for change in report.tensors
        },
        "set": {name: dict(values) for name, values in report.overrides.items()},
        "attributes": {
            name: {attr: after for attr, (_, after) in values.items()}
            for name, values in report.module_attributes.items()
        },
        "fingerprint": report.fingerprint,
        "rules": report.rule_set,
    }


def save_plan(path: PathLike, report: ShrinkReport) -> None:
    """Write the decision of ``report`` to ``path`` as readable JSON."""
    # Made before the file is opened: a report that cannot be written leaves a plan
    # already at ``path`` as it was.
    text = _dumps(plan_record(report)) + "\n"
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def load_plan(path: PathLike) -> Dict[str, Any]:
    """Read a file written by :func:`save_plan` (checked for its format)."""
    with open(path, encoding="utf-8") as file:
        try:
            record = json.load(file)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path} is not a shrink plan: {error}") from None
    _check_record(record, str(path))
    return record


def _check_record(record: Any, where: str) -> None:
    if not isinstance(record, dict) or record.get("format") != PLAN_FORMAT:
        raise ValueError(f"{where} is not a shrink plan (no format {PLAN_FORMAT!r})")
    if record.get("version") != _VERSION:
        raise ValueError(f"{where}: unsupported plan version {record.get('version')!r}")
    for key, kind in (("cuts", dict), ("set", dict), ("attributes", dict), ("fingerprint", dict)):
        if not isinstance(record.get(key), kind):
            raise ValueError(f"{where}: the plan has no valid {key!r} section")


def apply_plan(
    model: nn.Module,
    plan: Union[PathLike, Mapping[str, Any]],
    args: Optional[Sequence[Any]] = None,
    kwargs: Optional[Mapping[str, Any]] = None,
    *,
    entry_point: str = "__call__",
    state_dict: Optional[Mapping[str, Any]] = None,
    _where: Optional[str] = None,
    _buffers: Optional[Mapping[str, Any]] = None,
) -> ShrinkReport:
    """Shrink a freshly built ``model`` as the saved decision says, in place.

    The model's parameter and buffer names and shapes must be those the plan
    was made for. With example inputs (``args``, ``kwargs``) its call is traced
    too and must run the same operations with the same shapes (the batch axis
    may differ) in the same modules. Raises :class:`PlanMismatchError` naming
    the first difference; the model is then unchanged.

    With ``state_dict`` (the shrunk model's weights) the cut tensors are those
    weights rather than slices of the model's, and the others take their values
    too. The model may then be built on the meta device (``with
    torch.device("meta"): model = ...``): its tensors are replaced by the given
    ones (as ``load_state_dict(..., assign=True)`` does), so the original's
    weights are never made; a meta tensor the weights do not give (a buffer
    left out of the state dict) is refused. Weights that do not fit raise
    ``ValueError`` naming the first one, before anything is changed.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"apply_plan expects a torch.nn.Module, got {type(model).__name__}")
    if isinstance(plan, Mapping):
        record = dict(plan)
        _check_record(record, "the plan")
        where = _where or "the state_dict"
    else:
        record = load_plan(plan)
        where = _where or "the state_dict"
    fingerprint = record["fingerprint"]
    _compare_tensors(model, fingerprint.get("tensors", {}))
    owners = tensor_owners(model)
    if args is not None or kwargs is not None:
        if any(owned.tensor.is_meta for owned in owners.values()):
            raise ValueError(
                "a model on the meta device cannot run the example inputs: leave them out "
                "(its tensor names and shapes are checked against the plan); nothing was changed"
            )
        traced = trace(
            model, args=tuple(args or ()), kwargs=dict(kwargs or {}), entry_point=entry_point
        )
        module_by_uid = {
            key: owned.module_name or type(model).__name__ for key, owned in owners.items()
        }
        _compare_call(
            call_fingerprint(traced.nodes, module_by_uid, {})["call"], fingerprint.get("call", [])
        )

    cuts, forced = _cuts_of(model, record, owners)
    before = sum(p.numel() for p in model.parameters())
    rule_set = record.get("rules", "standard")
    if rule_set not in ("standard", "extended"):
        raise ValueError(f"the plan names an unknown rule set {rule_set!r}")
    changes, attributes, overrides = resolve_cuts(cuts, forced, rule_set)
    computed = {
        name: {a: after for a, (_, after) in values.items()}
        for name, _, values in attributes
        if values
    }
    # as the file holds them: tuples (a layer norm's normalized_shape) as lists
    computed = json.loads(json.dumps(computed))
    if computed != record["attributes"]:
        raise PlanMismatchError(
            "the plan's module attributes do not follow from its cuts "
            f"(computed {computed}, the plan says {record['attributes']}); nothing was changed"
        )
    watched = watch(model)
    if state_dict is None:
        commit(changes, attributes)
    else:
        _commit_weights(model, owners, changes, attributes, state_dict, _buffers or {}, where)
    config = update_configs(watched, (owned.name for owned, _, _, _ in changes))
    return ShrinkReport(
        parameters_before=before,
        parameters_after=sum(p.numel() for p in model.parameters()),
        groups=[
            GroupCut(g["index"], g["channels"], g["kept"], tuple(g["modules"]), tuple(g["keep"]))
            for g in record.get("groups", [])
        ],
        tensors=[
            TensorChange(owned.name, old, new, keep, owned.places[0].is_parameter)
            for owned, keep, old, new in changes
        ],
        module_attributes={name: values for name, _, values in attributes if values},
        overrides=overrides,
        unseen_modules=[],
        _fingerprint=fingerprint,
        rule_set=rule_set,
        config_changes=config.changes,
        config_mismatches=config.mismatches,
        _config_update=config,
    )


def _compare_tensors(model: nn.Module, expected: Mapping[str, Any]) -> None:
    actual = {
        name: list(tensor.shape)
        for name, tensor in (*model.named_parameters(), *model.named_buffers())
    }
    for name, shape in expected.items():
        if name not in actual:
            raise PlanMismatchError(
                f"the model has no {name} (the plan's model had it with shape {tuple(shape)}); "
                "nothing was changed"
            )
        if actual[name] != list(shape):
            raise PlanMismatchError(
                f"{name} has shape {tuple(actual[name])} in this model, the plan was made for "
                f"{tuple(shape)}; nothing was changed"
            )
    for name in actual:
        if name not in expected:
            raise PlanMismatchError(
                f"the model has {name}, which the plan's model did not have; nothing was changed"
            )


def _compare_call(actual: List[Any], expected: List[Any]) -> None:
    for position, (got, want) in enumerate(zip(actual, expected)):
        op, shape, module = got
        want_op, want_shape, want_module = want
        what = None
        if op != want_op:
            what = f"runs {op} where the plan's call ran {want_op}"
        elif module != want_module:
            what = f"runs {op} in {module}, the plan's call in {want_module}"
        elif not _same_shape(shape, want_shape):
            what = f"gives shape {_text(shape)} where the plan's call gave {_text(want_shape)}"
        if what is not None:
            raise PlanMismatchError(
                f"the model's call differs from the plan's at operation #{position}: it {what}; "
                "nothing was changed"
            )
    if len(actual) != len(expected):
        raise PlanMismatchError(
            f"the model's call runs {len(actual)} operations, the plan's call ran "
            f"{len(expected)}; nothing was changed"
        )


def _same_shape(a: Optional[List[int]], b: Optional[List[int]]) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return len(a) == len(b) and list(a[1:]) == list(b[1:])


def _text(shape: Optional[List[int]]) -> str:
    return "none" if shape is None else str(tuple(shape))


def _cuts_of(
    model: nn.Module, record: Mapping[str, Any], owners: Dict[int, OwnedTensor]
) -> Tuple[
    Dict[int, Tuple[OwnedTensor, Dict[int, Tuple[int, ...]]]],
    Dict[nn.Module, Tuple[str, Dict[str, Any]]],
]:
    by_name: Dict[str, torch.Tensor] = dict(model.named_parameters(remove_duplicate=False))
    by_name.update(model.named_buffers(remove_duplicate=False))
    cuts: Dict[int, Tuple[OwnedTensor, Dict[int, Tuple[int, ...]]]] = {}
    for name, entry in record["cuts"].items():
        tensor = by_name.get(name)
        if tensor is None:
            raise PlanMismatchError(f"the plan cuts {name}, which the model does not have")
        if not isinstance(entry, dict) or list(tensor.shape) != entry.get("shape"):
            raise PlanMismatchError(
                f"the plan cuts {name} of shape {entry.get('shape')}, the model's has "
                f"{tuple(tensor.shape)}"
            )
        keep: Dict[int, Tuple[int, ...]] = {}
        for axis_text, indices in entry.get("keep", {}).items():
            axis = int(axis_text) if str(axis_text).isdigit() else -1
            if not 0 <= axis < tensor.dim():
                raise ValueError(f"the plan cuts {name} along axis {axis_text!r}, which it lacks")
            if not (isinstance(indices, list) and all(type(i) is int for i in indices)):
                raise ValueError(f"the plan's indices of {name} are not integers")
            if (
                not indices
                or any(not a < b for a, b in zip(indices, indices[1:]))
                or not 0 <= indices[0]
                or not indices[-1] < tensor.shape[axis]
            ):
                raise ValueError(
                    f"the plan's indices of {name} along axis {axis} are not ascending indices "
                    f"below {tensor.shape[axis]}"
                )
            keep[axis] = tuple(indices)
        cuts[id(tensor)] = (owners[id(tensor)], keep)
    modules = dict(model.named_modules())
    forced: Dict[nn.Module, Tuple[str, Dict[str, Any]]] = {}
    for name, values in record["set"].items():
        module = modules.get(name)
        if module is None or not isinstance(values, dict):
            raise PlanMismatchError(
                f"the plan sets attributes of {name!r}, a module the model does not have"
            )
        missing = [attribute for attribute in values if not hasattr(module, attribute)]
        if missing:
            raise PlanMismatchError(
                f"the plan sets {', '.join(missing)} of {name or type(model).__name__!r}, "
                "which that module does not have"
            )
        forced[module] = (name, dict(values))
    return cuts, forced


def save_shrunk(path: PathLike, model: nn.Module, report: ShrinkReport) -> None:
    """``torch.save`` the decision and the shrunk model's ``state_dict`` in one file, which
    :func:`load_shrunk` turns back into the shrunk model from a freshly built one (built on
    the meta device, it never holds the original's weights). Buffers the state dict leaves
    out (rotary frequencies, say) are kept beside it, for a model built on the meta device."""
    weights = model.state_dict()
    torch.save(
        {
            "format": SHRUNK_MODEL_FORMAT,
            "version": _VERSION,
            "plan": json.dumps(plan_record(report)),
            "state_dict": weights,
            "buffers": {
                name: buffer
                for name, buffer in model.named_buffers()
                if name not in weights and not buffer.is_meta
            },
        },
        path,
    )


def load_shrunk(
    path: PathLike,
    model: nn.Module,
    args: Optional[Sequence[Any]] = None,
    kwargs: Optional[Mapping[str, Any]] = None,
    *,
    entry_point: str = "__call__",
) -> nn.Module:
    """Shrink the freshly built ``model`` by the plan in ``path`` and give it the saved
    weights; returns ``model``. Loads tensors only (``weights_only``).

    The cut tensors are the saved weights themselves, not slices of the model's
    that the weights then overwrite. Build the model on the meta device
    (``with torch.device("meta"): model = Factory(config)``) and it never holds
    more than the shrunk weights: every tensor is replaced by the saved one, in
    the saved dtype. A model built as usual keeps its tensors that the cut leaves
    whole (the saved values copied in, in the model's dtype). Without example
    inputs the model is not run: the plan's tensor names and shapes fix the
    structure."""
    saved = torch.load(path, map_location="cpu", weights_only=True)
    if not isinstance(saved, dict) or saved.get("format") != SHRUNK_MODEL_FORMAT:
        raise ValueError(f"{path} is not a shrunk model written by save_shrunk")
    buffers = saved.get("buffers", {})
    if not isinstance(buffers, Mapping):
        raise ValueError(f"{path} holds buffers that are not a mapping")
    apply_plan(
        model,
        json.loads(saved["plan"]),
        args,
        kwargs,
        entry_point=entry_point,
        state_dict=saved.get("state_dict"),
        _where=str(path),
        _buffers=buffers,
    )
    return model


def _commit_weights(
    model: nn.Module,
    owners: Mapping[int, OwnedTensor],
    changes: List[Tuple[OwnedTensor, Dict[int, Tuple[int, ...]], Tuple[int, ...], Tuple[int, ...]]],
    attributes: Any,
    state_dict: Any,
    buffers: Mapping[str, Any],
    where: str,
) -> None:
    """The cut of ``changes`` with the weights of ``state_dict`` as its new tensors, the
    other tensors given their values (replaced when on the meta device), all checked first."""
    if not isinstance(state_dict, Mapping):
        raise ValueError(f"{where} holds no state_dict; the model was not changed")
    after = {id(owned.tensor): shape for owned, _, _, shape in changes}
    current = model.state_dict(keep_vars=True)
    expected = {
        name: after.get(id(tensor), tuple(tensor.shape))
        if isinstance(tensor, torch.Tensor)
        else tensor
        for name, tensor in current.items()
    }
    added = _added_biases(model, current, state_dict)
    expected.update({name: tuple(state_dict[name].shape) for name in added})
    _check_weights(expected, state_dict, where)
    data: Dict[int, torch.Tensor] = {}
    assigned: List[Tuple[OwnedTensor, Dict[int, Tuple[int, ...]], Tuple[int, ...], Tuple[int, ...]]]
    assigned = []
    copies = []
    for owned in owners.values():
        old = owned.tensor
        names = [place.qualified_name for place in owned.places]
        name = next((n for n in names if n in state_dict), None)
        value = (
            state_dict[name]
            if name is not None
            else next((buffers[n] for n in names if isinstance(buffers.get(n), torch.Tensor)), None)
        )
        if value is None:
            if old.is_meta:
                raise ValueError(
                    f"the weights in {where} do not give {owned.name}, which the model holds "
                    "on the meta device only; the model was not changed"
                )
            continue  # a buffer the state dict leaves out: cut (or kept) as it is
        shape = after.get(id(old), tuple(old.shape))
        if name is None and tuple(value.shape) != shape:
            raise ValueError(
                f"the weights in {where} give {owned.name} the shape {tuple(value.shape)}, the "
                f"shrunk model's is {shape}; the model was not changed"
            )
        if not old.is_meta:
            value = value.to(dtype=old.dtype, device=old.device)
        if id(old) in after:
            data[id(old)] = value
        elif old.is_meta:
            data[id(old)] = value
            assigned.append((owned, {}, tuple(old.shape), tuple(old.shape)))
        else:
            copies.append((old, value))
    commit([*changes, *assigned], attributes, data)
    with torch.no_grad():
        for old, value in copies:
            old.copy_(value)
    extra = {
        name: state_dict[name]
        for name, value in current.items()
        if not isinstance(value, torch.Tensor) and name in state_dict
    }
    if extra:  # a module's extra state
        model.load_state_dict(extra, strict=False)
    for name, module in added.items():
        weight = module.weight
        device = state_dict[name].device if weight.is_meta else weight.device
        module.bias = nn.Parameter(state_dict[name].to(dtype=weight.dtype, device=device))


def _added_biases(
    model: nn.Module, current: Mapping[str, Any], state_dict: Mapping[str, Any]
) -> Dict[str, nn.Module]:
    """The biases the saved model has where the fresh one has none: a convolution or linear
    layer built without one, given one by recovery (``recover.compensate``)."""
    found: Dict[str, nn.Module] = {}
    for name, value in state_dict.items():
        if name in current or not (name == "bias" or name.endswith(".bias")):
            continue
        try:
            module = model.get_submodule(name[: -len("bias")].rstrip("."))
        except AttributeError:
            continue
        layer = isinstance(module, (nn.modules.conv._ConvNd, nn.Linear))
        if layer and module.bias is None and isinstance(value, torch.Tensor) and value.dim() == 1:
            found[name] = module
    return found


def _check_weights(
    expected: Mapping[str, Any], state_dict: Mapping[str, Any], path: PathLike
) -> None:
    problem = None
    for name, shape in expected.items():
        if name not in state_dict:
            problem = f"it has no {name}"
        elif isinstance(shape, tuple) and (
            not isinstance(state_dict[name], torch.Tensor) or tuple(state_dict[name].shape) != shape
        ):
            got = state_dict[name]
            found = tuple(got.shape) if isinstance(got, torch.Tensor) else type(got).__name__
            problem = f"its {name} is {found}, the shrunk model's {shape}"
        if problem is not None:
            break
    else:
        extra = next((name for name in state_dict if name not in expected), None)
        if extra is not None:
            problem = f"it has {extra}, which the shrunk model does not"
    if problem is not None:
        raise ValueError(
            f"the weights in {path} do not fit the shrunk model: {problem}; the model was not "
            "changed"
        )


def _dumps(value: Any, indent: int = 0) -> str:
    """JSON with one key per line, one line per entry of a list of lists, and lists of
    numbers on one line."""
    pad = " " * indent
    if isinstance(value, dict) and value:
        items = [f"{pad} {json.dumps(str(k))}: {_dumps(v, indent + 1)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + pad + "}"
    if isinstance(value, list) and any(isinstance(item, (dict, list)) for item in value):
        lines = [
            pad + " " + (_dumps(item, indent + 1) if isinstance(item, dict) else json.dumps(item))
            for item in value
        ]
        return "[\n" + ",\n".join(lines) + "\n" + pad + "]"
    return json.dumps(value)

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
from tavrix.pruning.shrink.huggingface import update_configs, watch
from tavrix.pruning.shrink.cut import (
    GroupCut,
    ShrinkReport,
    TensorChange,
    call_fingerprint,
    commit,
    resolve_cuts,
)

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
) -> ShrinkReport:
    """Shrink a freshly built ``model`` as the saved decision says, in place.

    The model's parameter and buffer names and shapes must be those the plan
    was made for. With example inputs (``args``, ``kwargs``) its call is traced
    too and must run the same operations with the same shapes (the batch axis
    may differ) in the same modules. Raises :class:`PlanMismatchError` naming
    the first difference; the model is then unchanged.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"apply_plan expects a torch.nn.Module, got {type(model).__name__}")
    if isinstance(plan, Mapping):
        record = dict(plan)
        _check_record(record, "the plan")
    else:
        record = load_plan(plan)
    fingerprint = record["fingerprint"]
    _compare_tensors(model, fingerprint.get("tensors", {}))
    owners = tensor_owners(model)
    if args is not None or kwargs is not None:
        traced = trace(model, args=tuple(args or ()), kwargs=dict(kwargs or {}),
                       entry_point=entry_point)
        module_by_uid = {
            key: owned.module_name or type(model).__name__ for key, owned in owners.items()
        }
        _compare_call(call_fingerprint(traced.nodes, module_by_uid, {})["call"],
                      fingerprint.get("call", []))

    cuts, forced = _cuts_of(model, record, owners)
    before = sum(p.numel() for p in model.parameters())
    rule_set = record.get("rules", "standard")
    if rule_set not in ("standard", "extended"):
        raise ValueError(f"the plan names an unknown rule set {rule_set!r}")
    changes, attributes, overrides = resolve_cuts(cuts, forced, rule_set)
    computed = {name: {a: after for a, (_, after) in values.items()}
                for name, _, values in attributes if values}
    # as the file holds them: tuples (a layer norm's normalized_shape) as lists
    computed = json.loads(json.dumps(computed))
    if computed != record["attributes"]:
        raise PlanMismatchError(
            "the plan's module attributes do not follow from its cuts "
            f"(computed {computed}, the plan says {record['attributes']}); nothing was changed"
        )
    watched = watch(model)
    commit(changes, attributes)
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
    by_name = dict(model.named_parameters(remove_duplicate=False))
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
            if not indices or any(
                not a < b for a, b in zip(indices, indices[1:])
            ) or not 0 <= indices[0] or not indices[-1] < tensor.shape[axis]:
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
            raise PlanMismatchError(f"the plan sets attributes of {name!r}, a module the model "
                                    "does not have")
        forced[module] = (name, dict(values))
    return cuts, forced


def save_shrunk(path: PathLike, model: nn.Module, report: ShrinkReport) -> None:
    """``torch.save`` the decision and the shrunk model's ``state_dict`` in one file, which
    :func:`load_shrunk` turns back into the shrunk model from a freshly built one."""
    torch.save(
        {
            "format": SHRUNK_MODEL_FORMAT,
            "version": _VERSION,
            "plan": json.dumps(plan_record(report)),
            "state_dict": model.state_dict(),
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
    """Shrink the freshly built ``model`` by the plan in ``path`` and load the saved weights
    into it; returns ``model``. Loads tensors only (``weights_only``)."""
    saved = torch.load(path, map_location="cpu", weights_only=True)
    if not isinstance(saved, dict) or saved.get("format") != SHRUNK_MODEL_FORMAT:
        raise ValueError(f"{path} is not a shrunk model written by save_shrunk")
    # what the cut replaces, so that weights that do not load leave the model as it was
    registries = [(m, dict(m._parameters), dict(m._buffers)) for m in model.modules()]
    report = apply_plan(model, json.loads(saved["plan"]), args, kwargs, entry_point=entry_point)
    try:
        # checked first: a failing load_state_dict has already copied the entries that fit
        _check_weights(model, saved.get("state_dict"), path)
        model.load_state_dict(saved["state_dict"])
    except BaseException:
        _undo_cut(model, registries, report)
        raise
    return model


def _check_weights(model: nn.Module, state_dict: Any, path: PathLike) -> None:
    if not isinstance(state_dict, Mapping):
        raise ValueError(f"{path} holds no state_dict; the model was not changed")
    expected = model.state_dict()
    problem = None
    for name, tensor in expected.items():
        if name not in state_dict:
            problem = f"it has no {name}"
        elif isinstance(tensor, torch.Tensor) and (
            not isinstance(state_dict[name], torch.Tensor)
            or state_dict[name].shape != tensor.shape
        ):
            got = state_dict[name]
            shape = tuple(got.shape) if isinstance(got, torch.Tensor) else type(got).__name__
            problem = f"its {name} is {shape}, the shrunk model's {tuple(tensor.shape)}"
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


def _undo_cut(
    model: nn.Module, registries: Sequence[Tuple[nn.Module, Dict[str, Any], Dict[str, Any]]],
    report: ShrinkReport,
) -> None:
    # the cut put new tensors in place of the old ones, which are as they were
    for module, parameters, buffers in registries:
        module._parameters.clear()
        module._parameters.update(parameters)
        module._buffers.clear()
        module._buffers.update(buffers)
    modules = dict(model.named_modules())
    for name, values in report.module_attributes.items():
        for attr, (before, _) in values.items():
            setattr(modules[name], attr, before)
    if report._config_update is not None:
        report._config_update.undo()


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

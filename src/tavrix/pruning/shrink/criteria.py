"""Channel scores read off the model's weights, alone or with the squared activations the
gates recorded: what removing a channel takes from its producers, its normalisation and its
consumers.

Every score is per label of a prunable group; a label carried at several positions (a head
whose channels one label names, a concatenation of a tensor with itself) sums over them, so
tied positions are scored as one unit.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.shrink.context import CutContext, GraphAxes, node_argument
from tavrix.pruning.shrink.rules import rule_for

__all__ = ["WEIGHT_CRITERIA", "weight_scores", "random_scores"]

#: criteria read off the weights (and, for output_error, the recorded activations)
WEIGHT_CRITERIA = ("output_error", "magnitude", "weight")

Scores = List[Optional[torch.Tensor]]

# operation -> position and name of its per-channel scale
_NORM_SCALES: Dict[Any, Tuple[int, str]] = {
    F.batch_norm: (3, "weight"),
    torch.batch_norm: (1, "weight"),
    F.instance_norm: (3, "weight"),
    F.layer_norm: (2, "weight"),
    F.group_norm: (2, "weight"),
}


def _rows(tensor: torch.Tensor, axis: int) -> torch.Tensor:
    """Squared L2 norm of each slice of ``tensor`` along ``axis`` (float64)."""
    with torch.no_grad():
        rows = tensor.detach().transpose(0, axis).reshape(tensor.shape[axis], -1)
        return rows.double().square().sum(1)


class _Slots:
    """label -> (group index, slot in the group), and per group an accumulator per slot."""

    def __init__(self, plan: ModelCutplan) -> None:
        self.where: Dict[int, Tuple[int, int]] = {}
        self.totals: List[torch.Tensor] = []
        self.found: List[bool] = []
        for index, (_, labels) in enumerate(plan.prunable_groups):
            for slot, label in enumerate(labels):
                self.where[int(label)] = (index, slot)
            self.totals.append(torch.zeros(len(labels), dtype=torch.float64))
            self.found.append(False)

    def add(self, labels: Sequence[int], values: torch.Tensor, group: Optional[int] = None) -> None:
        """Adds ``values[p]`` to the label at position p (only labels of ``group`` if given)."""
        groups: List[int] = []
        slots: List[int] = []
        picks: List[int] = []
        for position, label in enumerate(labels):
            found = self.where.get(label)
            if found is not None and (group is None or found[0] == group):
                groups.append(found[0])
                slots.append(found[1])
                picks.append(position)
        if not picks:
            return
        picked = values[torch.tensor(picks, dtype=torch.long)]
        by_group: Dict[int, Tuple[List[int], List[int]]] = {}
        for i, (g, slot) in enumerate(zip(groups, slots)):
            entry = by_group.setdefault(g, ([], []))
            entry[0].append(slot)
            entry[1].append(i)
        for g, (group_slots, rows) in by_group.items():
            self.totals[g].index_add_(
                0, torch.tensor(group_slots, dtype=torch.long), picked[torch.tensor(rows)]
            )
            self.found[g] = True

    def result(self) -> Scores:
        return [t if found else None for t, found in zip(self.totals, self.found)]


def _norm_scale(ctx: CutContext, node: Any) -> Optional[torch.Tensor]:
    try:
        scale = _NORM_SCALES.get(node.operation)
    except TypeError:  # an unhashable operation object
        return None
    if scale is None:
        return None
    info = node_argument(node, scale[0], scale[1])
    if not isinstance(info, TensorInfo) or tuple(info.shape) != (len(ctx.labels(node)),):
        return None
    owned = ctx.owners.get(info.tensor_uid)
    return None if owned is None else owned.tensor


def _gated_source(
    node: Any, gated: Mapping[Any, torch.Tensor], ctx: CutContext
) -> Optional[torch.Tensor]:
    """E[x^2] per position of ``node``'s channels at the nearest gate at or before it that
    carries the same labels (through activations, normalisations and other positionwise
    steps); None when there is none."""
    for _ in range(16):
        values = gated.get(node)
        if values is not None:
            return values
        labels = ctx.labels(node)
        previous = None
        for source in ctx.graph_axes.inputs.get(node, ()):
            if ctx.labels(source) == labels:
                previous = source
                break
        if previous is None:
            return None
        node = previous
    return None


def weight_scores(
    model: nn.Module,
    plan: ModelCutplan,
    criterion: str,
    activations: Optional[Mapping[Any, torch.Tensor]] = None,
) -> Scores:
    """Per prunable group of ``plan``, one float64 score per label; None for a group the
    criterion cannot score.

    - "weight": the L2 norm of each channel's slice of its producers' weights (summed over
      producers), as :func:`~tavrix.pruning.shrink.choose.magnitude_importance`;
    - "magnitude": the L2 norm of everything the channel owns: its producers' rows, its
      normalisation scales and its consumers' columns;
    - "output_error": E[x^2] of the channel where its consumers read it times the squared
      norm of their columns, summed over consumers: the error removing the channel makes in
      their outputs. ``activations`` maps a gated node to its E[x^2] per position; a
      consumer input without a gate of its own reads the nearest gate before it that
      carries the same labels.
    """
    if criterion == "weight":
        from tavrix.pruning.shrink.choose import magnitude_importance

        return magnitude_importance(model, plan)
    if criterion not in WEIGHT_CRITERIA:
        raise ValueError(f"criterion must be one of {WEIGHT_CRITERIA}, got {criterion!r}")
    ctx = CutContext(model, GraphAxes(plan), ())
    rule_set = ctx.graph_axes.rule_set.name
    slots = _Slots(plan)
    if criterion == "magnitude":
        for index, (nodes, _) in enumerate(plan.prunable_groups):
            for node in nodes:
                rule = rule_for(node, rule_set)
                produced = rule.producer_weight(ctx, node) if rule is not None else None
                if produced is not None:
                    slots.add(ctx.labels(node), _rows(produced[0].tensor, produced[1]), index)
                scale = _norm_scale(ctx, node)
                if scale is not None:
                    slots.add(ctx.labels(node), _rows(scale, 0), index)
    gated = activations or {}
    for node in ctx.graph_axes.graph:
        rule = rule_for(node, rule_set)
        consumed = rule.consumer_weight(ctx, node) if rule is not None else None
        if consumed is None:
            continue
        owned, axis, source = consumed
        columns = _rows(owned.tensor, axis)
        if criterion == "output_error":
            seen = _gated_source(source, gated, ctx) if isinstance(source, NodeInfo) else None
            if seen is None or seen.numel() != columns.numel():
                continue
            columns = columns * seen.to(torch.float64)
        slots.add(ctx.labels(source), columns)
    scores = slots.result()
    if criterion == "magnitude":
        scores = [None if s is None else s.sqrt() for s in scores]
    return scores


def random_scores(plan: ModelCutplan, seed: int = 0) -> Scores:
    """Per prunable group, uniform random scores from one generator seeded with ``seed``
    (the same plan and seed always give the same scores)."""
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise ValueError(f"seed must be an integer, got {seed!r}")
    generator = torch.Generator().manual_seed(seed)
    return [
        torch.rand(len(labels), generator=generator, dtype=torch.float64)
        for _, labels in plan.prunable_groups
    ]

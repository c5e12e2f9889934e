"""Choosing channels to keep a share of a call's multiply-accumulates or of the model's
parameters.

What a channel costs is read off the shrink's own cuts: one trial cut per group (or per set
of groups that must lose equally many channels) tells how many entries each tensor loses
along each axis per removed channel; a tensor's size after any removal is then the product
of its axes' kept lengths, so removals meeting in one tensor (a convolution losing input and
output channels) are counted once. A convolution's or linear layer's multiply-accumulates
are its weight's size times the positions it is applied at, which no channel cut changes.
"""

from __future__ import annotations

import heapq
import math
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.shrink.context import (
    GraphAxes,
    ShrinkError,
    plan_owners,
    shape_of,
    walked_record,
)
from tavrix.pruning.shrink.context import node_argument as _arg
from tavrix.pruning.shrink.cut import _planned_cut

__all__ = ["call_macs", "budget_removal", "kept_share"]

#: a plan's piece shapes (its rule record's), which size the pieces of tuple-valued nodes
Pieces = Mapping[Any, Tuple[int, ...]]

_CONVS = {F.conv1d, F.conv2d, F.conv3d}
_TRANSPOSED = {F.conv_transpose1d, F.conv_transpose2d, F.conv_transpose3d}
_MATMULS = {
    torch.matmul,
    torch.Tensor.matmul,
    torch.bmm,
    torch.Tensor.bmm,
    torch.mm,
    torch.Tensor.mm,
    torch.Tensor.__matmul__,
}


def _operation(node: Any, kinds: Set[Any]) -> bool:
    try:
        return node.operation in kinds
    except TypeError:  # an unhashable operation object
        return False


def _weighted_macs(node: Any, pieces: Pieces) -> Optional[Tuple[Any, float]]:
    """(weight TensorInfo, multiply-accumulates per weight entry) of a convolution or linear
    node; None for other nodes."""
    weight = _arg(node, 1, "weight")
    shape = node.result_shape
    if weight is None or shape is None or not hasattr(weight, "shape") or not weight.shape:
        return None
    if _operation(node, _CONVS) or _operation(node, {F.linear}):
        # output entries per output channel (conv: batch x positions; linear: rows)
        channels = shape[1] if _operation(node, _CONVS) else shape[-1]
        return weight, math.prod(shape) / channels if channels else 0.0
    if _operation(node, _TRANSPOSED):
        source = shape_of(_arg(node, 0, "input"), pieces)
        if source is None or not source[1]:
            return None
        return weight, math.prod(source) / source[1]
    return None


def _product_shape(node: Any, pieces: Pieces) -> Optional[Tuple[int, ...]]:
    """A matrix product's result shape with the inner length appended: its MACs are the
    product of these, and each axis loses what its channels lose."""
    if not _operation(node, _MATMULS):
        return None
    a = shape_of(_arg(node, 0, "input"), pieces)
    if a is None or node.result_shape is None or not a:
        return None
    return tuple(node.result_shape) + (a[-1],)


def _attention_module_macs(node: Any, pieces: Pieces) -> float:
    """The projections of a ``multi_head_attention_forward`` call (nn.MultiheadAttention),
    which no channel cut of the standard rules reaches: q and output over the queries, k
    and v over the keys, as the counter counts them (it does not see the fused product)."""
    if getattr(node, "operation_name", None) != "multi_head_attention_forward":
        return 0.0
    query = shape_of(_arg(node, 0, "query"), pieces)
    key = shape_of(_arg(node, 1, "key"), pieces)
    if query is None or key is None or len(query) != 3 or len(key) != 3:
        return 0.0
    length, batch, width = query
    return float((2 * length + 2 * key[0]) * batch * width * width)


def call_macs(plan: ModelCutplan) -> int:
    """Multiply-accumulates of the analysed call, from its nodes' shapes, as
    :func:`~tavrix.pruning.shrink.measure.count_macs` counts them on the CPU: convolutions,
    linear layers, matrix products and nn.MultiheadAttention's projections (not the fused
    attention kernel, which it does not see)."""
    record = plan.rule_record
    if record is None:
        record = walked_record(plan.graph)[0]
    return _call_macs(plan.graph, record.piece_shapes)


def _call_macs(graph: Sequence[Any], pieces: Pieces) -> int:
    total = 0.0
    for node in graph:
        total += _attention_module_macs(node, pieces)
        found = _weighted_macs(node, pieces)
        if found is not None:
            total += found[1] * math.prod(found[0].shape)
        else:
            shape = _product_shape(node, pieces)
            total += math.prod(shape) if shape is not None else 0
    return int(round(total))


class _Costs:
    """The cost (MACs or parameters) left by per-unit removed counts."""

    def __init__(
        self,
        model: nn.Module,
        plan: ModelCutplan,
        axes: GraphAxes,
        owners: Dict[int, Any],
        kind: str,
    ) -> None:
        self.kind = kind
        #: id(tensor) (or a matrix product's node) -> cost per entry of it
        self.per_entry: Dict[Any, float] = {}
        #: matrix products: node -> its result shape and inner length
        self.products: Dict[Any, Tuple[int, ...]] = {}
        self.shapes: Dict[Any, Tuple[int, ...]] = {}
        if kind == "macs":
            self.total = float(_call_macs(axes.graph, axes.piece_shapes))
            for node in axes.graph:
                shape = _product_shape(node, axes.piece_shapes)
                if shape is not None:
                    self.products[node] = shape
                    self.per_entry[id(node)] = 1.0
                    self.shapes[id(node)] = shape
                found = _weighted_macs(node, axes.piece_shapes)
                owned = None if found is None else owners.get(found[0].tensor_uid)
                if found is not None and owned is not None:
                    key = id(owned.tensor)
                    self.per_entry[key] = self.per_entry.get(key, 0.0) + found[1]
        else:
            seen: Dict[int, int] = {}
            for parameter in model.parameters():
                seen[id(parameter)] = parameter.numel()
                self.per_entry[id(parameter)] = 1.0
            self.total = float(sum(seen.values()))
        #: per unit: (key, axis, entries lost per channel)
        self.coefficients: Dict[int, List[Tuple[int, int, float]]] = {}
        self.lost: Dict[int, List[float]] = {}
        self.removed = 0.0

    def learn(self, unit: int, ctx: Any, changes: Sequence[Any], count: int) -> None:
        """Records what the trial cut (its context and tensor changes) of ``count`` channels
        of ``unit`` lost."""
        found = []
        for node, shape in self.products.items():
            self.lost.setdefault(id(node), [0.0] * len(shape))
            keep, axis = ctx.keep(node), ctx.axis(node)
            if keep is not None and axis is not None:
                found.append((id(node), axis, (len(ctx.labels(node)) - len(keep)) / count))
            first = _arg(node, 0, "input")
            inner = ctx.shape_of(first)
            keep = ctx.keep(first) if isinstance(first, NodeInfo) else None
            if keep is not None and inner is not None and ctx.axis(first) == len(inner) - 1:
                found.append(
                    (id(node), len(shape) - 1, (len(ctx.labels(first)) - len(keep)) / count)
                )
        for owned, _, before, after in changes:
            key = id(owned.tensor)
            if key not in self.per_entry:
                continue
            self.shapes[key] = tuple(before)
            self.lost.setdefault(key, [0.0] * len(before))
            for axis, (old, new) in enumerate(zip(before, after)):
                if old != new:
                    found.append((key, axis, (old - new) / count))
        self.coefficients[unit] = found

    def _removed_of(self, key: int, lost: Sequence[float]) -> float:
        before = self.shapes[key]
        kept = math.prod(max(size - gone, 0.0) for size, gone in zip(before, lost))
        return self.per_entry[key] * (math.prod(before) - kept)

    def change(self, unit: int, count: int) -> float:
        """Further cost removed by ``count`` more channels of ``unit``."""
        by_tensor: Dict[int, List[float]] = {}
        for key, axis, per_channel in self.coefficients.get(unit, ()):
            lost = by_tensor.setdefault(key, list(self.lost[key]))
            lost[axis] += per_channel * count
        return sum(
            self._removed_of(key, lost) - self._removed_of(key, self.lost[key])
            for key, lost in by_tensor.items()
        )

    def apply(self, unit: int, count: int) -> None:
        self.removed += self.change(unit, count)
        for key, axis, per_channel in self.coefficients.get(unit, ()):
            self.lost[key][axis] += per_channel * count

    def left(self) -> float:
        return (self.total - self.removed) / self.total if self.total else 1.0


def kept_share(
    model: nn.Module, plan: ModelCutplan, removed: Mapping[int, Sequence[int]], kind: str = "macs"
) -> float:
    """The share of the call's MACs (``kind="macs"``) or of the model's parameters
    (``"params"``) that shrinking by ``removed`` would keep, from the shrink's planned cuts;
    the model is not touched. Raises ShrinkError as the shrink would."""
    from tavrix.pruning.shrink.cut import validated_removal

    if kind not in ("macs", "params"):
        raise ValueError(f"kind must be 'macs' or 'params', got {kind!r}")
    axes = GraphAxes(plan)
    owners = plan_owners(model, axes.tensor_names)
    ctx, (changes, _, _) = _planned_cut(model, axes, validated_removal(plan, removed), owners)
    costs = _Costs(model, plan, axes, owners, kind)
    removed_cost = 0.0
    for owned, _, before, after in changes:
        key = id(owned.tensor)
        if key in costs.per_entry:
            removed_cost += costs.per_entry[key] * (math.prod(before) - math.prod(after))
    for node, shape in costs.products.items():
        after = list(shape)
        keep, axis = ctx.keep(node), ctx.axis(node)
        if keep is not None and axis is not None:
            after[axis] = len(keep)
        first = _arg(node, 0, "input")
        inner = axes.shape_of(first)
        keep = ctx.keep(first) if isinstance(first, NodeInfo) else None
        if keep is not None and inner is not None and ctx.axis(first) == len(inner) - 1:
            after[-1] = len(keep)
        removed_cost += math.prod(shape) - math.prod(after)
    return (costs.total - removed_cost) / costs.total if costs.total else 1.0


def _levels(sizes: Sequence[int], round_to: int, min_keep: int) -> List[int]:
    """Removed counts every member of a unit can take: keeps at least ``min_keep`` (and one)
    and that rounding leaves as they are."""
    from tavrix.pruning.shrink.choose import _rounded_keep

    levels = [0]
    for count in range(1, min(sizes)):
        if all(
            n - count >= max(min_keep, 1)
            and _rounded_keep(n, n - count, round_to, min_keep) == n - count
            for n in sizes
        ):
            levels.append(count)
    return levels


def budget_removal(
    model: nn.Module,
    plan: ModelCutplan,
    scores: Sequence[Optional[torch.Tensor]],
    kind: str,
    fraction: float,
    round_to: int,
    min_keep: int,
    uniform_layers: bool = False,
) -> Dict[int, List[int]]:
    """The labels to remove so that ``fraction`` of the call's MACs (``kind="macs"``) or of
    the model's parameters (``"params"``) is left, least important (normalised by the mean
    of its group) first; see :func:`~tavrix.pruning.shrink.choose.choose_channels`. With
    ``uniform_layers`` the corresponding groups of all layers are one unit, lose channels
    together and stay whole together."""
    from tavrix.pruning.shrink.choose import equal_count_sets, shrinkable

    name = "target_macs" if kind == "macs" else "target_params"
    groups = plan.prunable_groups
    axes = GraphAxes(plan)
    owners = plan_owners(model, axes.tensor_names)
    units: List[List[int]] = []
    placed: Set[int] = set()
    for members, countable in equal_count_sets(plan, uniform_layers):
        placed.update(members)
        if countable:
            units.append(sorted(members))
    units += [[index] for index in range(len(groups)) if index not in placed]
    measured = {index: values for index, values in enumerate(scores) if values is not None}
    units = [unit for unit in units if all(i in measured for i in unit)]
    orders: Dict[int, List[int]] = {}
    normalised: Dict[int, torch.Tensor] = {}
    for unit in units:
        for index in unit:
            values = measured[index]
            mean = values.mean().item() if values.numel() else 0.0
            normalised[index] = values / mean if mean > 0 else torch.zeros_like(values)
            orders[index] = torch.argsort(values, stable=True).tolist()

    refused: Set[int] = set()
    probed: Dict[int, Optional[Tuple[Any, Any, int]]] = {}
    for _ in range(len(units) + 1):
        costs = _Costs(model, plan, axes, owners, kind)
        target = fraction * costs.total
        live: List[Tuple[int, List[int]]] = []
        for u, unit in enumerate(units):
            if refused & set(unit):
                continue
            levels = _levels([len(groups[i][1]) for i in unit], round_to, min_keep)
            if len(levels) < 2:
                continue
            if u not in probed:
                probed[u] = _probe(model, axes, owners, groups, unit, orders, levels[1])
            probe = probed[u]
            if probe is None:
                refused.update(unit)
                continue
            ctx, changes, count = probe
            costs.learn(u, ctx, changes, count)
            live.append((u, levels))
        counts = _allocate(costs, live, units, normalised, orders, target)
        if counts is None:
            raise ValueError(
                f"{name}={fraction} cannot be reached: removing every channel the groups may "
                f"lose leaves {_reachable(costs, live):.4f} of the "
                + ("call's multiply-accumulates" if kind == "macs" else "model's parameters")
            )
        removed = _labels(groups, units, counts, orders)
        kept, refusals = shrinkable(model, plan, removed)
        if not refusals:
            return removed
        refused.update(refusals)
    raise AssertionError("unreachable: each round refuses at least one more group")


def _probe(
    model: nn.Module,
    axes: GraphAxes,
    owners: Dict[int, Any],
    groups: Sequence[Any],
    unit: List[int],
    orders: Mapping[int, List[int]],
    count: int,
) -> Optional[Tuple[Any, Any, int]]:
    removal = {index: [int(groups[index][1][i]) for i in orders[index][:count]] for index in unit}
    try:
        ctx, (changes, _, _) = _planned_cut(model, axes, removal, owners)
    except ShrinkError:
        return None
    return ctx, changes, count


def _reachable(costs: _Costs, live: Sequence[Tuple[int, List[int]]]) -> float:
    for u, levels in live:
        costs.apply(u, levels[-1])
    return costs.left()


def _allocate(
    costs: _Costs,
    live: Sequence[Tuple[int, List[int]]],
    units: Sequence[List[int]],
    normalised: Mapping[int, torch.Tensor],
    orders: Mapping[int, List[int]],
    target: float,
) -> Optional[Dict[int, int]]:
    """Removed count per unit: steps from unit levels to the next, lowest mean normalised
    score first, until the cost left is at most ``target``. A step that would go more than
    half a percent below ``target`` is passed over (its unit stops there) while others may
    land closer; the closest of those is taken when none does. None when no choice reaches
    ``target``."""
    level_of = {u: 0 for u, _ in live}
    levels_of = dict(live)

    def step_score(u: int) -> float:
        levels, at = levels_of[u], level_of[u]
        low, high = levels[at], levels[at + 1]
        values = [normalised[i][orders[i][low:high]].mean().item() for i in units[u]]
        return sum(values) / len(values)

    heap = [(step_score(u), u) for u, levels in live if len(levels) > 1]
    heapq.heapify(heap)
    floor = target - 0.005 * target
    passed: List[int] = []
    left = costs.total - costs.removed
    while left > target:
        if not heap:
            best = None
            for u in passed:
                levels, at = levels_of[u], level_of[u]
                after = left - costs.change(u, levels[at + 1] - levels[at])
                if after <= target and (best is None or after > best[0]):
                    best = (after, u)
            if best is None:
                return None
            u = best[1]
            levels, at = levels_of[u], level_of[u]
            costs.apply(u, levels[at + 1] - levels[at])
            level_of[u] = at + 1
            break
        _, u = heapq.heappop(heap)
        levels, at = levels_of[u], level_of[u]
        step = levels[at + 1] - levels[at]
        after = left - costs.change(u, step)
        if after < floor:
            passed.append(u)
            continue
        costs.apply(u, step)
        level_of[u] = at + 1
        left = costs.total - costs.removed
        if level_of[u] + 1 < len(levels):
            heapq.heappush(heap, (step_score(u), u))
    return {u: levels_of[u][at] for u, at in level_of.items()}


def _labels(
    groups: Sequence[Any],
    units: Sequence[List[int]],
    counts: Mapping[int, int],
    orders: Mapping[int, List[int]],
) -> Dict[int, List[int]]:
    removed: Dict[int, List[int]] = {}
    for u, count in counts.items():
        for index in units[u]:
            if count:
                labels = groups[index][1]
                removed[index] = [int(labels[i]) for i in sorted(orders[index][:count])]
    return dict(sorted(removed.items()))

"""Choosing which channels to remove from a plan's importance."""

from __future__ import annotations

import math
import re
from collections import Counter
from fractions import Fraction
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Union

import torch
from torch import nn

from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.shrink.context import CutContext, GraphAxes, ShrinkError, plan_owners
from tavrix.pruning.shrink.cut import _planned_cut, validated_removal
from tavrix.pruning.shrink.rules import rule_for
from tavrix.utils.common import iter_leaves

__all__ = ["choose_channels", "magnitude_importance"]

Importance = Optional[torch.Tensor]


def choose_channels(
    plan: ModelCutplan,
    ratio: Union[None, float, Mapping[int, float]] = None,
    *,
    round_to: int = 1,
    min_keep: int = 1,
    scope: str = "group",
    importance: Union[None, str, Sequence[Importance]] = None,
    unmeasured: str = "skip",
    model: Optional[nn.Module] = None,
    target_macs: Optional[float] = None,
    target_params: Optional[float] = None,
    seed: int = 0,
    uniform_layers: bool = False,
) -> Dict[int, List[int]]:
    """The labels to remove, as {prunable group index: labels}, least important first out.

    - ``ratio`` (0.3 when neither it nor a target is given): the share of channels
      to remove; with ``scope="group"`` from every group (or, as a mapping, from
      the groups it names), with ``scope="global"`` from all groups together,
      comparing channels by their importance divided by their group's mean
      importance.
    - ``target_macs`` / ``target_params`` (instead of ``ratio``): the share F in
      (0, 1] of the analysed call's multiply-accumulates, or of the model's
      parameters, to keep, met within 1% of F where the group sizes allow: channels
      go across all groups lowest mean-normalised importance first (as with
      ``scope="global"``), each group in steps ``round_to`` allows, tied groups
      together; groups the shrink would refuse are left whole and their cost counts
      as kept. Needs ``model`` (the calibrated model: the plan names its tensors).
    - ``round_to``: channel counts left in a group are multiples of it (a group
      keeps more channels rather than fewer, and at most all of them).
    - ``min_keep``: no group keeps fewer channels (never fewer than one).
    - ``importance``: None reads the calibrated Taylor importance
      (:func:`~tavrix.pruning.importance.channel_importance`); a criterion's name
      (``CRITERIA`` of :mod:`tavrix.pruning.importance`: "taylor", "fisher",
      "activation", "output_error", "magnitude" (producer rows, normalisation
      scales and consumer columns), "weight" (the L2 norm of the producers'
      weights), "random" (seeded with ``seed``)); or one tensor (or None) per
      prunable group.
    - ``unmeasured``: what happens to a group without importance: "skip" leaves
      it whole, "magnitude" ranks it by weight magnitude (needs ``model``).

    Groups that must lose equally many channels (an attention's query/key and
    value positions within the heads, which one head_dim attribute sizes) each
    lose the smallest of their counts, so that the choice can be cut.

    - ``uniform_layers``: the same group of every layer (module names alike once
      their numbers are replaced, ``model.layers.*.mlp.up_proj``, and as many
      channels) loses as many channels, so that the layers stay alike and a config
      holding one width per kind of layer can describe the result. A ratio mapping
      naming one of them names them all (they must not be given different ratios);
      the global scope and the targets weigh such a set's channels together (the
      mean of its members' normalised scores, rank by rank).

    Ties go to the channel that comes first in the group, so the same inputs
    always give the same choice.
    """
    groups = plan.prunable_groups
    _check_count(round_to, "round_to")
    _check_count(min_keep, "min_keep")
    if scope not in ("group", "global"):
        raise ValueError(f"scope must be 'group' or 'global', got {scope!r}")
    if unmeasured not in ("skip", "magnitude"):
        raise ValueError(f"unmeasured must be 'skip' or 'magnitude', got {unmeasured!r}")
    if not isinstance(uniform_layers, bool):
        raise ValueError(f"uniform_layers must be True or False, got {uniform_layers!r}")
    target = _target(ratio, target_macs, target_params, model)
    if target is not None:
        from tavrix.pruning.shrink.budget import budget_removal

        kind, fraction, model = target
        if fraction == 1:
            return {}
        scores = _scores(plan, importance, unmeasured, model, seed)
        return budget_removal(
            model, plan, scores, kind, fraction, round_to, min_keep, uniform_layers
        )
    ratios = _ratios(0.3 if ratio is None else ratio, scope, len(groups))
    scores = _scores(plan, importance, unmeasured, model, seed)
    classes = layer_classes(plan) if uniform_layers else []
    if scope == "group":
        _spread_ratios(ratios, classes, groups, plan)

    counts: Dict[int, int] = {}
    if scope == "group":
        for index, share in ratios.items():
            if scores[index] is not None:
                counts[index] = math.floor(share * len(groups[index][1]) + 1e-9)
    elif classes:
        counts = _global_class_counts(groups, scores, ratios[-1], min_keep, classes)
    else:
        counts = _global_counts(groups, scores, ratios[-1], min_keep)
    _equalise_tied_counts(
        counts,
        equal_count_sets(plan, uniform_layers, proportional=True),
        groups,
        scores,
        round_to,
        min_keep,
        tie_weights(plan),
    )

    removed: Dict[int, List[int]] = {}
    for index, count in counts.items():
        labels = [int(label) for label in groups[index][1]]
        keep = _rounded_keep(len(labels), len(labels) - count, round_to, min_keep)
        drop = len(labels) - keep
        values = scores[index]
        if drop <= 0 or values is None:  # counts hold measured groups only
            continue
        order = torch.argsort(values, stable=True)[:drop].tolist()
        removed[index] = [labels[i] for i in sorted(order)]
    return removed


def _target(
    ratio: Any, target_macs: Any, target_params: Any, model: Optional[nn.Module]
) -> Optional[Tuple[str, float, nn.Module]]:
    """(kind, fraction, the model its costs are read from) of a MAC or parameter target; None
    without one."""
    given = [
        (name, kind, value)
        for name, kind, value in (
            ("target_macs", "macs", target_macs),
            ("target_params", "params", target_params),
        )
        if value is not None
    ]
    if not given:
        return None
    if len(given) > 1:
        raise ValueError("give one of target_macs and target_params, not both")
    name, kind, value = given[0]
    if ratio is not None:
        raise ValueError(f"give either ratio or {name}, not both")
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= 1:
        raise ValueError(f"{name} must be a number in (0, 1], got {value!r}")
    if model is None:
        raise ValueError(
            f"{name} needs the calibrated model (model=...): the plan names its tensors, "
            "whose shapes give the costs"
        )
    return kind, float(value), model


def _check_count(value: Any, name: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")


def _check_ratio(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < 1:
        raise ValueError(f"{what} must be a number in [0, 1), got {value!r}")
    return float(value)


def _ratios(ratio: Any, scope: str, n_groups: int) -> Dict[int, float]:
    if isinstance(ratio, Mapping):
        if scope == "global":
            raise ValueError("a global ratio is one number, not a mapping")
        result = {}
        for key, value in ratio.items():
            if isinstance(key, bool) or not isinstance(key, int) or not 0 <= key < n_groups:
                raise ValueError(f"no prunable group {key!r}: the plan has {n_groups}")
            result[key] = _check_ratio(value, f"the ratio of group {key}")
        return result
    share = _check_ratio(ratio, "ratio")
    if scope == "global":
        return {-1: share}
    return {index: share for index in range(n_groups)}


def _scores(
    plan: ModelCutplan, importance: Any, unmeasured: str, model: Optional[nn.Module], seed: int = 0
) -> List[Importance]:
    from tavrix.pruning.importance import CRITERIA

    groups = plan.prunable_groups
    if isinstance(importance, str):
        if importance not in CRITERIA:
            raise ValueError(
                f"importance must be None, one of {', '.join(CRITERIA)} or tensors, got "
                f"{importance!r}"
            )
        if importance == "weight":
            given: List[Importance] = [None] * len(groups)
            unmeasured = "magnitude"
        elif importance in ("magnitude", "output_error") and model is None:
            raise ValueError(f"ranking groups by {importance!r} needs the model (model=...)")
        elif importance == "random":
            from tavrix.pruning.shrink.criteria import random_scores

            given = random_scores(plan, seed)
        elif importance == "magnitude" and model is not None:
            from tavrix.pruning.shrink.criteria import weight_scores

            given = weight_scores(model, plan, "magnitude")
        else:
            from tavrix.pruning.importance import channel_importance

            given = [
                group.importance
                for group in channel_importance(plan, criterion=importance, model=model, seed=seed)
            ]
    elif importance is None:
        from tavrix.pruning.importance import channel_importance

        given = [group.importance for group in channel_importance(plan)]
    else:
        given = list(importance)
        if len(given) != len(groups):
            raise ValueError(
                f"importance has {len(given)} entries, the plan has {len(groups)} prunable groups"
            )
    scores: List[Importance] = []
    for index, values in enumerate(given):
        n = len(groups[index][1])
        if values is not None:
            values = torch.as_tensor(values).detach().to("cpu", torch.float64).flatten()
            if values.numel() != n:
                raise ValueError(
                    f"the importance of group {index} has {values.numel()} values for {n} channels"
                )
            if not torch.isfinite(values).all() or (values < 0).any():
                raise ValueError(f"the importance of group {index} must be finite and not negative")
        scores.append(values)
    if unmeasured == "magnitude" and any(values is None for values in scores):
        if model is None:
            raise ValueError("ranking groups by weight magnitude needs the model (model=...)")
        magnitudes = magnitude_importance(model, plan)
        scores = [m if s is None else s for s, m in zip(scores, magnitudes)]
    return scores


def magnitude_importance(model: nn.Module, plan: ModelCutplan) -> List[Importance]:
    """Per prunable group, the L2 norm of each channel's slice of its producers' weights
    (summed over producers); None for a group without producers."""
    ctx = CutContext(model, GraphAxes(plan), ())
    result: List[Importance] = []
    for nodes, labels in plan.prunable_groups:
        slot = {int(label): i for i, label in enumerate(labels)}
        total = torch.zeros(len(labels), dtype=torch.float64)
        found = False
        for node in nodes:
            rule = rule_for(node, ctx.graph_axes.rule_set.name)
            weight = rule.producer_weight(ctx, node) if rule is not None else None
            if weight is None:
                continue
            owned, axis = weight
            with torch.no_grad():
                values = owned.tensor.detach().transpose(0, axis).flatten(1).double().norm(dim=1)
            for position, label in enumerate(ctx.labels(node)):
                i = slot.get(label)
                if i is not None:
                    total[i] += values[position].item()
                    found = True
        result.append(total if found else None)
    return result


def _global_counts(
    groups: Sequence[Any], scores: List[Importance], share: float, min_keep: int
) -> Dict[int, int]:
    """Channels to remove per group: the lowest mean-normalised scores over all groups."""
    entries = []
    sizes = {}
    for index, values in enumerate(scores):
        if values is None:
            continue
        mean = values.mean().item()
        normalised = values / mean if mean > 0 else torch.zeros_like(values)
        sizes[index] = len(values)
        for position, value in enumerate(normalised.tolist()):
            entries.append((value, index, position))
    budget = math.floor(share * sum(sizes.values()) + 1e-9)
    entries.sort()
    counts = {index: 0 for index in sizes}
    for _, index, _ in entries:
        if budget == 0:
            break
        if sizes[index] - counts[index] > max(min_keep, 1):
            counts[index] += 1
            budget -= 1
    return counts


def _global_class_counts(
    groups: Sequence[Any],
    scores: List[Importance],
    share: float,
    min_keep: int,
    classes: Sequence[Set[int]],
) -> Dict[int, int]:
    """As :func:`_global_counts`, a class of corresponding groups taking its channels rank
    by rank from all its members at once (the mean of their normalised scores at the rank);
    a class with an unmeasured member stays whole."""
    sizes = {index: len(values) for index, values in enumerate(scores) if values is not None}
    placed = {index for members in classes for index in members}
    units = [sorted(members) for members in classes if members <= sizes.keys()]
    units += [[index] for index in sizes if index not in placed]
    ranked: Dict[int, List[float]] = {}
    for index, values in enumerate(scores):
        if values is None:
            continue
        mean = values.mean().item()
        normalised = values / mean if mean > 0 else torch.zeros_like(values)
        ranked[index] = sorted(normalised.tolist())
    entries = []
    for u, members in enumerate(units):
        for rank in range(min(sizes[i] for i in members)):
            value = sum(ranked[i][rank] for i in members) / len(members)
            entries.append((value, members[0], rank, u))
    entries.sort()
    budget = math.floor(share * sum(sizes.values()) + 1e-9)
    taken = [0] * len(units)
    for _, _, _, u in entries:
        members = units[u]
        if budget < len(members):
            if budget == 0:
                break
            continue
        if all(sizes[i] - taken[u] > max(min_keep, 1) for i in members):
            taken[u] += 1
            budget -= len(members)
    counts = {index: 0 for index in sizes}
    for u, members in enumerate(units):
        for index in members:
            counts[index] = taken[u]
    return counts


def _spread_ratios(
    ratios: Dict[int, float], classes: Sequence[Set[int]], groups: Sequence[Any], plan: ModelCutplan
) -> None:
    """A ratio given to one group of a class of corresponding groups goes to all of them."""
    for members in classes:
        given = {index: ratios[index] for index in sorted(members) if index in ratios}
        if len(set(given.values())) > 1:
            text = ", ".join(f"group {i} {share}" for i, share in given.items())
            raise ValueError(
                f"uniform_layers: groups {sorted(members)} are the same group of different "
                f"layers ({_class_text(plan, members)}) but the ratio gives {text}; give them "
                "one ratio"
            )
        if given:
            share = next(iter(given.values()))
            for index in members:
                ratios[index] = share


def _group_modules(plan: ModelCutplan) -> List[Set[str]]:
    """Per prunable group, the names of the modules whose tensors its nodes read (the plan's
    module names where it holds no tensor names)."""
    tensor_names = plan.tensor_names or {}
    by_node = plan.prunable_module_names_by_nodes
    found: List[Set[str]] = []
    for nodes, _ in plan.prunable_groups:
        names: Set[str] = set()
        for node in nodes:
            for value in iter_leaves((node.args, node.kwargs)):
                uid = getattr(value, "tensor_uid", None)
                name = None if uid is None else tensor_names.get(uid)
                if name is not None:
                    names.add(name.rpartition(".")[0])
            name = by_node.get(node)
            if name:
                names.add(name)
        found.append(names)
    return found


_NUMBER = re.compile(r"(?<=\.)\d+(?=\.|$)|^\d+(?=\.|$)")


def layer_classes(plan: ModelCutplan) -> List[Set[int]]:
    """Sets of prunable groups that are the same group of different layers: their modules'
    names are alike once the numbers in them are replaced (``model.layers.3.mlp.up_proj`` ~
    ``model.layers.*.mlp.up_proj``) and they hold as many channels. Groups alike within one
    layer (two of ``attn.c_attn``) correspond by their order."""
    seen: Dict[Tuple[Any, ...], int] = {}
    classes: Dict[Tuple[Any, ...], Set[int]] = {}
    for index, names in enumerate(_group_modules(plan)):
        pattern = frozenset(_NUMBER.sub("*", name) for name in names)
        if not pattern or pattern == frozenset(names):  # not in a numbered layer
            continue
        where = frozenset(tuple(_NUMBER.findall(name)) for name in names)
        size = len(plan.prunable_groups[index][1])
        rank = seen.get((pattern, size, where), 0)
        seen[(pattern, size, where)] = rank + 1
        classes.setdefault((pattern, size, rank), set()).add(index)
    return [members for members in classes.values() if len(members) > 1]


def _class_text(plan: ModelCutplan, members: Set[int]) -> str:
    names = sorted({_NUMBER.sub("*", name) for name in _group_modules(plan)[min(members)]})
    return ", ".join(names[:3]) + (", ..." if len(names) > 3 else "")


def equal_count_sets(
    plan: ModelCutplan, uniform_layers: bool = False, proportional: bool = False
) -> List[Tuple[Set[int], bool]]:
    """The sets of groups that lose equally many channels, each with whether its count can
    follow its members' (False: they stay whole): groups an attention ties, and with
    ``uniform_layers`` the classes of corresponding groups, merged where they share one.
    A set whose members lose channels in proportion (:func:`tie_weights`) is left out but
    with ``proportional``, for a caller that follows the weights (its members are then cut
    each as the shrink's checks allow)."""
    tied, weights = _tied_sets(plan)
    if not proportional:
        tied = [(m, countable) for m, countable in tied if not m & weights.keys()]
    if not uniform_layers:
        return tied
    sets = [(set(members), countable) for members, countable in tied]
    for members in layer_classes(plan):
        # corresponding groups lose equally many: only where the set's weights agree
        agree = len({weights.get(i, 1) for i in members}) == 1
        sets.append((set(members), agree))
    merged: List[Tuple[Set[int], bool]] = []
    for members, countable in sets:
        for other in [entry for entry in merged if entry[0] & members]:
            merged.remove(other)
            members = members | other[0]
            countable = countable and other[1]
        merged.append((members, countable))
    return merged


def _tied_groups(plan: ModelCutplan) -> List[Tuple[Set[int], bool]]:
    """Sets of prunable groups whose removed counts must be equal, each with whether an
    operand's count can follow a single group's (False: keep them all whole)."""
    return _tied_sets(plan)[0]


def tie_weights(plan: ModelCutplan) -> Dict[int, int]:
    """Of each group of a tied set whose members lose channels in proportion (heads merged
    back by the stream's width: the stream loses head_dim channels per head), how many it
    loses per unit of the set; groups not listed lose one each."""
    return _tied_sets(plan)[1]


def _tied_sets(plan: ModelCutplan) -> Tuple[List[Tuple[Set[int], bool]], Dict[int, int]]:
    try:
        axes = GraphAxes(plan)
    except ValueError:  # labels no standard walk reproduces: the shrink refuses the plan
        return [], {}
    group_of = {
        int(label): index
        for index, (_, labels) in enumerate(plan.prunable_groups)
        for label in labels
    }
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    parent: Dict[int, int] = {}
    # removed(index) = factor[index] * removed(parent[index])
    factor: Dict[int, Fraction] = {}

    def root(index: int) -> Tuple[int, Fraction]:
        scale = Fraction(1)
        while parent.setdefault(index, index) != index:
            scale *= factor.get(index, Fraction(1))
            index = parent[index]
        return index, scale

    def join(first: int, other: int, ratio: Fraction) -> bool:
        """removed(other) = ratio * removed(first); False when the set says otherwise."""
        (a, fa), (b, fb) = root(first), root(other)
        if a == b:
            return fb == ratio * fa
        parent[b], factor[b] = a, ratio * fa / fb
        return True

    frozen: Set[int] = set()
    for node in axes.graph:
        rule = rule_for(node, axes.rule_set.name)
        operands = rule.equal_cuts(axes, node) if rule is not None else ()
        if len(operands) < 2:
            continue
        repeats = getattr(rule, "proportional", False)
        tied: Set[int] = set()
        exact: List[Optional[Tuple[int, int]]] = []
        for labels in operands:
            found = [group_of[int(label)] for label in labels if int(label) in group_of]
            tied.update(found)
            # the operand loses exactly its group's count when it holds all of one group's
            # labels once, and no other group's (or, where the rule says so, each of them
            # equally often: that many times the count)
            counts = Counter(int(label) for label in labels if int(label) in group_of)
            times = next(iter(counts.values()), 0)
            whole = len(set(found)) == 1 and len(counts) == sizes[found[0]]
            even = all(n == times for n in counts.values()) and (times == 1 or repeats)
            exact.append((found[0], times) if whole and even else None)
        if not tied:
            continue
        for index in tied:
            parent.setdefault(index, index)
        if any(entry is None for entry in exact):
            first = next(iter(tied))
            for index in tied:
                join(first, index, Fraction(1))
            frozen.update(tied)
            continue
        (group, times), rest = exact[0], exact[1:]  # type: ignore[misc]
        for other, other_times in rest:  # type: ignore[misc]
            if not join(group, other, Fraction(times, other_times)):
                frozen.update(tied)
    sets: Dict[int, Set[int]] = {}
    for index in parent:
        sets.setdefault(root(index)[0], set()).add(index)
    weights: Dict[int, int] = {}
    for members in sets.values():
        if len(members) < 2 or members & frozen:
            continue
        ratios = {index: root(index)[1] for index in members}
        scale = math.lcm(*(r.denominator for r in ratios.values()))
        units = {index: int(r * scale) for index, r in ratios.items()}
        common = math.gcd(*units.values())
        if any(w // common != 1 for w in units.values()):
            weights.update((index, w // common) for index, w in units.items())
    return [
        (members, not members & frozen)
        for members in sets.values()
        if len(members) > 1 or members & frozen
    ], weights


def _equalise_tied_counts(
    counts: Dict[int, int],
    tied: List[Tuple[Set[int], bool]],
    groups: Sequence[Any],
    scores: List[Importance],
    round_to: int,
    min_keep: int,
    weights: Optional[Mapping[int, int]] = None,
) -> None:
    """Gives every group of a tied set the largest count no member exceeds (a member left
    out of ``counts`` or without scores loses nothing) that rounding leaves as it is; a
    member with a weight (:func:`tie_weights`) that many times the set's count."""
    weights = weights or {}
    for members, countable in tied:
        common = (
            min(
                (
                    counts.get(i, 0) // weights.get(i, 1) if scores[i] is not None else 0
                    for i in members
                ),
                default=0,
            )
            if countable
            else 0
        )
        while common > 0 and any(
            _rounded_keep(n, n - w * common, round_to, min_keep) != n - w * common
            for n, w in ((len(groups[i][1]), weights.get(i, 1)) for i in members)
        ):
            common -= 1
        for i in members:
            if i in counts:
                counts[i] = weights.get(i, 1) * common


def _rounded_keep(n: int, keep: int, round_to: int, min_keep: int) -> int:
    keep = max(keep, min_keep, 1)
    keep = -(-keep // round_to) * round_to
    return min(keep, n)


def shrinkable(
    model: nn.Module, plan: ModelCutplan, removed: Mapping[int, Sequence[int]]
) -> Tuple[Dict[int, List[int]], Dict[int, str]]:
    """The part of ``removed`` that ``shrink`` can cut, and why it would refuse the rest.

    Returns the removal restricted to the groups whose cut the shrink takes, alone and
    together (groups that must lose equally many channels are tried as one), and {group
    index: the ShrinkError's message} for the groups left out. Nothing of the model changes:
    pass the first to ``shrink``.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"shrinkable expects a torch.nn.Module, got {type(model).__name__}")
    axes = GraphAxes(plan)
    chosen = validated_removal(plan, removed)
    owners = plan_owners(model, axes.tensor_names)

    def cuts(removal: Mapping[int, Sequence[int]]) -> Optional[str]:
        try:
            _planned_cut(model, axes, removal, owners)
        except ShrinkError as exc:
            return str(exc)
        return None

    if cuts(chosen) is None:
        return dict(chosen), {}
    units: List[List[int]] = []
    placed: Set[int] = set()
    for members, _ in _tied_groups(plan):
        unit = sorted(members & chosen.keys())
        if unit:
            units.append(unit)
            placed.update(unit)
    units += [[index] for index in chosen if index not in placed]
    # each unit alone, then those that pass one by one: units each cut alone may clash
    # together (a module used twice)
    kept: Dict[int, List[int]] = {}
    refused: Dict[int, str] = {}
    for unit in sorted(units):
        removal = {index: chosen[index] for index in unit}
        reason = cuts(removal)
        if reason is None:
            reason = cuts({**kept, **removal})
        if reason is None:
            kept.update(removal)
        else:
            refused.update((index, reason) for index in unit)
    return kept, dict(sorted(refused.items()))

"""Per-channel importance read from a calibrated cutplan: the Taylor criterion of the gates'
gradients, or another criterion (see :data:`CRITERIA`)."""

from __future__ import annotations

import warnings
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import torch

from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.distributed import (
    check_same_analysis,
    reduce_gate_statistics,
    reduce_gate_totals,
    sums_across_ranks,
)
from tavrix.pruning.gate import GroupSharedGate, gates_by_name

__all__ = ["CRITERIA", "GroupImportance", "calibration_warnings", "channel_importance"]

#: below this largest output the calibration measured rounding, not the model
TINY_OUTPUT_SCALE = 1e-6
#: above this share of exactly-zero importances the ranking is mostly ties
ZERO_SHARE = 0.5

#: the names ``channel_importance(criterion=...)`` and ``choose_channels(importance=...)`` take
CRITERIA = ("taylor", "fisher", "activation", "output_error", "magnitude", "weight", "random")
#: what each statistic of the gates is called in messages
_STATISTICS = {"fisher": "squared per-sample Taylor terms", "activation": "squared activations"}


class GroupImportance(NamedTuple):
    """Importance of the channels of one prunable group."""

    #: position of the group in ``cutplan.prunable_groups``
    index: int  # type: ignore[assignment]  # shadows tuple.index; the name is public
    #: the group's channel labels, in the group's order
    labels: List[int]
    #: one value per label (float32, CPU); None when no gate measures the group
    importance: Optional[torch.Tensor]
    #: the gates that measure the group
    gate_names: List[str]
    #: dotted names of the model's sub-modules among the group's nodes
    module_names: List[str]


def _check_plan(cutplan: ModelCutplan, across_ranks: bool, group: Any) -> None:
    if across_ranks:
        # Before anything can fail on one rank only: a rank that left here
        # would leave the others waiting in the collectives.
        check_same_analysis(cutplan, group)
    if cutplan is None:
        raise ValueError(
            "No cutplan: call the model inside TavrixPruningCalibrator before reading the "
            "importance"
        )


def _group_gates(
    cutplan: ModelCutplan,
) -> Tuple[Dict[int, str], Dict[Tuple[int, ...], GroupSharedGate]]:
    gate_names: Dict[int, str] = {}
    groups: Dict[Tuple[int, ...], GroupSharedGate] = {}
    for name, gate in gates_by_name(cutplan.gate_container).items():
        gate_names[id(gate)] = name
        for group in getattr(gate, "groups", ()):
            groups.setdefault(tuple(group.labels), group)
    return gate_names, groups


class _GateTotals(NamedTuple):
    #: accumulated gradient; None when the loss never reached the gate
    gradient: Optional[torch.Tensor]
    num_samples: int


def _measures(totals: _GateTotals) -> bool:
    """False for a gate the calls ran only without recording (an operation inside a custom
    autograd Function's forward, as BLOOM's GeLU): no samples, no gradient."""
    return totals.num_samples > 0 or totals.gradient is not None


def _gate_values(totals: _GateTotals, n_channels: int) -> torch.Tensor:
    if totals.num_samples == 0:
        raise RuntimeError(
            "The gates have seen no samples: call the model inside the calibrator with "
            "gradients enabled before reading the importance"
        )
    if totals.gradient is None:
        # Other gates got gradients, so the loss simply does not depend on this one.
        return torch.zeros(n_channels, dtype=torch.float32)
    values = totals.gradient.detach().abs() / totals.num_samples
    return values.to("cpu", torch.float32)


def channel_importance(
    cutplan: ModelCutplan,
    *,
    distributed: Optional[bool] = None,
    group: Any = None,
    criterion: str = "taylor",
    model: Any = None,
    seed: int = 0,
) -> List[GroupImportance]:
    """Per prunable group of ``cutplan``, the importance of each of its channels.

    ``criterion`` (one of :data:`CRITERIA`) says what is measured; every value is per label,
    summed over the positions and gates carrying it:

    - "taylor" (the default): what is described below;
    - "fisher": the sum over samples of the square of each sample's ``sum grad * x``,
      divided by the number of samples; "activation": E[x^2] over every entry the gates saw
      in the forwards (calls under ``torch.no_grad()`` count). Both need calibration calls
      made inside :func:`tavrix.pruning.gate.record_statistics`, and are summed over the
      ranks as the Taylor values are;
    - "output_error": E[x^2] where the channel's consumers read it times the squared norm
      of their columns, summed over consumers; a group no convolution or linear layer reads
      (an attention's query/key positions, read by the score product alone) is scored by
      the "fisher" values of its gates, or their "activation" values when no backward ran,
      and its ``gate_names`` name those gates; "magnitude": the L2 norm of the channel's
      producer rows, normalisation scales and consumer columns; "weight": that of its
      producer rows only (see :mod:`tavrix.pruning.shrink.criteria`). These read the
      calibrated ``model``'s weights: pass it as ``model``;
    - "random": uniform scores from a generator seeded with ``seed``.

    The rest of this text is about "taylor".

    The importance of a channel is the first-order Taylor criterion: the
    absolute gradient a gate accumulated for it during the calibration's
    backward passes, divided by the number of samples that went through the
    gate, summed over all gates of the group that carry the channel. A gate
    that the loss never reached contributes zero; one the calls ran only
    without recording gradients (inside a custom autograd Function's forward)
    measures nothing.

    Returns one :class:`GroupImportance` per entry of ``cutplan.prunable_groups``,
    in the same order; ``importance`` is None for a group that no gate
    measures. Raises ``RuntimeError`` when no backward pass has reached any
    gate yet.

    Inside an initialised ``torch.distributed`` process group of more than one
    rank (``distributed=None``, the default) or when ``distributed=True``, the
    read-out is a collective over ``group`` (default: the whole job): the
    ranks' analyses must agree (else ``AnalysisMismatchError`` of
    :mod:`tavrix.pruning.distributed` on every rank), and the gradients and
    sample counts are those summed over all ranks, so every rank gets the same
    result. The gates are not changed. ``distributed=False`` reads this
    process's gates only.
    """
    if criterion != "taylor":
        return _other_criterion(cutplan, criterion, distributed, group, model, seed)
    across_ranks = sums_across_ranks(distributed, group)
    _check_plan(cutplan, across_ranks, group)
    gates = list(gates_by_name(cutplan.gate_container).values())
    if across_ranks:
        totals = [_GateTotals(*pair) for pair in reduce_gate_totals(gates, group)]
    else:
        totals = [_GateTotals(gate.weight.grad, gate.num_samples) for gate in gates]
    totals_by_gate = {id(gate): item for gate, item in zip(gates, totals)}
    if totals and all(item.gradient is None for item in totals):
        raise RuntimeError(
            "No gate has a gradient: run backward() on a loss of the model's output inside the "
            "calibrator before reading the importance"
        )
    names_by_gate, shared_by_labels = _group_gates(cutplan)
    module_names_by_nodes = cutplan.prunable_module_names_by_nodes

    result: List[GroupImportance] = []
    for index, (nodes, labels) in enumerate(cutplan.prunable_groups):
        labels = [int(label) for label in labels]
        module_names = []
        for node in nodes:
            name = module_names_by_nodes.get(node)
            if name is not None and name not in module_names:
                module_names.append(name)
        shared = shared_by_labels.get(tuple(labels))
        gates = (
            []
            if shared is None
            else [gate for gate in shared.gates if _measures(totals_by_gate[id(gate)])]
        )
        if shared is None or not gates:
            result.append(GroupImportance(index, labels, None, [], module_names))
            continue
        values = {
            id(gate): _gate_values(totals_by_gate[id(gate)], len(gate.labels)) for gate in gates
        }
        total = _summed(labels, shared, gates, values)
        result.append(
            GroupImportance(
                index,
                labels,
                total,
                [names_by_gate[id(gate)] for gate in gates],
                module_names,
            )
        )
    return result


def calibration_warnings(
    cutplan: ModelCutplan,
    groups: Optional[Sequence[GroupImportance]] = None,
    *,
    output_scale: Optional[float] = None,
    warn: bool = True,
) -> List[str]:
    """Say when a calibration measured nothing a pruning choice could rest on.

    Looks at the importance (``groups``, as :func:`channel_importance` returns it, read
    from ``cutplan`` when not given) and, when given, the largest absolute output the
    calibration calls returned. Degenerate are: every measured channel exactly zero (the
    loss does not depend on the gated channels), most of them exactly zero, and outputs
    at a tiny scale (a randomly initialised network whose activations shrink layer by
    layer: the gradients are rounding noise). Each finding is issued as a UserWarning
    (unless ``warn`` is False) and returned; an empty list means nothing was found.
    """
    if groups is None:
        groups = channel_importance(cutplan)
    values = [g.importance for g in groups if g.importance is not None]
    found: List[str] = []
    if values:
        flat = torch.cat([v.reshape(-1) for v in values])
        zeros = int((flat == 0).sum())
        if zeros == flat.numel():
            found.append(
                f"every one of the {zeros} measured channels has importance exactly 0: the "
                "loss does not depend on the model's gated channels (a loss of something "
                "other than the output, or an output detached from them); calibrate with a "
                "loss computed from the model's output"
            )
        elif zeros > ZERO_SHARE * flat.numel():
            found.append(
                f"{zeros} of {flat.numel()} measured channels ({100 * zeros / flat.numel():.0f}%) "
                "have importance exactly 0, so the choice among them is by order, not by "
                "measurement: the loss depends on few channels (dead activations of random "
                "weights, or a loss that reads only part of the output); use trained weights "
                "or a real loss, or more calibration batches"
            )
    if output_scale is not None and 0 <= output_scale < TINY_OUTPUT_SCALE:
        found.append(
            f"the calibration's outputs are at most {output_scale:.2g} in size: the importance "
            "measures rounding, not the model (random weights whose activations shrink layer "
            "by layer do this); use trained weights or a real loss"
        )
    if warn:
        for message in found:
            warnings.warn("Calibration measured little: " + message, UserWarning, stacklevel=1)
    return found


def _module_names(cutplan: ModelCutplan, nodes: Any) -> List[str]:
    names: List[str] = []
    for node in nodes:
        name = cutplan.prunable_module_names_by_nodes.get(node)
        if name is not None and name not in names:
            names.append(name)
    return names


def _gate_statistic(
    cutplan: ModelCutplan, statistic: str, across_ranks: bool, group: Any, criterion: str
) -> Dict[int, Optional[torch.Tensor]]:
    """id(gate) -> its mean of ``statistic`` per position (float32, CPU); None for a gate
    that recorded none."""
    gates = list(gates_by_name(cutplan.gate_container).values())
    if across_ranks:
        pairs = reduce_gate_statistics(gates, statistic, group)
    else:
        pairs = [_local_statistic(gate, statistic) for gate in gates]
    if gates and all(total is None for total, _ in pairs):
        raise RuntimeError(
            f"No gate recorded {_STATISTICS[statistic]}: make the calibration calls inside "
            "tavrix.pruning.gate.record_statistics() to read the "
            f"{criterion!r} criterion"
        )
    result: Dict[int, Optional[torch.Tensor]] = {}
    for gate, (total, count) in zip(gates, pairs):
        if total is None and count > 0:
            total = torch.zeros(len(gate.labels))  # samples, but the loss never reached it
        result[id(gate)] = (
            None
            if total is None or count == 0
            else (total.detach().to("cpu", torch.float64) / count).float()
        )
    return result


def _local_statistic(gate: Any, statistic: str) -> Tuple[Optional[torch.Tensor], int]:
    state = vars(gate)
    if statistic == "fisher":
        return state.get("fisher_sum"), state.get("fisher_samples", 0)
    return state.get("activation_sum"), state.get("activation_count", 0)


def _other_criterion(
    cutplan: ModelCutplan,
    criterion: str,
    distributed: Optional[bool],
    group: Any,
    model: Any,
    seed: int,
) -> List[GroupImportance]:
    if not isinstance(criterion, str) or criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(CRITERIA)}; got {criterion!r}")
    if criterion in ("output_error", "magnitude", "weight") and model is None:
        raise ValueError(
            f"the {criterion!r} criterion reads the model's weights: pass the calibrated model "
            "(model=...)"
        )
    across_ranks = criterion in ("fisher", "activation", "output_error") and sums_across_ranks(
        distributed, group
    )
    _check_plan(cutplan, across_ranks, group)
    names_by_gate, shared_by_labels = _group_gates(cutplan)
    groups = cutplan.prunable_groups
    if criterion in ("fisher", "activation"):
        values = _gate_statistic(cutplan, criterion, across_ranks, group, criterion)
        return [
            _from_gates(cutplan, index, nodes, labels, values, names_by_gate, shared_by_labels)
            for index, (nodes, labels) in enumerate(groups)
        ]
    from tavrix.pruning.shrink.criteria import random_scores, weight_scores

    if criterion == "random":
        scores = random_scores(cutplan, seed)
    elif criterion == "output_error":
        values = _gate_statistic(cutplan, "activation", across_ranks, group, criterion)
        by_node = {}
        for node, name in cutplan.gate_names_by_nodes.items():
            found = values.get(id(cutplan.gate_container[name]))
            if found is not None:
                by_node[node] = found
        scores = weight_scores(model, cutplan, criterion, by_node)
        if any(score is None for score in scores):
            return _output_error_fallback(
                cutplan, scores, values, across_ranks, group, names_by_gate, shared_by_labels
            )
    else:
        scores = weight_scores(model, cutplan, criterion)
    return [
        GroupImportance(
            index,
            [int(label) for label in labels],
            None if score is None else score.float(),
            [],
            _module_names(cutplan, nodes),
        )
        for index, ((nodes, labels), score) in enumerate(zip(groups, scores))
    ]


def _from_gates(
    cutplan: Any,
    index: int,
    nodes: Any,
    labels: Sequence[Any],
    values: Dict[int, Optional[torch.Tensor]],
    names_by_gate: Dict[int, str],
    shared_by_labels: Dict[Tuple[int, ...], GroupSharedGate],
) -> GroupImportance:
    """One group's importance from a statistic of its gates (``values`` by id(gate))."""
    labels = [int(label) for label in labels]
    shared = shared_by_labels.get(tuple(labels))
    gates = (
        []
        if shared is None
        else [gate for gate in shared.gates if values.get(id(gate)) is not None]
    )
    total = _summed(labels, shared, gates, values) if shared is not None and gates else None
    return GroupImportance(
        index,
        labels,
        total,
        [names_by_gate[id(gate)] for gate in gates],
        _module_names(cutplan, nodes),
    )


def _output_error_fallback(
    cutplan: Any,
    scores: List[Optional[torch.Tensor]],
    activations: Dict[int, Optional[torch.Tensor]],
    across_ranks: bool,
    group: Any,
    names_by_gate: Dict[int, str],
    shared_by_labels: Dict[Tuple[int, ...], GroupSharedGate],
) -> List[GroupImportance]:
    """output_error where a weighted consumer reads the group; elsewhere (an attention's
    query/key positions, read only by the score product) the Fisher criterion, the loss's
    own second-order estimate of a removal, or E[x^2] when no backward ran. Such a group's
    ``gate_names`` name the gates that scored it. Every choice compares a group's values
    with its own mean, so the two scales never meet."""
    fallback = activations
    if (
        any(vars(gate).get("fisher_samples", 0) for gate in cutplan.gate_container.values())
        or across_ranks
    ):
        try:
            fallback = _gate_statistic(cutplan, "fisher", across_ranks, group, "output_error")
        except RuntimeError:  # no rank ran a backward inside record_statistics()
            fallback = activations
    result = []
    for index, ((nodes, labels), score) in enumerate(zip(cutplan.prunable_groups, scores)):
        if score is None:
            result.append(
                _from_gates(
                    cutplan, index, nodes, labels, fallback, names_by_gate, shared_by_labels
                )
            )
            continue
        result.append(
            GroupImportance(
                index,
                [int(label) for label in labels],
                score.float(),
                [],
                _module_names(cutplan, nodes),
            )
        )
    return result


def _summed(
    labels: List[int],
    shared: GroupSharedGate,
    gates: List[Any],
    values: Mapping[int, Optional[torch.Tensor]],
) -> torch.Tensor:
    """Per label, the gates' values at every position carrying it, summed."""
    slot_of_label: Dict[int, List[int]] = {}
    for slot, label in enumerate(labels):
        slot_of_label.setdefault(label, []).append(slot)
    total = torch.zeros(len(labels), dtype=torch.float32)
    for gate in gates:
        gate_values = values[id(gate)]
        if gate_values is None:  # the gate measured nothing: it adds nothing
            continue
        slots: List[int] = []
        picks: List[int] = []
        for label, positions in shared.positions(gate).items():
            for slot in slot_of_label[label]:
                slots.extend([slot] * len(positions))
                picks.extend(positions)
        total.index_add_(0, torch.tensor(slots, dtype=torch.long), gate_values[picks])
    return total

"""Calibration across the processes of a torch.distributed job.

Every rank calibrates its own copy of the model on its own batches: the first
call inside the calibrator analyses the model on that rank, and the rank's
gates accumulate the gradients and sample counts of its data only. Reading the
importance (:func:`tavrix.pruning.importance.channel_importance`) inside an
initialised process group then

1. compares a fingerprint of the analyses across the ranks (one all-gather of a
   16-byte digest), and stops every rank with :class:`AnalysisMismatchError`
   naming the rank and the first difference when they disagree: summing the
   gates of two different graphs would mix unrelated channels;
2. sums the gates' accumulated gradients and sample counts in one all-reduce of
   a single flat buffer, without changing the gates, so that every rank reads
   the importance of all ranks' batches and makes the same channel choice.

Both steps are collectives: every rank of the group must read the importance
the same number of times.

The gates belong to the cutplan, not to the model, so a model wrapped in
``DistributedDataParallel`` never sees them as parameters. The supported way
is to calibrate and call the plain module (``ddp.module``): DDP then takes no
part in calibration at all. Calls through the DDP wrapper work with DDP's
default options; with ``static_graph=True`` they must not be used, because DDP
would learn its static graph from a pass in which every parameter is frozen.
"""

from __future__ import annotations

import os
from typing import Any, List, Optional, Sequence, Tuple

import torch
import torch.distributed as dist

from tavrix.flowscope.fingerprint import call_steps, digest
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.gate import ChannelGate, gates_by_name

__all__ = [
    "AnalysisMismatchError",
    "analysis_fingerprint",
    "check_same_analysis",
    "join_launcher_process_group",
    "print_in_rank_order",
    "reduce_gate_totals",
    "sums_across_ranks",
]

# Fingerprint of a rank whose model was never called inside the calibrator.
NO_ANALYSIS = "no analysis: the model was never called inside the calibrator"


class AnalysisMismatchError(RuntimeError):
    """The ranks of a process group analysed different graphs."""


def sums_across_ranks(distributed: Optional[bool], group: Any = None) -> bool:
    """Whether a read-out sums the gates over the ranks of ``group``.

    ``None`` sums whenever a process group with more than one rank is
    initialised; ``True`` requires an initialised process group; ``False``
    reads this process's gates only.
    """
    if distributed is not None and not isinstance(distributed, bool):
        raise TypeError(
            f"distributed must be True, False or None, got {type(distributed).__name__}"
        )
    initialised = dist.is_available() and dist.is_initialized()
    if distributed is None:
        return initialised and dist.get_world_size(group) > 1
    if distributed and not initialised:
        raise RuntimeError(
            "distributed=True needs an initialised torch.distributed process group: call "
            "torch.distributed.init_process_group() on every rank before reading the importance"
        )
    return distributed


def _label_ranges(labels: Sequence[int]) -> str:
    """``[0, 1, 2, 7, 9, 10]`` as ``"0-2,7,9-10"``: exact, and short for the usual runs."""
    runs: List[List[int]] = []
    for label in map(int, labels):
        if runs and label == runs[-1][1] + 1:
            runs[-1][1] = label
        else:
            runs.append([label, label])
    return ",".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def analysis_fingerprint(cutplan: ModelCutplan) -> List[str]:
    """What must agree across ranks before their gates can be summed, one line each.

    The traced operations in order with their inputs and owning modules; each
    gate with the operation it follows and its channels; each prunable group's
    labels. Batch size and
    spatial sizes are left out: ranks may calibrate on batches of different
    sizes as long as the graph is the same.
    """
    if cutplan is None:
        return [NO_ANALYSIS]
    steps = call_steps(cutplan.graph, cutplan.prunable_module_names_by_nodes.get)
    lines = [step.line(position) for position, step in enumerate(steps)]
    # After the operations, so that a different graph is named by its first
    # different operation rather than by a gate it moved.
    gated_nodes = {name: node.unique_name for node, name in cutplan.gate_names_by_nodes.items()}
    for name, gate in gates_by_name(cutplan.gate_container).items():
        lines.append(
            f"gate {name} after {gated_nodes.get(name, '?')}: {len(gate.labels)} channels "
            f"along dimension {gate.prune_dim}, labels {_label_ranges(gate.labels)}"
        )
    for index, (_, labels) in enumerate(cutplan.prunable_groups):
        lines.append(f"prunable group #{index}: labels {_label_ranges(labels)}")
    return lines


def _collective_device(group: Any, preferred: torch.device) -> torch.device:
    # NCCL reduces CUDA tensors only; every other backend takes the gates' device.
    if dist.get_backend(group) == "nccl" and preferred.type != "cuda":
        return torch.device("cuda", torch.cuda.current_device())
    return preferred


def _global_rank(group: Any, group_rank: int) -> int:
    return group_rank if group is None else dist.get_global_rank(group, group_rank)


def _first_difference(reference: List[str], other: List[str]) -> Tuple[str, str]:
    for mine, theirs in zip(reference, other):
        if mine != theirs:
            return mine, theirs
    position = min(len(reference), len(other))
    end = "(nothing: its analysis ends here)"
    mine = reference[position] if position < len(reference) else end
    theirs = other[position] if position < len(other) else end
    return mine, theirs


def _mismatch_message(fingerprints: List[List[str]], group: Any) -> str:
    reference = fingerprints[0]
    differing = [r for r, lines in enumerate(fingerprints) if lines != reference]
    first = differing[0]
    rank0, rank = _global_rank(group, 0), _global_rank(group, first)
    mine, theirs = _first_difference(reference, fingerprints[first])
    also = ""
    if len(differing) > 1:
        others = ", ".join(str(_global_rank(group, r)) for r in differing[1:])
        also = f" (and so {'do ranks' if len(differing) > 2 else 'does rank'} {others})"
    if NO_ANALYSIS in (mine, theirs):
        advice = (
            "Every rank must call its model inside the calibrator before reading the importance."
        )
    else:
        advice = (
            "Every rank must make its first call inside the calibrator with inputs of the same "
            "structure and run the same operations (no rank-dependent control flow)."
        )
    return (
        f"The ranks analysed different graphs, so their gates cannot be summed: rank {rank} "
        f"differs from rank {rank0}{also}. First difference: rank {rank0} has {mine!r}, "
        f"rank {rank} has {theirs!r}. {advice}"
    )


def check_same_analysis(cutplan: ModelCutplan, group: Any = None) -> None:
    """Raises :class:`AnalysisMismatchError` on every rank of ``group`` unless all
    ranks analysed the same graph (see :func:`analysis_fingerprint`).

    A collective: every rank of the group must call it. A rank without a
    cutplan takes part too, and differs from any rank that has one.
    """
    lines = analysis_fingerprint(cutplan)
    summary = bytes.fromhex(digest(lines))[:16]
    device = torch.device("cpu")
    if cutplan is not None:
        for gate in gates_by_name(cutplan.gate_container).values():
            device = gate.weight.device
            break
    device = _collective_device(group, device)
    mine = torch.frombuffer(bytearray(summary), dtype=torch.int64).to(device)
    gathered = [torch.empty_like(mine) for _ in range(dist.get_world_size(group))]
    dist.all_gather(gathered, mine, group=group)
    if all(torch.equal(item, gathered[0]) for item in gathered):
        return
    # Only on a mismatch: gather the full descriptions to name the first difference.
    fingerprints: List[Any] = [None] * len(gathered)
    dist.all_gather_object(fingerprints, lines, group=group)
    raise AnalysisMismatchError(_mismatch_message(fingerprints, group))


def reduce_gate_totals(
    gates: Sequence[ChannelGate], group: Any = None
) -> List[Tuple[Optional[torch.Tensor], int]]:
    """Per gate, its accumulated gradient and sample count summed over the ranks
    of ``group``, in one all-reduce of one flat float64 buffer.

    A rank on which the loss never reached a gate contributes zeros; the summed
    gradient is None only when it reached the gate on no rank. The gates
    themselves are left as they are, so reading twice does not count twice.
    Every rank must pass the same gates in the same order (see
    :func:`check_same_analysis`).
    """
    if not gates:
        return []
    device = _collective_device(group, gates[0].weight.device)
    parts: List[torch.Tensor] = []
    counts: List[float] = []
    for gate in gates:
        grad = gate.weight.grad
        if grad is None:
            parts.append(torch.zeros(gate.weight.numel(), dtype=torch.float64, device=device))
        else:
            parts.append(grad.detach().reshape(-1).to(device, torch.float64))
        counts.extend((float(gate.num_samples), 0.0 if grad is None else 1.0))
    parts.append(torch.tensor(counts, dtype=torch.float64, device=device))
    flat = torch.cat(parts)
    dist.all_reduce(flat, op=dist.ReduceOp.SUM, group=group)

    sums = flat[: flat.numel() - len(counts)].split([gate.weight.numel() for gate in gates])
    reduced_counts = flat[flat.numel() - len(counts) :].tolist()
    totals: List[Tuple[Optional[torch.Tensor], int]] = []
    for i, gate in enumerate(gates):
        num_samples, reached = reduced_counts[2 * i], reduced_counts[2 * i + 1]
        gradient = sums[i].view_as(gate.weight) if reached > 0 else None
        totals.append((gradient, int(num_samples)))
    return totals


def reduce_gate_statistics(
    gates: Sequence[ChannelGate], statistic: str, group: Any = None
) -> List[Tuple[Optional[torch.Tensor], int]]:
    """Per gate, its sum of ``statistic`` ("fisher" or "activation", see
    :func:`tavrix.pruning.gate.record_statistics`) and the count it is a mean over (samples,
    or entries per channel), summed over the ranks of ``group`` in one all-reduce. The sum
    is None only when no rank recorded it. The gates are left as they are."""
    if not gates:
        return []
    if statistic not in ("fisher", "activation"):
        raise ValueError(f"statistic must be 'fisher' or 'activation', got {statistic!r}")
    device = _collective_device(group, gates[0].weight.device)
    parts: List[torch.Tensor] = []
    counts: List[float] = []
    for gate in gates:
        state = vars(gate)
        if statistic == "fisher":
            total, count = state.get("fisher_sum"), state.get("fisher_samples", 0)
        else:
            total, count = state.get("activation_sum"), state.get("activation_count", 0)
        if total is None:
            parts.append(torch.zeros(gate.weight.numel(), dtype=torch.float64, device=device))
        else:
            parts.append(total.detach().reshape(-1).to(device, torch.float64))
        counts.extend((float(count), 0.0 if total is None else 1.0))
    parts.append(torch.tensor(counts, dtype=torch.float64, device=device))
    flat = torch.cat(parts)
    dist.all_reduce(flat, op=dist.ReduceOp.SUM, group=group)
    sums = flat[: flat.numel() - len(counts)].split([gate.weight.numel() for gate in gates])
    reduced = flat[flat.numel() - len(counts) :].tolist()
    return [
        (sums[i] if reduced[2 * i + 1] > 0 else None, int(reduced[2 * i]))
        for i in range(len(gates))
    ]


def join_launcher_process_group(backend: str = "gloo") -> Tuple[int, int]:
    """This process's (rank, world size), joining the process group a launcher such
    as torchrun describes in the environment (``RANK``, ``WORLD_SIZE``,
    ``MASTER_ADDR``, ``MASTER_PORT``) unless one is initialised already.
    ``(0, 1)`` outside a launcher."""
    if dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    if "RANK" not in os.environ or "WORLD_SIZE" not in os.environ:
        return 0, 1
    if not dist.is_available():
        raise RuntimeError("this build of torch has no torch.distributed")
    dist.init_process_group(backend, init_method="env://")
    return dist.get_rank(), dist.get_world_size()


def print_in_rank_order(text: str, group: Any = None) -> None:
    """Prints ``text`` on every rank, rank 0 first, without interleaving the ranks'
    lines; a plain print outside a process group."""
    if not (dist.is_available() and dist.is_initialized()):
        print(text, flush=True)
        return
    rank = dist.get_rank(group)
    for turn in range(dist.get_world_size(group)):
        if turn == rank:
            print(text, flush=True)
        dist.barrier(group=group)

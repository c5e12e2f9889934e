"""Recovering what a shrink costs without retraining.

Three tools, each one pass over a few calibration batches under ``torch.no_grad()``:

- :func:`recalibrate_batchnorm` re-estimates the batch norms' running statistics of a shrunk
  model, whose activations no longer have the statistics the norms learnt;
- :func:`collect` (on the model *before* the shrink) and :func:`compensate` (after it) put
  back into each consumer of removed channels what those channels contributed: their mean
  through the consumer's weights, as a bias ("mean"), or a least-squares re-fit of the kept
  weights on the calibration inputs ("lstsq");
- :func:`fidelity` measures how far the result's outputs are from the original's on held-out
  batches.

Batches: every item of ``batches`` is what the entry point takes: a tensor is passed as the
one positional argument, a tuple or list as the positional arguments, a dict as keyword
arguments (``model(**batch)``, as transformers models are called). ``entry_point`` is
``"__call__"`` or a dotted path to a method (``"head.forward"``), as in ``check_equal``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import torch
from torch import nn
from torch.nn.modules.batchnorm import _BatchNorm

from tavrix.flowscope.entrypoint import resolve_entry_point
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.fitting import Layer, LeastSquares, kernel_taps
from tavrix.pruning.shrink.context import GraphAxes
from tavrix.pruning.shrink.cut import _planned_cut, validated_removal

__all__ = [
    "ConsumerStats",
    "Fidelity",
    "RecoveryStats",
    "collect",
    "compensate",
    "fidelity",
    "outputs",
    "recalibrate_batchnorm",
]

#: ridge damping of the least-squares fit, relative to the mean diagonal of the kept inputs'
#: Gram matrix: enough to invert the Gram of dead (always zero) or duplicated channels, small
#: enough to leave a well-conditioned fit as it is
DEFAULT_DAMPING = 1e-4
#: the largest Gram matrix one consumer may accumulate (float64 bytes) unless raised
DEFAULT_MAX_GRAM_BYTES = 1 << 28


def _call(run: Callable[..., Any], batch: Any) -> Any:
    if isinstance(batch, torch.Tensor):
        return run(batch)
    if isinstance(batch, (tuple, list)):
        return run(*batch)
    if isinstance(batch, Mapping):
        return run(**batch)
    raise TypeError(
        "a batch must be a tensor (one argument), a tuple or list (the positional arguments) "
        f"or a dict (keyword arguments), got {type(batch).__name__}"
    )


def _require_eval(model: nn.Module, what: str) -> None:
    if not isinstance(model, nn.Module):
        raise TypeError(f"{what} expects a torch.nn.Module, got {type(model).__name__}")
    if model.training:
        raise ValueError(
            f"{what} runs the model as it will be used: put it in eval mode (model.eval()) "
            "first, so that batch norms and dropout do not change what is measured"
        )


# --------------------------------------------------------------------------- batch norm


def recalibrate_batchnorm(
    model: nn.Module, batches: Iterable[Any], *, entry_point: str = "__call__"
) -> List[str]:
    """Re-estimate every batch norm's running mean and variance on ``batches``.

    The running statistics are reset, the batch norms (only they) run in training mode with
    ``momentum=None`` (a cumulative average, no decay) and every other module in eval mode;
    the new statistics are the mean and unbiased variance of all the batches' samples
    together (pooled in float64: averaging per-batch variances would miss the spread of the
    batch means), and ``num_batches_tracked`` counts the batches. Afterwards every module's
    training flag and every batch norm's momentum are what they were; weights and other
    buffers are not changed, and no gradient is recorded. A batch norm the batches never
    reach keeps its statistics. On an error the statistics are put back.

    Returns the names of the batch norms re-estimated.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(
            f"recalibrate_batchnorm expects a torch.nn.Module, got {type(model).__name__}"
        )
    run = resolve_entry_point(model, entry_point, "recalibrate_batchnorm").function
    # their statistics' buffers are there (checked here), which the type does not say
    norms: List[Tuple[str, Any]] = [
        (name, module)
        for name, module in model.named_modules()
        if isinstance(module, _BatchNorm)
        and module.track_running_stats
        and module.running_mean is not None
    ]
    if not norms:
        return []
    training = [(module, module.training) for module in model.modules()]
    saved = {
        id(module): (
            module.momentum,
            module.running_mean.detach().clone(),
            module.running_var.detach().clone(),
            None if module.num_batches_tracked is None else module.num_batches_tracked.clone(),
        )
        for _, module in norms
    }
    # per norm: [samples, mean, sum of squared deviations, batches], merged batch by batch
    moments: Dict[int, List[Any]] = {id(module): [0, None, None, 0] for _, module in norms}

    def hook(module: nn.Module, args: Tuple[Any, ...]) -> None:
        x = args[0].detach()
        dims = [0] + list(range(2, x.dim()))
        x = x.to(torch.float64)
        count = x.numel() // x.shape[1]
        mean = x.mean(dims)
        square = ((x - mean.view(1, -1, *([1] * (x.dim() - 2)))) ** 2).sum(dims)
        entry = moments[id(module)]
        if entry[1] is None:
            entry[:3] = [count, mean, square]
        else:  # the pooled moments of two sample sets
            total = entry[0] + count
            delta = mean - entry[1]
            entry[1] = entry[1] + delta * (count / total)
            entry[2] = entry[2] + square + delta**2 * (entry[0] * count / total)
            entry[0] = total
        entry[3] += 1

    handles = [module.register_forward_pre_hook(hook) for _, module in norms]
    try:
        model.eval()
        for _, module in norms:
            module.reset_running_stats()
            module.momentum = None
            module.train()
        with torch.no_grad():
            for batch in batches:
                _call(run, batch)
        done = []
        for name, module in norms:
            count, mean, square, seen = moments[id(module)]
            _, old_mean, old_var, old_tracked = saved[id(module)]
            with torch.no_grad():
                if mean is None:  # not reached: its statistics stay
                    module.running_mean.copy_(old_mean)
                    module.running_var.copy_(old_var)
                    if old_tracked is not None:
                        module.num_batches_tracked.copy_(old_tracked)
                    continue
                module.running_mean.copy_(mean)
                module.running_var.copy_(square / max(count - 1, 1))
                if module.num_batches_tracked is not None:
                    module.num_batches_tracked.fill_(seen)
            done.append(name)
        return done
    except BaseException:
        with torch.no_grad():
            for _, module in norms:
                _, old_mean, old_var, old_tracked = saved[id(module)]
                module.running_mean.copy_(old_mean)
                module.running_var.copy_(old_var)
                if old_tracked is not None:
                    module.num_batches_tracked.copy_(old_tracked)
        raise
    finally:
        for handle in handles:
            handle.remove()
        for _, module in norms:
            module.momentum = saved[id(module)][0]
        for module, flag in training:
            module.training = flag


# --------------------------------------------------------------------------- compensation


@dataclass
class ConsumerStats:
    """What :func:`compensate` needs for one consumer of removed channels."""

    name: str
    #: the consumer's weight shape after the shrink
    weight_shape: Tuple[int, ...]
    #: positions along the weight's input axis that the shrink keeps
    keep_in: Tuple[int, ...]
    #: output rows the shrink keeps (None: all)
    keep_out: Optional[Tuple[int, ...]]
    #: inputs seen (rows of the Gram matrix: positions x batch)
    samples: int
    #: added to the bias (kept rows), float64
    bias_delta: torch.Tensor
    #: lstsq: added to the kept weight (its shape after the shrink, in its dtype)
    weight_delta: Optional[torch.Tensor] = None


@dataclass
class RecoveryStats:
    """Statistics of the consumers of removed channels, for :func:`compensate`."""

    method: str
    consumers: List[ConsumerStats]
    #: consumers left alone, with the reason (a layer called functionally, say)
    skipped: Dict[str, str] = field(default_factory=dict)

    def __str__(self) -> str:
        text = f"{self.method} statistics of {len(self.consumers)} consumers"
        if self.skipped:
            text += f"; {len(self.skipped)} left alone: " + ", ".join(
                f"{name} ({reason})" for name, reason in list(self.skipped.items())[:4]
            )
        return text


_CONVS = (nn.Conv1d, nn.Conv2d, nn.Conv3d)


@dataclass
class _Consumer:
    name: str
    module: Layer
    keep_in: Tuple[int, ...]
    keep_out: Optional[Tuple[int, ...]]
    after: Tuple[int, ...]
    removed: Tuple[int, ...] = ()
    #: the taps a column of the lstsq fit covers: the kernel's (unfolded) or 1 (channels)
    taps: int = 1
    # accumulated in the pass
    count: int = 0
    channel_sum: Optional[torch.Tensor] = None
    fit: Optional[LeastSquares] = None


def _consumers(
    model: nn.Module, plan: ModelCutplan, removed: Any
) -> Tuple[List[_Consumer], Dict[str, str]]:
    """Modules whose weight loses input columns under ``removed``, read off the shrink's own
    cuts (the model is not touched)."""
    axes = GraphAxes(plan)
    chosen = validated_removal(plan, removed)
    _, (changes, _, _) = _planned_cut(model, axes, chosen)
    found: List[_Consumer] = []
    skipped: Dict[str, str] = {}
    for owned, keep, before, after in changes:
        if 1 not in keep or len(before) < 2:
            continue
        if len(owned.places) > 1:  # one correction would be added once per holder
            skipped[owned.name] = f"its weight is shared by {len(owned.places)} modules"
            continue
        for place in owned.places:
            module, label = place.module, place.module_name or type(model).__name__
            if place.name != "weight" or not place.is_parameter:
                skipped[label] = f"its {place.name} loses input positions"
            elif isinstance(module, nn.Linear) or (
                isinstance(module, _CONVS) and not module.transposed
            ):
                kept = tuple(keep[1])
                gone = tuple(sorted(set(range(before[1])) - set(kept)))
                found.append(_Consumer(label, module, kept, keep.get(0), tuple(after), gone))
            else:
                skipped[label] = f"{type(module).__name__} is not a linear layer or convolution"
    return found, skipped


def collect(
    model: nn.Module,
    plan: ModelCutplan,
    removed: Mapping[int, Sequence[int]],
    batches: Iterable[Any],
    *,
    method: str = "mean",
    entry_point: str = "__call__",
    damping: float = DEFAULT_DAMPING,
    max_gram_bytes: int = DEFAULT_MAX_GRAM_BYTES,
    conv_fit: str = "unfolded",
) -> RecoveryStats:
    """Statistics of the inputs of every consumer of removed channels, for :func:`compensate`.

    Run on the model (eval mode) *before* ``shrink(model, plan, removed)``. The consumers are
    the linear layers and (non-transposed) convolutions whose input columns the shrink removes,
    found by the shrink's own planning (the model is not changed); forward pre-hooks on them
    record, in one pass over ``batches`` without gradients, their inputs' per-channel mean
    (``method="mean"``) or the products of their inputs with the kept ones ("lstsq"), both
    summed in float64 (products are formed in the inputs' precision within a batch, float32 at
    least; ``tavrix.pruning.fitting`` says how they are formed and solved).

    - ``"mean"``: the removed channels' mean contribution, ``W[:, removed] . mean(x_removed)``
      (a convolution's taps summed: exact away from zero-padded borders; grouped convolutions
      group by group), is added to the consumer's bias.
    - ``"lstsq"``: the kept weights and the bias are re-fitted to reproduce the original
      outputs on the calibration inputs, ``[W'_K, b'] = [W_K, b] + W_R . G_R,K1 . G_K1,K1^-1``
      with K1 the kept inputs and a constant one (the bias), G their Gram matrix, ridge-damped
      by ``damping`` x its mean diagonal (default 1e-4). With ``conv_fit="unfolded"``
      (default) convolutions are fitted on their unfolded inputs (channels x taps: linear
      layers and 1/2-d convolutions of any kernel, 3-d ones when pointwise); with
      ``"channels"`` a k x k convolution's removed channels are fitted as combinations of its
      kept channels at the same position, one projection for every tap (a c_in Gram matrix:
      far cheaper on wide convolutions, exact when the removed channels are such
      combinations, otherwise a coarser fit). Grouped convolutions only with "mean".

    Memory: "lstsq" holds at most one float64 Gram matrix of (c_in * taps + 1)^2 per consumer
    (``conv_fit="channels"``: (c_in + 1)^2) during the pass: the products of all its inputs
    with the kept ones, c_in * taps x c_kept * taps, or, while the batches' rows are fewer
    than about half the kept inputs' width, the inputs themselves (turned into the products
    once they are not, or would need more bytes than that Gram matrix). Afterwards, one
    consumer at a time, the solve takes a few float64 matrices of the kept inputs' width (or
    of the rows, when fewer), and each consumer keeps one correction of its kept weight (its
    shrunk size, in its dtype). A consumer whose Gram matrix would exceed ``max_gram_bytes``
    (256 MiB) is refused with a ValueError naming it before anything runs. "mean" holds one
    c_in vector per consumer.

    The statistics fit only the shrunk model this plan and ``removed`` make; consumers the
    hooks cannot reach (a weight used by a functional call of another module) are listed in
    ``stats.skipped``.
    """
    if method not in ("mean", "lstsq"):
        raise ValueError(f"method must be 'mean' or 'lstsq', got {method!r}")
    if conv_fit not in ("unfolded", "channels"):
        raise ValueError(f"conv_fit must be 'unfolded' or 'channels', got {conv_fit!r}")
    if not (isinstance(damping, (int, float)) and damping >= 0 and math.isfinite(damping)):
        raise ValueError(f"damping must be a finite number >= 0, got {damping!r}")
    _require_eval(model, "collect")
    run = resolve_entry_point(model, entry_point, "collect").function
    consumers, skipped = _consumers(model, plan, removed)
    for consumer in consumers:
        module = consumer.module
        groups = getattr(module, "groups", 1)
        if method != "lstsq":
            continue
        if groups != 1:
            raise ValueError(
                f"cannot fit {consumer.name} by least squares: a grouped convolution "
                f"(groups={groups}); use method='mean'"
            )
        consumer.taps = 1 if conv_fit == "channels" else kernel_taps(module)
        if (
            isinstance(module, nn.Conv3d)
            and conv_fit == "unfolded"
            and (consumer.taps > 1 or module.padding not in ((0, 0, 0), "valid"))
        ):
            raise ValueError(
                f"cannot fit {consumer.name} by least squares on unfolded inputs: a 3-d "
                f"convolution with a {module.kernel_size} kernel and padding {module.padding} "
                "(only unpadded pointwise ones); use conv_fit='channels' or method='mean'"
            )
        size = module.weight.shape[1] * consumer.taps + 1
        if size * size * 8 > max_gram_bytes:
            raise ValueError(
                f"cannot fit {consumer.name} by least squares: its Gram matrix of {size} x "
                f"{size} float64 needs {size * size * 8 / 2**20:.0f} MiB, above max_gram_bytes="
                f"{max_gram_bytes} (raise it, or use method='mean')"
            )
        unfolded = consumer.taps == kernel_taps(module)
        outputs = module.weight.shape[0] if consumer.keep_out is None else len(consumer.keep_out)
        # unfolded: the fit may take the kept inputs' products with the removed inputs'
        # share of the outputs instead of the removed inputs' themselves, where that is less
        weight = None
        if unfolded:
            gone = torch.tensor(consumer.removed, dtype=torch.long, device=module.weight.device)
            weight = _rows(consumer, module.weight.detach()).index_select(1, gone)
        consumer.fit = LeastSquares(
            module,
            consumer.keep_in,
            consumer.removed,
            consumer.taps,
            float(damping),
            outputs if unfolded else len(consumer.removed),
            size * size * 8,
            weight,
        )

    by_module: Dict[int, List[_Consumer]] = {}
    for consumer in consumers:
        by_module.setdefault(id(consumer.module), []).append(consumer)

    def hook(module: nn.Module, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> None:
        x = args[0] if args else kwargs.get("input")
        if not isinstance(x, torch.Tensor):
            return
        x = x.detach()
        for consumer in by_module[id(module)]:
            _accumulate(consumer, x, method)

    handles = [
        consumer.module.register_forward_pre_hook(hook, with_kwargs=True)
        for consumer in {id(c.module): c for c in consumers}.values()
    ]
    try:
        with torch.no_grad():
            for batch in batches:
                _call(run, batch)
    finally:
        for handle in handles:
            handle.remove()

    result = []
    with torch.no_grad():
        for consumer in consumers:
            if consumer.count == 0:
                skipped[consumer.name] = "the batches never ran it"
                continue
            result.append(_finished(consumer, method))
    return RecoveryStats(method, result, skipped)


def _accumulate(consumer: _Consumer, x: torch.Tensor, method: str) -> None:
    module = consumer.module
    axis = x.dim() - 1 if isinstance(module, nn.Linear) else 1
    channels = module.weight.shape[1] * getattr(module, "groups", 1)
    if x.dim() < 2 or x.shape[axis] != channels:
        raise ValueError(
            f"{consumer.name} was called with an input of shape {tuple(x.shape)}, the plan "
            f"has it read {channels} channels"
        )
    if method == "mean":
        dims = [d for d in range(x.dim()) if d != axis]
        total = x.to(torch.float64).sum(dims)
        consumer.count += x.numel() // channels
        previous = consumer.channel_sum
        consumer.channel_sum = total if previous is None else previous + total
        return
    assert consumer.fit is not None
    consumer.fit.add(x)
    consumer.count = consumer.fit.count


def _rows(consumer: _Consumer, tensor: torch.Tensor) -> torch.Tensor:
    if consumer.keep_out is None:
        return tensor
    index = torch.tensor(consumer.keep_out, dtype=torch.long, device=tensor.device)
    return tensor.index_select(0, index)


def _finished(consumer: _Consumer, method: str) -> ConsumerStats:
    module = consumer.module
    weight = module.weight.detach()
    n_out, n_in = weight.shape[0], weight.shape[1]
    removed = list(consumer.removed)
    if method == "mean":
        assert consumer.channel_sum is not None  # the batches ran it
        mean = consumer.channel_sum / consumer.count
        summed = weight.reshape(n_out, n_in, -1).sum(-1).to(torch.float64)
        groups = getattr(module, "groups", 1)
        per_group = n_out // groups
        # input channel of weight column j for output row o: its group's j-th channel
        base = (torch.arange(n_out, device=weight.device) // per_group) * n_in
        columns = torch.tensor(removed, dtype=torch.long, device=weight.device)
        means = mean.to(weight.device)[base[:, None] + columns[None, :]]
        delta = (summed[:, columns] * means).sum(1)
        return ConsumerStats(
            consumer.name,
            consumer.after,
            consumer.keep_in,
            consumer.keep_out,
            consumer.count,
            _rows(consumer, delta),
        )
    fit, consumer.fit = consumer.fit, None
    assert fit is not None
    taps = consumer.taps
    if taps == kernel_taps(module):
        # unfolded: W_R @ G_R,K1 @ A^-1, solved for the output rows (fewer than the removed
        # columns on a convolution)
        flat = _rows(consumer, weight.reshape(n_out, n_in * taps)).to(torch.float64)
        gone = fit.removed_columns.to(flat.device)
        solved = fit.solve(flat.index_select(1, gone).T).T  # out x kept1
        delta = solved[:, :-1].reshape(solved.shape[0], len(consumer.keep_in), *weight.shape[2:])
        bias = solved[:, -1]
    else:
        # channels: the projection P (removed x kept1) shared by every tap
        projection = fit.solve().T
        removed_weight = _rows(consumer, weight).to(projection.device, torch.float64)
        columns = torch.tensor(removed, dtype=torch.long, device=projection.device)
        removed_weight = removed_weight.index_select(1, columns).flatten(2)  # out x R x taps
        delta = torch.einsum("ort,rk->okt", removed_weight, projection[:, :-1])
        delta = delta.reshape(delta.shape[0], len(consumer.keep_in), *weight.shape[2:])
        bias = torch.einsum("ort,r->o", removed_weight, projection[:, -1])
    return ConsumerStats(
        consumer.name,
        consumer.after,
        consumer.keep_in,
        consumer.keep_out,
        consumer.count,
        bias.contiguous().to(weight.device),
        delta.to(weight.device, weight.dtype),
    )


def compensate(model: nn.Module, stats: RecoveryStats) -> None:
    """Apply :func:`collect`'s statistics to the shrunk model, in place.

    Every consumer is checked first (present, a linear layer or convolution, the weight shape
    the shrink gives it, a bias of its output count or none); a model that does not fit
    raises ValueError naming the module and nothing is changed. A consumer without a bias gets
    one (a new ``nn.Parameter``, ``requires_grad`` as its weight's). Weights and biases keep
    their dtype and device. Each call adds the correction again: apply it once.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"compensate expects a torch.nn.Module, got {type(model).__name__}")
    if not isinstance(stats, RecoveryStats):
        raise TypeError(f"stats must come from collect(), got {type(stats).__name__}")
    modules = dict(model.named_modules())
    targets = []
    for entry in stats.consumers:
        module = modules.get(entry.name)
        if module is None and entry.name == type(model).__name__:
            module = model
        if not isinstance(module, (nn.Linear, *_CONVS)):
            raise ValueError(
                f"cannot compensate {entry.name}: the model has no linear layer or convolution "
                "of that name; the model was not changed"
            )
        shape = tuple(module.weight.shape)
        if shape != tuple(entry.weight_shape):
            raise ValueError(
                f"cannot compensate {entry.name}: its weight has shape {shape}, the statistics "
                f"are for {tuple(entry.weight_shape)} (collect on the model before this shrink, "
                "compensate after it); the model was not changed"
            )
        bias = module.bias
        if bias is not None and tuple(bias.shape) != (shape[0],):
            raise ValueError(
                f"cannot compensate {entry.name}: its bias has shape {tuple(bias.shape)}, not "
                f"({shape[0]},); the model was not changed"
            )
        if entry.weight_delta is not None and tuple(entry.weight_delta.shape) != shape:
            raise ValueError(
                f"cannot compensate {entry.name}: the fit does not match its weight "
                f"{shape}; the model was not changed"
            )
        targets.append((module, entry))
    with torch.no_grad():
        for module, entry in targets:
            weight = module.weight
            if entry.weight_delta is not None:
                weight.add_(entry.weight_delta.to(weight.device, weight.dtype))
            if module.bias is None:
                module.bias = nn.Parameter(
                    torch.zeros(weight.shape[0], dtype=weight.dtype, device=weight.device),
                    requires_grad=weight.requires_grad,
                )
            module.bias.add_(entry.bias_delta.to(module.bias.device, module.bias.dtype))


# --------------------------------------------------------------------------- fidelity


@dataclass(frozen=True)
class Fidelity:
    """How close a model's outputs are to reference outputs on the same batches."""

    #: ||y - y_ref|| / ||y_ref|| over all batches together
    relative_l2: float
    #: share of rows whose argmax over the last axis agrees (None: outputs not logits-like)
    top1_agreement: Optional[float]
    batches: int
    rows: int

    def __str__(self) -> str:
        text = f"relative L2 error {self.relative_l2:.4g}"
        if self.top1_agreement is not None:
            text += f", top-1 agreement {100 * self.top1_agreement:.2f}%"
        return text + f" ({self.rows} rows, {self.batches} batches)"


def _output(value: Any) -> torch.Tensor:
    """The tensor of a model's output: itself, ``.logits``, the first tensor of a tuple or
    dict."""
    if isinstance(value, torch.Tensor):
        return value
    logits = getattr(value, "logits", None)
    if isinstance(logits, torch.Tensor):
        return logits
    if isinstance(value, Mapping):
        value = list(value.values())
    if isinstance(value, (tuple, list)):
        for item in value:
            if isinstance(item, torch.Tensor):
                return item
    raise TypeError(f"no tensor in the model's output ({type(value).__name__})")


def outputs(
    model: nn.Module, batches: Iterable[Any], *, entry_point: str = "__call__"
) -> List[torch.Tensor]:
    """The model's output tensors on ``batches`` (no gradients), to compare with later."""
    _require_eval(model, "outputs")
    run = resolve_entry_point(model, entry_point, "outputs").function
    with torch.no_grad():
        return [_output(_call(run, batch)).detach().clone() for batch in batches]


def fidelity(
    original_outputs: Sequence[torch.Tensor],
    model: nn.Module,
    inputs: Sequence[Any],
    *,
    entry_point: str = "__call__",
) -> Fidelity:
    """The output error of ``model`` on held-out ``inputs`` against the original model's
    outputs on them (:func:`outputs`, taken before the shrink): the relative L2 error of all
    outputs together and, for outputs with a class axis last (logits), the share of rows
    whose top-1 class agrees."""
    _require_eval(model, "fidelity")
    inputs = list(inputs)
    if len(original_outputs) != len(inputs) or not inputs:
        raise ValueError(
            f"{len(original_outputs)} original outputs for {len(inputs)} input batches: give "
            "one per batch, at least one"
        )
    run = resolve_entry_point(model, entry_point, "fidelity").function
    error = reference = 0.0
    agree = rows = 0
    logits = True
    with torch.no_grad():
        for expected, batch in zip(original_outputs, inputs):
            got = _output(_call(run, batch))
            if got.shape != expected.shape:
                raise ValueError(
                    f"the model's output has shape {tuple(got.shape)}, the original's "
                    f"{tuple(expected.shape)}"
                )
            got64, want64 = got.to(torch.float64), expected.to(got.device, torch.float64)
            error += float(((got64 - want64) ** 2).sum())
            reference += float((want64**2).sum())
            if got.dim() >= 2 and got.shape[-1] > 1 and got.is_floating_point():
                agree += int((got.argmax(-1) == expected.to(got.device).argmax(-1)).sum())
                rows += got[..., 0].numel()
            else:
                logits = False
    relative = math.sqrt(error / reference) if reference > 0 else math.sqrt(error)
    return Fidelity(relative, agree / rows if logits and rows else None, len(inputs), rows)

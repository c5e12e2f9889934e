"""The command line's prune path: ``python -m tavrix --prune 0.3 [--round-to 8]
[--importance NAME] [--recover LIST] [--save out.pt] [--plot importance.png]``, or
``--target-macs F`` / ``--target-params F`` instead of the ratio.

After calibration the model is shrunk, checked against its masked original
on the first batch, recovered (statistics collected before the shrink, applied
after the check), measured (parameters, multiply-accumulates, latency, the
output error against the original on held-out batches) and reported in a
before/after table. The model is never copied: what the check and the table
need of the original (its masked outputs, its outputs on the held-out batches,
its cost and latency) is taken before the cut; ``--save`` writes the decision with the
shrunk weights (:func:`~tavrix.pruning.shrink.planfile.load_shrunk` rebuilds
the model), ``--plot`` one panel per group: its sorted importance on a log axis
with the cut marked. Both files are written to a temporary name and renamed, so
an interrupted run leaves no partial file.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import statistics
import tempfile
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple

import torch
from torch import nn

from tavrix.utils.optional import MissingDependencyError, optional_import

if TYPE_CHECKING:
    from tavrix.pruning.cutplan import ModelCutplan

__all__ = [
    "CheckFailed",
    "Once",
    "Refused",
    "add_options",
    "importance_figure",
    "plot_importance",
    "plot_title",
    "run_prune",
    "validate_options",
    "written_whole",
]

# panels of the --plot picture; the groups beyond are named in a note
MAX_PANELS = 30
LATENCY_REPEATS = 10
#: the best pipeline without fine-tuning in benchmarks/bench_quality.py (docs: "Quality"):
#: output_error with the least-squares fit, at every budget of both models
DEFAULT_IMPORTANCE = "output_error"
DEFAULT_RECOVERY = ("lstsq",)
RECOVERY_ITEMS = ("bn", "mean", "lstsq", "lstsq-ch")
# --recover's corrections: collect()'s method and conv_fit
CORRECTIONS = {
    "mean": ("mean", "unfolded"),
    "lstsq": ("lstsq", "unfolded"),
    "lstsq-ch": ("lstsq", "channels"),
}
#: criteria read off statistics the gates keep only inside record_statistics()
RECORDED_CRITERIA = ("fisher", "activation", "output_error")


def _criteria() -> Tuple[str, ...]:
    from tavrix.pruning.importance import CRITERIA

    return tuple(CRITERIA)


class _NoRatio(float):
    """--prune given without a ratio (a target says how much goes)."""

    def __repr__(self) -> str:
        return "no ratio"


_NO_RATIO = _NoRatio("nan")


class Once(argparse.Action):
    """An option that may be given once: a second value is an error, not a silent override."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: Optional[str] = None,
    ) -> None:
        seen = namespace.__dict__.setdefault("_given_once", {})
        if self.dest in seen:
            parser.error(
                f"{option_string} given twice ({seen[self.dest]!r} and {values!r}): give it once"
            )
        seen[self.dest] = values
        setattr(namespace, self.dest, values)


class Refused(Exception):
    """The model cannot be shrunk as asked (the message names the module and the reason)."""


class CheckFailed(Exception):
    """The shrunk model does not equal its masked original; ``report`` is the full output."""

    def __init__(self, report: str) -> None:
        super().__init__("the shrunk model does not equal its masked original")
        self.report = report


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("shrinking")
    group.add_argument(
        "--prune",
        action=Once,
        type=float,
        nargs="?",
        const=_NO_RATIO,
        metavar="RATIO",
        help="after calibrating, remove this share (0 <= RATIO < 1) of every prunable group's "
        "least important channels, check the result and print a before/after table; the "
        "ratio is left out with --target-macs or --target-params",
    )
    budget = group.add_mutually_exclusive_group()
    budget.add_argument(
        "--target-macs",
        action=Once,
        type=float,
        metavar="F",
        help="shrink (--prune implied) to keep the share F in (0, 1] of the multiply-"
        "accumulates of a call, channels taken across all groups least important first",
    )
    budget.add_argument(
        "--target-params",
        action=Once,
        type=float,
        metavar="F",
        help="shrink (--prune implied) to keep the share F in (0, 1] of the parameters",
    )
    group.add_argument(
        "--importance",
        action=Once,
        choices=_criteria(),
        default=None,
        metavar="NAME",
        help=f"criterion ranking the channels, one of {', '.join(_criteria())} (default "
        f"{DEFAULT_IMPORTANCE})",
    )
    group.add_argument(
        "--recover",
        action=Once,
        metavar="LIST",
        help="after the shrink, without retraining: comma-separated items of bn (re-estimate "
        "batch-norm statistics) and one of mean, lstsq or lstsq-ch (correct the consumers of "
        "removed channels: their mean, a least-squares re-fit, one fitting a k x k "
        f"convolution channel-wise, cheaper), or none (default {','.join(DEFAULT_RECOVERY)})",
    )
    group.add_argument(
        "--round-to",
        action=Once,
        type=int,
        default=1,
        metavar="N",
        help="keep channel counts multiples of N (default 1)",
    )
    group.add_argument(
        "--save",
        action=Once,
        metavar="FILE",
        help="with --prune: write the decision and the shrunk weights (torch.save file)",
    )
    group.add_argument(
        "--plot",
        action=Once,
        metavar="PNG",
        help="write a picture of each group's sorted importance with the cut marked (matplotlib)",
    )


def parse_recovery(text: str) -> Tuple[str, ...]:
    """``--recover``'s items in the order they run (collected statistics, then batch norms);
    ``none`` is the empty tuple."""
    items = [item.strip() for item in text.split(",")]
    if items == ["none"]:
        return ()
    unknown = [item for item in items if item not in RECOVERY_ITEMS]
    if unknown or len(set(items)) != len(items):
        problem = f"unknown {unknown[0]!r}" if unknown else "an item given twice"
        raise ValueError(
            f"--recover takes comma-separated items of {', '.join(RECOVERY_ITEMS)}, or none; "
            f"got {text!r} ({problem})"
        )
    corrections = [item for item in items if item in CORRECTIONS]
    if len(corrections) > 1:
        raise ValueError(
            f"--recover: {' and '.join(corrections)} correct the same weights: give one of them"
        )
    return tuple(corrections) + (("bn",) if "bn" in items else ())


def _target(options: argparse.Namespace) -> Optional[Tuple[str, float]]:
    for kind, value in (("macs", options.target_macs), ("params", options.target_params)):
        if value is not None:
            return kind, value
    return None


def validate_options(options: argparse.Namespace) -> None:
    """Raise ValueError (one line) for options that cannot work, before any calibration.

    Sets ``options.shrink`` (--prune, or a target, which implies it), ``options.prune`` (the
    ratio, None with a target), ``options.importance`` and ``options.recover`` (a tuple of
    items, empty without a shrink)."""
    target = _target(options)
    given_prune = options.prune is not None
    if isinstance(options.prune, _NoRatio):
        if target is None:
            raise ValueError(
                "--prune needs a RATIO, or --target-macs F or --target-params F to say how much "
                "goes"
            )
        options.prune = None
    if options.prune is not None and target is not None:
        raise ValueError(
            f"--prune {options.prune:g} and --target-{target[0]} {target[1]:g} both say how much "
            f"goes: give one (--target-{target[0]} alone implies --prune)"
        )
    if options.prune is not None and not 0 <= options.prune < 1:
        raise ValueError(f"--prune must be a ratio in [0, 1), got {options.prune}")
    if target is not None and not 0 < target[1] <= 1:
        raise ValueError(
            f"--target-{target[0]} must be a share in (0, 1] to keep, got {target[1]:g}"
        )
    options.shrink = given_prune or target is not None
    if options.round_to < 1:
        raise ValueError(f"--round-to must be a positive integer, got {options.round_to}")
    if options.save is not None and not options.shrink:
        raise ValueError("--save needs --prune")
    if options.recover is not None and not options.shrink:
        raise ValueError("--recover needs --prune (or a target)")
    # the default falls back to what the model allows; an asked-for item that cannot run is
    # an error
    options.recover_default = options.recover is None
    options.recover = (
        ()
        if not options.shrink
        else DEFAULT_RECOVERY
        if options.recover is None
        else parse_recovery(options.recover)
    )
    if options.importance is None:
        options.importance = DEFAULT_IMPORTANCE
    if options.shrink and "." in options.entry_point:
        raise ValueError(
            "--prune checks the shrunk model with the command line's batches, which reach the "
            "model, not a sub-module's entry point: use --entry-point forward"
        )
    for flag, path in (("--save", options.save), ("--plot", options.plot)):
        if path is not None:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise ValueError(f"{flag}: no directory {folder}")
    if options.plot is not None:
        try:
            optional_import("matplotlib", "--plot")
        except MissingDependencyError as error:
            raise ValueError(str(error)) from None


def _count(value: float) -> str:
    for unit, size in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if abs(value) >= size:
            return f"{value / size:.2f}{unit}"
    return f"{value:g}"


def _change(before: float, after: float) -> str:
    return f"{100.0 * (after - before) / before:+.1f}%" if before else "-"


@contextlib.contextmanager
def written_whole(path: str) -> Iterator[str]:
    """A temporary name beside ``path`` to write to; renamed to ``path`` when the block
    ends normally, removed on any exception (Ctrl-C too), so ``path`` is never partial."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(
        prefix=f".{os.path.basename(path)}.", suffix=".part", dir=folder
    )
    os.close(handle)
    try:
        # mkstemp's file is private; the result gets the mode a plain open would give it
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        yield temporary
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


class _Synchronized(nn.Module):
    """Times a CUDA model's work, not only its launches."""

    def __init__(self, model: nn.Module) -> None:
        super().__init__()
        self.model = model

    def forward(self, *args: Any) -> Any:
        result = self.model(*args)
        torch.cuda.synchronize()
        return result


def _quartiles(values: Sequence[float]) -> Tuple[float, float, float]:
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


def _latency_samples(model: nn.Module, batch: Sequence[Any]) -> List[float]:
    """Seconds of LATENCY_REPEATS calls of ``model`` after two warm-up calls."""
    from tavrix.pruning.shrink.measure import latency_samples

    if any(p.is_cuda for p in model.parameters()):
        model = _Synchronized(model)
    return latency_samples([model], batch, repeats=LATENCY_REPEATS, warmup=2)[0]


def _latency(
    before: Sequence[float], after: Sequence[float], batch_size: Any
) -> Tuple[List[Tuple[str, str, str, str]], str]:
    """Table rows (best, median and quartiles) and a sentence on what they show, from the
    original's calls before the cut and the shrunk model's after it: the model is changed
    in place, so the two never run side by side, and the change is read over every pair
    of a call before and one after, which a passing load moves less than it moves a
    single figure."""
    ratios = [b / a for a in before for b in after]
    q_before, q_after, q_ratio = _quartiles(before), _quartiles(after), _quartiles(ratios)

    def ms(q: Tuple[float, float, float]) -> str:
        return f"{q[1] * 1e3:.2f} [{q[0] * 1e3:.2f}, {q[2] * 1e3:.2f}]"

    def pct(value: float) -> str:
        return f"{100.0 * (value - 1.0):+.1f}%"

    rows = [
        (
            f"latency, batch {batch_size} (ms, best of {LATENCY_REPEATS})",
            f"{min(before) * 1e3:.2f}",
            f"{min(after) * 1e3:.2f}",
            _change(min(before), min(after)),
        ),
        (
            "  median [quartiles]; change over pairs",
            ms(q_before),
            ms(q_after),
            f"{pct(q_ratio[1])} [{pct(q_ratio[0])}, {pct(q_ratio[2])}]",
        ),
    ]
    if q_ratio[2] < 1.0:
        verdict = "the shrunk model was faster in at least three pairs of calls of four"
    elif q_ratio[0] > 1.0:
        verdict = "the shrunk model was slower in at least three pairs of calls of four"
    else:
        verdict = "the pairs disagree (the change's quartiles straddle 0): no clear difference"
    policy = os.environ.get("OMP_WAIT_POLICY", "unset")
    note = (
        f"latency: {LATENCY_REPEATS} calls of the original before the cut, {LATENCY_REPEATS} "
        f"of the shrunk model after it, {torch.get_num_threads()} threads, OMP_WAIT_POLICY "
        f"{policy}; {verdict}"
    )
    return rows, note


def _collect(
    model: nn.Module,
    plan: ModelCutplan,
    removed: Dict[int, List[int]],
    batches: Sequence[Any],
    options: argparse.Namespace,
) -> Tuple[Any, str]:
    """The correction's statistics (None without mean or lstsq) and a note on what ran.

    The default falls back where the model refuses a fit (a grouped convolution, a Gram
    matrix too large): channel-wise, then the mean; an asked-for item is :class:`Refused`."""
    from tavrix.pruning import recover
    from tavrix.pruning.shrink import ShrinkError

    method = next((item for item in options.recover if item in CORRECTIONS), None)
    if method is None:
        return None, ""
    attempts = [CORRECTIONS[method]]
    if options.recover_default and method == "lstsq":
        attempts += [("lstsq", "channels"), ("mean", "unfolded")]
    notes: List[str] = []
    for number, (kind, fit) in enumerate(attempts, start=1):
        try:
            stats = recover.collect(
                model,
                plan,
                removed,
                batches,
                method=kind,
                entry_point=options.entry_point,
                conv_fit=fit,
            )
        except ShrinkError as error:
            # the collection plans the shrink's cut: its refusal is the shrink's
            raise Refused(str(error)) from None
        except ValueError as error:
            if number == len(attempts):
                raise Refused(
                    f"--recover {method}: {error}; --recover mean or --recover none runs"
                ) from None
            notes.append(f"{_fit_name(kind, fit)} refused ({error})")
            continue
        if notes:
            notes.append(f"used {_fit_name(kind, fit)}")
        return stats, "; ".join(notes)
    raise AssertionError("unreachable")  # pragma: no cover


def _fit_name(kind: str, fit: str) -> str:
    return "lstsq, channel-wise" if (kind, fit) == ("lstsq", "channels") else kind


def _fold_into_batch_norms(model: nn.Module, plan: ModelCutplan, names: Sequence[str]) -> List[str]:
    """Move the biases the correction gave ``names`` (modules that had none) into the
    running mean of the batch norm that alone reads each one's output, so that the model
    keeps the original code's parameters (load_shrunk rebuilds it from a fresh one). Exact
    in eval mode (the norm subtracts its running mean); in training mode the batch mean
    absorbs a constant anyway. Returns the names still holding a new bias."""
    from torch.nn.modules.batchnorm import _BatchNorm

    calls: Dict[str, List[Any]] = {}
    for node in plan.graph:
        if node.module_path is not None and node.operation_name in (
            "conv1d",
            "conv2d",
            "conv3d",
            "linear",
            "batch_norm",
        ):
            calls.setdefault(node.module_path, []).append(node)
    modules = dict(model.named_modules())
    left = []
    for name in names:
        module, own = modules.get(name), calls.get(name, [])
        users = list(plan.node_users.get(own[0], ())) if len(own) == 1 else []
        norm_path = users[0].module_path if len(users) == 1 else None
        norm = modules.get(norm_path) if norm_path is not None else None
        if (
            module is None
            or norm_path is None
            or not isinstance(norm, _BatchNorm)
            or users[0].operation_name != "batch_norm"
            or calls.get(norm_path) != users  # the norm runs once, on this output
            or norm.training
            or norm.running_mean is None
            or norm.running_mean.shape != module.bias.shape
        ):
            left.append(name)
            continue
        with torch.no_grad():
            norm.running_mean.sub_(module.bias.detach().to(norm.running_mean.dtype))
        module.bias = None
    return left


def _fidelity_rows(result: Any, where: str) -> List[Tuple[str, str, str, str]]:
    rows = [(f"output error vs original ({where})", "0", f"{result.relative_l2:.3g}", "-")]
    if result.top1_agreement is not None:
        rows.append(("  top-1 agreement", "100%", f"{100 * result.top1_agreement:.2f}%", "-"))
    return rows


def run_prune(
    model: nn.Module,
    plan: ModelCutplan,
    batch: Sequence[Any],
    options: argparse.Namespace,
    write: bool = True,
    title: str = "",
    *,
    groups: Optional[Sequence[Any]] = None,
    recovery_batches: Optional[Sequence[Any]] = None,
    held_out: Optional[Sequence[Any]] = None,
    held_out_name: str = "",
) -> str:
    """Shrink ``model`` in place as ``options`` say; returns the table and the check's line.

    ``groups`` is the importance read already (by ``options.importance``; None reads the
    Taylor importance). The recovery's statistics are collected on ``recovery_batches``
    (default: ``batch``) before the shrink and applied after the check, which therefore
    proves the cut alone; the output error is measured on ``held_out`` (default: ``batch``,
    called ``held_out_name`` in the table) against the original's outputs.

    Raises :class:`Refused` when the model cannot be shrunk or recovered as asked (it is
    then unchanged) and :class:`CheckFailed` (carrying the same text) when the check fails.
    Without ``write`` (the other ranks of a distributed run) the --save and --plot files are
    not written.
    """
    from tavrix.pruning import recover
    from tavrix.pruning.shrink import (
        ShrinkError,
        check_equal,
        choose_channels,
        record_reference,
        save_shrunk,
        shrink,
    )
    from tavrix.pruning.shrink.measure import count_macs

    entry = options.entry_point
    target = _target(options)
    importance = None if groups is None else [g.importance for g in groups]
    try:
        removed = choose_channels(
            plan,
            options.prune,
            round_to=options.round_to,
            importance=importance,
            model=model if target is not None else None,
            target_macs=options.target_macs,
            target_params=options.target_params,
        )
    except ValueError as error:
        # a target no choice reaches
        raise Refused(str(error)) from None
    recovery_batches = list(recovery_batches or [tuple(batch)])
    held_out = list(held_out or [tuple(batch)])
    held_out_name = held_out_name or "the first batch"
    # Before the shrink, everything the check and the table need of the original: the
    # model is cut in place and never copied (a copy would double the memory of a big one).
    reference = recover.outputs(model, held_out, entry_point=entry)
    stats, fallback = _collect(model, plan, removed, recovery_batches, options)
    masked = record_reference(model, plan, removed, tuple(batch), {}, entry_point=entry)
    macs = [count_macs(model, batch)]
    latency_before = _latency_samples(model, batch)
    try:
        report = shrink(model, plan, removed)
    except ShrinkError as error:
        raise Refused(str(error)) from None
    result = check_equal(masked, model)
    del masked
    recovery_lines: List[str] = []
    new_biases: List[str] = []
    if options.recover:
        bare = recover.fidelity(reference, model, held_out, entry_point=entry)
        done = []
        if stats is not None:
            modules = dict(model.named_modules())
            biasless = [
                c.name
                for c in stats.consumers
                if c.name in modules and getattr(modules[c.name], "bias", 0) is None
            ]
            recover.compensate(model, stats)
            done.append(f"{stats}" + (f" ({fallback})" if fallback else ""))
        if "bn" in options.recover:
            norms = recover.recalibrate_batchnorm(model, recovery_batches, entry_point=entry)
            done.append(f"{len(norms)} batch norms re-estimated")
        if stats is not None and biasless:
            new_biases = _fold_into_batch_norms(model, plan, biasless)
        recovered = recover.fidelity(reference, model, held_out, entry_point=entry)
        recovery_lines = [
            f"recovery ({', '.join(options.recover)}) on {len(recovery_batches)} calibration "
            f"batches: " + "; ".join(done) + f"; output error vs original {bare.relative_l2:.3g} "
            f"shrunk, {recovered.relative_l2:.3g} recovered"
        ]
        final = recovered
    else:
        final = recover.fidelity(reference, model, held_out, entry_point=entry)
    del reference, stats
    macs.append(count_macs(model, batch))
    batch_size = batch[0].shape[0] if batch and isinstance(batch[0], torch.Tensor) else "?"
    latency_rows, latency_note = _latency(
        latency_before, _latency_samples(model, batch), batch_size
    )
    rows: List[Tuple[str, str, str, str]] = [
        ("multiply-accumulates", _count(macs[0]), _count(macs[1]), _change(*macs)),
        *latency_rows,
        *_fidelity_rows(final, held_out_name),
    ]
    if target is not None:
        share = {"macs": "multiply-accumulates", "params": "parameters"}[target[0]]
        how = f"to {100 * target[1]:g}% of the {share}"
    else:
        how = f"by {options.prune:g} per group"
    heading = (
        f"Shrunk {how} (round to {options.round_to}; importance {options.importance}; "
        f"recovery {','.join(options.recover) or 'none'}):"
    )
    check_line = str(result)
    if options.recover:
        # the proof is of the cut; the recovery then changes the weights on purpose
        check_line += ", of the shrunk model before recovery"
    lines = ["", heading, report.table(rows), latency_note, *recovery_lines, "", check_line]
    if options.save is not None and not result.passed:
        # a model that differs from its masked original is not one to load later
        lines.append(f"not saved to {options.save}: the check failed")
    elif options.save is not None and write:
        with written_whole(options.save) as temporary:
            save_shrunk(temporary, model, report)
        if new_biases:
            lines.append(
                f"saved to {options.save}; the recovery gave {', '.join(new_biases[:4])}"
                f"{' and others' if len(new_biases) > 4 else ''} a bias the model's code does "
                "not make (tavrix.pruning.shrink.load_shrunk rebuilds it with those biases)"
            )
        else:
            lines.append(f"saved to {options.save} (tavrix.pruning.shrink.load_shrunk rebuilds it)")
    if options.plot is not None:
        plot_importance(options.plot, plan, removed, title=title, write=write, groups=groups)
        lines.append(f"importance plot written to {options.plot}")
    text = "\n".join(lines)
    if not result.passed:
        raise CheckFailed(text)
    return text


def plot_title(model_name: str, options: argparse.Namespace) -> str:
    """The picture's title: the model and what was removed."""
    criterion = getattr(options, "importance", None) or DEFAULT_IMPORTANCE
    by = "" if criterion == DEFAULT_IMPORTANCE else f" ({criterion})"
    if not getattr(options, "shrink", False):
        return f"{model_name}: sorted channel importance{by} per prunable group"
    rounding = f", rounded to multiples of {options.round_to}" if options.round_to > 1 else ""
    if options.prune is None:
        kind, share = _target(options) or ("macs", 1.0)
        what = "multiply-accumulates" if kind == "macs" else "parameters"
        return (
            f"{model_name}: least important channels{by} removed to keep {100 * share:g}% "
            f"of the {what}{rounding}"
        )
    return (
        f"{model_name}: {100 * options.prune:g}% of each group's least important channels{by} "
        f"removed{rounding}"
    )


def _short(name: str, width: int = 26) -> str:
    return name if len(name) <= width else "\u2026" + name[-(width - 1) :]


def importance_figure(
    groups: Sequence[Any],
    removed: Optional[Dict[int, List[int]]] = None,
    title: str = "",
    max_panels: int = MAX_PANELS,
) -> Any:
    """A matplotlib Figure: one panel per measured group (at most ``max_panels``, a note
    counts the rest), its importance sorted on a log axis, removed channels shaded and
    drawn apart from the kept ones, the cut marked; exact zeros, which a log axis cannot
    show, sit on the panel's floor and are counted."""
    optional_import("matplotlib", "importance_figure")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import LogLocator, MaxNLocator, NullFormatter

    removed = removed or {}
    measured = [g for g in groups if g.importance is not None]
    shown = measured[:max_panels]
    columns = max(1, min(6, len(shown)))
    rows = max(1, math.ceil(len(shown) / columns))
    figure = Figure(figsize=(2.6 * columns + 0.6, 2.1 * rows + 1.2), dpi=110)
    FigureCanvasAgg(figure)
    figure.suptitle(title or "Sorted channel importance per prunable group", fontsize=12)
    if not shown:
        figure.text(0.5, 0.5, "no measured group", ha="center", va="center")
    for position, group in enumerate(shown):
        axes = figure.add_subplot(rows, columns, position + 1)
        values = torch.sort(group.importance.double()).values
        n = len(values)
        positive = values[values > 0]
        top = positive.max().item() if len(positive) else 1.0
        floor = (positive.min().item() if len(positive) else top) / 10
        curve = (values.clamp(min=floor) / top).tolist()
        zeros = int((values == 0).sum())
        cut = len(removed.get(group.index, ()))
        x = list(range(n))
        # points as well as lines where there is room to tell channels apart
        style: Dict[str, Any] = {"marker": "o", "markersize": 2.5} if n <= 40 else {}
        if cut:
            axes.axvspan(-0.5, cut - 0.5, color="0.88", zorder=0)
            axes.plot(x[:cut], curve[:cut], color="tab:red", linewidth=1.2, **style)
            axes.axvline(cut - 0.5, color="tab:red", linewidth=0.8, linestyle="--")
        axes.plot(x[cut:], curve[cut:], color="tab:blue", linewidth=1.2, **style)
        axes.set_yscale("log")
        # a few labelled decades: a label for each of ten decades is unreadable at this size
        axes.yaxis.set_major_locator(LogLocator(numticks=5))
        axes.yaxis.set_minor_locator(LogLocator(subs="auto", numticks=12))
        axes.yaxis.set_minor_formatter(NullFormatter())
        axes.xaxis.set_major_locator(MaxNLocator(nbins=5, integer=True))
        axes.set_xlim(-0.5, n - 0.5)
        axes.tick_params(labelsize=7)
        axes.grid(True, which="major", alpha=0.3)
        name = group.module_names[0] if group.module_names else "-"
        kept = f"{n}\u2192{n - cut}" if cut else f"{n}"
        axes.set_title(f"#{group.index} {_short(name)}  ({kept})", fontsize=8)
        if zeros:
            axes.text(
                0.98,
                0.04,
                f"{zeros} exactly 0",
                transform=axes.transAxes,
                ha="right",
                va="bottom",
                fontsize=7,
                color="0.3",
            )
    notes = []
    if len(measured) > len(shown):
        notes.append(f"+{len(measured) - len(shown)} more groups not shown")
    unmeasured = len(groups) - len(measured)
    if unmeasured:
        notes.append(f"{unmeasured} group(s) not measured (no gate)")
    legend = "x: channel rank in its group (least important first); y: importance / group maximum"
    if removed:
        legend += "; red, shaded: removed; blue: kept"
    figure.text(
        0.01,
        0.005,
        legend + ("; " + "; ".join(notes) if notes else ""),
        fontsize=8,
        ha="left",
        va="bottom",
    )
    figure.tight_layout(rect=(0, 0.03, 1, 0.97))
    return figure


def plot_importance(
    path: str,
    plan: ModelCutplan,
    removed: Optional[Dict[int, List[int]]] = None,
    title: str = "",
    write: bool = True,
    groups: Optional[Sequence[Any]] = None,
) -> None:
    """Write :func:`importance_figure` of ``plan`` to ``path`` (whole or not at all).
    ``groups`` is the plan's importance when read already; otherwise it is read even
    without ``write``: under torchrun the read-out is a collective of every rank."""
    from tavrix.pruning.importance import channel_importance

    if groups is None:
        groups = channel_importance(plan)
    if not write:
        return
    figure = importance_figure(groups, removed, title)
    extension = os.path.splitext(path)[1][1:].lower()
    kind = extension if extension in figure.canvas.get_supported_filetypes() else "png"
    with written_whole(path) as temporary:
        figure.savefig(temporary, format=kind)

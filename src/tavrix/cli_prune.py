"""The command line's prune path: ``python -m tavrix --prune 0.3 [--round-to 8]
[--save out.pt] [--plot importance.png]``.

After calibration the model is shrunk, checked against its masked original
on the first batch, measured (parameters, multiply-accumulates, latency) and
reported in a before/after table; ``--save`` writes the decision with the
shrunk weights (:func:`~tavrix.pruning.shrink.planfile.load_shrunk` rebuilds
the model), ``--plot`` the sorted importance curves with the cut marked.
"""

from __future__ import annotations

import argparse
import copy
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import torch
from torch import nn

__all__ = [
    "CheckFailed",
    "Refused",
    "add_options",
    "validate_options",
    "run_prune",
    "plot_importance",
]


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
        type=float,
        metavar="RATIO",
        help="after calibrating, remove this share (0 <= RATIO < 1) of every prunable group's "
        "least important channels, check the result and print a before/after table",
    )
    group.add_argument(
        "--round-to",
        type=int,
        default=1,
        metavar="N",
        help="keep channel counts multiples of N (default 1)",
    )
    group.add_argument(
        "--save",
        metavar="FILE",
        help="with --prune: write the decision and the shrunk weights (torch.save file)",
    )
    group.add_argument(
        "--plot", metavar="PNG", help="write the sorted per-group importance curves (matplotlib)"
    )


def validate_options(options: argparse.Namespace) -> None:
    """Raise ValueError (one line) for options that cannot work, before any calibration."""
    if options.prune is not None and not 0 <= options.prune < 1:
        raise ValueError(f"--prune must be a ratio in [0, 1), got {options.prune}")
    if options.round_to < 1:
        raise ValueError(f"--round-to must be a positive integer, got {options.round_to}")
    if options.save is not None and options.prune is None:
        raise ValueError("--save needs --prune")
    if options.prune is not None and "." in options.entry_point:
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
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib, which is not installed") from None


def _count(value: float) -> str:
    for unit, size in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if abs(value) >= size:
            return f"{value / size:.2f}{unit}"
    return f"{value:g}"


def _change(before: float, after: float) -> str:
    return f"{100.0 * (after - before) / before:+.1f}%" if before else "-"


def run_prune(
    model: nn.Module,
    plan: Any,
    batch: Sequence[Any],
    options: argparse.Namespace,
    write: bool = True,
) -> str:
    """Shrink ``model`` in place by ``options.prune``; returns the table and the check's line.

    Raises :class:`Refused` when the model cannot be shrunk (it is then unchanged) and
    :class:`CheckFailed` (carrying the same text) when the check fails. Without ``write``
    (the other ranks of a distributed run) the --save and --plot files are not written.
    """
    from tavrix.pruning.shrink import (
        ShrinkError,
        check_equal,
        choose_channels,
        save_shrunk,
        shrink,
    )
    from tavrix.pruning.shrink.measure import count_macs, latency_samples

    removed = choose_channels(plan, options.prune, round_to=options.round_to)
    original = copy.deepcopy(model)
    try:
        report = shrink(model, plan, removed)
    except ShrinkError as error:
        raise Refused(str(error)) from None
    result = check_equal(
        original, model, plan, removed, tuple(batch), {}, entry_point=options.entry_point
    )
    macs = [count_macs(m, batch) for m in (original, model)]
    # the best of ten interleaved calls: on a busy machine the median follows the load
    latency = [min(samples) for samples in latency_samples([original, model], batch)]
    batch_size = batch[0].shape[0] if batch and isinstance(batch[0], torch.Tensor) else "?"
    rows: List[Tuple[str, str, str, str]] = [
        ("multiply-accumulates", _count(macs[0]), _count(macs[1]), _change(*macs)),
        (
            f"latency, batch {batch_size} (ms, best of 10)",
            f"{latency[0] * 1e3:.2f}",
            f"{latency[1] * 1e3:.2f}",
            _change(*latency),
        ),
    ]
    lines = ["", f"Shrunk by {options.prune:g} per group (round to {options.round_to}):",
             report.table(rows), "", str(result)]
    if options.save is not None and not result.passed:
        # a model that differs from its masked original is not one to load later
        lines.append(f"not saved to {options.save}: the check failed")
    elif options.save is not None and write:
        save_shrunk(options.save, model, report)
        lines.append(f"saved to {options.save} (tavrix.pruning.shrink.load_shrunk rebuilds it)")
    if options.plot is not None:
        plot_importance(options.plot, plan, removed, write=write)
        lines.append(f"importance plot written to {options.plot}")
    text = "\n".join(lines)
    if not result.passed:
        raise CheckFailed(text)
    return text


def plot_importance(
    path: str,
    plan: Any,
    removed: Optional[Dict[int, List[int]]] = None,
    title: str = "",
    write: bool = True,
) -> None:
    """PNG of each measured group's importance, sorted and scaled to its largest value;
    a dot marks the last removed channel of each group. The importance is read even
    without ``write``: under torchrun the read-out is a collective of every rank."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from tavrix.pruning.importance import channel_importance

    groups = [g for g in channel_importance(plan) if g.importance is not None]
    if not write:
        return
    figure = Figure(figsize=(7, 4.5), dpi=120)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    removed = removed or {}
    for group in groups:
        values = group.importance.double()
        order = torch.argsort(values, stable=True)
        curve = values[order]
        top = curve.max().item()
        curve = curve / top if top > 0 else curve
        n = len(curve)
        x = [i / max(n - 1, 1) for i in range(n)]
        (line,) = axes.plot(x, curve.tolist(), linewidth=1.0, alpha=0.8,
                            label=f"#{group.index} ({n})")
        cut = len(removed.get(group.index, ()))
        if cut:
            axes.plot([x[cut - 1]], [curve[cut - 1].item()], "o", color=line.get_color(),
                      markersize=4)
    if removed:
        axes.plot([], [], "o", color="black", markersize=4, label="last removed channel")
    axes.set_xlabel("channel rank within its group (0 = least important)")
    axes.set_ylabel("importance / group maximum")
    axes.set_title(title or "Sorted channel importance per prunable group")
    axes.grid(True, alpha=0.3)
    if len(groups) <= 12:
        axes.legend(fontsize=7, loc="upper left")
    figure.tight_layout()
    figure.savefig(path)

"""The command line's prune path: ``python -m tavrix --prune 0.3 [--round-to 8]
[--save out.pt] [--plot importance.png]``.

After calibration the model is shrunk, checked against its masked original
on the first batch, measured (parameters, multiply-accumulates, latency) and
reported in a before/after table; ``--save`` writes the decision with the
shrunk weights (:func:`~tavrix.pruning.shrink.planfile.load_shrunk` rebuilds
the model), ``--plot`` one panel per group: its sorted importance on a log axis
with the cut marked. Both files are written to a temporary name and renamed, so
an interrupted run leaves no partial file.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import math
import os
import statistics
import tempfile
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import torch
from torch import nn

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
        metavar="RATIO",
        help="after calibrating, remove this share (0 <= RATIO < 1) of every prunable group's "
        "least important channels, check the result and print a before/after table",
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


def _interleaved_samples(
    models: Sequence[nn.Module], batch: Sequence[Any], repeats: int
) -> List[List[float]]:
    """Seconds of ``repeats`` calls of each of two models, the order turning every round
    (A B, B A, ...): in a fixed order a competing process's time slice can fall on the
    same model round after round."""
    from tavrix.pruning.shrink.measure import latency_samples

    times: List[List[float]] = [[], []]
    latency_samples(models, batch, repeats=0, warmup=2)
    for round_ in range(repeats):
        order = (0, 1) if round_ % 2 == 0 else (1, 0)
        samples = latency_samples([models[i] for i in order], batch, repeats=1, warmup=0)
        for i, sample in zip(order, samples):
            times[i].extend(sample)
    return times


def _latency(
    original: nn.Module, shrunk: nn.Module, batch: Sequence[Any], batch_size: Any
) -> Tuple[List[Tuple[str, str, str, str]], str]:
    """Table rows (best, median and quartiles) and a sentence on what they show."""
    models = [original, shrunk]
    if any(p.is_cuda for p in shrunk.parameters()):
        models = [_Synchronized(m) for m in models]
    before, after = _interleaved_samples(models, batch, LATENCY_REPEATS)
    # the ratio of the two calls of one round cancels most of a slowly changing load
    ratios = [b / a for a, b in zip(before, after)]
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
            "  median [quartiles]; change per round",
            ms(q_before),
            ms(q_after),
            f"{pct(q_ratio[1])} [{pct(q_ratio[0])}, {pct(q_ratio[2])}]",
        ),
    ]
    if q_ratio[2] < 1.0:
        verdict = "the shrunk model was faster in at least three rounds of four"
    elif q_ratio[0] > 1.0:
        verdict = "the shrunk model was slower in at least three rounds of four"
    else:
        verdict = "the rounds disagree (the change's quartiles straddle 0): no clear difference"
    policy = os.environ.get("OMP_WAIT_POLICY", "unset")
    note = (
        f"latency: {LATENCY_REPEATS} rounds of one call of each model, the order turning, "
        f"{torch.get_num_threads()} threads, OMP_WAIT_POLICY {policy}; {verdict}"
    )
    return rows, note


def run_prune(
    model: nn.Module,
    plan: Any,
    batch: Sequence[Any],
    options: argparse.Namespace,
    write: bool = True,
    title: str = "",
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
    from tavrix.pruning.shrink.measure import count_macs

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
    batch_size = batch[0].shape[0] if batch and isinstance(batch[0], torch.Tensor) else "?"
    latency_rows, latency_note = _latency(original, model, batch, batch_size)
    del original
    rows: List[Tuple[str, str, str, str]] = [
        ("multiply-accumulates", _count(macs[0]), _count(macs[1]), _change(*macs)),
        *latency_rows,
    ]
    lines = ["", f"Shrunk by {options.prune:g} per group (round to {options.round_to}):",
             report.table(rows), latency_note, "", str(result)]
    if options.save is not None and not result.passed:
        # a model that differs from its masked original is not one to load later
        lines.append(f"not saved to {options.save}: the check failed")
    elif options.save is not None and write:
        with written_whole(options.save) as temporary:
            save_shrunk(temporary, model, report)
        lines.append(f"saved to {options.save} (tavrix.pruning.shrink.load_shrunk rebuilds it)")
    if options.plot is not None:
        plot_importance(options.plot, plan, removed, title=title, write=write)
        lines.append(f"importance plot written to {options.plot}")
    text = "\n".join(lines)
    if not result.passed:
        raise CheckFailed(text)
    return text


def plot_title(model_name: str, options: argparse.Namespace) -> str:
    """The picture's title: the model and what was removed."""
    if getattr(options, "prune", None) is None:
        return f"{model_name}: sorted channel importance per prunable group"
    rounding = f", rounded to multiples of {options.round_to}" if options.round_to > 1 else ""
    return (
        f"{model_name}: {100 * options.prune:g}% of each group's least important channels "
        f"removed{rounding}"
    )


def _short(name: str, width: int = 26) -> str:
    return name if len(name) <= width else "\u2026" + name[-(width - 1):]


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
        style = {"marker": "o", "markersize": 2.5} if n <= 40 else {}
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
            axes.text(0.98, 0.04, f"{zeros} exactly 0", transform=axes.transAxes,
                      ha="right", va="bottom", fontsize=7, color="0.3")
    notes = []
    if len(measured) > len(shown):
        notes.append(f"+{len(measured) - len(shown)} more groups not shown")
    unmeasured = len(groups) - len(measured)
    if unmeasured:
        notes.append(f"{unmeasured} group(s) not measured (no gate)")
    legend = "x: channel rank in its group (least important first); y: importance / group maximum"
    if removed:
        legend += "; red, shaded: removed; blue: kept"
    figure.text(0.01, 0.005, legend + ("; " + "; ".join(notes) if notes else ""),
                fontsize=8, ha="left", va="bottom")
    figure.tight_layout(rect=(0, 0.03, 1, 0.97))
    return figure


def plot_importance(
    path: str,
    plan: Any,
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

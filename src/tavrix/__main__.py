"""Command line: analyse a model, calibrate its gates and report channel importance.

    python -m tavrix                                   # the built-in residual CNN
    python -m tavrix --model mypkg.nets:build --input-shape 16,3,64,64 --batches 8
    python -m tavrix --model mypkg.nets:build --inputs calib.pt
    python -m tavrix --prune 0.3 --round-to 8 --save small.pt --plot importance.png

The model is put in eval mode and called with random inputs of the given
shape (or with the batches of a ``torch.save``-d tensor or list of tensors);
each batch runs forward, a simple loss and backward inside the calibrator.
The report lists the channel groups and, per prunable group, the least and
most important channels. With ``--prune`` the model is then shrunk, checked
and measured (see :mod:`tavrix.cli_prune`); a failed check exits
with status 1. Input errors exit with status 2 and a one-line message.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from typing import Any, List, NoReturn, Optional, Sequence, Tuple

import torch
import torch.nn.functional as F

from tavrix import cli_prune as prune_command
from tavrix.utils.common import iter_leaves

DEFAULT_MODEL = "tavrix.demo_model:residual_cnn"
DEFAULT_SHAPE = (8, 3, 32, 32)
DEFAULT_BATCHES = 4


class UsageError(Exception):
    """Bad input from the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m tavrix",
        description="Find the prunable channel groups of a model and rank their channels by "
        "first-order Taylor importance.",
    )
    parser.add_argument(
        "--model",
        default=DEFAULT_MODEL,
        metavar="MODULE:FACTORY",
        help="callable returning the torch.nn.Module to analyse, called without arguments "
        f"(default: {DEFAULT_MODEL}, a small residual CNN)",
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--input-shape",
        metavar="N,C,...",
        help="shape of the random input batches (default: "
        + ",".join(map(str, DEFAULT_SHAPE))
        + ")",
    )
    source.add_argument(
        "--inputs",
        metavar="FILE",
        help="torch.save-d tensor (one batch) or list of tensors (one per batch)",
    )
    parser.add_argument(
        "--batches",
        type=int,
        metavar="N",
        help=f"calibration batches (default: {DEFAULT_BATCHES} random batches, or every "
        "batch of --inputs once)",
    )
    parser.add_argument(
        "--entry-point", default="forward", help="method to calibrate (default: forward)"
    )
    parser.add_argument(
        "--top", type=int, default=3, metavar="K", help="channels listed per group and end"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the random inputs")
    prune_command.add_options(parser)
    return parser


def _load_model(factory_path: str) -> torch.nn.Module:
    module_name, sep, attribute = factory_path.partition(":")
    if not sep or not module_name or not attribute:
        raise UsageError(f"--model must look like module:factory, got {factory_path!r}")
    try:
        target: Any = importlib.import_module(module_name)
    except Exception as exc:
        raise UsageError(f"cannot import module {module_name!r}: {_one_line(exc)}") from None
    for part in attribute.split("."):
        if not hasattr(target, part):
            raise UsageError(f"{module_name!r} has no attribute {attribute!r}")
        target = getattr(target, part)
    if not callable(target):
        raise UsageError(f"{factory_path} is not callable")
    try:
        model = target()
    except Exception as exc:
        raise UsageError(f"{factory_path}() failed: {_one_line(exc)}") from None
    if not isinstance(model, torch.nn.Module):
        raise UsageError(f"{factory_path}() returned {type(model).__name__}, not a torch.nn.Module")
    if next(iter(model.parameters()), None) is None:
        raise UsageError(f"the model built by {factory_path} has no parameters: nothing to prune")
    return model


def _parse_shape(text: str) -> Tuple[int, ...]:
    try:
        shape = tuple(int(item) for item in text.split(","))
    except ValueError:
        shape = ()
    if not shape or any(size <= 0 for size in shape):
        raise UsageError(
            f"--input-shape must be positive integers separated by commas, got {text!r}"
        )
    return shape


def _load_batches(path: str) -> List[torch.Tensor]:
    try:
        # weights_only: a tensors file must not be able to run code on load
        loaded = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as exc:
        raise UsageError(f"cannot load {path}: {_one_line(exc)}") from None
    batches = [loaded] if isinstance(loaded, torch.Tensor) else loaded
    if (
        not isinstance(batches, (list, tuple))
        or not batches
        or not all(isinstance(batch, torch.Tensor) for batch in batches)
    ):
        raise UsageError(f"{path} must hold a tensor or a non-empty list of tensors")
    return list(batches)


def _one_line(exc: BaseException) -> str:
    lines = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0] if lines else ''}".rstrip(": ")


def _loss(output: Any) -> torch.Tensor:
    """Cross-entropy of logits against their own arg-max, mean square otherwise."""
    terms = []
    for tensor in iter_leaves(output):
        if not isinstance(tensor, torch.Tensor) or not tensor.is_floating_point():
            continue
        if tensor.dim() == 2 and tensor.shape[1] > 1:
            terms.append(F.cross_entropy(tensor, tensor.detach().argmax(dim=1)))
        else:
            terms.append(tensor.pow(2).mean())
    if not terms:
        raise UsageError("the model returned no floating-point tensor to build a loss from")
    return torch.stack(terms).sum()


def _progress(done: int, total: int, width: int = 30) -> None:
    filled = width * done // total
    sys.stderr.write(f"\rcalibrating [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def _format_channels(labels: Sequence[int], values: torch.Tensor, order: Sequence[int]) -> str:
    return ", ".join(f"{labels[i]} ({values[i].item():.3g})" for i in order)


def _report(cutplan: Any, top: int) -> str:
    from tavrix.pruning.importance import channel_importance

    lines = [cutplan.summary(2), "", "Channel importance (label (score)):"]
    groups = channel_importance(cutplan)
    if not groups:
        lines.append("  no prunable groups")
    for group in groups:
        modules = ", ".join(group.module_names) or "-"
        lines.append(f"  #{group.index}: {len(group.labels)} channels; modules: {modules}")
        if group.importance is None:
            lines.append("    not measured (no gate)")
            continue
        order = torch.argsort(group.importance, stable=True).tolist()
        k = min(top, len(order))
        lines.append("    least: " + _format_channels(group.labels, group.importance, order[:k]))
        most = list(reversed(order[-k:])) if k else []
        lines.append("    most:  " + _format_channels(group.labels, group.importance, most))
    return "\n".join(lines)


def _check_inputs(model: torch.nn.Module, batch: Tuple[torch.Tensor, ...]) -> None:
    try:
        with torch.no_grad():
            model(*batch)
    except Exception as exc:
        shapes = ", ".join(str(tuple(t.shape)) for t in batch)
        raise UsageError(f"the model does not accept input {shapes}: {_one_line(exc)}") from None


def run(argv: Optional[Sequence[str]] = None) -> str:
    """Everything main() does except exit handling; returns the report."""
    from tavrix.pruning.gatecal import TavrixPruningCalibrator

    options = _parser().parse_args(argv)
    if options.batches is not None and options.batches <= 0:
        raise UsageError(f"--batches must be positive, got {options.batches}")
    if options.top < 0:
        raise UsageError(f"--top must not be negative, got {options.top}")
    try:
        prune_command.validate_options(options)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    model = _load_model(options.model).eval()

    if options.inputs is not None:
        stored = _load_batches(options.inputs)
        count = options.batches or len(stored)
        batches = [(stored[i % len(stored)],) for i in range(count)]
    else:
        shape = _parse_shape(options.input_shape) if options.input_shape else DEFAULT_SHAPE
        generator = torch.Generator().manual_seed(options.seed)
        count = options.batches or DEFAULT_BATCHES
        batches = [(torch.randn(shape, generator=generator),) for _ in range(count)]

    _check_inputs(model, batches[0])
    try:
        calibrator = TavrixPruningCalibrator(model, entry_point=options.entry_point)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    with calibrator:
        for done, batch in enumerate(batches, start=1):
            _loss(model(*batch)).backward()
            _progress(done, len(batches))
    if calibrator.cutplan is None:
        raise UsageError(f"calling the model never reached its entry point {options.entry_point!r}")
    report = _report(calibrator.cutplan, options.top)
    if options.plot is not None and options.prune is None:
        prune_command.plot_importance(options.plot, calibrator.cutplan)
    if options.prune is not None:
        try:
            report += "\n" + prune_command.run_prune(model, calibrator.cutplan, batches[0], options)
        except prune_command.CheckFailed as failed:
            raise prune_command.CheckFailed(report + "\n" + failed.report) from None
        except prune_command.Refused as refused:
            raise UsageError(str(refused)) from None
    return report


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        report = run(argv)
    except UsageError as exc:
        print(f"python -m tavrix: error: {exc}", file=sys.stderr)
        return 2
    except prune_command.CheckFailed as failed:
        print(failed.report)
        return 1
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Command line: analyse a model, calibrate its gates and report channel importance.

    python -m tavrix                                   # the built-in residual CNN
    python -m tavrix --model mypkg.nets:build --input-shape 16,3,64,64 --batches 8
    python -m tavrix --model mypkg.nets:build --inputs calib.pt
    python -m tavrix --model torchvision.models:vit_b_16 --input-shape 1,3,224,224 --explain
    torchrun --nproc_per_node=2 -m tavrix              # the batches shared out over two processes
    python -m tavrix --prune 0.3 --round-to 8 --save small.pt --plot importance.png

The model is put in eval mode and called with random inputs of the given
shape (or with the batches of a ``torch.save``-d tensor or list of tensors);
each batch runs forward, a simple loss and backward inside the calibrator.
The report lists the channel groups and, per prunable group, the least and
most important channels. With ``--prune`` the model is then shrunk, checked
and measured (see :mod:`tavrix.cli_prune`); a failed check exits
with status 1. With --explain the model is only analysed, and the report names
why channels are unprunable: the top causes by channels lost, each with its rule
and line of model code. Input errors exit with status 2 and a one-line message.

Started by torchrun, every process joins the job's process group (gloo), takes
every n-th batch and calibrates on those; the importance is summed over the
processes, and each prints the same report, rank 0 first. Every process shrinks
and checks its model the same way; only rank 0 writes the --save and --plot files.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import warnings
from typing import Any, List, NoReturn, Optional, Sequence, Tuple

import torch
import torch.nn.functional as F

from tavrix import cli_prune as prune_command
from tavrix.pruning.distributed import join_launcher_process_group, print_in_rank_order
from tavrix.utils.common import iter_leaves

DEFAULT_MODEL = "tavrix.demo_model:residual_cnn"
DEFAULT_SHAPE = (8, 3, 32, 32)
DEFAULT_BATCHES = 4
DEFAULT_TOP = 3
DEFAULT_TOP_CAUSES = 10


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
        "--top",
        type=int,
        metavar="K",
        help=f"channels listed per group and end (default {DEFAULT_TOP}); with --explain, "
        f"causes listed (default {DEFAULT_TOP_CAUSES})",
    )
    parser.add_argument(
        "--explain",
        action="store_true",
        help="analyse only and print why channels are unprunable, top causes first",
    )
    parser.add_argument(
        "--rules",
        choices=("standard", "extended"),
        default="standard",
        help="rule set of the analysis (default: standard); extended also prunes grouped "
        "convolutions, layer norms, reshapes, attention and the like",
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
    except (Exception, SystemExit) as exc:
        raise UsageError(f"cannot import module {module_name!r}: {_one_line(exc)}") from None
    for part in attribute.split("."):
        if not hasattr(target, part):
            raise UsageError(f"{module_name!r} has no attribute {attribute!r}")
        target = getattr(target, part)
    if not callable(target):
        raise UsageError(f"{factory_path} is not callable")
    try:
        model = target()
    except (Exception, SystemExit) as exc:
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
    except OSError as exc:
        raise UsageError(f"cannot load {path}: {_one_line(exc)}") from None
    except Exception as exc:
        # torch.load's errors on a foreign file say little (a KeyError, say)
        raise UsageError(
            f"cannot load {path}: not a file written by torch.save ({_one_line(exc)})"
        ) from None
    batches = [loaded] if isinstance(loaded, torch.Tensor) else loaded
    if (
        not isinstance(batches, (list, tuple))
        or not batches
        or not all(isinstance(batch, torch.Tensor) for batch in batches)
    ):
        raise UsageError(f"{path} must hold a tensor or a non-empty list of tensors")
    for index, batch in enumerate(batches):
        if batch.dim() == 0 or batch.shape[0] == 0 or batch.numel() == 0:
            raise UsageError(
                f"{path}: batch {index} holds no samples (shape {tuple(batch.shape)})"
            )
    return list(batches)


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, SystemExit):
        return f"it called sys.exit({exc.code!r})"
    lines = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0] if lines else ''}".rstrip(": ")


def _random_batches(shape: Tuple[int, ...], count: int, seed: int) -> List[Tuple[torch.Tensor]]:
    generator = torch.Generator().manual_seed(seed)
    try:
        return [(torch.randn(shape, generator=generator),) for _ in range(count)]
    except (RuntimeError, MemoryError, OverflowError) as exc:
        shape_text = ",".join(map(str, shape))
        raise UsageError(
            f"cannot allocate input batches of shape {shape_text}: {_one_line(exc)}"
        ) from None


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
    except (Exception, SystemExit) as exc:
        shapes = ", ".join(str(tuple(t.shape)) for t in batch)
        raise UsageError(f"the model does not accept input {shapes}: {_one_line(exc)}") from None


def run(argv: Optional[Sequence[str]] = None) -> str:
    """Everything main() does except exit handling; returns the report."""

    options = _parser().parse_args(argv)
    if options.batches is not None and options.batches <= 0:
        raise UsageError(f"--batches must be positive, got {options.batches}")
    if options.top is not None and options.top < 0:
        raise UsageError(f"--top must not be negative, got {options.top}")
    try:
        prune_command.validate_options(options)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if options.explain and (options.prune is not None or options.plot is not None):
        raise UsageError("--explain only analyses the model: it does not combine with --prune or --plot")
    if options.rules == "extended":
        from tavrix.pruning import rules

        # the analysis (the calibrator's first call, or --explain's) runs in this thread
        with rules.extended():
            return _run(options)
    return _run(options)


def _run(options: Any) -> str:
    from tavrix.pruning.gatecal import TavrixPruningCalibrator

    model = _load_model(options.model).eval()

    if options.inputs is not None:
        stored = _load_batches(options.inputs)
        count = options.batches or len(stored)
        batches = [(stored[i % len(stored)],) for i in range(count)]
    else:
        shape = _parse_shape(options.input_shape) if options.input_shape else DEFAULT_SHAPE
        batches = _random_batches(shape, options.batches or DEFAULT_BATCHES, options.seed)

    if options.explain:
        _check_inputs(model, batches[0])
        return _explain(model, batches[0], options)

    try:
        rank, world = join_launcher_process_group()
    except (RuntimeError, ValueError) as exc:
        raise UsageError(f"cannot join the launcher's process group: {_one_line(exc)}") from None
    header = ""
    if world > 1:
        if len(batches) < world:
            raise UsageError(
                f"{world} processes need at least {world} batches, got {len(batches)}"
            )
        share = batches[rank::world]
        header = f"rank {rank} of {world}: calibrated on {len(share)} of {len(batches)} batches\n"
        batches = share

    _check_inputs(model, batches[0])
    try:
        calibrator = TavrixPruningCalibrator(model, entry_point=options.entry_point)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    try:
        with calibrator:
            checked = False
            for done, batch in enumerate(batches, start=1):
                output = model(*batch)
                if not checked and calibrator.cutplan is not None:
                    # before backward, which would fail on a loss without gates
                    _require_prunable_channels(calibrator.cutplan)
                    checked = True
                _loss(output).backward()
                if rank == 0:
                    _progress(done, len(batches))
        if calibrator.cutplan is None:
            raise UsageError(
                f"calling the model never reached its entry point {options.entry_point!r}"
            )
    except UsageError:
        raise
    except (Exception, SystemExit) as exc:
        # the model's own error while calibrating: one line, as for any bad input
        raise UsageError(f"calibration failed: {_one_line(exc)}") from None
    top = DEFAULT_TOP if options.top is None else options.top
    report = header + _report(calibrator.cutplan, top)
    # The read-outs below are collectives under torchrun: every rank runs them,
    # rank 0 alone writes files.
    if options.plot is not None and options.prune is None:
        prune_command.plot_importance(options.plot, calibrator.cutplan, write=rank == 0)
    if options.prune is not None:
        try:
            report += "\n" + prune_command.run_prune(
                model, calibrator.cutplan, batches[0], options, write=rank == 0
            )
        except prune_command.CheckFailed as failed:
            raise prune_command.CheckFailed(report + "\n" + failed.report) from None
        except prune_command.Refused as refused:
            raise UsageError(str(refused)) from None
    return report


def _explain(model: torch.nn.Module, batch: Tuple[torch.Tensor, ...], options: Any) -> str:
    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.explain import explain

    try:
        with torch.no_grad():
            plan = get_cutplan(model, batch, {}, entry_point=options.entry_point)
    except (Exception, SystemExit) as exc:
        raise UsageError(f"analysis failed: {_one_line(exc)}") from None
    explanation = explain(plan)
    top = DEFAULT_TOP_CAUSES if options.top is None else options.top
    name = options.model.rpartition(":")[2]
    return explanation.summary(name) + "\n" + explanation.top_causes_text(top)


def _require_prunable_channels(cutplan: Any) -> None:
    if not cutplan.prunable_groups:
        raise UsageError(
            "the model has no prunable channels: every channel group reaches the output or "
            "passes through an operation that keeps all of its channels"
        )


def main(argv: Optional[Sequence[str]] = None) -> int:
    # Warnings are held back until the run succeeds: a failure is one line.
    with warnings.catch_warnings(record=True) as caught:
        # recorded, not raised: a warning filter set to "error" must not turn a
        # warning of the analysis into a failure of its own
        warnings.simplefilter("default")
        try:
            report = run(argv)
        except UsageError as exc:
            print(f"python -m tavrix: error: {exc}", file=sys.stderr)
            return 2
        except prune_command.CheckFailed as failed:
            print_in_rank_order(failed.report)
            return 1
    for warning in caught:
        warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    print_in_rank_order(report)
    return 0


def _leave_process_group() -> None:
    # a process group left to the interpreter's exit can abort the process in
    # the backend's threads ("terminate called without an active exception")
    import torch.distributed as dist

    if dist.is_available() and dist.is_initialized():
        dist.destroy_process_group()


if __name__ == "__main__":
    status = main()
    _leave_process_group()
    sys.exit(status)

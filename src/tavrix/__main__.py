"""Command line: analyse a model, calibrate its gates and report channel importance.

    python -m tavrix                                   # the built-in residual CNN
    python -m tavrix --model mypkg.nets:build --input-shape 16,3,64,64 --batches 8
    python -m tavrix --model mypkg.nets:build --inputs calib.pt
    python -m tavrix --model torchvision.models:vit_b_16 --input-shape 1,3,224,224 --explain
    torchrun --nproc_per_node=2 -m tavrix              # the batches shared out over two processes
    python -m tavrix --prune 0.3 --round-to 8 --save small.pt --plot importance.png
    python -m tavrix --target-macs 0.5 --importance fisher --recover lstsq,bn
    python -m tavrix --model timm:resnet18 --input-shape 2,3,96,96 --prune 0.3 -q
    python -m tavrix --model hf:gpt2:n_layer=2,n_embd=64,n_head=2 --rules extended

The model is put in eval mode and called with random inputs of the given
shape (or with the batches of a ``torch.save``-d tensor or list of tensors);
each batch runs forward, a simple loss and backward inside the calibrator.
The report lists the channel groups and, per prunable group, the least and
most important channels. With ``--prune`` (or a ``--target-macs`` /
``--target-params`` budget) the model is then shrunk, checked, recovered
(``--recover``, default lstsq) and measured (see :mod:`tavrix.cli_prune`), the
channels ranked by ``--importance`` (default output_error); a
failed check exits with status 1. With --explain the model is only analysed, and the report names
why channels are unprunable: the top causes by channels lost, each with its rule
and line of model code. Input errors exit with status 2 and a one-line message.

Started by torchrun, every process joins the job's process group (gloo), takes
every n-th batch and calibrates on those; the importance is summed over the
processes, and each prints the same report, rank 0 first. Every process shrinks
and checks its model the same way; only rank 0 writes the --save and --plot files.

Ctrl-C ends a run with one line and exit status 130; the --save and --plot files
are written whole or not at all.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Any, List, NoReturn, Optional, Sequence, Tuple

if __name__ == "__main__":
    import signal

    # Before torch loads OpenMP, which reads it once: threads spinning at barriers
    # while their partner is descheduled make latencies swing on a shared machine.
    # The benchmarks wait passively alike; a policy the user set is kept.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

    def _interrupted_while_starting(signum: int, frame: Any) -> None:
        # torch's import takes seconds; nothing is open yet, so nothing to clean up
        sys.stderr.write("python -m tavrix: interrupted\n")
        sys.stderr.flush()
        os._exit(130)

    signal.signal(signal.SIGINT, _interrupted_while_starting)

import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

from tavrix import cli_prune as prune_command  # noqa: E402
from tavrix.cli_models import FORMS, LoadedModel, ModelFormError, load_model  # noqa: E402
from tavrix.cli_prune import Once  # noqa: E402
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.distributed import (  # noqa: E402
    join_launcher_process_group,
    print_in_rank_order,
)
from tavrix.utils.common import iter_leaves  # noqa: E402

DEFAULT_MODEL = "tavrix.demo_model:residual_cnn"
DEFAULT_SHAPE = (8, 3, 32, 32)
DEFAULT_BATCHES = 4
DEFAULT_TOP = 3
DEFAULT_TOP_CAUSES = 10
# random batches drawn beyond the calibration's, for the output error of a shrunk model
HELD_OUT_BATCHES = 2


class UsageError(Exception):
    """Bad input from the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m tavrix",
        description="Find the prunable channel groups of a model and rank their channels by "
        "the error removing each makes in its consumers' outputs (or another criterion, "
        "--importance).",
    )
    parser.add_argument(
        "--model",
        action=Once,
        default=DEFAULT_MODEL,
        metavar="MODEL",
        help=f"the torch.nn.Module to analyse, one of: {FORMS} "
        f"(default: {DEFAULT_MODEL}, a small residual CNN)",
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--input-shape",
        action=Once,
        metavar="N,C,...",
        help="shape of the random input batches (default: "
        + ",".join(map(str, DEFAULT_SHAPE))
        + "; for timm and transformers models one that suits the model)",
    )
    source.add_argument(
        "--inputs",
        action=Once,
        metavar="FILE",
        help="torch.save-d tensor (one batch) or list of tensors (one per batch)",
    )
    parser.add_argument(
        "--batches",
        action=Once,
        type=int,
        metavar="N",
        help=f"calibration batches (default: {DEFAULT_BATCHES} random batches, or every "
        "batch of --inputs once)",
    )
    parser.add_argument(
        "--entry-point",
        action=Once,
        default="forward",
        help="method to calibrate (default: forward)",
    )
    parser.add_argument(
        "--top",
        action=Once,
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
        action=Once,
        choices=("standard", "extended"),
        default="standard",
        help="rule set of the analysis (default: standard); extended also prunes grouped "
        "convolutions, layer norms, reshapes, attention and the like",
    )
    parser.add_argument(
        "--seed", action=Once, type=int, default=0, help="seed of the random inputs"
    )
    parser.add_argument(
        "--device",
        action=Once,
        default="cpu",
        metavar="cpu|cuda[:N]",
        help="where the model, its inputs and the gates live (default: cpu)",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="print the plan's one-line summary instead of its groups; with --prune, the "
        "table without the per-channel listing",
    )
    prune_command.add_options(parser)
    return parser


def _load_model(name: str) -> LoadedModel:
    try:
        return load_model(name)
    except ModelFormError as exc:
        raise UsageError(str(exc)) from None


def _device(text: str) -> torch.device:
    try:
        device = torch.device(text)
    except (RuntimeError, ValueError):
        device = None
    if device is None or device.type not in ("cpu", "cuda"):
        raise UsageError(f"--device must be cpu or cuda[:N], got {text!r}")
    if device.type == "cpu":
        return device
    if not torch.cuda.is_available():
        reason = "no GPU is visible"
        if torch.version.cuda is None:
            reason = "this torch is built without CUDA"
        raise UsageError(f"--device {text}: CUDA is not available ({reason}); use --device cpu")
    index = device.index
    if index is None:
        # one GPU per process under torchrun
        index = int(os.environ.get("LOCAL_RANK", "0"))
    count = torch.cuda.device_count()
    if index >= count:
        raise UsageError(f"--device {text}: no GPU {index} (this machine has {count})")
    return torch.device("cuda", index)


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
            raise UsageError(f"{path}: batch {index} holds no samples (shape {tuple(batch.shape)})")
    return list(batches)


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, SystemExit):
        return f"it called sys.exit({exc.code!r})"
    lines = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0] if lines else ''}".rstrip(": ")


def _random_batches(
    shape: Tuple[int, ...], count: int, seed: int, loaded: Optional[LoadedModel] = None
) -> List[Tuple[torch.Tensor, ...]]:
    # made on the CPU, from one seed, whatever the device: the same batches everywhere
    generator = torch.Generator().manual_seed(seed)
    make = loaded.make_input if loaded is not None else LoadedModel.make_input
    try:
        return [(make(shape, generator),) for _ in range(count)]
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


# set while the progress bar's line is unfinished, so that a message starts a line of its own
_bar_open = False


def _progress(done: int, total: int, width: int = 30) -> None:
    global _bar_open
    filled = width * done // total
    # before the write: "\r" flushes a line-buffered stderr, and an interrupt may follow
    _bar_open = done != total
    sys.stderr.write(f"\rcalibrating [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    if done == total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def _format_channels(labels: Sequence[int], values: torch.Tensor, order: Sequence[int]) -> str:
    return ", ".join(f"{labels[i]} ({values[i].item():.3g})" for i in order)


def _report(
    cutplan: ModelCutplan,
    groups: Sequence[Any],
    top: int,
    quiet: bool,
    listing: bool,
    criterion: str = "taylor",
) -> str:
    lines = [str(cutplan) if quiet else cutplan.summary(2)]
    if not listing:
        return lines[0]
    by = "" if criterion == "taylor" else f" by {criterion}"
    lines += ["", f"Channel importance{by} (label (score)):"]
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


def _output_scale(output: Any) -> float:
    scales = [
        tensor.detach().abs().max().item()
        for tensor in iter_leaves(output)
        if isinstance(tensor, torch.Tensor) and tensor.is_floating_point() and tensor.numel()
    ]
    return max(scales, default=0.0)


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
    if options.explain and (options.shrink or options.plot is not None):
        raise UsageError(
            "--explain only analyses the model: it does not combine with --prune or --plot"
        )
    options.device = _device(options.device)
    if options.rules == "extended":
        from tavrix.pruning import rules

        # the analysis (the calibrator's first call, or --explain's) runs in this thread
        with rules.extended():
            return _run(options)
    return _run(options)


def _run(options: Any) -> str:
    from tavrix.pruning.gatecal import TavrixPruningCalibrator
    from tavrix.pruning.importance import calibration_warnings, channel_importance

    loaded = _load_model(options.model)
    model = loaded.model.eval()

    if options.inputs is not None:
        stored = _load_batches(options.inputs)
        count = options.batches or len(stored)
        batches: List[Tuple[torch.Tensor, ...]] = [(stored[i % len(stored)],) for i in range(count)]
        held_out: List[Tuple[torch.Tensor, ...]] = [(tensor,) for tensor in stored[count:]]
        held_out_name = f"{len(held_out)} held-out batch{'es' if len(held_out) > 1 else ''}"
        if not held_out:
            held_out, held_out_name = batches, "the calibration batches"
    else:
        if options.input_shape:
            shape = _parse_shape(options.input_shape)
        else:
            shape = loaded.default_shape or DEFAULT_SHAPE
        count = options.batches or DEFAULT_BATCHES
        drawn = _random_batches(shape, count + HELD_OUT_BATCHES, options.seed, loaded)
        # drawn after the calibration's from the same generator: those stay as they were
        batches, held_out = drawn[:count], drawn[count:]
        held_out_name = f"{HELD_OUT_BATCHES} held-out batches"
    device = options.device
    if device.type != "cpu":
        try:
            model.to(device)
            batches = [tuple(t.to(device) for t in batch) for batch in batches]
            held_out = [tuple(t.to(device) for t in batch) for batch in held_out]
        except (RuntimeError, MemoryError) as exc:
            raise UsageError(
                f"cannot move the model and its inputs to {device}: {_one_line(exc)}"
            ) from None

    if options.explain:
        _check_inputs(model, batches[0])
        return _explain(model, batches[0], options, loaded.name)

    try:
        rank, world = join_launcher_process_group()
    except (RuntimeError, ValueError) as exc:
        raise UsageError(f"cannot join the launcher's process group: {_one_line(exc)}") from None
    header = ""
    # every rank recovers from all the batches: the same statistics, the same model
    every_batch = batches
    if world > 1:
        if len(batches) < world:
            raise UsageError(f"{world} processes need at least {world} batches, got {len(batches)}")
        share = batches[rank::world]
        header = f"rank {rank} of {world}: calibrated on {len(share)} of {len(batches)} batches\n"
        batches = share

    _check_inputs(model, batches[0])
    try:
        calibrator = TavrixPruningCalibrator(model, entry_point=options.entry_point)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    scale = 0.0
    from tavrix.pruning.gate import record_statistics

    try:
        with record_statistics(options.importance in prune_command.RECORDED_CRITERIA), calibrator:
            checked = False
            for done, batch in enumerate(batches, start=1):
                output = model(*batch)
                if not checked and calibrator.cutplan is not None:
                    # before backward, which would fail on a loss without gates
                    _require_prunable_channels(calibrator.cutplan)
                    checked = True
                scale = max(scale, _output_scale(output))
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
    # read once: under torchrun every read-out is a collective
    try:
        groups = channel_importance(
            calibrator.cutplan, criterion=options.importance, model=model, seed=options.seed
        )
    except (ValueError, RuntimeError) as exc:
        raise UsageError(f"--importance {options.importance}: {_one_line(exc)}") from None
    calibration_warnings(calibrator.cutplan, groups, output_scale=scale)
    listing = not (options.quiet and options.shrink)
    report = header + _report(
        calibrator.cutplan, groups, top, options.quiet, listing, options.importance
    )
    # The read-outs below are collectives under torchrun: every rank runs them,
    # rank 0 alone writes files.
    title = prune_command.plot_title(loaded.name, options)
    if options.plot is not None and not options.shrink:
        prune_command.plot_importance(
            options.plot, calibrator.cutplan, write=rank == 0, title=title, groups=groups
        )
    if options.shrink:
        try:
            report += "\n" + prune_command.run_prune(
                model,
                calibrator.cutplan,
                batches[0],
                options,
                write=rank == 0,
                title=title,
                groups=groups,
                recovery_batches=every_batch,
                held_out=held_out,
                held_out_name=held_out_name,
            )
        except prune_command.CheckFailed as failed:
            raise prune_command.CheckFailed(report + "\n" + failed.report) from None
        except prune_command.Refused as refused:
            raise UsageError(str(refused)) from None
    return report


def _explain(
    model: torch.nn.Module, batch: Tuple[torch.Tensor, ...], options: Any, name: str
) -> str:
    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.explain import explain

    try:
        with torch.no_grad():
            plan = get_cutplan(model, batch, {}, entry_point=options.entry_point)
    except (Exception, SystemExit) as exc:
        raise UsageError(f"analysis failed: {_one_line(exc)}") from None
    explanation = explain(plan)
    top = DEFAULT_TOP_CAUSES if options.top is None else options.top
    return explanation.summary(name) + "\n" + explanation.top_causes_text(top)


def _require_prunable_channels(cutplan: ModelCutplan) -> None:
    if not cutplan.prunable_groups:
        from tavrix.pruning.engine.ruleset import active_rule_set

        remedy = (
            "--explain names the causes"
            if active_rule_set().extended
            else "--rules extended also prunes grouped convolutions, norms, reshapes and "
            "attention; --explain names the causes"
        )
        raise UsageError(
            "the model has no prunable channels: every channel group reaches the output or "
            f"passes through an operation that keeps all of its channels ({remedy})"
        )


def main(argv: Optional[Sequence[str]] = None) -> int:
    global _bar_open
    _bar_open = False
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
        except KeyboardInterrupt:
            # the calibrator has given the model back; files are written whole or not at all
            if _bar_open:
                sys.stderr.write("\n")
            print("python -m tavrix: interrupted", file=sys.stderr)
            return 130
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
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        status = main()
        _leave_process_group()
    except KeyboardInterrupt:
        # between main's own handler and the exit: still one line
        print("python -m tavrix: interrupted", file=sys.stderr)
        status = 130
    sys.exit(status)

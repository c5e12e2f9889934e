"""Cost of shrinking and what it buys, on the zoo of the tests (random weights, eval mode).

cost:    choose_channels, shrink and check_equal at 30% removal against one forward of the
         original (batch 1, one thread), interleaved repetitions, minima of wall and CPU time.
latency: forward of the shrunk model against the original at 30% and 50% removal, batch 1
         and 8, 2 threads, calls interleaved, minima and medians; with the multiply-accumulates
         of both.

    PYTHONPATH=src python benchmarks/bench_shrink.py [--part cost|latency|both]
        [--models resnet18,vit_b_16] [--reps 5] [--threads 2] [--cost-threads 1] [--round-to 8]
"""

from __future__ import annotations

import argparse
import copy
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import torch
import torch.nn.functional as F

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from tavrix.pruning.cutplan import get_cutplan  # noqa: E402
from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402
from tavrix.pruning.shrink import check_equal, choose_channels, shrink  # noqa: E402
from tavrix.pruning.shrink.measure import count_macs, latency_samples  # noqa: E402
from test_shrink_zoo import ZOO, build  # noqa: E402


def calibrated(name: str, size: int):
    """The model and its plan after one calibration batch (batch 1)."""
    model = build(name)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        with calibrator:
            logits = model(torch.randn(1, 3, size, size))
            F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    return model, calibrator.cutplan


def copy_with_plan(model, x):
    """A copy of ``model`` and the plan of the copy (the same labels and groups as the
    model's plan: the analysis is deterministic), so that the model itself stays whole."""
    twin = copy.deepcopy(model)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return twin, get_cutplan(twin, (x,), {})


def timed(function: Callable[..., Any], *args: Any) -> Tuple[Any, Tuple[float, float]]:
    """(result, (wall seconds, CPU seconds of this process)) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = function(*args)
    return result, (time.perf_counter() - wall, time.process_time() - cpu)


def cost(name: str, reps: int) -> None:
    size = 299 if name == "inception_v3" else 224
    model, plan = calibrated(name, size)
    x = torch.randn(1, 3, size, size)
    times: Dict[str, List[Tuple[float, float]]] = {
        "forward": [],
        "choose": [],
        "shrink": [],
        "check": [],
    }
    with torch.no_grad():
        model(x)  # warm-up
    for _ in range(reps):
        with torch.no_grad():
            times["forward"].append(timed(model, x)[1])
        removed, elapsed = timed(choose_channels, plan, 0.3)
        times["choose"].append(elapsed)
        target, own_plan = copy_with_plan(model, x)
        original = copy.deepcopy(target)
        times["shrink"].append(timed(shrink, target, own_plan, removed)[1])
        result, elapsed = timed(check_equal, original, target, own_plan, removed, (x,))
        times["check"].append(elapsed)
        assert result.passed, str(result)
    wall = {key: min(t[0] for t in values) for key, values in times.items()}
    cpu = {key: min(t[1] for t in values) for key, values in times.items()}
    print(
        f"{name:<20}{wall['forward'] * 1e3:>9.1f}{cpu['forward'] * 1e3:>9.1f}"
        + "".join(
            f"{wall[key] / wall['forward']:>8.2f}{cpu[key] / cpu['forward']:>7.2f}"
            for key in ("choose", "shrink", "check")
        ),
        flush=True,
    )


def latency(name: str, reps: int, round_to: int) -> None:
    size = 299 if name == "inception_v3" else 224
    model, plan = calibrated(name, size)
    small = torch.randn(1, 3, size, size)
    for ratio in (0.3, 0.5):
        shrunk, own_plan = copy_with_plan(model, small)
        shrink(shrunk, own_plan, choose_channels(plan, ratio, round_to=round_to))
        macs = count_macs(shrunk, (small,)) / count_macs(model, (small,))
        row = f"{name:<20}{ratio:>8.0%}{macs:>7.2f}"
        for batch in (1, 8):
            x = torch.randn(batch, 3, size, size)
            samples = latency_samples([model, shrunk], (x,), repeats=reps)
            best = [min(s) for s in samples]
            middle = [statistics.median(s) for s in samples]
            row += (
                f"{best[0] * 1e3:>10.1f}{best[1] * 1e3:>9.1f}{best[1] / best[0]:>7.2f}"
                f"{middle[1] / middle[0]:>7.2f}"
            )
        print(row, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=("cost", "latency", "both"), default="both")
    parser.add_argument("--models", default=",".join(ZOO))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2, help="for the latency part")
    # One thread: the CPU time of this process then counts the work done, however busy the
    # shared machine is; with two, a stalled worker thread shows as waiting.
    parser.add_argument("--cost-threads", type=int, default=1)
    parser.add_argument("--round-to", type=int, default=8, help="for the latency part")
    options = parser.parse_args()
    torch.set_num_threads(options.threads)
    names = [n for n in options.models.split(",") if n]
    unknown = [n for n in names if n not in ZOO]
    if unknown:
        parser.error(f"unknown models {unknown}; known: {list(ZOO)}")
    print(f"{options.reps} repetitions")
    if options.part in ("cost", "both"):
        torch.set_num_threads(options.cost_threads)
        print(
            f"\ncost at 30% removal, batch 1, {options.cost_threads} thread(s): one forward of "
            "the original in ms (wall, CPU of this process), each step in forwards (wall, "
            "CPU); minima over the repetitions"
        )
        print(
            f"{'model':<20}{'fwd ms':>9}{'cpu ms':>9}"
            + "".join(f"{key:>8}{'cpu':>7}" for key in ("choose", "shrink", "check"))
        )
        for name in names:
            cost(name, options.reps)
        torch.set_num_threads(options.threads)
    if options.part in ("latency", "both"):
        print(
            f"\nforward latency, shrunk (round_to {options.round_to}) against original: ms "
            "(minima), ratio of the minima, of the medians; MACs ratio"
        )
        print(
            f"{'model':<20}{'removed':>8}{'MACs':>7}"
            + "".join(
                f"{'b' + str(b) + ' orig':>10}{'shrunk':>9}{'ratio':>7}{'med':>7}" for b in (1, 8)
            )
        )
        for name in names:
            latency(name, options.reps, options.round_to)


if __name__ == "__main__":
    main()

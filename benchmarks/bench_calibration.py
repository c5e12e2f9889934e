"""Cost of one calibration step against a plain forward + backward.

Calibration step: inside TavrixPruningCalibrator, forward with the gates in
place, a loss, backward (gradients reach the gates only). Plain step: the
same model and input outside the calibrator, forward + the same loss +
backward with the input requiring grad and the parameters frozen, so that
both backward passes run through the whole network and neither computes
weight gradients. Steps are interleaved, ratios are of the medians.

    PYTHONPATH=src python benchmarks/bench_calibration.py [--reps 5] [--batch 8] [--threads 1]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from typing import Tuple

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402

import models  # noqa: E402


def timed(step) -> Tuple[float, float]:
    """(wall seconds, CPU seconds of this process) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    step()
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--size", type=int, default=224)
    # One thread by default: on a shared machine a busy core stalls every
    # parallel region of a multi-threaded run and the figures swing several-fold.
    parser.add_argument("--threads", type=int, default=1, help="torch threads (default 1)")
    options = parser.parse_args()
    torch.set_num_threads(options.threads)

    torch.manual_seed(0)
    model = models.resnet50().eval()
    x = torch.randn(options.batch, 3, options.size, options.size)
    x_grad = x.clone().requires_grad_(True)

    # Frozen as inside the calibrator, so neither step computes weight gradients.
    model.requires_grad_(False)
    calibrator = TavrixPruningCalibrator(model)

    def plain() -> None:
        model(x_grad).logsumexp(dim=1).mean().backward()
        x_grad.grad = None

    def calibration() -> None:
        with calibrator:
            model(x).logsumexp(dim=1).mean().backward()

    # Warm-up first: the process's first backward pays one-off kernel set-up.
    timed(plain)
    timed(plain)
    first = timed(calibration)  # builds the cutplan (trace, analysis, gates), then the step
    timed(calibration)
    plain_times, calibration_times = [], []
    for _ in range(options.reps):
        plain_times.append(timed(plain))
        calibration_times.append(timed(calibration))

    plan = calibrator.cutplan
    plain_wall = statistics.median(t[0] for t in plain_times)
    plain_cpu = statistics.median(t[1] for t in plain_times)
    print(
        f"resnet50, batch {options.batch}, 3x{options.size}x{options.size}, "
        f"{len(plan.gate_container)} gates, {len(plan.graph)} nodes, "
        f"{torch.get_num_threads()} threads, {options.reps} reps (medians)"
    )
    print(f"{'step':<30}{'wall s':>9}{'ratio':>8}{'cpu s':>9}{'ratio':>8}")
    rows = [
        ("plain forward + backward", plain_wall, plain_cpu),
        (
            "calibration step (gates)",
            statistics.median(t[0] for t in calibration_times),
            statistics.median(t[1] for t in calibration_times),
        ),
        ("first call (cutplan + step)", first[0], first[1]),
    ]
    for name, wall, cpu in rows:
        print(f"{name:<30}{wall:>9.3f}{wall / plain_wall:>8.2f}{cpu:>9.3f}{cpu / plain_cpu:>8.2f}")


if __name__ == "__main__":
    main()

"""Cost of recovery against one calibration step, on torchvision models (random weights).

Per model: calibration steps (forward and backward of each batch inside the calibrator, after
its analysis call), then on the same batches ``collect`` (mean; lstsq, also with
conv_fit="channels") before a 30% shrink and ``compensate`` after it, and
``recalibrate_batchnorm``; interleaved repetitions, minima of wall time, as ratios to the
calibration steps on those batches (``--batches``, default one). ``--clock cpu`` times the
process's CPU time instead of wall time: steadier on a shared machine with one thread.

    PYTHONPATH=src python benchmarks/bench_recover.py [--models resnet18,mobilenet_v2]
        [--batch 8] [--batches 1] [--size 224] [--reps 3] [--threads 1] [--clock wall|cpu]
"""

from __future__ import annotations

import argparse
import copy
import time
import warnings
from typing import Dict, List

import torch
import torch.nn.functional as F
import torchvision

from tavrix.pruning import recover
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import choose_channels, shrink


def measure(
    name: str, batch: int, batches: int, size: int, reps: int, clock: str = "wall"
) -> Dict[str, float]:
    now = time.process_time if clock == "cpu" else time.perf_counter
    torch.manual_seed(0)
    model = getattr(torchvision.models, name)(weights=None).eval()
    xs = [torch.randn(batch, 3, size, size) for _ in range(batches)]
    calibrator = TavrixPruningCalibrator(model)
    times: Dict[str, List[float]] = {
        k: [] for k in ("calibration", "mean", "lstsq", "lstsq-channels", "batchnorm")
    }
    with calibrator:
        logits = model(xs[0])  # the analysis call
        F.cross_entropy(logits, logits.argmax(1)).backward()
    removed = choose_channels(calibrator.cutplan, ratio=0.3)
    for _ in range(reps):
        with calibrator:
            start = now()
            for x in xs:
                logits = model(x)
                F.cross_entropy(logits, logits.argmax(1)).backward()
            times["calibration"].append(now() - start)
        for method in ("mean", "lstsq", "lstsq-channels"):
            twin = copy.deepcopy(model)
            plan = get_cutplan(twin, (xs[0][:1],), {})
            start = now()
            fit = "channels" if method.endswith("channels") else "unfolded"
            stats = recover.collect(
                twin, plan, removed, xs, method=method.split("-")[0], conv_fit=fit
            )
            shrink_start = now()
            shrink(twin, plan, removed)
            resumed = now()
            recover.compensate(twin, stats)
            end = now()
            times[method].append((shrink_start - start) + (end - resumed))
            if method == "lstsq":
                start = now()
                recover.recalibrate_batchnorm(twin, xs)
                times["batchnorm"].append(now() - start)
            del twin, plan, stats
    return {k: min(v) for k, v in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default="resnet18,mobilenet_v2")
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--batches", type=int, default=1)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    warnings.filterwarnings("ignore", category=UserWarning)
    print(
        f"{args.batches} batch(es) of {args.batch} x {args.size}^2, {args.threads} thread(s), "
        f"min of {args.reps}, {args.clock} time\n"
    )
    print(
        "| model | calibration steps | collect+compensate: mean | lstsq | lstsq, "
        "conv_fit='channels' | batch-norm re-estimate |"
    )
    print("|---|---|---|---|---|---|")
    for name in args.models.split(","):
        t = measure(name, args.batch, args.batches, args.size, args.reps, args.clock)
        base = t["calibration"]
        print(
            f"| {name} | {1000 * base:.0f} ms | {t['mean'] / base:.2f} | "
            f"{t['lstsq'] / base:.2f} | {t['lstsq-channels'] / base:.2f} | "
            f"{t['batchnorm'] / base:.2f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()

"""Analysis time with provenance on against off, on the torchvision zoo.

Provenance (the model code line and sub-module of every node, the cause of
every unprunable label) is on by default; ``tavrix.pruning.explain.provenance
(False)`` turns it off for the analyses of one thread. For each model (random
weights, eval mode, batch 1) get_cutplan runs with provenance on and off in
interleaved pairs, the order alternating from pair to pair. Printed per model:
the ratio of the median wall times, the median of the pairwise ratios, the
ratio of the median CPU times of the process (less disturbed by other work on a
shared machine), and the time of explain() on the plan, which is not part of
the analysis.

    PYTHONPATH=src python benchmarks/bench_explain.py [--reps N] [--models a,b,...]
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time
import warnings
from typing import Callable, Dict, List, Tuple

import torch
import torchvision

from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.explain import explain, provenance

TARGET_RATIO = 1.05

ZOO = [
    "resnet18",
    "resnet50",
    "mobilenet_v2",
    "mobilenet_v3_small",
    "efficientnet_b0",
    "densenet121",
    "googlenet",
    "shufflenet_v2_x1_0",
    "squeezenet1_0",
    "regnet_y_400mf",
    "convnext_tiny",
    "vit_b_16",
    "swin_t",
    "inception_v3",
]


def build(name: str) -> Tuple[torch.nn.Module, torch.Tensor]:
    factory: Callable[..., torch.nn.Module] = getattr(torchvision.models, name)
    if name == "inception_v3":
        model = factory(weights=None, aux_logits=False, init_weights=True)
        size = 299
    else:
        model = factory(weights=None)
        size = 224
    torch.manual_seed(0)
    return model.eval(), torch.randn(1, 3, size, size)


def timed(model: torch.nn.Module, x: torch.Tensor, on: bool) -> Tuple[float, float]:
    """(wall seconds, CPU seconds of this process) of one analysis."""
    gc.collect()
    with provenance(on):
        wall, cpu = time.perf_counter(), time.process_time()
        get_cutplan(model, (x,), {})
        return time.perf_counter() - wall, time.process_time() - cpu


def bench_model(name: str, reps: int) -> Dict[str, float]:
    model, x = build(name)
    timed(model, x, True)  # warm-up: imports, caches, allocator
    timed(model, x, False)
    on: List[Tuple[float, float]] = []
    off: List[Tuple[float, float]] = []
    for rep in range(reps):
        order = (True, False) if rep % 2 == 0 else (False, True)
        for flag in order:
            (on if flag else off).append(timed(model, x, flag))
    plan = get_cutplan(model, (x,), {})
    start = time.perf_counter()
    explain(plan)
    explain_s = time.perf_counter() - start

    def median(samples: List[Tuple[float, float]], i: int) -> float:
        return statistics.median(sample[i] for sample in samples)

    return {
        "on": median(on, 0),
        "off": median(off, 0),
        "ratio": median(on, 0) / median(off, 0),
        "pairwise": statistics.median(a[0] / b[0] for a, b in zip(on, off)),
        "cpu_ratio": median(on, 1) / median(off, 1),
        "explain": explain_s,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7, help="pairs per model (default 7)")
    parser.add_argument("--models", default=",".join(ZOO), help="comma-separated model names")
    parser.add_argument(
        "--threads",
        type=int,
        default=1,
        help="torch threads (default 1: the machine is shared, one thread varies least)",
    )
    options = parser.parse_args()
    torch.set_num_threads(options.threads)
    names = [name for name in options.models.split(",") if name]

    print(
        f"{'model':<20} {'on s':>8} {'off s':>8} {'ratio':>7} {'pairwise':>9} {'cpu':>7} "
        f"{'explain ms':>11}"
    )
    ratios = []
    cpu_ratios = []
    with torch.no_grad(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in names:
            result = bench_model(name, options.reps)
            ratios.append(result["ratio"])
            cpu_ratios.append(result["cpu_ratio"])
            print(
                f"{name:<20} {result['on']:8.3f} {result['off']:8.3f} {result['ratio']:7.3f} "
                f"{result['pairwise']:9.3f} {result['cpu_ratio']:7.3f} "
                f"{1000 * result['explain']:11.1f}",
                flush=True,
            )
    for label, values in (("wall time", ratios), ("CPU time", cpu_ratios)):
        worst = max(values)
        print(
            f"{label}: ratio of medians, geometric mean {statistics.geometric_mean(values):.3f}, "
            f"largest {worst:.3f} (target <= {TARGET_RATIO}): "
            f"{'met' if worst <= TARGET_RATIO else 'not met'}"
        )


if __name__ == "__main__":
    main()

"""Shares of MACs and parameters kept by ``choose_channels(target_macs=F / target_params=F)``
on the torchvision zoo, measured on the shrunk model.

Per model (random weights, eval mode, one image of --size pixels) and target: a fresh
model, one calibration step (a loss of the output, backward), the choice, the shrink in
place, then ``count_macs`` of the shrunk model over that of the original (or the parameter
count ratio). Prints the achieved share, its error relative to F and the seconds the choice
took.

    PYTHONPATH=src python benchmarks/bench_budget.py [--models a,b] [--targets 0.5,0.17]
        [--size 64] [--importance taylor]
"""

from __future__ import annotations

import argparse
import time
import warnings
from typing import Tuple

import torch
import torchvision

from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import choose_channels, shrink
from tavrix.pruning.shrink.measure import count_macs

ZOO = [
    "resnet18", "resnet50", "mobilenet_v2", "mobilenet_v3_small", "efficientnet_b0",
    "densenet121", "regnet_y_400mf", "shufflenet_v2_x1_0", "convnext_tiny",
]


def calibrated(name: str, x: torch.Tensor) -> Tuple[torch.nn.Module, object]:
    torch.manual_seed(0)
    model = getattr(torchvision.models, name)(weights=None).eval()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x).square().mean().backward()
    return model, calibrator.cutplan


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default=",".join(ZOO))
    parser.add_argument("--targets", default="0.5,0.17")
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--importance", default="taylor")
    options = parser.parse_args()
    torch.manual_seed(0)
    x = torch.randn(1, 3, options.size, options.size)
    targets = [float(t) for t in options.targets.split(",")]
    print(f"{'model':<20}{'target':>10}{'F':>6}{'achieved':>10}{'error':>8}{'choose s':>10}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in options.models.split(","):
            model, _ = calibrated(name, x)
            macs = count_macs(model, (x,))
            params = sum(p.numel() for p in model.parameters())
            del model
            for fraction in targets:
                for key in ("target_macs", "target_params"):
                    model, plan = calibrated(name, x)
                    start = time.perf_counter()
                    removed = choose_channels(
                        plan, importance=options.importance, model=model, **{key: fraction}
                    )
                    seconds = time.perf_counter() - start
                    shrink(model, plan, removed)
                    if key == "target_macs":
                        achieved = count_macs(model, (x,)) / macs
                    else:
                        achieved = sum(p.numel() for p in model.parameters()) / params
                    error = (achieved - fraction) / fraction
                    print(f"{name:<20}{key[7:]:>10}{fraction:>6}{achieved:>10.4f}"
                          f"{100 * error:>7.2f}%{seconds:>10.2f}", flush=True)
                    del model, plan


if __name__ == "__main__":
    main()

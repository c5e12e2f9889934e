"""Shares of MACs and parameters kept by ``choose_channels(target_macs=F / target_params=F)``
on the tests' torchvision zoo and bench_quality.py's two trained models, measured on the
shrunk model.

Per model (random weights, eval mode, one image of --size pixels) and target: a fresh
model, one calibration step (a loss of the output, backward), the choice, the shrink in
place, then ``count_macs`` of the shrunk model over that of the original (or the parameter
count ratio). Prints the achieved share, its error relative to F and the seconds the choice
took.

    PYTHONPATH=src python benchmarks/bench_budget.py [--models a,b] [--targets 0.5,0.17]
        [--kinds macs,params] [--size 64] [--importance taylor] [--cache DIR]
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Dict, Tuple

import torch
import torchvision

sys.path.insert(0, str(Path(__file__).resolve().parent))

from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402
from tavrix.pruning.shrink import choose_channels, shrink  # noqa: E402
from tavrix.pruning.shrink.measure import count_macs  # noqa: E402

# the tests' zoo (tests/test_shrink_zoo.py); the two trained models of bench_quality.py are
# "digits" and "bytelm"
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
    "digits",
    "bytelm",
]
# models that take one input size only, or need a larger one
SIZES = {"vit_b_16": 224, "inception_v3": 299}
BUILD = {
    "googlenet": {"init_weights": True},
    "inception_v3": {"aux_logits": False, "init_weights": True},
}


def _build(name: str) -> Tuple[torch.nn.Module, Tuple[Any, ...], Dict[str, Any]]:
    """A fresh model and the arguments of its call."""
    torch.manual_seed(0)
    if name in ("digits", "bytelm"):
        import quality_models as qm

        if name == "digits":
            model, data = qm.digits_model()
            return model, (data["x_train"][:16],), {}
        model, train, _ = qm.lm_model()
        return model, (), {"input_ids": qm.lm_windows(train, 2, seed=7)}
    model = getattr(torchvision.models, name)(weights=None, **BUILD.get(name, {})).eval()
    size = SIZES.get(name, SIZE)
    return model, (torch.randn(1, 3, size, size),), {}


def calibrated(name: str) -> Tuple[torch.nn.Module, Any, Tuple[Any, ...], Dict[str, Any]]:
    from tavrix.pruning import rules
    from tavrix.pruning.gate import record_statistics

    model, args, kwargs = _build(name)
    calibrator = TavrixPruningCalibrator(model)
    # the LM as bench_quality.py cuts it: whole key/value heads under the extended rules
    scope = rules.extended(split="outer") if name == "bytelm" else contextlib.nullcontext()
    with scope, record_statistics(), calibrator:
        output = model(*args, **kwargs)
        getattr(output, "logits", output).square().mean().backward()
    return model, calibrator.cutplan, args, kwargs


SIZE = 64


def main() -> None:
    global SIZE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default=",".join(ZOO))
    parser.add_argument("--targets", default="0.5,0.17")
    parser.add_argument("--kinds", default="macs,params")
    parser.add_argument("--size", type=int, default=SIZE)
    parser.add_argument("--importance", default="taylor")
    parser.add_argument(
        "--cache", type=Path, default=None, help="folder of bench_quality.py's trained models"
    )
    options = parser.parse_args()
    SIZE = options.size
    if options.cache is not None:
        import quality_models as qm

        qm.CACHE = options.cache
    torch.set_num_threads(1)
    targets = [float(t) for t in options.targets.split(",")]
    print(f"{'model':<20}{'target':>10}{'F':>6}{'achieved':>10}{'error':>8}{'choose s':>10}")
    worst = 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in options.models.split(","):
            model, _, args, kwargs = calibrated(name)
            macs = count_macs(model, args, kwargs)
            params = sum(p.numel() for p in model.parameters())
            del model
            for fraction in targets:
                for kind in options.kinds.split(","):
                    model, plan, args, kwargs = calibrated(name)
                    start = time.perf_counter()
                    try:
                        removed = choose_channels(
                            plan,
                            importance=options.importance,
                            model=model,
                            **{f"target_{kind}": fraction},
                        )
                    except ValueError as error:  # below what the prunable groups can give
                        print(f"{name:<20}{kind:>10}{fraction:>6}  refused: {error}", flush=True)
                        continue
                    seconds = time.perf_counter() - start
                    shrink(model, plan, removed)
                    if kind == "macs":
                        achieved = count_macs(model, args, kwargs) / macs
                    else:
                        achieved = sum(p.numel() for p in model.parameters()) / params
                    error = (achieved - fraction) / fraction
                    worst = max(worst, abs(error))
                    print(
                        f"{name:<20}{kind:>10}{fraction:>6}{achieved:>10.4f}"
                        f"{100 * error:>7.2f}%{seconds:>10.2f}",
                        flush=True,
                    )
                    del model, plan
    print(f"largest error {100 * worst:.2f}% of F")


if __name__ == "__main__":
    main()

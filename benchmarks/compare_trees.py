"""Analysis and shrink cost of two source trees, in one run (processes interleaved).

    python benchmarks/compare_trees.py OTHER_SRC [--reps 3]

compares ``OTHER_SRC`` (the ``src`` folder of another checkout, with its extensions built)
against this checkout's ``src``: the best of the calls of resnet18 (64x64) and a small vision
transformer, standard and extended rules, and the ratio this / other.
"""

from __future__ import annotations

import argparse
import ast
import os
import pathlib
import subprocess
import sys
import time


def _measure() -> None:
    import copy
    import warnings

    import torch
    import torchvision

    from tavrix.pruning import rules
    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.shrink import choose_channels, shrink

    torch.manual_seed(0)
    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    out = {}
    cases = [
        ("resnet18", lambda: torchvision.models.resnet18(weights=None), (1, 3, 64, 64)),
        (
            "vit",
            lambda: torchvision.models.VisionTransformer(32, 8, 4, 4, 64, 128, num_classes=10),
            (1, 3, 32, 32),
        ),
    ]
    for name, build, shape in cases:
        model, x = build().eval(), torch.randn(shape)
        for label, chosen in (("standard", rules.standard), ("extended", rules.extended)):
            analysis = cut = float("inf")
            for _ in range(3):
                twin = copy.deepcopy(model)
                start = time.perf_counter()
                with chosen():
                    plan = get_cutplan(twin, (x,), {})
                analysis = min(analysis, time.perf_counter() - start)
                removed = choose_channels(plan, ratio=0.25, importance="magnitude", model=twin)
                start = time.perf_counter()
                shrink(twin, plan, removed)
                cut = min(cut, time.perf_counter() - start)
            out[f"{name} analysis {label}"] = analysis
            out[f"{name} shrink {label}"] = cut
    print(repr(out))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("other_src")
    parser.add_argument("--reps", type=int, default=3, help="processes per tree (default 3)")
    args = parser.parse_args()
    trees = {"other": args.other_src, "this": str(pathlib.Path(__file__).parents[1] / "src")}
    best: dict = {}
    for _ in range(args.reps):
        for tree, src in trees.items():
            env = dict(os.environ, PYTHONPATH=src, OMP_NUM_THREADS="1")
            found = subprocess.run(
                [sys.executable, __file__, "--measure"],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            for key, value in ast.literal_eval(found.stdout.strip().splitlines()[-1]).items():
                best.setdefault(key, {}).setdefault(tree, []).append(value)
    print("| case | other | this | this / other |\n|---|---|---|---|")
    for key, times in best.items():
        other, this = min(times["other"]) * 1e3, min(times["this"]) * 1e3
        print(f"| {key} | {other:.2f} ms | {this:.2f} ms | {this / other:.3f} |")


if __name__ == "__main__":
    if sys.argv[1:] == ["--measure"]:
        _measure()
    else:
        main()

"""Standard against extended rules on the zoo of the tests (random weights, eval mode, batch 1).

coverage: share of the output channels of the convolution and linear layers (addmm too;
          outputs of the model left out) that lie in a prunable group, per rule set; and, for
          the extended rules, the share in prunable groups of more than one label (channels
          that can actually go: a one-label group keeps its label).
time:     get_cutplan with the extended rules against the standard rules, interleaved
          repetitions in one run, one thread; ratio of the minima (and of the medians) of
          wall and CPU time. Target: at most 1.10.

Models: the torchvision zoo of the tests and BERT, GPT-2 and LLaMA from transformers (small
configs, random weights; LLaMA with split="outer").

    PYTHONPATH=src python benchmarks/bench_rules.py [--models resnet18,swin_t,llama] [--reps 5]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Callable, Dict, List, Tuple

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from tavrix.pruning import rules  # noqa: E402
from tavrix.pruning.cutplan import get_cutplan  # noqa: E402
from test_rules_zoo import LANGUAGE_MODELS, LanguageModel  # noqa: E402
from test_shrink_zoo import ZOO, build  # noqa: E402

TARGET_RATIO = 1.10


def timed(function: Callable[[], object]) -> Tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    function()
    return time.perf_counter() - wall, time.process_time() - cpu


def model_and_input(name: str) -> Tuple[torch.nn.Module, torch.Tensor, Dict[str, str]]:
    """A zoo model (image batch of 1) or a small language model (2 x 12 token ids), and the
    options of the extended rules it is measured with."""
    generator = torch.Generator().manual_seed(0)
    if name in LANGUAGE_MODELS:
        torch.manual_seed(0)
        ids = torch.randint(0, 100, (2, 12), generator=generator)
        return LanguageModel(name).eval(), ids, LANGUAGE_MODELS[name]
    size = 299 if name == "inception_v3" else 224
    return build(name), torch.randn(1, 3, size, size, generator=generator), {}


def measure(name: str, reps: int) -> Dict[str, object]:
    model, x, options = model_and_input(name)
    standard = rules.coverage(model, (x,))
    with rules.extended(**options):
        extended = rules.coverage(model, (x,))

    def analyse_standard() -> None:
        get_cutplan(model, (x,), {})

    def analyse_extended() -> None:
        with rules.extended(**options):
            get_cutplan(model, (x,), {})

    samples: Dict[str, List[Tuple[float, float]]] = {"standard": [], "extended": []}
    with torch.no_grad():
        analyse_standard()  # warm-up
        analyse_extended()
        for rep in range(reps):
            # alternate which goes first, so that drift in the machine's load cancels
            order = [("standard", analyse_standard), ("extended", analyse_extended)]
            for key, function in order if rep % 2 == 0 else reversed(order):
                samples[key].append(timed(function))
    result: Dict[str, object] = {"standard": standard, "extended": extended}
    for kind, index in (("wall", 0), ("cpu", 1)):
        std = [s[index] for s in samples["standard"]]
        ext = [s[index] for s in samples["extended"]]
        result[f"{kind}_min"] = (min(std), min(ext))
        result[f"{kind}_median"] = (statistics.median(std), statistics.median(ext))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--models", default=",".join([*ZOO, *LANGUAGE_MODELS]))
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    names = [n for n in args.models.split(",") if n]
    known = [*ZOO, *LANGUAGE_MODELS]
    unknown = [n for n in names if n not in known]
    if unknown:
        parser.error(f"unknown models: {', '.join(unknown)} (known: {', '.join(known)})")
    torch.set_num_threads(1)
    warnings.simplefilter("ignore", UserWarning)  # layers the standard rules leave unpruned

    print("Coverage: layer output channels in a prunable group (outputs of the model left out)")
    print()
    print("| model | channels | standard | extended | extended, groups of >1 label |")
    print("|---|---|---|---|---|")
    results = {}
    for name in names:
        results[name] = measure(name, args.reps)
        std, ext = results[name]["standard"], results[name]["extended"]
        print(
            f"| {name} | {ext.channels:,} | {std.share:.3f} | {ext.share:.3f} | "
            f"{ext.removable_share:.3f} |",
            flush=True,
        )
    print()
    print(
        f"Analysis time (get_cutplan), extended / standard, {args.reps} interleaved "
        "repetitions, one thread:"
    )
    print()
    print(
        "| model | standard (min) | extended (min) | ratio of minima | ratio of medians "
        "| CPU ratio of minima |"
    )
    print("|---|---|---|---|---|---|")
    worst = 0.0
    for name in names:
        r = results[name]
        (std_min, ext_min), (std_med, ext_med) = r["wall_min"], r["wall_median"]
        cpu_std, cpu_ext = r["cpu_min"]
        ratio = ext_min / std_min
        worst = max(worst, ratio)
        print(
            f"| {name} | {1e3 * std_min:.1f} ms | {1e3 * ext_min:.1f} ms | {ratio:.3f} | "
            f"{ext_med / std_med:.3f} | {cpu_ext / cpu_std:.3f} |"
        )
    print()
    verdict = "met" if worst <= TARGET_RATIO else "NOT met"
    print(f"largest ratio of minima {worst:.3f} (target <= {TARGET_RATIO}): {verdict}")


if __name__ == "__main__":
    main()

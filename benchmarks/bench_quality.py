"""What pruning costs in quality, and what recovery without retraining buys back.

Two models trained here with fixed seeds and cached under .cache/bench_quality/
(benchmarks/quality_models.py): a residual CNN with batch norm on scikit-learn's digits and a
small LLaMA-architecture byte-level language model on this machine's standard library.

For each criterion (random over several seeds) and two budgets (CNN: 50% and 17% of the MACs
kept; LM: 75% and 50% of the decoder layers' MACs kept, cutting only MLP widths and key/value
heads), each recovery: none, batch-norm re-estimation ("bn"), mean compensation, least-squares
compensation (on the CNN also with conv_fit="channels": "lstsq-ch"; each compensation also
followed by the batch-norm re-estimate, "+bn"), and a fixed short fine-tune (of the shrunk
model, no other recovery) as reference. Test accuracy / held-out perplexity, as markdown tables.

    PYTHONPATH=src python benchmarks/bench_quality.py [--quick] [--only cnn|lm] [--draws 5]
        [--cache DIR]
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import inspect
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import torch
import torch.nn.functional as F
from torch import nn

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quality_models as qm  # noqa: E402

from tavrix.pruning import recover, rules  # noqa: E402
from tavrix.pruning.cutplan import get_cutplan  # noqa: E402
from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402
from tavrix.pruning.importance import channel_importance  # noqa: E402
from tavrix.pruning.shrink import choose_channels, magnitude_importance, shrink  # noqa: E402
from tavrix.pruning.shrink.measure import count_macs  # noqa: E402

CRITERIA = ["taylor", "fisher", "activation", "output_error", "magnitude", "weight", "random"]
HAS_TARGET = "target_macs" in inspect.signature(choose_channels).parameters
HAS_CRITERION = "criterion" in inspect.signature(channel_importance).parameters


def statistics_context():
    """The gates' extra statistics (fisher, activation), where the gates can record them."""
    try:
        from tavrix.pruning.gate import record_statistics
    except ImportError:
        return contextlib.nullcontext()
    return record_statistics()


def scores(plan: Any, model: nn.Module, name: str, seed: int) -> Optional[List[Any]]:
    """One importance tensor (or None) per group; None when the criterion is not available."""
    if HAS_CRITERION:
        try:
            found = channel_importance(plan, criterion=name, model=model, seed=seed)
        except (ValueError, TypeError, RuntimeError) as error:
            print(f"  note: criterion {name!r} unavailable ({error})")
            return None
        return [g.importance for g in found]
    if name == "taylor":
        return [g.importance for g in channel_importance(plan)]
    if name == "magnitude":
        return magnitude_importance(model, plan)
    if name == "random":
        generator = torch.Generator().manual_seed(seed)
        return [
            torch.rand(len(labels), generator=generator, dtype=torch.float64)
            for _, labels in plan.prunable_groups
        ]
    return None


class Case:
    """One model under test: how to analyse a copy, calibrate, measure and fine-tune it."""

    name: str
    budgets: Sequence[float]
    batchnorm: bool

    def analyse(self, model: nn.Module) -> Any:
        raise NotImplementedError

    def calibrate(self, model: nn.Module) -> Any:
        raise NotImplementedError

    def quality(self, model: nn.Module) -> float:
        raise NotImplementedError

    def macs(self, model: nn.Module) -> float:
        raise NotImplementedError

    def selected(self, plan: Any) -> List[int]:
        return list(range(len(plan.prunable_groups)))

    def finetune(self, model: nn.Module) -> None:
        raise NotImplementedError


class DigitsCase(Case):
    name = "digits CNN"
    budgets = (0.50, 0.17)
    batchnorm = True

    def __init__(self, quick: bool) -> None:
        self.dense, self.data = qm.digits_model(quick=quick)
        self.calibration = [self.data["x_train"][i : i + 64] for i in range(0, 512, 64)]
        self.labels = [self.data["y_train"][i : i + 64] for i in range(0, 512, 64)]
        self.steps = 60 if quick else 300
        self.example = self.calibration[0]

    def analyse(self, model):
        return get_cutplan(model, (self.example,), {})

    def calibrate(self, model):
        calibrator = TavrixPruningCalibrator(model)
        with statistics_context(), calibrator:
            for x, y in zip(self.calibration, self.labels):
                F.cross_entropy(model(x), y).backward()
        return calibrator.cutplan

    def quality(self, model):
        return 100.0 * qm.digits_accuracy(model, self.data)

    def macs(self, model):
        with torch.no_grad():
            return count_macs(model, (self.example[:1],))

    def finetune(self, model):
        qm.train_digits(model, self.data, steps=self.steps, lr=1e-3, seed=1)


class LanguageCase(Case):
    name = "byte LM"
    budgets = (0.75, 0.50)
    batchnorm = False

    def __init__(self, quick: bool) -> None:
        self.dense, self.train, self.test = qm.lm_model(quick=quick)
        windows = qm.lm_windows(self.train, 128 if quick else 512, seed=7)
        self.calibration = [{"input_ids": windows[i : i + 32]} for i in range(0, len(windows), 32)]
        self.held_out = qm.lm_eval_windows(self.test, 64 if quick else 256)
        self.steps = 30 if quick else 100
        self.example = {"input_ids": self.calibration[0]["input_ids"][:2]}
        head = self.dense.lm_head
        self.head_macs = head.in_features * head.out_features * qm.SEQ

    def analyse(self, model):
        with rules.extended(split="outer"):
            return get_cutplan(model, (), self.example)

    def calibrate(self, model):
        calibrator = TavrixPruningCalibrator(model)
        with rules.extended(split="outer"), statistics_context(), calibrator:
            for batch in self.calibration[:8]:
                qm.lm_loss(model, batch["input_ids"]).backward()
        return calibrator.cutplan

    def quality(self, model):
        return qm.lm_perplexity(model, self.held_out)

    def macs(self, model):
        # the decoder layers' share: the head keeps its size (the stream is not cut)
        ids = {"input_ids": self.example["input_ids"][:1]}
        return count_macs(model, (), ids) - self.head_macs

    def selected(self, plan):
        """MLP widths and key/value heads; the residual stream stays whole."""
        names = plan.prunable_module_names_by_nodes
        chosen = []
        for index, (nodes, _) in enumerate(plan.prunable_groups):
            found = {names.get(n) for n in nodes} - {None}
            if found and all(
                ".mlp.gate_proj" in n
                or ".mlp.up_proj" in n
                or ".self_attn." in n
                and not n.endswith("o_proj")
                for n in found
            ):
                chosen.append(index)
        return chosen

    def finetune(self, model):
        qm.train_lm(model, self.train, steps=self.steps, lr=1e-3, seed=1, batch=16, warmup=10)


def shrunk_macs(case: Case, removed: Dict[int, List[int]]) -> float:
    model = copy.deepcopy(case.dense)
    plan = case.analyse(model)
    shrink(model, plan, removed)
    return case.macs(model)


def uniform_ratio(
    case: Case, plan: Any, importance: List[Any], groups: List[int], target: float, dense: float
) -> Tuple[float, float]:
    """The per-group ratio (of the selected groups) keeping ``target`` of the MACs, by
    bisection with the MAC counter on shrunk copies; (ratio, kept share)."""
    low, high = 0.0, 0.99
    best = (0.0, 1.0)
    for _ in range(14):
        middle = (low + high) / 2
        removed = choose_channels(plan, ratio={g: middle for g in groups}, importance=importance)
        share = shrunk_macs(case, removed) / dense
        if share > target:
            low = middle
        else:
            high = middle
            best = (middle, share)
        if abs(share - target) < 0.005:
            return middle, share
    return best


def choice(
    case: Case,
    master: nn.Module,
    plan: Any,
    importance: List[Any],
    target: float,
    dense: float,
    ratios: Dict[float, Tuple[float, float]],
) -> Dict[int, List[int]]:
    groups = case.selected(plan)
    masked = [importance[i] if i in groups else None for i in range(len(importance))]
    if HAS_TARGET and isinstance(case, DigitsCase):
        return choose_channels(plan, target_macs=target, importance=masked, model=master)
    if target not in ratios:  # the same for every criterion: each group loses its share
        ratios[target] = uniform_ratio(case, plan, masked, groups, target, dense)
    ratio = ratios[target][0]
    return choose_channels(plan, ratio={g: ratio for g in groups}, importance=masked)


RECOVERIES = [
    "none",
    "bn",
    "mean",
    "mean+bn",
    "lstsq",
    "lstsq+bn",
    "lstsq-ch",
    "lstsq-ch+bn",
    "fine-tune",
]


def evaluate(case: Case, removed: Dict[int, List[int]]) -> Tuple[Dict[str, float], float]:
    """Quality after each recovery, and the MACs share kept."""
    model = copy.deepcopy(case.dense)
    plan = case.analyse(model)
    stats = {
        method: recover.collect(model, plan, removed, case.calibration, method=method)
        for method in ("mean", "lstsq")
    }
    if case.batchnorm:  # the convolutions fitted channel by channel too
        stats["lstsq-ch"] = recover.collect(
            model, plan, removed, case.calibration, method="lstsq", conv_fit="channels"
        )
    shrink(model, plan, removed)
    results: Dict[str, float] = {}
    for recovery in RECOVERIES:
        if ("bn" in recovery or "-ch" in recovery) and not case.batchnorm:
            continue
        variant = copy.deepcopy(model)
        method = recovery.split("+")[0]
        if method in stats:
            recover.compensate(variant, stats[method])
        if recovery == "bn" or recovery.endswith("+bn"):
            recover.recalibrate_batchnorm(variant, case.calibration)
        if recovery == "fine-tune":
            case.finetune(variant)
        results[recovery] = case.quality(variant)
    return results, case.macs(model)


def run_case(case: Case, draws: int) -> str:
    start = time.perf_counter()
    dense_quality = case.quality(case.dense)
    dense = case.macs(case.dense)
    master = copy.deepcopy(case.dense)
    plan = case.calibrate(master)
    rows: List[Tuple[str, float, float, Dict[str, str]]] = []
    ratios: Dict[float, Tuple[float, float]] = {}
    for target in case.budgets:
        for name in CRITERIA:
            seeds = range(draws) if name == "random" else [0]
            found: List[Dict[str, float]] = []
            shares = []
            for seed in seeds:
                importance = scores(plan, master, name, seed)
                if importance is None:
                    if target == case.budgets[0]:
                        print(f"  note: {name} skipped (not in this version's API)")
                    break
                removed = choice(case, master, plan, importance, target, dense, ratios)
                results, kept = evaluate(case, removed)
                found.append(results)
                shares.append(kept / dense)
            if not found:
                continue
            cells = {}
            for recovery in found[0]:
                values = [r[recovery] for r in found]
                cells[recovery] = (
                    f"{values[0]:.2f}"
                    if len(values) == 1
                    else f"{statistics.mean(values):.2f} ± {statistics.stdev(values):.2f}"
                )
            label = name if name != "random" else f"random ({len(found)} draws)"
            rows.append((label, target, statistics.mean(shares), cells))
            print(
                f"  {case.name} {label} at {100 * target:.0f}%: "
                + ", ".join(f"{k} {v}" for k, v in cells.items()),
                flush=True,
            )
    what = "test accuracy (%)" if case.batchnorm else "held-out perplexity"
    columns = [r for r in RECOVERIES if case.batchnorm or ("bn" not in r and "-ch" not in r)]
    lines = [
        f"### {case.name}: {what}, dense {dense_quality:.2f}",
        "",
        "| criterion | budget | MACs kept | " + " | ".join(columns) + " |",
        "|---|---|---|" + "---|" * len(columns),
    ]
    for label, target, share, cells in rows:
        lines.append(
            f"| {label} | {100 * target:.0f}% | {100 * share:.1f}% | "
            + " | ".join(cells.get(c, "-") for c in columns)
            + " |"
        )
    lines.append("")
    lines.append(f"({time.perf_counter() - start:.0f} s)")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--only", choices=["cnn", "lm"], default=None)
    parser.add_argument("--draws", type=int, default=None, help="random draws (default 5)")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument(
        "--cache",
        type=Path,
        default=None,
        help=f"folder of the trained models (default {qm.CACHE}); another "
        "checkout's cache is reused as it is",
    )
    args = parser.parse_args()
    if args.cache is not None:
        qm.CACHE = args.cache
    torch.set_num_threads(args.threads)
    draws = args.draws if args.draws is not None else (2 if args.quick else 5)
    if not HAS_TARGET:
        print(
            "note: choose_channels takes no target_macs here: budgets by bisecting a "
            "per-group ratio with count_macs"
        )
    warnings.filterwarnings("ignore", category=UserWarning)
    tables = []
    if args.only in (None, "cnn"):
        tables.append(run_case(DigitsCase(args.quick), draws))
    if args.only in (None, "lm"):
        tables.append(run_case(LanguageCase(args.quick), draws))
    print()
    print("\n\n".join(tables))


if __name__ == "__main__":
    main()

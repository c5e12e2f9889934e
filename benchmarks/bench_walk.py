"""Cost of the graph walk per (node, channel) pair, and against tracing.

Deep synthetic networks are traced on the "meta" device (shapes only, no
weights in memory) and walked with PruneGraphParser. The walk should cost the
same per (node, channel) pair whatever the depth and width; the last table
compares the walk of a full ResNet-50 with its own tracing, in the same run.

    PYTHONPATH=src:tests python benchmarks/bench_walk.py [--quick]
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from pathlib import Path
from typing import Callable, List, Tuple

import torch
import torch.nn.functional as F
from torch import nn

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from tavrix.flowscope.tracing import flowscope_model  # noqa: E402
from tavrix.pruning.engine.graphwalk import PruneGraphParser  # noqa: E402


class ConvChain(nn.Module):
    """conv-bn-relu blocks, one after another."""

    def __init__(self, blocks: int, channels: int) -> None:
        super().__init__()
        self.body = nn.Sequential(
            *(
                nn.Sequential(
                    nn.Conv2d(channels, channels, 3, padding=1, bias=False),
                    nn.BatchNorm2d(channels),
                    nn.ReLU(),
                )
                for _ in range(blocks)
            )
        )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.body(x)


class ResidualBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out = F.relu(self.bn1(self.conv1(x)))
        return F.relu(self.bn2(self.conv2(out)) + x)


class ResidualNet(nn.Module):
    """One residual stream through every block: each add merges into the stream."""

    def __init__(self, blocks: int, channels: int) -> None:
        super().__init__()
        self.stem = nn.Conv2d(3, channels, 3, padding=1, bias=False)
        self.body = nn.Sequential(*(ResidualBlock(channels) for _ in range(blocks // 2)))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.body(self.stem(x))


class DenseNet(nn.Module):
    """Dense blocks of 8 layers (growth channels/8), each closed by a 1x1 transition."""

    def __init__(self, blocks: int, channels: int) -> None:
        super().__init__()
        growth = max(1, channels // 8)
        self.stem = nn.Conv2d(3, channels, 3, padding=1, bias=False)
        self.layers = nn.ModuleList()
        self.transitions = nn.ModuleList()
        for _ in range(max(1, blocks // 8)):
            width = channels
            block = nn.ModuleList()
            for _ in range(8):
                block.append(
                    nn.Sequential(
                        nn.BatchNorm2d(width),
                        nn.ReLU(),
                        nn.Conv2d(width, growth, 3, padding=1, bias=False),
                    )
                )
                width += growth
            self.layers.append(block)
            self.transitions.append(nn.Conv2d(width, channels, 1, bias=False))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.stem(x)
        for block, transition in zip(self.layers, self.transitions):
            for layer in block:
                x = torch.cat([x, layer(x)], 1)
            x = transition(x)
        return x


class DenseBlock(nn.Module):
    """One dense block: every layer sees the concatenation of all before it."""

    def __init__(self, layers: int, channels: int, growth: int) -> None:
        super().__init__()
        self.stem = nn.Conv2d(3, channels, 3, padding=1, bias=False)
        self.layers = nn.ModuleList()
        width = channels
        for _ in range(layers):
            self.layers.append(
                nn.Sequential(
                    nn.BatchNorm2d(width),
                    nn.ReLU(),
                    nn.Conv2d(width, growth, 3, padding=1, bias=False),
                )
            )
            width += growth

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.stem(x)
        for layer in self.layers:
            x = torch.cat([x, layer(x)], 1)
        return x


def trace(model: nn.Module, example: torch.Tensor) -> Tuple[list, float]:
    start = time.perf_counter()
    graph, _ = flowscope_model(model=model, args=(example,), kwargs={}, entry_point="__call__")
    return graph, time.perf_counter() - start


def walk_once(graph: list) -> Tuple[float, int]:
    """One walk's time with the collector off (as timeit does), and its (node, channel) pairs."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = PruneGraphParser().find_prunable_groups(graph)
        seconds = time.perf_counter() - start
    finally:
        gc.enable()
    pairs = sum(len(labels) for labels in result[2].values())
    return seconds, pairs


def walk(graph: list, repeats: int) -> Tuple[float, int]:
    """Best of `repeats` walk times, and the (node, channel) pairs of the result."""
    best = float("inf")
    pairs = 0
    for _ in range(repeats):
        seconds, pairs = walk_once(graph)
        best = min(best, seconds)
    return best, pairs


def synthetic_table(
    kind: str,
    factory: Callable[[int, int], nn.Module],
    blocks: List[int],
    widths: List[int],
    repeats: int,
) -> List[float]:
    print(f"\n{kind}")
    print(f"{'blocks':>7} {'channels':>9} {'nodes':>7} {'pairs':>11} {'walk s':>9} {'ns/pair':>9}")
    graphs = []
    for depth in blocks:
        for width in widths:
            with torch.device("meta"):
                model = factory(depth, width).eval()
                example = torch.empty(1, 3 if kind != "conv-bn-relu chain" else width, 8, 8)
            graphs.append((depth, width, trace(model, example)[0]))
            del model
    # Sizes take turns, so that a burst of load on the machine hits all of them alike.
    best = [float("inf")] * len(graphs)
    pairs = [0] * len(graphs)
    for _ in range(repeats):
        for i, (_, _, graph) in enumerate(graphs):
            seconds, pairs[i] = walk_once(graph)
            best[i] = min(best[i], seconds)
    per_pair = []
    for (depth, width, graph), seconds, n in zip(graphs, best, pairs):
        ns = seconds / n * 1e9
        per_pair.append(ns)
        print(f"{depth:>7} {width:>9} {len(graph):>7} {n:>11} {seconds:>9.4f} {ns:>9.1f}")
    print(f"largest/smallest time per pair: {max(per_pair) / min(per_pair):.2f}")
    return per_pair


def promised_table(repeats: int) -> None:
    """The sizes promised outright: 800 residual blocks at 2048 channels, and a
    dense block of 64 layers."""
    cases = [
        ("residual, 800 residual blocks", lambda: ResidualNet(1600, 2048)),
        ("dense block, 64 layers, growth 32", lambda: DenseBlock(64, 256, 32)),
    ]
    print("\npromised sizes")
    print(f"{'network':<34} {'nodes':>7} {'pairs':>11} {'walk s':>9} {'ns/pair':>9}")
    for name, factory in cases:
        with torch.device("meta"):
            model = factory().eval()
            example = torch.empty(1, 3, 8, 8)
        graph = trace(model, example)[0]
        del model
        seconds, pairs = walk(graph, repeats)
        print(
            f"{name:<34} {len(graph):>7} {pairs:>11} {seconds:>9.4f} {seconds / pairs * 1e9:>9.1f}"
        )
        del graph


def resnet50_table(repeats: int) -> None:
    from models import resnet50

    model = resnet50().eval()
    example = torch.randn(1, 3, 224, 224)
    with torch.no_grad():
        trace(model, example)  # warm-up
        traces = [trace(model, example) for _ in range(repeats)]
    graph = traces[-1][0]
    trace_seconds = min(t for _, t in traces)
    walk_seconds, pairs = walk(graph, repeats)
    print("\nresnet50 (224x224, batch 1, CPU)")
    print(f"{'nodes':>7} {'pairs':>9} {'trace s':>9} {'walk s':>9} {'walk/trace':>11}")
    print(
        f"{len(graph):>7} {pairs:>9} {trace_seconds:>9.4f} {walk_seconds:>9.4f} "
        f"{walk_seconds / trace_seconds:>10.1%}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller grid, one repeat")
    options = parser.parse_args()
    blocks = [50, 200] if options.quick else [50, 200, 800]
    widths = [256, 2048] if options.quick else [256, 512, 2048]
    repeats = 1 if options.quick else 5
    torch.set_num_threads(1)
    ratios = []
    for kind, factory in (
        ("conv-bn-relu chain", ConvChain),
        ("residual network", ResidualNet),
        ("dense blocks", DenseNet),
    ):
        per_pair = synthetic_table(kind, factory, blocks, widths, repeats)
        ratios.append((kind, max(per_pair) / min(per_pair)))
    if not options.quick:
        promised_table(repeats)
    resnet50_table(repeats)
    print("\nlargest/smallest time per pair: " + ", ".join(f"{k} {r:.2f}" for k, r in ratios))


if __name__ == "__main__":
    main()

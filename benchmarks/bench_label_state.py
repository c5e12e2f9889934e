"""Memory and CPU time of the graph walk's label state, per channel label.

The LLaMA 1.1B shape of bench_scale.py (random weights, 128 tokens) at a few depths, and a few
torchvision models: the C heap the walk's state holds once the walk is done (mallinfo2, over the
traced graph), the labels it handed out, bytes per label, and the walk's CPU time (the best of
5, standard and extended rules, torch on one thread). To compare two source trees, run it with
each tree's src on PYTHONPATH, alternately.

    PYTHONPATH=src python benchmarks/bench_label_state.py [--layers 8,22] [--no-vision]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Callable, List, Tuple

import torch
import torchvision

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_scale  # noqa: E402

from tavrix.flowscope.tracing import flowscope_model  # noqa: E402
from tavrix.pruning import rules  # noqa: E402
from tavrix.pruning.engine.graphwalk import PruneGraphParser  # noqa: E402


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_LIBC = ctypes.CDLL("libc.so.6")
_LIBC.mallinfo2.restype = _MallInfo2


def heap_in_use() -> int:
    """Bytes of the C heap in use (small blocks and mapped ones)."""
    info = _LIBC.mallinfo2()
    return int(info.uordblks + info.hblkhd)


def measure(name: str, model: torch.nn.Module, x: torch.Tensor) -> None:
    graph, _ = flowscope_model(model, (x,), {})
    gc.collect()
    before = heap_in_use()
    parser = PruneGraphParser()
    parser.find_prunable_groups(graph)
    held = heap_in_use() - before
    labels = parser.pruning_state.next_ch_label
    parser = None
    times = []
    for chosen in (rules.standard, rules.extended):
        best = float("inf")
        for _ in range(5):
            gc.collect()
            start = time.process_time()
            with chosen():
                PruneGraphParser().find_prunable_groups(graph)
            best = min(best, time.process_time() - start)
        times.append(best)
    print(
        f"{name:22s} {len(graph):6d} {labels:9d} {held / 1e6:9.2f} {held / max(labels, 1):8.1f}"
        f" {times[0] * 1e3:9.2f} {times[1] * 1e3:9.2f}",
        flush=True,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--layers", default="8,22")
    parser.add_argument("--no-vision", action="store_true")
    options = parser.parse_args()
    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    print("model                   nodes    labels  state MB  B/label  walk ms  walk ms ext")
    cases: List[Tuple[str, Callable[[], Tuple[Any, torch.Tensor]]]] = []
    if not options.no_vision:
        for vision, size in (("resnet50", 64), ("densenet121", 64), ("vit_b_16", 224)):

            def build(vision: str = vision, size: int = size) -> Tuple[Any, torch.Tensor]:
                model = getattr(torchvision.models, vision)(weights=None).eval()
                return model, torch.randn(1, 3, size, size)

            cases.append((vision, build))
    for layers in (int(n) for n in options.layers.split(",")):

        def llama(layers: int = layers) -> Tuple[Any, torch.Tensor]:
            ids = torch.randint(0, 32000, (1, 128), generator=torch.Generator().manual_seed(1))
            return bench_scale.built("1.1B", layers, torch.bfloat16), ids

        cases.append((f"llama 1.1B, {layers} layers", llama))
    for name, make in cases:
        model, x = make()
        measure(name, model, x)
        model = None
        gc.collect()


if __name__ == "__main__":
    main()

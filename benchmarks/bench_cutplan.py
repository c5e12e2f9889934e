"""get_cutplan against a plain forward pass, and its memory over repeated calls.

Times get_cutplan on a full-size ResNet-50 (batch 1, 3x224x224) and a plain
forward of the same input in one run: warm-up, then interleaved repetitions,
medians compared. Then calls get_cutplan repeatedly on a small model with the
results dropped and prints the process RSS, which must level off.

    PYTHONPATH=src python benchmarks/bench_cutplan.py [--reps N] [--calls N]
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from tavrix.flowscope.tracing import flowscope_model  # noqa: E402
from tavrix.pruning.cutplan import get_cutplan  # noqa: E402

import models  # noqa: E402

TARGET_RATIO = 1.3


def _rss_mib() -> float:
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def _timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def bench_speed(reps: int) -> float:
    torch.manual_seed(0)
    model = models.resnet50().eval()
    x = torch.randn(1, 3, 224, 224)

    def forward():
        model(x)

    def analyse():
        get_cutplan(model, (x,), {})

    def trace_only():
        flowscope_model(model=model, args=(x,), kwargs={}, entry_point="__call__")

    with torch.no_grad(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(2):
            forward()
            analyse()
            trace_only()
        plain, planned, traced = [], [], []
        for _ in range(reps):
            plain.append(_timed(forward))
            planned.append(_timed(analyse))
            traced.append(_timed(trace_only))
    f, c, t = statistics.median(plain), statistics.median(planned), statistics.median(traced)
    ratio = c / f
    print("| case (resnet50, 1x3x224x224) | median ms | min ms | / forward |")
    print("|---|---:|---:|---:|")
    print(f"| plain forward | {f * 1e3:.1f} | {min(plain) * 1e3:.1f} | 1.00 |")
    print(f"| get_cutplan | {c * 1e3:.1f} | {min(planned) * 1e3:.1f} | {ratio:.2f} |")
    print(f"| of which tracing | {t * 1e3:.1f} | {min(traced) * 1e3:.1f} | {t / f:.2f} |")
    verdict = "ok" if ratio <= TARGET_RATIO else "ABOVE TARGET"
    print(f"\nratio get_cutplan / forward: {ratio:.2f} (target <= {TARGET_RATIO}, {verdict})")
    return ratio


def bench_memory(calls: int) -> float:
    model, x = models.make("resnet18_tiny")
    marks = {}
    with torch.no_grad():
        for i in range(1, calls + 1):
            get_cutplan(model, (x,), {})
            if i in (5, 10, 50, 100, calls):
                gc.collect()
                marks[i] = _rss_mib()
    print("\n| get_cutplan calls (resnet18_tiny, results dropped) | RSS MiB |")
    print("|---:|---:|")
    for i, rss in marks.items():
        print(f"| {i} | {rss:.1f} |")
    growth = marks[calls] - marks[5]
    print(f"\nRSS growth from call 5 to call {calls}: {growth:+.1f} MiB")
    return growth


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=11)
    parser.add_argument("--calls", type=int, default=200)
    options = parser.parse_args()
    torch.set_num_threads(1)
    bench_speed(options.reps)
    bench_memory(options.calls)


if __name__ == "__main__":
    main()

"""Tracing cost against a plain forward of the same model and input.

    PYTHONPATH=src python benchmarks/bench_trace.py [--reps N] [--batch B] [--size S]

Both are timed in the same run, interleaved, after a warm-up; medians are compared.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from tavrix.flowscope.tracing import trace  # noqa: E402

from models import resnet50  # noqa: E402


def _time(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--batch", type=int, default=1)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--grad", action="store_true", help="time with autograd recording on")
    parser.add_argument("--threads", type=int, default=0, help="torch threads (0: default)")
    opts = parser.parse_args()

    if opts.threads:
        torch.set_num_threads(opts.threads)
    torch.manual_seed(0)
    model = resnet50().eval()
    x = torch.randn(opts.batch, 3, opts.size, opts.size)
    grad_mode = torch.enable_grad() if opts.grad else torch.no_grad()

    with grad_mode:
        plain = lambda: model(x)  # noqa: E731
        traced = lambda: trace(model, (x,))  # noqa: E731
        for _ in range(3):
            plain()
            traced()
        t_plain, t_trace = [], []
        for i in range(opts.reps):
            # alternate which goes first so drifts in machine load hit both
            if i % 2:
                t_plain.append(_time(plain))
                t_trace.append(_time(traced))
            else:
                t_trace.append(_time(traced))
                t_plain.append(_time(plain))
        n_nodes = len(trace(model, (x,)).nodes)

    mp, mt = statistics.median(t_plain), statistics.median(t_trace)
    print(
        f"resnet50, input {tuple(x.shape)}, {opts.reps} interleaved reps, "
        f"grad {'on' if opts.grad else 'off'}, {torch.get_num_threads()} threads"
    )
    print(f"{'':16}{'median ms':>12}{'min ms':>10}{'max ms':>10}")
    for label, ts in (("plain forward", t_plain), ("trace", t_trace)):
        print(
            f"{label:16}{statistics.median(ts) * 1e3:12.1f}{min(ts) * 1e3:10.1f}"
            f"{max(ts) * 1e3:10.1f}"
        )
    paired = statistics.median(t / p for t, p in zip(t_trace, t_plain))
    print(
        f"nodes recorded: {n_nodes}; overhead per node (medians): "
        f"{(mt - mp) / n_nodes * 1e6:.1f} us"
    )
    print(
        f"ratio trace / plain: medians {mt / mp:.3f}, "
        f"median of back-to-back pairs {paired:.3f}, minima {min(t_trace) / min(t_plain):.3f}"
    )


if __name__ == "__main__":
    main()

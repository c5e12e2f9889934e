"""Cost of a model call: multiply-accumulates and wall-clock latency."""

from __future__ import annotations

import statistics
import time
from typing import Any, List, Mapping, Optional, Sequence

import torch
from torch import nn
from torch.utils.flop_counter import FlopCounterMode

__all__ = ["count_macs", "compare_latency", "latency_samples"]


def count_macs(
    model: nn.Module, args: Sequence[Any], kwargs: Optional[Mapping[str, Any]] = None
) -> int:
    """Multiply-accumulates of one call (PyTorch's operator-level FLOP count halved)."""
    # with gradients on, so that attention takes its composite path, which the counter sees
    with FlopCounterMode(display=False) as counter:
        model(*args, **dict(kwargs or {}))
    return counter.get_total_flops() // 2


def latency_samples(
    models: Sequence[nn.Module],
    args: Sequence[Any],
    kwargs: Optional[Mapping[str, Any]] = None,
    repeats: int = 10,
    warmup: int = 2,
) -> List[List[float]]:
    """Seconds of ``repeats`` calls of each model, their calls interleaved so that a busy
    machine slows them alike."""
    kwargs = dict(kwargs or {})
    times: List[List[float]] = [[] for _ in models]
    with torch.no_grad():
        for model in models:
            for _ in range(warmup):
                model(*args, **kwargs)
        for _ in range(repeats):
            for i, model in enumerate(models):
                start = time.perf_counter()
                model(*args, **kwargs)
                times[i].append(time.perf_counter() - start)
    return times


def compare_latency(
    models: Sequence[nn.Module],
    args: Sequence[Any],
    kwargs: Optional[Mapping[str, Any]] = None,
    repeats: int = 10,
    warmup: int = 2,
) -> List[float]:
    """Median seconds per call of each model (calls interleaved)."""
    return [
        statistics.median(samples)
        for samples in latency_samples(models, args, kwargs, repeats, warmup)
    ]

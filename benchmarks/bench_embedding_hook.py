"""What the tracer's embedding hook costs: analysis time with it against without.

While a call is intercepted, a global forward pre-hook runs at every module call: it looks up
the ids an ``nn.Embedding`` is given as a traced tensor (transformers' position and token-type
ids, made in the call), and for an embedding subclass with a forward of its own (Whisper's
decoder positions) opens a lookup mode that a forward hook of that module closes. Without it
the analysis of an ordinary transformers call is wrong (its stream is pinned), so it cannot be
turned off; this script replaces it by nothing only to time it.

For each model (random weights, eval mode, one thread) get_cutplan runs under the extended
rules with the hook and without, in interleaved pairs, the order alternating from pair to
pair. Printed: module calls per analysis, the minimum and median wall time of each, the ratios
of the minima, of the medians and of the minimal CPU times, and the difference of the minima per
module call.

    OMP_NUM_THREADS=1 PYTHONPATH=src python benchmarks/bench_embedding_hook.py [--reps N]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import statistics
import time
import warnings
from typing import Any, Callable, Dict, Iterator, List, Tuple

import torch

from tavrix.flowscope import intercept
from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan


def _gpt2() -> Tuple[torch.nn.Module, Dict[str, Any]]:
    import transformers

    config = transformers.GPT2Config(
        vocab_size=100,
        n_positions=64,
        n_embd=64,
        n_layer=2,
        n_head=4,
        bos_token_id=0,
        eos_token_id=0,
    )
    ids = torch.randint(0, 100, (2, 12), generator=torch.Generator().manual_seed(1))
    return transformers.GPT2LMHeadModel(config), {
        "input_ids": ids,
        "attention_mask": torch.ones_like(ids),
    }


def _gpt2_explicit() -> Tuple[torch.nn.Module, Dict[str, Any]]:
    model, kwargs = _gpt2()
    ids = kwargs["input_ids"]
    positions = torch.arange(ids.shape[1]).expand_as(ids)
    return model, {"input_ids": ids, "position_ids": positions, "use_cache": False}


def _resnet18() -> Tuple[torch.nn.Module, Dict[str, Any]]:
    import torchvision

    return torchvision.models.resnet18(weights=None), {"x": torch.randn(1, 3, 224, 224)}


MODELS: Dict[str, Callable[[], Tuple[torch.nn.Module, Dict[str, Any]]]] = {
    # without the hook its positions are a constant: another (smaller) analysis
    "gpt2 (hidden 64, 2 layers, ordinary call)": _gpt2,
    # ids passed in: the hook changes nothing the analysis sees, only costs
    "gpt2 (the same, position_ids passed)": _gpt2_explicit,
    "resnet18 (no embedding)": _resnet18,
}


def _hooks_alone(reps: int) -> None:
    """The hook's own cost per module call: 200 nn.Identity calls on a traced tensor under an
    interceptor that records nothing, with the hook and without (minimum of ``reps``)."""
    model = torch.nn.Sequential(*(torch.nn.Identity() for _ in range(200)))
    x = intercept.to_trace(torch.randn(2, 4))
    times: Dict[bool, List[float]] = {True: [], False: []}
    original = intercept._traced_embedding_indices
    for rep in range(reps):
        for hooks in (True, False) if rep % 2 == 0 else (False, True):
            if not hooks:
                intercept._traced_embedding_indices = _no_hooks  # type: ignore[assignment]
            try:
                with intercept.intercept(intercept.Interceptor()):
                    start = time.perf_counter()
                    for _ in range(20):
                        model(x)
                    times[hooks].append(time.perf_counter() - start)
            finally:
                intercept._traced_embedding_indices = original
    extra = (min(times[True]) - min(times[False])) / (20 * 200)
    print(
        f"hook alone: {min(times[True]) / 4000 * 1e6:.2f} us a module call with it, "
        f"{min(times[False]) / 4000 * 1e6:.2f} us without: {extra * 1e6:.2f} us more"
    )


@contextlib.contextmanager
def _no_hooks() -> Iterator[None]:
    yield


def _module_calls(model: torch.nn.Module, kwargs: Dict[str, Any]) -> int:
    count = [0]

    def hook(module: Any, args: Any) -> None:
        count[0] += 1

    handle = torch.nn.modules.module.register_module_forward_pre_hook(hook)
    try:
        with torch.no_grad():
            model(**kwargs)
    finally:
        handle.remove()
    return count[0]


def _time(model: torch.nn.Module, kwargs: Dict[str, Any], hooks: bool) -> Tuple[float, float]:
    """(wall, CPU) seconds of one analysis."""
    original = intercept._traced_embedding_indices
    if not hooks:
        intercept._traced_embedding_indices = _no_hooks  # type: ignore[assignment]
    try:
        gc.collect()
        start, cpu = time.perf_counter(), time.process_time()
        with rules.extended(), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            get_cutplan(model, (), kwargs)
        return time.perf_counter() - start, time.process_time() - cpu
    finally:
        intercept._traced_embedding_indices = original


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=21, help="pairs per model (21)")
    args = parser.parse_args()
    torch.set_num_threads(1)
    print(
        f"{'model':<44} {'calls':>5} {'with (min/med)':>17} {'without':>17} "
        f"{'min':>6} {'med':>6} {'CPU min':>7} {'per call':>9}"
    )
    for name, build in MODELS.items():
        torch.manual_seed(0)
        model, kwargs = build()
        model.eval()
        calls = _module_calls(model, kwargs)
        runs: Dict[bool, List[Tuple[float, float]]] = {True: [], False: []}
        _time(model, kwargs, True)  # warm-up: imports, caches
        _time(model, kwargs, False)
        for rep in range(args.reps):
            for hooks in (True, False) if rep % 2 == 0 else (False, True):
                runs[hooks].append(_time(model, kwargs, hooks))
        wall = {h: [w for w, _ in runs[h]] for h in runs}
        cpu = {h: min(c for _, c in runs[h]) for h in runs}
        a, b = statistics.median(wall[True]), statistics.median(wall[False])
        print(
            f"{name:<44} {calls:>5} {min(wall[True]) * 1e3:>7.2f}/{a * 1e3:>6.2f} ms "
            f"{min(wall[False]) * 1e3:>7.2f}/{b * 1e3:>6.2f} ms "
            f"{min(wall[True]) / min(wall[False]):>6.3f} {a / b:>6.3f} {cpu[True] / cpu[False]:>7.3f} "
            f"{(min(wall[True]) - min(wall[False])) / calls * 1e6:>6.1f} us"
        )
    _hooks_alone(args.reps)


if __name__ == "__main__":
    main()

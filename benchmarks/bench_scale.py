"""The pipeline on LLaMA-shaped language models of a billion parameters, on one machine.

Models are ``transformers``' LLaMA with random weights (built on the meta device, then
materialised and initialised in place), the 1.1B shape (hidden 2048, 32 heads, 8 key/value
heads, intermediate 5632, vocabulary 32000) at a few layer counts, float32 and bfloat16, one
sequence of 128 tokens. Per step: wall time as a ratio to one no-grad forward, the process's
CPU time (time.process_time, every thread pool of torch pinned to one thread, so that the
machine's other work does not stretch it as it does wall time), and the peak resident memory
the step adds over the memory before it (VmHWM, reset before each step through
/proc/self/clear_refs), as a share of the parameters' bytes and of a forward's own peak, and the
process's own peak over all its steps. Each model runs in its own process; the reloads run in
processes of their own. After the runs, per dtype, each step's CPU time at each depth and what
each added layer cost between two depths: a step that grows faster than linearly in layers
costs more per layer at the deeper pair.

Steps: forward (no grad), trace (the call recorded, with gradients on as a caller has them),
analysis (get_cutplan: the trace, the labels and the plan, which it returns), calibration 1
(the calibrator's first call: analysis, then the gated call and backward), calibration 2,
importance (read-out and a 25% choice), reference (record_reference, before the cut),
shrink, a forward of the shrunk model, check (one-model check_equal), save (save_shrunk),
reload (load_shrunk into a model built on the meta device)
and, for comparison, reload into a model built with its weights.

    PYTHONPATH=src python benchmarks/bench_scale.py [--layers 2,8,22,32] [--dtypes float32,bfloat16]
        [--tokens 128] [--7b]

Runs above 2 GB of parameters need MemAvailable above 1.6 x their size + 3 GB (the 7B shape:
21 GiB); otherwise they are skipped and say why.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings
from typing import Any, Dict, List, Tuple

import torch
import torch.nn.functional as F

SHAPES = {
    "1.1B": dict(
        hidden_size=2048,
        intermediate_size=5632,
        num_attention_heads=32,
        num_key_value_heads=8,
        vocab_size=32000,
    ),
    "7B": dict(
        hidden_size=4096,
        intermediate_size=11008,
        num_attention_heads=32,
        num_key_value_heads=8,
        vocab_size=32000,
    ),
}
GIB = 1024**3


class CausalLM(torch.nn.Module):
    """The language model returning its logits."""

    def __init__(self, model: torch.nn.Module) -> None:
        super().__init__()
        self.model = model

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        return self.model(input_ids=ids, use_cache=False, return_dict=False)[0]


def config(shape: str, layers: int) -> Any:
    import transformers

    return transformers.LlamaConfig(num_hidden_layers=layers, **SHAPES[shape])


def on_meta(shape: str, layers: int, dtype: torch.dtype) -> CausalLM:
    import transformers

    previous = torch.get_default_dtype()
    torch.set_default_dtype(dtype)
    try:
        with torch.device("meta"):
            return CausalLM(transformers.LlamaForCausalLM(config(shape, layers))).eval()
    finally:
        torch.set_default_dtype(previous)


def built(shape: str, layers: int, dtype: torch.dtype, seed: int = 0) -> CausalLM:
    """Random weights, made in place: no second copy while building."""
    from transformers.models.llama.modeling_llama import LlamaRotaryEmbedding

    model = on_meta(shape, layers, dtype)
    model.to_empty(device="cpu")
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, parameter in model.named_parameters():
            if name.endswith("norm.weight"):
                parameter.fill_(1.0)
            else:
                parameter.normal_(0.0, 0.02, generator=generator)
    model.model.model.rotary_emb = LlamaRotaryEmbedding(config(shape, layers)).eval()
    return model


def parameter_bytes(shape: str, layers: int, dtype: torch.dtype) -> int:
    model = on_meta(shape, layers, dtype)
    return sum(p.numel() * p.element_size() for p in model.parameters())


def mem_available() -> int:
    with open("/proc/meminfo") as file:
        for line in file:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def rss() -> Tuple[int, int]:
    """(VmRSS, VmHWM) in bytes."""
    found = {}
    with open("/proc/self/status") as file:
        for line in file:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                found[key] = int(value.split()[0]) * 1024
    return found["VmRSS"], found["VmHWM"]


def trim() -> None:
    """Give freed heap back, so that a step's start is what it holds."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


Row = Tuple[str, float, float, int]  # step, wall seconds, CPU seconds, peak bytes added


class Steps:
    """Times and peaks of the steps of one process."""

    def __init__(self) -> None:
        self.rows: List[Row] = []
        #: the process's resident peak over every step (VmHWM is reset before each)
        self.highest = 0

    def run(self, name: str, function: Any, *args: Any) -> Any:
        trim()
        start = rss()[0]
        with open("/proc/self/clear_refs", "w") as file:
            file.write("5")  # VmHWM back to VmRSS
        began, cpu = time.perf_counter(), time.process_time()
        result = function(*args)
        seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
        peak = rss()[1]
        self.highest = max(self.highest, peak)
        self.rows.append((name, seconds, cpu, peak - start))
        return result


def one_thread() -> None:
    """Every pool torch computes with, down to one thread (the children's environment sets the
    OpenMP and MKL ones before torch loads)."""
    torch.set_num_threads(1)
    try:
        torch.set_num_interop_threads(1)
    except RuntimeError:  # already set, or work already started
        pass


def pipeline(shape: str, layers: int, dtype_name: str, tokens: int, workdir: str) -> Dict:
    from tavrix.flowscope.tracing import trace
    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.gatecal import TavrixPruningCalibrator
    from tavrix.pruning.importance import channel_importance
    from tavrix.pruning.shrink import (
        check_equal,
        choose_channels,
        record_reference,
        save_shrunk,
        shrink,
    )

    dtype = getattr(torch, dtype_name)
    model = built(shape, layers, dtype)
    ids = torch.randint(
        0, SHAPES[shape]["vocab_size"], (1, tokens), generator=torch.Generator().manual_seed(1)
    )
    steps = Steps()

    def forward() -> None:
        with torch.no_grad():
            model(ids)

    forward()  # warm-up
    for _ in range(2):
        steps.run("forward", forward)

    def analysis() -> Any:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            return get_cutplan(model, (ids,), {})

    def traced() -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            trace(model, (ids,))

    steps.run("trace", traced)  # the analysis's first part: the call recorded, no labels yet
    steps.run("analysis", analysis)
    calibrator = TavrixPruningCalibrator(model)

    def calibration() -> None:
        logits = model(ids)
        F.cross_entropy(logits[0, :-1].float(), ids[0, 1:]).backward()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        with calibrator:
            steps.run("calibration 1", calibration)
            steps.run("calibration 2", calibration)
    plan = calibrator.cutplan

    def importance() -> Any:
        channel_importance(plan)
        return choose_channels(plan, 0.25)

    removed = steps.run("importance", importance)
    reference = steps.run("reference", record_reference, model, plan, removed, (ids,))
    report = steps.run("shrink", shrink, model, plan, removed)
    steps.run("forward (shrunk)", forward)
    result = steps.run("check", check_equal, reference, model)
    path = os.path.join(workdir, f"shrunk-{layers}-{dtype_name}.pt")
    steps.run("save", save_shrunk, path, model, report)
    shrunk_bytes = sum(p.numel() * p.element_size() for p in model.parameters())
    outputs = None
    with torch.no_grad():
        outputs = model(ids)
    torch.save(outputs, path + ".logits")
    # let go of them before the next step (the closures above are not called again)
    model = reference = calibrator = None
    return {
        "rows": steps.rows,
        "check": str(result),
        "parameters": report.parameters_before,
        "after": report.parameters_after,
        "shrunk_bytes": shrunk_bytes,
        "path": path,
        "highest": steps.highest,
    }


def reload(shape: str, layers: int, dtype_name: str, tokens: int, path: str, meta: bool) -> Dict:
    from tavrix.pruning.shrink import load_shrunk

    dtype = getattr(torch, dtype_name)
    model = on_meta(shape, layers, dtype) if meta else built(shape, layers, dtype, seed=3)
    steps = Steps()
    steps.run("reload" if meta else "reload (built model)", load_shrunk, path, model)
    ids = torch.randint(
        0, SHAPES[shape]["vocab_size"], (1, tokens), generator=torch.Generator().manual_seed(1)
    )
    with torch.no_grad():
        same = torch.equal(model(ids), torch.load(path + ".logits", weights_only=True))
    return {"rows": steps.rows, "same": same, "highest": steps.highest}


def child(arguments: List[Any]) -> Dict:
    process = subprocess.run(
        [sys.executable, __file__, "--child", json.dumps(arguments)],
        capture_output=True,
        text=True,
        env={**os.environ, "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"},
    )
    if process.returncode != 0:
        raise RuntimeError(f"{arguments} failed:\n{process.stderr[-3000:]}")
    return json.loads(process.stdout.strip().splitlines()[-1])


def room_for(size: int, need: float) -> Tuple[bool, str]:
    available = mem_available()
    if available >= need:
        return True, ""
    return False, (
        f"skipped: MemAvailable {available / GIB:.1f} GiB, this run needs "
        f"{need / GIB:.1f} GiB ({size / GIB:.1f} GiB of parameters)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--layers", default="2,8,22,32")
    parser.add_argument("--dtypes", default="float32,bfloat16")
    parser.add_argument("--tokens", type=int, default=128)
    parser.add_argument(
        "--7b",
        dest="seven",
        action="store_true",
        help="also the 7B shape (32 layers, bfloat16), if memory allows",
    )
    parser.add_argument("--child", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        one_thread()
        kind, *rest = json.loads(options.child)
        if kind == "pipeline":
            shape, layers, dtype, tokens, workdir = rest
            print(json.dumps(pipeline(shape, int(layers), dtype, int(tokens), workdir)))
        else:
            shape, layers, dtype, tokens, path, meta = rest
            print(json.dumps(reload(shape, int(layers), dtype, int(tokens), path, meta)))
        return

    runs = [
        ("1.1B", int(n), d) for d in options.dtypes.split(",") for n in options.layers.split(",")
    ]
    if options.seven:
        # first, while the machine has the most room: it needs nearly all of it
        runs.insert(0, ("7B", 32, "bfloat16"))
    print(
        f"torch {torch.__version__}, {options.tokens} tokens, batch 1, 1 thread; time in no-grad "
        "forwards of the original (wall and CPU), peak = VmHWM over the step's start, over the "
        "parameters' bytes, over a forward's peak and as (parameters + peak) / (parameters + "
        "a forward's peak)"
    )
    # dtype -> layers -> step -> CPU seconds
    cpu_by_depth: Dict[str, Dict[int, Dict[str, float]]] = {}
    with tempfile.TemporaryDirectory() as workdir:
        for shape, layers, dtype in runs:
            size = parameter_bytes(shape, layers, getattr(torch, dtype))
            title = f"\n{shape} shape, {layers} layers, {dtype}: {size / 1e9:.2f} GB of parameters"
            need = 21 * GIB if shape == "7B" else size * 1.6 + 3e9
            if size > 2e9 or shape == "7B":
                fits, why = room_for(size, need)
                if not fits:
                    print(title + f"\n  {why}")
                    continue
            done = child(["pipeline", shape, layers, dtype, options.tokens, workdir])
            rows: List[Row] = [tuple(row) for row in done["rows"]]  # type: ignore[misc]
            for meta in (True, False):
                fits, why = room_for(size, need) if size > 2e9 else (True, "")
                name = "reload" if meta else "reload (built model)"
                if fits:
                    again = child(
                        ["reload", shape, layers, dtype, options.tokens, done["path"], meta]
                    )
                    rows += [tuple(row) for row in again["rows"]]  # type: ignore[misc]
                    done.setdefault("same", []).append(again["same"])
                    done.setdefault("reload_highest", []).append(again["highest"])
                else:
                    rows.append((f"{name}: {why}", float("nan"), float("nan"), 0))
            os.remove(done["path"])
            report(title, rows, size, done)
            if shape == "1.1B":
                # a step timed twice (the forward) counts its faster time, as in the report
                best: Dict[str, float] = {}
                for name, _, cpu, _ in rows:
                    if cpu == cpu:
                        best[name] = min(cpu, best.get(name, cpu))
                cpu_by_depth.setdefault(dtype, {})[layers] = best
    for dtype, by_layers in cpu_by_depth.items():
        scaling(dtype, by_layers)


def report(title: str, rows: List[Row], size: int, done: Dict) -> None:
    forwards = [row for row in rows if row[0] == "forward"]
    forward = min(seconds for _, seconds, _, _ in forwards)
    forward_cpu = min(cpu for _, _, cpu, _ in forwards)
    forward_peak = min(peak for _, _, _, peak in forwards)
    print(title + f" (after the cut {done['after'] / done['parameters']:.0%} of them)")
    print(
        f"  forward {forward * 1e3:.0f} ms ({forward_cpu * 1e3:.0f} ms CPU), peak "
        f"{forward_peak / 1e6:.0f} MB ({forward_peak / size:.4f} of the parameters); shrunk "
        f"parameters {done['shrunk_bytes'] / 1e9:.2f} GB"
    )
    print(
        f"  {'step':<22} {'x forward':>9} {'CPU ms':>8} {'CPU x fw':>8} {'peak MB':>8} "
        f"{'/ params':>9} {'/ forward':>9} {'(p+a)/(p+f)':>11} {'/ shrunk':>8}"
    )
    for name, seconds, cpu, peak in rows:
        if name == "forward":
            continue
        if seconds != seconds:  # skipped
            print(f"  {name}")
            continue
        print(
            f"  {name:<22} {seconds / forward:>9.2f} {cpu * 1e3:>8.0f} {cpu / forward_cpu:>8.2f} "
            f"{peak / 1e6:>8.1f} {peak / size:>9.4f} {peak / forward_peak:>9.2f} "
            f"{(size + peak) / (size + forward_peak):>11.4f} {peak / done['shrunk_bytes']:>8.3f}"
        )
    print(f"  {done['check']}")
    print(f"  reloaded models give the shrunk model's logits: {done.get('same')}")
    reloads = ", ".join(f"{peak / GIB:.2f}" for peak in done.get("reload_highest", []))
    print(
        f"  process peak (VmHWM) {done['highest'] / GIB:.2f} GiB over the pipeline's steps; "
        f"reload processes: {reloads or '-'} GiB"
    )


def scaling(dtype: str, by_layers: Dict[int, Dict[str, float]]) -> None:
    """CPU seconds per step at each depth, and the CPU each added layer cost between two depths.

    Linear in layers is a constant cost per added layer; the last column divides the deepest
    pair's by the shallowest pair's (1 for linear growth, above 1 for faster growth)."""
    depths = sorted(by_layers)
    if len(depths) < 2:
        return
    steps = [name for name in by_layers[depths[-1]] if all(name in by_layers[d] for d in depths)]
    pairs = list(zip(depths, depths[1:]))
    print(f"\nCPU time against depth, {dtype} (s; then ms per added layer between two depths)")
    head = (
        " ".join(f"{d:>7}" for d in depths) + " " + " ".join(f"{f'{a}-{b}':>7}" for a, b in pairs)
    )
    print(f"  {'step':<22} {head} {'last/first':>10}")
    for name in steps:
        cpu = [by_layers[d][name] for d in depths]
        slopes = [(by_layers[b][name] - by_layers[a][name]) / (b - a) * 1e3 for a, b in pairs]
        trend = slopes[-1] / slopes[0] if slopes[0] > 0 else float("nan")
        print(
            f"  {name:<22} "
            + " ".join(f"{value:>7.2f}" for value in cpu)
            + " "
            + " ".join(f"{value:>7.1f}" for value in slopes)
            + f" {trend:>10.2f}"
        )


if __name__ == "__main__":
    main()

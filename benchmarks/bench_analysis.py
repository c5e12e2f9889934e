"""Analysis and calibration cost against one forward, on the torchvision zoo and tiny transformers.

Per model (random weights, eval mode, batch 1, under ``torch.no_grad()``):

- forward: one plain call;
- floor: the same call with the input as a do-nothing ``torch.Tensor`` subclass
  (``__torch_function__`` left as torch's own, which runs the operation and
  re-wraps its results): the unavoidable cost of intercepting every operation
  the way the tracer does;
- trace: ``tavrix.flowscope.tracing.trace``;
- cutplan: ``tavrix.pruning.cutplan.get_cutplan`` (trace, labels, groups, gates).

Then, at batch 8 with gradients on: a calibration step (inside the open
calibrator block, after the first call built the plan: forward with the gates
in place, a loss, backward) against a plain step of a copy of the model with
its parameters frozen and the input requiring grad (so that both backward
passes run through the network and neither computes weight gradients; the
plain one also computes the input's gradient, which the calibration step,
whose gradients stop at the first gates, does not). 2 torch threads, waiting passively (OMP_WAIT_POLICY). The tiny transformers take ``inputs_embeds``-like float
input for that step, so that the plain step has something to differentiate.

Repetitions of the variants of one model are interleaved (the order rotates
from repetition to repetition); minima and medians are printed, ratios are of
the minima (medians in brackets).

    PYTHONPATH=src python benchmarks/bench_analysis.py [--reps 7] [--cal-reps 3]
        [--models a,b,...] [--no-calibration] [--products] [--statistics] [--stages]

``--products`` also times, interleaved with the others, calibration steps whose gates all
multiply (``x * w``, as before gates whose output nothing writes in place handed back
their input).

``--statistics`` also times, interleaved with the others, calibration steps inside
``tavrix.pruning.gate.record_statistics()`` (the gates also accumulate the per-sample squared
Taylor terms and the squared activations).

``--stages`` prints instead, per model, the CPU time of each stage of get_cutplan, and
the room the targets leave beyond the floor against what the result's objects (a node
object per operation, a gate module per gate, the label lists) and the model state's
copy cost when made alone.
"""

from __future__ import annotations

import argparse
import copy
import gc
import os
import statistics
import time
import warnings
from typing import Any, Callable, Dict, List, Tuple

# Before torch starts OpenMP: on a shared 2-core machine, threads spinning at
# barriers while their partner is descheduled make a 2-thread forward swing
# from milliseconds to seconds; waiting passively keeps it steady.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import torch  # noqa: E402
from bench_explain import build as build_zoo_model  # noqa: E402

from tavrix.flowscope.tracing import trace  # noqa: E402
from tavrix.pruning import gate as gate_module  # noqa: E402
from tavrix.pruning.cutplan import get_cutplan  # noqa: E402
from tavrix.pruning.gatecal import TavrixPruningCalibrator  # noqa: E402

ZOO = [
    "resnet18",
    "resnet50",
    "mobilenet_v2",
    "mobilenet_v3_small",
    "efficientnet_b0",
    "densenet121",
    "googlenet",
    "shufflenet_v2_x1_0",
    "squeezenet1_0",
    "regnet_y_400mf",
    "convnext_tiny",
    "vit_b_16",
    "swin_t",
    "inception_v3",
]
TINY = ["tiny_encoder", "tiny_bert"]
TARGET_FORWARD = 1.3
TARGET_FLOOR = 1.15
TARGET_CALIBRATION = 1.10


class _Passthrough(torch.Tensor):
    """Intercepts every operation and does nothing else (torch's default __torch_function__)."""


class _Bert(torch.nn.Module):
    """A 2-layer BERT of width 128 taking token ids, or embeddings for the calibration step."""

    def __init__(self) -> None:
        super().__init__()
        import transformers

        config = transformers.BertConfig(
            vocab_size=1000,
            hidden_size=128,
            num_hidden_layers=2,
            num_attention_heads=2,
            intermediate_size=512,
            max_position_embeddings=64,
        )
        self.bert = transformers.BertModel(config, add_pooling_layer=False)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if x.is_floating_point():
            return self.bert(inputs_embeds=x).last_hidden_state
        return self.bert(input_ids=x).last_hidden_state


def build(name: str) -> Tuple[torch.nn.Module, torch.Tensor, torch.Tensor]:
    """(model in eval mode, batch-1 analysis input, batch-8 calibration input)."""
    torch.manual_seed(0)
    if name == "tiny_encoder":
        layer = torch.nn.TransformerEncoderLayer(128, 4, 512, batch_first=True)
        model = torch.nn.TransformerEncoder(layer, 2, enable_nested_tensor=False)
        return model.eval(), torch.randn(1, 32, 128), torch.randn(8, 32, 128)
    if name == "tiny_bert":
        model = _Bert()
        return model.eval(), torch.randint(0, 1000, (1, 32)), torch.randn(8, 32, 128)
    model, x = build_zoo_model(name)
    return model, x, torch.randn(8, *x.shape[1:])


def _timed(fn: Callable[[], Any]) -> float:
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def interleaved(variants: Dict[str, Callable[[], Any]], reps: int) -> Dict[str, List[float]]:
    names = list(variants)
    for name in names:  # warm-up: imports, caches, allocator, one-off kernel set-up
        variants[name]()
    times: Dict[str, List[float]] = {name: [] for name in names}
    for rep in range(reps):
        shift = rep % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(_timed(variants[name]))
    return times


def _loss(out: Any) -> torch.Tensor:
    return out.float().logsumexp(dim=-1).mean()


def bench_analysis(model: torch.nn.Module, x: torch.Tensor, reps: int) -> Dict[str, List[float]]:
    floor_x = x.as_subclass(_Passthrough)
    with torch.no_grad():
        return interleaved(
            {
                "forward": lambda: model(x),
                "floor": lambda: model(floor_x),
                "trace": lambda: trace(model, (x,)),
                "cutplan": lambda: get_cutplan(model, (x,), {}),
            },
            reps,
        )


def bench_calibration(
    model: torch.nn.Module,
    x: torch.Tensor,
    reps: int,
    products: bool = False,
    statistics_too: bool = False,
) -> Dict[str, List[float]]:
    # The plain step runs on a copy: inside the block the model's own calls are
    # calibration calls.
    plain_model = copy.deepcopy(model).requires_grad_(False)  # frozen: no weight gradients
    x_grad = x.clone().requires_grad_(True)
    calibrator = TavrixPruningCalibrator(model)

    def plain() -> None:
        _loss(plain_model(x_grad)).backward()
        x_grad.grad = None

    def calibration() -> None:
        _loss(model(x)).backward()

    def with_products() -> None:
        # every gate multiplies, as before gates handed back their input
        saved = gate_module._all_ones
        gate_module._all_ones = lambda weight: False
        try:
            calibration()
        finally:
            gate_module._all_ones = saved

    def with_statistics() -> None:
        with gate_module.record_statistics():
            calibration()

    variants = {"plain": plain, "calibration": calibration}
    if products:
        variants["products"] = with_products
    if statistics_too:
        variants["statistics"] = with_statistics
    with torch.enable_grad(), calibrator:
        calibration()  # the first call builds the cutplan; not a step
        return interleaved(variants, reps)


def stage_profile(model: torch.nn.Module, x: torch.Tensor, reps: int) -> Dict[str, float]:
    """Where get_cutplan's time goes: CPU seconds of this process per stage (minima), the
    stages run one after the other as get_cutplan runs them."""
    from tavrix.flowscope.modelstate import ModelState
    from tavrix.flowscope.tracing import flowscope_model, provenance
    from tavrix.pruning import cutplan as plan_module
    from tavrix.pruning.engine.graphwalk import PruneGraphParser

    floor_x = x.as_subclass(_Passthrough)
    times: Dict[str, List[float]] = {}

    def tick(stage: str, start: float) -> float:
        now = time.process_time()
        times.setdefault(stage, []).append(now - start)
        return now

    with torch.no_grad():
        for _ in range(reps + 1):
            gc.collect()
            t = time.process_time()
            model(x)
            t = tick("forward", t)
            model(floor_x)
            t = tick("floor", t)
            ModelState(model).restore()
            t = tick("model state", t)
            with provenance(False):
                flowscope_model(model, (x,), {})
            t = tick("trace, provenance off", t)
            graph, outputs = flowscope_model(model, (x,), {})
            t = tick("trace", t)
            gc.disable()  # as get_cutplan does after the trace
            parser = PruneGraphParser()
            prunable, unprunable, labels, dims, users = parser.find_prunable_groups(graph)
            t = tick("label walk", t)
            labels = labels._to_dict()
            t = tick("labels to dict", t)
            plan_module._make_groups_containing_output_unprunable(prunable, unprunable, outputs)
            plan_module._get_prunable_nn_modules(model, labels)
            t = tick("module lookup", t)
            gates, _, _ = plan_module.create_gate_container(labels, prunable, users, dims)
            t = tick("gates", t)
            gc.enable()
            plan_module.get_cutplan(model, (x,), {})
            t = tick("get_cutplan", t)
            # What any analysis with this result must make, timed alone: the result's
            # node objects and its gate modules (the model state is timed above).
            gc.disable()
            t = time.process_time()
            remake_nodes(graph)
            t = tick("nodes alone", t)
            remake_gates(gates, prunable)
            t = tick("gate modules alone", t)
            gc.enable()
    return {stage: min(samples[1:]) for stage, samples in times.items()}


def remake_nodes(graph: List[Any]) -> List[Any]:
    """A fresh NodeInfo per recorded node, from the same fields: what a recorder must make
    for each operation, without intercepting, describing or naming anything."""
    from tavrix.flowscope.tracing import NodeInfo

    return [
        NodeInfo(
            n.operation,
            n.operation_name,
            n.args,
            n.kwargs,
            n.result_shape,
            n.unique_name,
            n.location,
            n.module_path,
        )
        for n in graph
    ]


def remake_gates(gates: Any, prunable: List[Any]) -> List[Any]:
    """A bare ChannelGate per gate of the plan and a group per prunable group, nothing placed."""
    from tavrix.pruning.gate import ChannelGate, GroupSharedGate

    made: List[Any] = [ChannelGate(gate.labels, gate.prune_dim) for gate in gates.values()]
    made.extend(GroupSharedGate(labels) for _, labels in prunable)
    return made


def print_stages(names: List[str], reps: int) -> None:
    print(f"CPU ms per stage (minima of {reps}); the trace includes the model state")
    for name in names:
        model, x, _ = build(name)
        stages = stage_profile(model, x, reps)
        print(
            f"{name:<20}" + "  ".join(f"{k} {v * 1e3:.2f}" for k, v in stages.items()), flush=True
        )
        # The room the targets leave beyond the floor, against what the result alone costs.
        room = (TARGET_FLOOR - 1) * stages["floor"]
        if name in ZOO:
            room = min(room, TARGET_FORWARD * stages["forward"] - stages["floor"])
        needed = (
            stages["model state"]
            + stages["nodes alone"]
            + stages["labels to dict"]
            + stages["gate modules alone"]
        )
        print(
            f"{'':<20}room beyond the floor {room * 1e3:.2f}  used "
            f"{(stages['get_cutplan'] - stages['floor']) * 1e3:.2f}  of which the result's "
            f"objects and the model state alone {needed * 1e3:.2f}",
            flush=True,
        )


def _cell(samples: List[float], base: List[float]) -> str:
    return f"{min(samples) / min(base):.2f} ({statistics.median(samples) / statistics.median(base):.2f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7, help="analysis repetitions (default 7)")
    parser.add_argument("--cal-reps", type=int, default=3, help="calibration steps (default 3)")
    parser.add_argument("--models", default=",".join(ZOO + TINY), help="comma-separated names")
    parser.add_argument("--no-calibration", action="store_true")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument(
        "--products",
        action="store_true",
        help="also time calibration steps whose gates all multiply",
    )
    parser.add_argument(
        "--statistics",
        action="store_true",
        help="also time calibration steps that record the extra statistics",
    )
    parser.add_argument(
        "--stages",
        action="store_true",
        help="print where get_cutplan's time goes instead (CPU time per stage)",
    )
    options = parser.parse_args()
    torch.set_num_threads(options.threads)
    names = [name for name in options.models.split(",") if name]
    if options.stages:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            print_stages(names, options.reps)
        return

    print(
        f"{torch.get_num_threads()} threads; analysis: batch 1, {options.reps} reps; "
        f"calibration: batch 8, {options.cal_reps} reps; ratios of minima (of medians)"
    )
    print(
        f"{'model':<20}{'fwd ms':>8}{'floor/fwd':>13}{'trace/fwd':>13}{'cutplan/fwd':>13}"
        f"{'cutplan/floor':>15}{'plain s':>9}{'calib/plain':>13}"
        + (f"{'products/plain':>16}" if options.products else "")
        + (f"{'stats/plain':>13}{'stats/calib':>13}" if options.statistics else "")
    )
    worst = {"forward": 0.0, "floor": 0.0, "calibration": 0.0}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in names:
            model, x, x_cal = build(name)
            t = bench_analysis(model, x, options.reps)
            f = t["forward"]
            row = (
                f"{name:<20}{min(f) * 1e3:8.1f}{_cell(t['floor'], f):>13}"
                f"{_cell(t['trace'], f):>13}{_cell(t['cutplan'], f):>13}"
                f"{_cell(t['cutplan'], t['floor']):>15}"
            )
            zoo = name in ZOO
            if zoo:
                worst["forward"] = max(worst["forward"], min(t["cutplan"]) / min(f))
            worst["floor"] = max(worst["floor"], min(t["cutplan"]) / min(t["floor"]))
            if not options.no_calibration:
                c = bench_calibration(
                    model, x_cal, options.cal_reps, options.products, options.statistics
                )
                row += f"{min(c['plain']):9.3f}{_cell(c['calibration'], c['plain']):>13}"
                if options.products:
                    row += f"{_cell(c['products'], c['plain']):>16}"
                if options.statistics:
                    row += (
                        f"{_cell(c['statistics'], c['plain']):>13}"
                        f"{_cell(c['statistics'], c['calibration']):>13}"
                    )
                if zoo:
                    worst["calibration"] = max(
                        worst["calibration"], min(c["calibration"]) / min(c["plain"])
                    )
            print(row, flush=True)
            del model
    for label, key, target in (
        ("cutplan/forward (zoo)", "forward", TARGET_FORWARD),
        ("cutplan/floor (all)", "floor", TARGET_FLOOR),
        ("calibration/plain (zoo)", "calibration", TARGET_CALIBRATION),
    ):
        if key == "calibration" and options.no_calibration:
            continue
        verdict = "met" if worst[key] <= target else "not met"
        print(f"largest {label}: {worst[key]:.3f} (target <= {target}): {verdict}")


if __name__ == "__main__":
    main()

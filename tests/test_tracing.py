"""The tracer and the interception mechanism on small real modules."""

from __future__ import annotations

import copy
import dataclasses
import gc
import threading
import weakref
from collections import Counter, OrderedDict

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope import TraceTensor
from tavrix.flowscope.intercept import (
    Interceptor,
    active_interceptor,
    intercept,
    to_plain,
    to_trace,
)
from tavrix.flowscope.tracing import NodeInfo, TensorInfo, flowscope_model, trace
from tavrix.flowscope.utils import get_tensor_uid
from tavrix.utils.common import iter_leaves

from models import MODEL_FACTORIES, make


def _real_ops(nodes):
    return [n for n in nodes if n.operation_name != "__get__"]


class ConvBnRelu(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.relu = nn.ReLU(inplace=True)

    def forward(self, x):
        return self.relu(self.bn(self.conv(x)))


class Residual(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.a = nn.Conv2d(4, 4, 1)
        self.b = nn.Conv2d(4, 4, 1)

    def forward(self, x):
        out = self.a(x)
        out += self.b(x)  # in place: later reads must see the add_ node
        y = F.relu(out, inplace=True)
        return y + out


def test_conv_bn_relu_nodes():
    model = ConvBnRelu().eval()
    x = torch.randn(2, 3, 8, 8)
    nodes, outputs = flowscope_model(model=model, args=(x,), kwargs={}, entry_point="__call__")

    conv, bn, relu = _real_ops(nodes)
    assert conv.operation is F.conv2d and conv.operation_name == "conv2d"
    assert bn.operation is F.batch_norm
    assert relu.operation is F.relu and relu.kwargs == {"inplace": True}
    assert [n.result_shape for n in (conv, bn, relu)] == [(2, 8, 8, 8)] * 3
    assert bn.collect_all_input_nodes() == [conv]
    assert relu.collect_all_input_nodes() == [bn]
    assert outputs == [relu]

    model_input, weight, bias = conv.args[:3]
    assert isinstance(model_input, TensorInfo) and model_input.type is TraceTensor
    assert model_input.shape == (2, 3, 8, 8)
    assert weight.type is nn.Parameter and weight.tensor_uid == get_tensor_uid(model.conv.weight)
    assert bias.tensor_uid == get_tensor_uid(model.conv.bias)
    assert bn.args[1].tensor_uid == get_tensor_uid(model.bn.running_mean)
    assert bn.args[1].type is torch.Tensor

    names = [n.unique_name for n in nodes]
    assert len(set(names)) == len(names) and "conv2d_0" in names
    assert "conv2d_0" in repr(bn)
    # graphs are kept around: no node may pin a real tensor
    for node in nodes:
        assert not any(isinstance(v, torch.Tensor) for v in iter_leaves((node.args, node.kwargs)))


def test_in_place_ops_become_producers():
    model = Residual()
    nodes, outputs = flowscope_model(model=model, args=(torch.randn(1, 4, 3, 3),))
    conv_a, conv_b, iadd, relu, add = _real_ops(nodes)
    assert iadd.operation is torch.Tensor.add_
    assert iadd.collect_all_input_nodes() == [conv_a, conv_b]
    assert relu.collect_all_input_nodes() == [iadd]
    # `out` was changed in place by relu: both operands of the final add are relu
    assert add.operation is torch.Tensor.add
    assert add.args[0] is relu and add.args[1] is relu
    assert outputs == [add]


def test_concatenation_and_nested_arguments():
    class Cat(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.a = nn.Conv2d(3, 4, 1)
            self.b = nn.Conv2d(3, 6, 1)

        def forward(self, x):
            a, b = self.a(x), self.b(x)
            return torch.cat([a, b, a], dim=1)

    nodes, outputs = flowscope_model(model=Cat(), args=(torch.randn(1, 3, 2, 2),))
    conv_a, conv_b, cat = nodes
    assert cat.operation is torch.cat
    assert cat.args[0] == [conv_a, conv_b, conv_a] and cat.kwargs == {"dim": 1}
    assert cat.collect_all_input_nodes() == [conv_a, conv_b]
    assert cat.result_shape == (1, 14, 2, 2)

    # hand-built: nested containers, positional before keyword, each node once
    n1, n2, n3 = (NodeInfo(torch.relu, "relu", unique_name=f"n{i}") for i in range(3))
    node = NodeInfo(torch.cat, "cat", ((n2, [n1]), 3), {"x": {"k": [n3, n2]}})
    assert node.collect_all_input_nodes() == [n2, n1, n3]
    assert {node: 1}[node] == 1 and node != NodeInfo(torch.cat, "cat", node.args, node.kwargs)


def test_functional_calls_with_keywords():
    weight = nn.Parameter(torch.randn(5, 3))

    def fn(x):
        return F.linear(input=x, weight=weight).sum(dim=-1, keepdim=True)

    nodes, outputs = flowscope_model(model=nn.Module(), args=(torch.randn(2, 3),), entry_point=fn)
    linear, total = nodes
    assert linear.operation is F.linear and linear.args == ()
    assert linear.kwargs["weight"].tensor_uid == get_tensor_uid(weight)
    assert linear.kwargs["input"].type is TraceTensor
    assert total.operation is torch.Tensor.sum and total.kwargs == {"dim": -1, "keepdim": True}
    assert total.collect_all_input_nodes() == [linear] and outputs == [total]


@pytest.mark.parametrize(
    "read",
    [
        lambda y: y.shape,
        lambda y: y.size(),
        lambda y: y.size(1),
        lambda y: y.dim(),
        lambda y: y.ndim,
        lambda y: y.numel(),
        lambda y: len(y),
        lambda y: y.dtype,
        lambda y: y.device,
        lambda y: y.stride(),
        lambda y: y.is_contiguous(),
        lambda y: y.requires_grad,
    ],
)
def test_metadata_reads_are_recorded_as_get(read):
    conv = nn.Conv2d(3, 4, 1)

    def fn(x):
        y = conv(x)
        read(y)
        return y

    nodes, _ = flowscope_model(model=conv, args=(torch.randn(1, 3, 2, 2),), entry_point=fn)
    assert len(nodes) == 2
    meta = nodes[1]
    assert meta.operation_name == "__get__"
    assert meta.result_shape is None
    assert meta.collect_all_input_nodes() == [nodes[0]]


@pytest.mark.parametrize(
    "read",
    [lambda y: y.mT, lambda y: y.data, lambda y: y.detach(), lambda y: y.type(torch.float64)],
)
def test_tensor_valued_reads_are_ordinary_operations(read):
    # these move data into a new tensor: recording them as metadata would let
    # the producer's channels stay prunable behind the engine's back
    def fn(x):
        return read(x * 2)

    nodes, outputs = flowscope_model(model=nn.Module(), args=(torch.randn(2, 3),), entry_point=fn)
    assert nodes[-1].operation_name != "__get__"
    assert nodes[-1].result_shape is not None and outputs == [nodes[-1]]


class TwoHeads(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.body = nn.Linear(4, 4)
        self.head = nn.Sequential(nn.Linear(4, 2))

    def forward(self, inputs, scale=1.0):
        h = self.body(inputs["a"]) + inputs["pair"][1]
        return {"logits": self.head(h) * scale, "aux": (h, inputs["pair"][0])}


def test_nested_inputs_outputs_and_real_outputs():
    model = TwoHeads()
    inputs = {"a": torch.randn(3, 4), "pair": [torch.randn(3, 4), torch.randn(3, 4)]}
    result = trace(model, args=(inputs,), kwargs={"scale": 2.0})
    expected = model(inputs, scale=2.0)

    assert set(result.outputs) == {"logits", "aux"}
    assert type(result.outputs["logits"]) is torch.Tensor
    assert type(result.outputs["aux"][0]) is torch.Tensor
    assert torch.equal(result.outputs["logits"], expected["logits"])
    assert torch.equal(result.outputs["aux"][1], inputs["pair"][0])
    ops = [n.unique_name for n in result.output_nodes]
    # the passed-through input has no producing node
    assert ops == ["mul_0", "add_0"]
    linear = result.nodes[0]
    assert linear.args[0].type is TraceTensor


def test_dotted_and_callable_entry_points():
    model = TwoHeads()
    h = torch.randn(3, 4)
    nodes, outputs = flowscope_model(model=model, args=(h,), entry_point="head.forward")
    assert [n.operation for n in nodes] == [F.linear]
    assert nodes[0].args[1].tensor_uid == get_tensor_uid(model.head[0].weight)

    nodes, outputs = flowscope_model(model=model, args=(h,), entry_point=model.body)
    assert [n.operation for n in nodes] == [F.linear] and outputs == nodes


@pytest.mark.parametrize(
    "entry_point, error",
    [
        ("missing", ValueError),
        ("head.nothing.forward", ValueError),
        ("", ValueError),
        ("training", ValueError),
        (42, TypeError),
    ],
)
def test_bad_entry_points(entry_point, error):
    with pytest.raises(error):
        flowscope_model(model=TwoHeads(), args=(torch.randn(1, 4),), entry_point=entry_point)
    assert active_interceptor() is None


def test_model_state_left_untouched():
    model = make("resnet18_tiny")[0].train()
    model.layer1.eval()
    calls = []
    model.fc.register_forward_hook(lambda *a: calls.append(1))
    flags = {name: m.training for name, m in model.named_modules()}
    params = {name: (p, p.detach().clone()) for name, p in model.named_parameters()}
    buffers = {name: (b, b.clone()) for name, b in model.named_buffers()}

    def count_hooks():
        return sum(len(m._forward_hooks) + len(m._forward_pre_hooks) for m in model.modules())

    n_hooks = count_hooks()
    trace(model, (torch.randn(2, 3, 32, 32),))

    assert calls == [1]  # the model's own hooks still run during tracing
    assert {name: m.training for name, m in model.named_modules()} == flags
    for name, p in model.named_parameters():
        assert p is params[name][0] and torch.equal(p, params[name][1]) and p.requires_grad
    # training-mode batch norm would have updated its statistics
    for name, b in model.named_buffers():
        assert b is buffers[name][0] and torch.equal(b, buffers[name][1]), name
    assert count_hooks() == n_hooks


def test_model_attribute_swaps_are_undone():
    class Swapper(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.lin = nn.Linear(2, 2)
            self.register_buffer("step", torch.zeros(()))
            self.register_buffer("hits", torch.zeros(()))
            self.kept = []
            self.kept.append(self.kept)  # a list holding itself is walked once
            self.calls, self.scales = 0, None

        def forward(self, x):
            self.hits += 1  # in place, even in eval mode
            self.step = self.step + 1  # rebinds the buffer
            self.lin = nn.Linear(2, 2)  # swaps a child
            self.last = x * 2  # keeps an activation
            self.kept.append(x * 3)  # or a list of them (RAFT's correlation pyramid)
            self.pair = (x, {"y": [x + 1]})
            self.calls += 1  # a plain attribute rebound
            if self.scales is None:  # set up on first use (MultiScaleRoIAlign)
                self.scales = list(x.shape)
            return x

    model = Swapper().eval()
    lin, step, hits, kept = model.lin, model.step, model.hits, model.kept
    trace(model, (torch.randn(1, 2),))
    assert model.lin is lin and model.step is step and step.item() == 0
    assert model.hits is hits and hits.item() == 0
    assert type(model.last) is torch.Tensor
    assert model.kept is kept and kept[0] is kept and type(kept[1]) is torch.Tensor
    assert type(model.pair[0]) is torch.Tensor and type(model.pair[1]["y"][0]) is torch.Tensor
    assert model.calls == 0 and model.scales is None
    copy.deepcopy(model)  # which a tracer's tensor left in the model would refuse


class PlainWrites(nn.Module):
    """Eval-mode writes with plain operands only, which no interception sees, to
    buffers of several layouts and dtypes (copied together before the call)."""

    def __init__(self, raises: bool) -> None:
        super().__init__()
        self.raises = raises
        self.register_buffer("strided", torch.arange(12.0).reshape(3, 4).t())
        self.register_buffer("flags", torch.tensor([True, False]))
        self.register_buffer("count", torch.zeros((), dtype=torch.long))
        self.register_buffer("grown", torch.ones(3))
        self.register_buffer("moved", torch.ones(2))
        self.register_buffer("odd", torch.tensor([float("nan"), -0.0, float("inf")]))

    def forward(self, x):
        self.strided.mul_(-1)
        self.flags.logical_not_()
        self.count += 1
        self.grown.resize_(5).fill_(2)
        self.moved.set_(torch.zeros(4))  # another storage
        self.odd.zero_()
        if self.raises:
            raise ValueError("after the writes")
        return x + 1


@pytest.mark.parametrize("raises", [False, True])
def test_eval_mode_plain_writes_to_buffers_are_undone(raises):
    model = PlainWrites(raises).eval()
    before = {name: (b, b.clone(), b.stride()) for name, b in model.named_buffers()}
    if raises:
        with pytest.raises(ValueError):
            trace(model, (torch.randn(2),))
    else:
        trace(model, (torch.randn(2),))
    for name, b in model.named_buffers():
        tensor, value, stride = before[name]
        assert b is tensor and b.dtype == value.dtype and b.shape == value.shape, name
        assert torch.equal(b.nan_to_num(), value.nan_to_num()), name
        assert torch.equal(b.signbit(), value.signbit()), name
    assert model.strided.stride() == before["strided"][2]


class Counter3(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.lin = nn.Linear(3, 3)
        self.register_buffer("count", torch.zeros((), dtype=torch.long))

    def forward(self, x):
        self.count += 1
        return self.lin(x)


def test_model_made_in_inference_mode_is_traced_and_given_back():
    with torch.inference_mode():
        model = Counter3().eval()  # inference tensors keep no version counter
        result = trace(model, (torch.randn(2, 3),))
        assert len(result.nodes) > 0 and model.count.item() == 0 and model.count.is_inference()


def test_exception_propagates_and_leaves_nothing_behind():
    error = RuntimeError("boom")

    class Failing(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.bn = nn.BatchNorm1d(3)

        def forward(self, x):
            self.bn(x)
            raise error

    model = Failing().train()
    mean = model.bn.running_mean.clone()
    with pytest.raises(RuntimeError) as info:
        trace(model, (torch.randn(4, 3),))
    assert info.value is error
    assert active_interceptor() is None
    assert torch.equal(model.bn.running_mean, mean)

    nodes, _ = flowscope_model(model=ConvBnRelu(), args=(torch.randn(1, 3, 4, 4),))
    assert len(_real_ops(nodes)) == 3


def test_stale_tensor_from_an_earlier_trace_is_not_a_node():
    cache = []  # outside the model: the trace makes plain only what the model holds

    class Cache(nn.Module):
        def forward(self, x):
            y = x * 2
            if not cache:
                cache.append(y)
            return y + cache[0]

    model = Cache()
    trace(model, (torch.randn(2),))
    nodes, _ = flowscope_model(model=model, args=(torch.randn(2),))
    mul, add = nodes
    assert add.args[0] is mul
    assert isinstance(add.args[1], TensorInfo) and add.args[1].type is TraceTensor


@pytest.mark.parametrize("name", sorted(MODEL_FACTORIES))
def test_outputs_equal_plain_forward(name):
    model, x = make(name)
    result = trace(model, (x,))
    assert type(result.outputs) is torch.Tensor
    assert torch.equal(result.outputs, model(x))
    assert len(result.output_nodes) == 1 and result.output_nodes[0] is result.nodes[-1]
    # topological order: every input node was recorded earlier
    position = {node: i for i, node in enumerate(result.nodes)}
    for i, node in enumerate(result.nodes):
        assert all(position[src] < i for src in node.collect_all_input_nodes())


def test_no_grad_and_meta_device():
    model = make("resnet18_tiny")[0].to("meta")
    with torch.no_grad():
        result = trace(model, (torch.empty(2, 3, 32, 32, device="meta"),))
    assert result.outputs.device.type == "meta" and result.outputs.shape == (2, 10)
    assert sum(n.operation is F.conv2d for n in result.nodes) == 20


def test_resnet50_node_list():
    model, x = make("resnet50_tiny")
    nodes, outputs = flowscope_model(model=model, args=(x,))
    counts = Counter(n.operation for n in nodes)
    assert counts[F.conv2d] == 53 and counts[F.batch_norm] == 53
    assert counts[F.relu] == 49 and counts[torch.Tensor.add_] == 16
    assert counts[torch.Tensor.dim] == 53  # batch norm's input check, as metadata reads
    ops = [n.operation for n in _real_ops(nodes)]
    assert ops[:4] == [F.conv2d, F.batch_norm, F.relu, F.max_pool2d]
    assert ops[-3:] == [F.adaptive_avg_pool2d, torch.flatten, F.linear]
    for node in nodes:
        if node.operation is F.batch_norm:
            assert node.args[0].operation is F.conv2d
        if node.operation is torch.Tensor.add_:
            # bottleneck output (bn3) plus the identity or downsample branch
            a, b = node.collect_all_input_nodes()
            assert a.operation is F.batch_norm and b.operation in (F.relu, F.batch_norm)
    assert outputs == [nodes[-1]]


def test_transformer_block_node_list():
    model, x = make("transformer_block")
    nodes, outputs = flowscope_model(model=model, args=(x,))
    assert [n.operation_name for n in nodes] == [
        "layer_norm", "__get__",
        "linear", "__get__", "reshape", "transpose",
        "linear", "__get__", "reshape", "transpose",
        "linear", "__get__", "reshape", "transpose",
        "transpose", "matmul", "mul", "softmax", "matmul", "transpose", "reshape",
        "linear", "add",
        "layer_norm", "linear", "gelu", "linear", "add",
    ]  # fmt: skip
    first_add = nodes[22]
    assert isinstance(first_add.args[0], TensorInfo) and first_add.args[1] is nodes[21]
    assert nodes[-1].collect_all_input_nodes() == [first_add, nodes[-2]]
    assert outputs == [nodes[-1]]


# --------------------------------------------------------------- interception


class Doubler(Interceptor):
    def __init__(self) -> None:
        self.names = []

    def after_call(self, call, result):
        self.names.append(call.name)
        if call.func is F.relu:
            return to_plain(result) * 2  # plain result: must be re-wrapped
        return result


def test_interceptor_replaces_results_and_sees_outermost_calls_only():
    x = torch.randn(4)
    spy = Doubler()
    with intercept(spy):
        out = F.relu(to_trace(x)).neg()
    assert isinstance(out, TraceTensor)
    assert torch.equal(to_plain(out), -2 * F.relu(x))
    # F.relu's inner torch.relu and the interceptor's own multiply are not seen
    assert spy.names == ["relu", "neg"]
    assert active_interceptor() is None


def test_replay_sees_the_names_the_tracer_records():
    model, x = make("se_resnet_small")
    nodes, _ = flowscope_model(model=model, args=(x,))
    spy = Interceptor()
    seen = []
    spy.after_call = lambda call, result: seen.append((call.func, call.name)) or result
    with intercept(spy):
        model(to_trace(x))
    assert seen == [(n.operation, n.operation_name) for n in nodes]


def test_gradients_flow_through_intercepted_results():
    gate = nn.Parameter(torch.ones(3))

    class Gate(Interceptor):
        def after_call(self, call, result):
            if call.func is F.linear:
                return result * gate
            return result

    lin = nn.Linear(2, 3)
    with intercept(Gate()):
        out = lin(to_trace(torch.randn(5, 2))).sum()
    out.backward()
    assert gate.grad is not None and gate.grad.shape == (3,)


def test_intercept_refuses_nesting_and_always_deactivates():
    with intercept(Interceptor()):
        with pytest.raises(RuntimeError, match="already active"):
            with intercept(Interceptor()):
                pass
    assert active_interceptor() is None
    with pytest.raises(KeyError):
        with intercept(Interceptor()):
            raise KeyError("x")
    assert active_interceptor() is None
    with pytest.raises(TypeError):
        with intercept(object()):
            pass


class _Rendezvous(nn.Module):
    """Waits inside forward until every other thread is inside its own forward."""

    def __init__(self, barrier: threading.Barrier) -> None:
        super().__init__()
        self.barrier = barrier
        self.conv = nn.Conv2d(3, 4, 1)
        self.head = nn.Conv2d(4, 2, 1)

    def forward(self, x):
        y = torch.relu(self.conv(x))
        self.barrier.wait()
        return self.head(y)


def test_threads_analyse_and_calibrate_their_own_models_side_by_side():
    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.gatecal import TavrixPruningCalibrator
    from tavrix.pruning.importance import channel_importance

    # a barrier timeout only stops a broken run from hanging the suite
    barrier = threading.Barrier(3, timeout=60)
    x = torch.randn(2, 3, 4, 4)
    results, errors = {}, []

    def analyse_and_calibrate(name):
        model = _Rendezvous(barrier).eval()
        plan = get_cutplan(model, (x,), {})
        calibrator = TavrixPruningCalibrator(model)
        with calibrator:
            for _ in range(2):  # the first call traces and replays: two forwards
                model(x).sum().backward()
        importance = channel_importance(calibrator.cutplan)
        results[name] = (plan, [len(group.labels) for group in importance])

    def plain_forwards(name):
        model = _Rendezvous(barrier).eval()
        with torch.no_grad():
            expected = model.head(torch.relu(model.conv(x)))
            results[name] = [torch.equal(model(x), expected) for _ in range(4)]

    def run(target, name):
        try:
            target(name)
        except BaseException as error:  # reported below, with the others released
            errors.append(error)
            barrier.abort()

    threads = [
        threading.Thread(target=run, args=(analyse_and_calibrate, "a")),
        threading.Thread(target=run, args=(analyse_and_calibrate, "b")),
        threading.Thread(target=run, args=(plain_forwards, "plain")),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert results["plain"] == [True] * 4
    for name in "ab":
        plan, sizes = results[name]
        # each thread saw its own model's operations only
        assert [n.unique_name for n in plan.graph] == ["conv2d_0", "relu_0", "conv2d_1"]
        assert sizes == [4]
    assert active_interceptor() is None


def test_to_trace_and_to_plain_keep_structure_and_autograd():
    leaf = torch.randn(2, requires_grad=True)
    data = {"a": (leaf, 3), "b": [torch.ones(1)], "c": "text"}
    traced = to_trace(data)
    assert isinstance(traced["a"], tuple) and isinstance(traced["b"], list)
    assert type(traced["a"][0]) is TraceTensor and traced["a"][1] == 3 and traced["c"] == "text"
    plain = to_plain(traced)
    assert type(plain["a"][0]) is torch.Tensor
    # without an interceptor a TraceTensor computes like a plain tensor
    (traced["a"][0] * 3).sum().backward()
    assert torch.equal(leaf.grad, torch.full((2,), 3.0))


def test_nodes_do_not_keep_activations_alive():
    model = ConvBnRelu().eval()
    x = torch.randn(1, 3, 4, 4)
    holder = []

    class Spy(nn.Module):
        def forward(self, x):
            y = model(x)
            holder.append(weakref.ref(y))
            return y.sum()

    nodes, _ = flowscope_model(model=Spy(), args=(x,))
    gc.collect()
    assert holder[0]() is None and len(nodes) == 5


def test_writes_into_other_tensors_make_the_writer_their_producer():
    class Writer(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.register_buffer("memory", torch.zeros(2, 3))

        def forward(self, x):
            y = x * 2
            y[:, 0] = x[:, 1]  # __setitem__ returns None
            out = torch.empty(2, 3)
            torch.add(y, 1, out=out)  # a plain tensor written through out=
            self.memory.copy_(y)  # a buffer written in place
            return (self.memory + y) * out

    model = Writer()
    x = torch.randn(2, 3)
    expected = model(x)
    model.memory.zero_()
    result = trace(model, (x,))
    by_name = {n.unique_name: n for n in result.nodes}
    setitem, add, copy, add2, final = (
        by_name[k] for k in ("setitem_0", "add_0", "copy_0", "add_1", "mul_1")
    )
    assert add.args[0] is setitem and add.args[1] == 1
    assert "out" in add.kwargs and copy.args[1] is setitem
    assert add2.args == (copy, setitem) and final.args == (add2, add)
    assert torch.equal(result.outputs, expected)
    assert result.output_nodes == [final]
    assert model.memory.abs().sum() == 0  # buffer restored after tracing


def test_a_tensor_passed_twice_stays_one_tensor():
    def fn(a, b):
        assert a is b
        return a * b

    x = torch.randn(3)
    nodes, _ = flowscope_model(model=nn.Module(), args=(x, x), entry_point=fn)
    first, second = nodes[0].args
    assert first.tensor_uid == second.tensor_uid


class HandsBackItsBuffer(nn.Module):
    def __init__(self):
        super().__init__()
        self.register_buffer("scale", torch.ones(4))

    def forward(self, x):
        # type_as with nothing to change returns the buffer object itself
        return x * self.scale.type_as(x)


def test_results_that_are_existing_tensors_keep_their_class():
    # fresh results are retagged as TraceTensor in place; an input handed back
    # must not be, or the model's own buffer would turn into a TraceTensor
    model = HandsBackItsBuffer()
    nodes, _ = flowscope_model(
        model=model, args=(torch.randn(2, 4),), kwargs={}, entry_point="__call__"
    )
    assert type(model.scale) is torch.Tensor
    assert [n.operation_name for n in _real_ops(nodes)] == ["type_as", "mul"]


@dataclasses.dataclass
class Halves:
    low: torch.Tensor
    high: torch.Tensor


def split_halves(x):
    """A function dispatched through __torch_function__ that returns a dataclass."""
    if torch.overrides.has_torch_function((x,)):
        return torch.overrides.handle_torch_function(split_halves, (x,), x)
    return Halves(x[:, :4], x[:, 4:])


class HalvesNet(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 1)
        self.head = nn.Conv2d(4, 2, 1)

    def forward(self, x):
        halves = split_halves(torch.relu(self.conv(x)))
        return Halves(self.head(halves.low), self.head(halves.high))


def test_dataclass_results_are_traced_through():
    result = trace(HalvesNet(), (torch.randn(1, 3, 4, 4),))
    names = [n.unique_name for n in _real_ops(result.nodes)]
    assert names == ["conv2d_0", "relu_0", "split_halves_0", "conv2d_1", "conv2d_2"]
    assert [n.unique_name for n in result.output_nodes] == ["conv2d_1", "conv2d_2"]
    assert type(result.outputs) is Halves and type(result.outputs.low) is torch.Tensor


class NoUpdate(OrderedDict):
    """A mapping that refuses ``update``, as transformers' ModelOutput does."""

    def update(self, *args, **kwargs):
        raise RuntimeError("update refused")


class MappingNet(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)

    def forward(self, x):
        return NoUpdate(logits=self.conv(x), extra=None)


def test_mapping_results_refusing_update_are_traced_through():
    result = trace(MappingNet(), (torch.randn(1, 3, 2, 2),))
    assert [n.unique_name for n in result.output_nodes] == ["conv2d_0"]
    assert type(result.outputs) is NoUpdate and list(result.outputs) == ["logits", "extra"]
    assert type(result.outputs["logits"]) is torch.Tensor


class Located(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)
        self.act = nn.ReLU()

    def forward(self, x):
        y = self.act(self.conv(x))
        return torch.flatten(y, 1)


@pytest.mark.parametrize("entry_point", ["__call__", "forward"])
def test_nodes_record_their_model_code_line_and_module(entry_point):
    from tavrix.flowscope.tracing import provenance

    model = Located().eval()
    nodes, _ = flowscope_model(
        model=model, args=(torch.randn(1, 3, 2, 2),), kwargs={}, entry_point=entry_point
    )
    first = Located.forward.__code__.co_firstlineno
    assert [(n.unique_name, n.location, n.module_path) for n in nodes] == [
        ("conv2d_0", (__file__, first + 1, "Located.forward"), "conv"),
        ("relu_0", (__file__, first + 1, "Located.forward"), "act"),
        ("flatten_0", (__file__, first + 2, "Located.forward"), ""),
    ]
    with provenance(False):
        nodes, _ = flowscope_model(
            model=model, args=(torch.randn(1, 3, 2, 2),), kwargs={}, entry_point=entry_point
        )
    assert all(n.location is None and n.module_path is None for n in nodes)


class Mixed(nn.Module):
    """A training-mode batch norm next to eval-mode modules, and a forward that adds state."""

    def __init__(self) -> None:
        super().__init__()
        self.train_bn = nn.BatchNorm1d(3)
        self.eval_bn = nn.BatchNorm1d(3).eval()
        self.act = nn.ReLU()

    def forward(self, x):
        self.act.register_buffer("added", torch.ones(1))  # into an empty buffer dict
        self.train_bn.register_parameter("extra", nn.Parameter(torch.ones(1)))
        return self.act(self.eval_bn(self.train_bn(x)))


def test_trace_gives_back_every_buffer_and_dict_the_call_changed():
    model = Mixed()
    model.train_bn.train()
    with torch.no_grad():
        model.eval_bn.running_mean.fill_(0.5)
    before = {name: (b, b.data_ptr(), b.clone()) for name, b in model.named_buffers()}
    result = trace(model, (torch.randn(8, 3) + 3,))
    assert len(result.nodes) > 0
    # batch-norm statistics move in training mode without a version bump
    assert {name for name, _ in model.named_buffers()} == set(before)
    for name, b in model.named_buffers():
        tensor, pointer, value = before[name]
        assert b is tensor and b.data_ptr() == pointer and torch.equal(b, value), name
    assert "added" not in model.act._buffers and "extra" not in model.train_bn._parameters


def test_a_recorder_subclass_with_its_own_after_call_sees_every_call():
    from tavrix.flowscope.tracing import _Recorder

    class Counting(_Recorder):
        def after_call(self, call, result):
            self.seen = getattr(self, "seen", 0) + 1
            return super().after_call(call, result)

    recorder = Counting()
    with intercept(recorder):
        to_plain(F.relu(to_trace(torch.randn(3))) * 2)
    assert recorder.seen == len(recorder.nodes) == 2


@pytest.mark.parametrize(
    "split",
    [
        lambda x: torch.max(x, dim=1).values,  # a structseq
        lambda x: x.topk(2, dim=1)[0],  # another, read by position
        lambda x: torch.split(x, 2, dim=1)[1],  # a plain tuple
        lambda x: list(x.unbind(1))[2],
    ],
)
def test_tensors_inside_results_are_traced_and_name_their_producer(split):
    def fn(x):
        piece = split(x)
        assert type(piece) is TraceTensor
        return piece * 2

    nodes, outputs = flowscope_model(model=nn.Module(), args=(torch.randn(3, 4),), entry_point=fn)
    real = _real_ops(nodes)
    assert outputs == [real[-1]] and real[-1].args[0] is real[-2]


def test_arguments_nested_past_the_recursion_limit_fail_cleanly():
    @torch.overrides.wrap_torch_function(lambda x, extra: (x,))
    def scaled(x, extra):
        return x * 2

    deep: list = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        flowscope_model(
            model=nn.Module(), args=(torch.randn(2),), entry_point=lambda x: scaled(x, deep)
        )
    assert active_interceptor() is None


class ForceField(nn.Module):
    """A forward that takes a gradient of its own energy (needs autograd in the call)."""

    def __init__(self):
        super().__init__()
        self.energy = nn.Sequential(nn.Linear(3, 8), nn.Tanh(), nn.Linear(8, 1))

    def forward(self, x):
        x = x.detach().requires_grad_(True)
        (force,) = torch.autograd.grad(self.energy(x).sum(), x)
        return -force


@pytest.mark.parametrize("name", ["resnet18_tiny", "transformer_block"])
def test_trace_keeps_no_activations_for_backward(name):
    """With gradients on, the analysis saves nothing for a backward it never runs."""
    model, x = make(name)
    saved = []
    with torch.autograd.graph.saved_tensors_hooks(
        lambda t: saved.append(t.shape) or t, lambda t: t
    ):
        nodes, _ = flowscope_model(model, (x,))
        assert nodes and saved == []
        model(x).sum()  # the same call outside the analysis does save them
    assert saved


def test_a_call_that_needs_gradients_is_traced_with_them():
    model = ForceField()
    x = torch.randn(4, 3)
    result = trace(model, (x,))
    assert torch.allclose(result.outputs, model(x))
    assert any(node.operation_name == "linear" for node in result.nodes)
    with torch.no_grad(), pytest.raises(RuntimeError):  # as the caller's own call fails
        trace(model, (x,))


class _IndexedPositions(nn.Embedding):
    """Whisper's decoder positions: the weight indexed directly, the ids given by keyword."""

    def forward(self, ids, position_ids=None, fail=False):
        if fail:
            raise ValueError("the embedding's own error")
        return self.weight[position_ids]


class _Positions(nn.Module):
    """Token and position embeddings, the positions made in the call (as transformers do)."""

    def __init__(self, fail=False, fail_inside=False):
        super().__init__()
        self.tokens, self.positions = nn.Embedding(10, 4), nn.Embedding(8, 4)
        self.indexed = _IndexedPositions(8, 4)
        self.register_buffer("ids", torch.arange(8).unsqueeze(0))
        self.fail, self.fail_inside = fail, fail_inside

    def forward(self, ids):
        x = self.tokens(ids) + self.positions(self.ids[:, : ids.shape[1]])
        if self.fail:
            raise ValueError("the model's own error")
        x = x + self.indexed(ids, position_ids=torch.arange(ids.shape[1]), fail=self.fail_inside)
        return x + self.positions(torch.arange(ids.shape[1]))


def _no_hooks_left():
    module = torch.nn.modules.module
    return not (
        module._global_forward_pre_hooks
        or module._global_forward_hooks
        or torch._C._len_torch_function_stack()
    )


def test_an_embedding_of_ids_the_call_makes_is_a_traced_lookup():
    model = _Positions()
    ids = torch.tensor([[1, 2, 3]])
    result = trace(model, (ids,))
    lookups = [n for n in result.nodes if n.operation_name == "embedding"]
    assert len(lookups) == 3  # the buffer's slice and the arange too
    assert all(
        isinstance(n.args[1], TensorInfo) and n.args[1].type is nn.Parameter for n in lookups
    )
    # the subclass's own lookup by keyword ids: its weight indexed by the traced ids
    (indexed,) = [n for n in result.nodes if n.operation_name == "__getitem__"]
    assert indexed.args[0].type is nn.Parameter and indexed.result_shape == (3, 4)
    assert [n.operation_name for n in result.nodes].count("add") == 3
    assert torch.equal(result.outputs, model(ids))
    # nothing stays: the ids, the buffer and the module's hooks are as they were
    assert type(model.ids) is torch.Tensor and not model.positions._forward_pre_hooks
    assert _no_hooks_left() and not model.indexed._forward_hooks
    for fail in (dict(fail=True), dict(fail_inside=True)):
        failing = _Positions(**fail)
        with pytest.raises(ValueError, match="own error"):
            trace(failing, (ids,))
        assert _no_hooks_left() and not failing.indexed._forward_hooks
    # without an interceptor an embedding runs as ever
    assert type(model.positions(torch.arange(3))) is torch.Tensor

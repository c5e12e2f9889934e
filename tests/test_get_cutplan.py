"""get_cutplan end to end on small real models."""

import copy
import gc
import pickle
import warnings
import weakref

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo
from tavrix.flowscope.utils import get_tensor_uid
from tavrix.pruning import cutplan as cp
from tavrix.pruning.gatewire import gate_insertion_context, prepare_args_for_prune_calibration
from tavrix.utils.common import get_submodule

import models


def _plan(model, x, **kw):
    # Some architectures make the engine warn about layers it leaves unpruned.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        plan = cp.get_cutplan(model, (x,), {}, **kw)
    assert all(issubclass(w.category, UserWarning) for w in caught)
    return plan


@pytest.mark.parametrize("name", sorted(models.MODEL_FACTORIES))
def test_plan_invariants(name):
    model, x = models.make(name)
    before = {k: v.clone() for k, v in model.state_dict().items()}
    plan = _plan(model, x)

    graph = plan.graph
    assert [op for op, _ in plan.ops_and_gate_names] == [node.operation for node in graph]
    assert [g for _, g in plan.ops_and_gate_names] == [
        plan.gate_names_by_nodes.get(node, "") for node in graph
    ]
    # Gates are numbered consecutively, group by group.
    flat = [n for names in plan.prunable_group_gate_names for n in names]
    assert flat == list(plan.gate_container) == [f"channel_gate_{i}" for i in range(len(flat))]
    assert len(plan.prunable_group_gate_names) == len(plan.prunable_groups)
    assert set(plan.gate_names_by_nodes.values()) == set(flat)
    grouped = {node for nodes, _ in plan.prunable_groups for node in nodes}
    assert set(plan.gate_names_by_nodes) <= grouped
    for node, gate_name in plan.gate_names_by_nodes.items():
        assert plan.gate_container[gate_name].labels == list(plan.labels_by_nodes[node])
    # Every prunable group is measured by some gate.
    measured = {tuple(g.labels) for gate in plan.gate_container.values() for g in gate.groups}
    assert measured == {tuple(labels) for _, labels in plan.prunable_groups}
    # The model's outputs never sit in a prunable group.
    outputs = {node for node in graph if node not in plan.node_users}
    assert not outputs & grouped
    assert list(plan.prunable_module_names_by_nodes) == [
        n for n in plan.labels_by_nodes if n in plan.prunable_module_names_by_nodes
    ]
    after = model.state_dict()
    assert all(torch.equal(before[k], after[k]) for k in before)

    # a plain dict, and a plan that survives pickle and deepcopy whole
    assert type(plan.labels_by_nodes) is dict
    for copied in (pickle.loads(pickle.dumps(plan)), copy.deepcopy(plan)):
        assert copied.summary(2) == plan.summary(2)
        assert [g for _, g in copied.ops_and_gate_names] == [g for _, g in plan.ops_and_gate_names]
        for (op, _), node, original in zip(copied.ops_and_gate_names, copied.graph, graph):
            assert op == node.operation and (op is original.operation or op == original.operation)
        index = {node: i for i, node in enumerate(copied.graph)}
        assert {index[n]: v for n, v in copied.labels_by_nodes.items()} == {
            i: plan.labels_by_nodes[n] for i, n in enumerate(graph) if n in plan.labels_by_nodes
        }
        assert copied.gate_container.state_dict().keys() == plan.gate_container.state_dict().keys()


@pytest.mark.parametrize("name", ["resnet18_tiny", "resnet50_tiny"])
def test_resnet_nodes_map_to_their_modules(name):
    model, x = models.make(name)
    plan = _plan(model, x)
    kinds = {F.conv2d: (nn.Conv2d, "weight"), F.linear: (nn.Linear, "weight"),
             F.batch_norm: (nn.BatchNorm2d, "running_mean")}  # fmt: skip
    checked = 0
    for nodes, _ in plan.prunable_groups:
        for node in nodes:
            if node.operation not in kinds:
                continue
            cls, attr = kinds[node.operation]
            module = get_submodule(model, plan.prunable_module_names_by_nodes[node])
            assert isinstance(module, cls)
            assert get_tensor_uid(getattr(module, attr)) == node.args[1].tensor_uid
            checked += 1
    assert checked > 20


def test_groups_reaching_an_output_get_no_gate():
    model = nn.Sequential(nn.Conv2d(3, 4, 1), nn.ReLU())
    plan = cp.get_cutplan(model, (torch.randn(1, 3, 2, 2),), {})
    assert plan.prunable_groups == [] and len(plan.unprunable_groups) >= 1
    assert len(plan.gate_container) == 0 and plan.gate_names_by_nodes == {}
    assert [g for _, g in plan.ops_and_gate_names] == [""] * len(plan.graph)
    assert plan.prunable_module_names_by_nodes == {plan.graph[0]: "0"}


def test_output_groups_move_in_order_and_outputs_may_be_an_iterator():
    a, b, c, d, e, out1, out2 = (object() for _ in range(7))
    groups = [([a], [0]), ([b, out1], [1]), ([c], [2]), ([out2, d], [3]), ([e], [4])]
    prunable = list(groups)
    kept = ([out1], [9])
    unprunable = [kept]
    assert (
        cp._make_groups_containing_output_unprunable(prunable, unprunable, iter([out1, out2]))
        is None
    )
    assert prunable == [groups[0], groups[2], groups[4]]
    assert unprunable == [kept, groups[1], groups[3]]
    assert unprunable[1] is groups[1]
    # without prunable groups the outputs are never read
    assert cp._make_groups_containing_output_unprunable([], [], None) is None


def test_gates_measure_importance_in_a_calibration_pass():
    model, x = models.make("resnet18_tiny")
    plan = _plan(model, x)
    for p in model.parameters():
        p.requires_grad_(False)
    args, kwargs = prepare_args_for_prune_calibration((x,), {})
    with gate_insertion_context(plan):
        out = model(*args, **kwargs)
    torch.as_tensor(out).logsumexp(1).sum().backward()
    for gate in plan.gate_container.values():
        assert gate.num_samples == x.shape[0]
        for group in gate.groups:
            values = group.importance()
            assert values.shape == (len(group.labels),) and torch.isfinite(values).all()


def _live_nodes():
    gc.collect()
    return sum(type(obj) is NodeInfo for obj in gc.get_objects())


def test_dropped_plan_is_freed_with_graph_and_gates():
    model, x = models.make("mlp")
    baseline = _live_nodes()
    plan = _plan(model, x)
    assert _live_nodes() == baseline + len(plan.graph) > baseline
    gate = next(iter(plan.gate_container.values()))
    refs = [weakref.ref(gate), weakref.ref(gate.groups[0]), weakref.ref(plan.gate_container)]
    del plan, gate
    assert _live_nodes() == baseline
    assert [r() for r in refs] == [None, None, None]


def test_plan_labels_are_the_walks_labels():
    from tavrix.pruning.engine.graphwalk import PruneGraphParser

    model, x = models.make("se_resnet_small")
    plan = _plan(model, x)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, _, labels, dims, _ = PruneGraphParser().find_prunable_groups(plan.graph)
    # the plain dicts are built by node id; read key by key they must agree
    assert list(plan.labels_by_nodes.items()) == [(n, labels[n]) for n in labels]
    assert list(dims._to_dict().items()) == [(n, dims[n]) for n in dims]
    # nodes with equal labels share one immutable sequence: a change through one node
    # cannot reach another
    values = list(plan.labels_by_nodes.values())
    assert len({id(v) for v in values}) == len({tuple(v) for v in values}) < len(values)
    with pytest.raises((TypeError, AttributeError)):
        values[0][0] = -1
    with pytest.raises(AttributeError):
        values[0].append(-1)


@pytest.mark.parametrize("collector_on", [True, False])
def test_collector_is_left_as_it_was(collector_on, monkeypatch):
    from tavrix.pruning import gate as gate_module

    model, x = models.make("mlp")
    try:
        if not collector_on:
            gc.disable()
        _plan(model, x)
        assert gc.isenabled() is collector_on

        def broken(*args, **kwargs):
            raise RuntimeError("no gate")

        monkeypatch.setattr(gate_module, "ChannelGate", broken)
        with pytest.raises(RuntimeError, match="no gate"):
            cp.get_cutplan(model, (x,), {})
        assert gc.isenabled() is collector_on
    finally:
        gc.enable()

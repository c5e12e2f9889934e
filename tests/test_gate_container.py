"""Gate creation and sharing, and the gate modules' importance math."""

import pytest
import torch
from torch import nn

from tavrix.pruning.cutplan import create_gate_container, get_cutplan
from tavrix.pruning.gate import ChannelGate, GroupSharedGate

from graph_helpers import FakeNode


def _container(groups, users, labels):
    nodes = {node for group_nodes, _ in groups for node in group_nodes}
    return create_gate_container(
        labels_by_nodes={node: labels.get(node, [0, 1]) for node in nodes},
        prunable_groups=groups,
        node_users=users,
        prune_dimension_by_nodes={node: 1 for node in nodes},
    )


def test_no_groups_no_gates():
    gates, names, per_group = create_gate_container({}, [], {}, {})
    assert isinstance(gates, nn.ModuleDict) and len(gates) == 0
    assert names == {} and per_group == []


def test_numbering_and_sharing_across_groups():
    x = FakeNode("x")
    # group 0: two aggregate nodes; group 1: no candidate; group 2 shares
    # g0_add_b with group 0 and adds a walk gate of its own.
    g0_add_a = FakeNode("g0_add_a", x, operation=torch.add)
    g0_add_b = FakeNode("g0_add_b", x, operation=torch.add)
    g1 = FakeNode("g1", g0_add_a)  # first input inside its group: no entry
    g2_conv = FakeNode("g2_conv", x)
    g2_relu = FakeNode("g2_relu", g2_conv)
    out = FakeNode("out", g2_relu)
    groups = [
        ([g0_add_b, g0_add_a], [0, 1]),
        ([g1], [2, 3]),  # g1 has no users: its walk adds nothing
        ([g2_conv, g2_relu, g0_add_b], [0, 1]),
    ]
    users = {g0_add_a: [g1], g2_conv: [g2_relu], g2_relu: [out]}
    gates, names, per_group = _container(groups, users, {})
    # numbered in group order within each group, whatever the set order
    assert list(gates) == ["channel_gate_0", "channel_gate_1", "channel_gate_2"]
    assert names == {
        g0_add_b: "channel_gate_0",
        g0_add_a: "channel_gate_1",
        g2_relu: "channel_gate_2",
    }
    assert per_group == [["channel_gate_0", "channel_gate_1"], [], ["channel_gate_2"]]
    assert len({id(inner) for inner in per_group}) == 3
    shared = gates["channel_gate_0"]
    assert [group.labels for group in shared.groups] == [[0, 1], [0, 1]]
    first, third = shared.groups
    assert first is gates["channel_gate_1"].groups[0]
    assert set(map(id, third.gates)) == {id(shared), id(gates["channel_gate_2"])}


class _TwoInputs(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 4, 1)
        self.b = nn.Conv2d(3, 4, 1)
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x, y):
        return self.head(torch.cat([torch.relu(self.a(x)), torch.relu(self.b(y))], 1))


def test_every_group_gets_its_gate_whatever_its_position():
    x = torch.randn(1, 3, 4, 4)
    plan = get_cutplan(_TwoInputs(), (x, x), {})
    # Both convs read only model inputs; the second group must still reach the
    # concatenation's gate that measures its channels.
    assert len(plan.prunable_groups) == 2
    (gate,) = plan.gate_container.values()
    assert [group.labels for group in gate.groups] == [g[1] for g in plan.prunable_groups]


# ------------------------------------------------------------------ gate math


def test_channel_gate_importance_is_abs_grad_over_samples():
    torch.manual_seed(0)
    gate = ChannelGate(labels=[5, 6, 7], prune_dim=1)
    w = torch.randn(3)
    inputs = [torch.randn(4, 3, 2, 2), torch.randn(2, 3, 2, 2)]
    for x in inputs:
        out = gate(x)
        assert torch.equal(out, x)
        (out * w.view(1, 3, 1, 1)).pow(2).sum().backward()
    with torch.no_grad():  # uncounted: cannot reach the gradient
        gate(inputs[0])
    expected = sum((2 * x * x * w.view(1, 3, 1, 1) ** 2).sum(dim=(0, 2, 3)) for x in inputs)
    assert gate.num_samples == 6
    torch.testing.assert_close(gate.importance(), expected.abs() / 6)
    gate.reset_importance()
    with pytest.raises(RuntimeError, match="no samples"):
        gate.importance()


def test_group_importance_sums_label_positions_over_gates():
    first = ChannelGate(labels=[1, 2, 3], prune_dim=1)
    second = ChannelGate(labels=[9, 3, 1, 3], prune_dim=-1)  # channels last
    idle = ChannelGate(labels=[1], prune_dim=1)
    group = GroupSharedGate(labels=[3, 1, 4])
    for gate in (first, second, idle, first):
        gate.add_group(group)
    assert group.gates == (first, second, idle) and first.groups == (group,)
    assert group.positions(second) == {3: [1, 3], 1: [2]}
    with pytest.raises(RuntimeError, match="No gate of the group has a gradient"):
        group.importance()
    (first(torch.ones(2, 3)) * torch.tensor([1.0, 2.0, 3.0])).sum().backward()
    (second(torch.ones(1, 5, 4)) * torch.tensor([10.0, 20.0, 30.0, 40.0])).sum().backward()
    idle(torch.ones(1, 1))  # seen, but the loss never reached it
    # first: grad [2, 4, 6] over 2 samples; second: grad 5*[10..40] over 1 sample
    expected = torch.tensor([6 / 2 + 5 * (20 + 40), 2 / 2 + 5 * 30, 0.0])
    torch.testing.assert_close(group.importance(), expected)


def test_gate_follows_dtype_and_checks_its_input():
    gates = nn.ModuleDict({"g": ChannelGate(labels=[0, 1], prune_dim=1)}).to(torch.float64)
    x = torch.randn(3, 2, dtype=torch.float64)
    gates["g"](x).sum().backward()
    assert gates["g"].importance().dtype == torch.float64
    assert gates["g"](x.half()).dtype == torch.float16
    with pytest.raises(ValueError, match="expects 2 channels"):
        gates["g"](torch.ones(1, 3))
    with pytest.raises(TypeError, match="prune_dim"):
        ChannelGate(labels=[0], prune_dim=None)


def test_global_registration_hooks_see_every_gate_and_weight():
    from torch.nn.modules.module import (
        register_module_module_registration_hook,
        register_module_parameter_registration_hook,
    )

    modules, parameters = [], []
    handles = [
        register_module_module_registration_hook(lambda m, n, sub: modules.append(n)),
        register_module_parameter_registration_hook(lambda m, n, p: parameters.append(n)),
    ]
    try:
        plan = get_cutplan(
            nn.Sequential(nn.Conv2d(3, 4, 3), nn.ReLU(), nn.Conv2d(4, 2, 3)),
            (torch.randn(1, 3, 8, 8),),
            {},
        )
    finally:
        for handle in handles:
            handle.remove()
    assert set(plan.gate_container) <= set(modules) and len(plan.gate_container) > 0
    assert parameters.count("weight") >= len(plan.gate_container)
    for gate in plan.gate_container.values():
        assert [name for name, _ in gate.named_parameters()] == ["weight"]


class _Tracked:
    def __init__(self, *args, **kwargs):
        self.mixin_ran = True
        super().__init__(*args, **kwargs)


class _GateWithMixin(_Tracked, ChannelGate):
    pass


def test_gates_have_a_modules_full_state():
    gate = ChannelGate([3, 4], 1)
    reference = _GateWithMixin([3, 4], 1)  # built through nn.Module.__init__
    assert reference.mixin_ran
    mine = vars(gate)
    theirs = {k: v for k, v in vars(reference).items() if k != "mixin_ran"}
    assert list(mine) == list(theirs)
    for name, value in mine.items():
        assert type(value) is type(theirs[name])
        if isinstance(value, (dict, set)) and name != "_parameters":
            assert value == theirs[name] and value is not vars(ChannelGate([1], 0))[name]
    # hooks and state dicts work on the gate as on any module
    seen = []
    gate.register_forward_hook(lambda m, i, o: seen.append(o.shape))
    gate(torch.ones(2, 2))
    assert seen == [(2, 2)] and list(gate.state_dict()) == ["weight"]

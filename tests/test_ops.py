"""Operation families: one registered family supports a new operation in every phase."""

import copy

import pytest
import torch
from torch import nn

from tavrix.pruning import ops
from tavrix.pruning.engine import oprules
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.rules import coverage
from tavrix.pruning.shrink import ShrinkError, check_equal, choose_channels, shrink
from tavrix.pruning.shrink.context import node_argument as arg
from tavrix.pruning.shrink.rules import ShrinkRule


class ScaleShift(nn.Module):
    """A per-channel affine map written with an operation no rule knows (``torch.addcmul``)."""

    def __init__(self, channels):
        super().__init__()
        self.scale = nn.Parameter(torch.rand(channels, 1, 1) + 0.5)
        self.shift = nn.Parameter(torch.randn(channels, 1, 1))

    def forward(self, x):
        return torch.addcmul(self.shift, x, self.scale)


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 16, 3, padding=1)
        self.affine = ScaleShift(16)
        self.conv2 = nn.Conv2d(16, 4, 3, padding=1)

    def forward(self, x):
        return self.conv2(torch.relu(self.affine(self.conv1(x))))


def _label(state, node):
    # the channels of x (the second argument) pass
    oprules._elementwise_node_handler(state, node, arg(node, 1, "tensor1"))


class _ScaleShiftCut(ShrinkRule):
    def apply(self, ctx, node):
        keep = ctx.keep_along(node, 1, node, "output")
        if keep is None:
            return
        for position, key in ((0, "input"), (2, "tensor2")):
            ctx.slice(ctx.owned(arg(node, position, key), node, key), 0, keep, node)


SCALE_SHIFT = ops.OpFamily(
    "scale_shift",
    (torch.addcmul,),
    label=_label,
    cut=_ScaleShiftCut(),
    adapters={ScaleShift: lambda module, shapes, overrides: {}},
    layer_axis=1,
)


@pytest.fixture
def registered():
    ops.register(SCALE_SHIFT)
    yield SCALE_SHIFT
    ops.unregister(SCALE_SHIFT)


def test_an_unknown_operation_is_a_barrier_until_its_family_is_registered():
    torch.manual_seed(0)
    model, x = Net().eval(), torch.randn(2, 3, 8, 8)
    before = coverage(model, (x,))
    ops.register(SCALE_SHIFT)
    try:
        after = coverage(model, (x,))
    finally:
        ops.unregister(SCALE_SHIFT)
    assert before.prunable == 0
    # conv1 and the addcmul layer, 16 channels each, all prunable now
    assert (after.channels, after.prunable) == (32, 32)
    assert "addcmul" in " ".join(layer.name for layer in after.layers)
    assert torch.addcmul not in oprules.PRUNING_NODE_HANDLER_REGISTRY
    assert coverage(model, (x,)).prunable == 0


def test_registered_family_calibrates_shrinks_and_checks_equal(registered):
    torch.manual_seed(0)
    model = Net().eval()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(torch.randn(4, 3, 8, 8)).pow(2).mean().backward()
    plan = calibrator.cutplan
    original = copy.deepcopy(model)
    removed = choose_channels(plan, ratio=0.25, round_to=1)
    assert sum(len(labels) for labels in removed.values()) == 4
    shrink(model, plan, removed)
    x = torch.randn(2, 3, 8, 8)
    assert check_equal(original, model, plan, removed, (x,), {}).passed
    assert model.conv1.out_channels == 12 and model.conv2.in_channels == 12
    assert model.affine.scale.shape == model.affine.shift.shape == (12, 1, 1)


def test_without_an_adapter_the_custom_module_is_not_cut(registered):
    # the family's adapter is what lets the shrink resize the module
    torch.manual_seed(0)
    model = Net().eval()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(torch.randn(2, 3, 8, 8)).sum().backward()
    plan = calibrator.cutplan
    removed = choose_channels(plan, ratio=0.25, round_to=1)
    from tavrix.pruning.opfamily import MODULE_ADAPTERS

    adapter = MODULE_ADAPTERS.pop(ScaleShift)
    try:
        with pytest.raises(ShrinkError, match="ScaleShift"):
            shrink(model, plan, removed)
    finally:
        MODULE_ADAPTERS[ScaleShift] = adapter
    assert model.affine.scale.shape == (16, 1, 1) and model.conv1.out_channels == 16


@pytest.mark.parametrize(
    "family, error, match",
    [
        # another cut for a known operation
        (
            ops.OpFamily("other_cat", (torch.cat,), cut=ShrinkRule()),
            ValueError,
            "shrink rule for .* already registered",
        ),
        # another label handler for a known operation, refused with the registry's message
        (
            ops.OpFamily("relu2", (torch.relu,), label=_label),
            ValueError,
            "Pruning handler for node .* has already been registered",
        ),
        # a name taken by a built-in family
        (
            ops.OpFamily("conv", (torch.addcmul,), cut=ShrinkRule()),
            ValueError,
            "named 'conv' is already registered",
        ),
        # a layer axis for an operation that has one
        (
            ops.OpFamily("conv_again", (torch.addcmul, torch.nn.functional.conv2d), layer_axis=0),
            ValueError,
            "layer axis",
        ),
    ],
)
def test_refused_families_change_nothing(family, error, match):
    before = [dict(table) for table in _tables()]
    names = [known.name for known in ops.families()]
    with pytest.raises(error, match=match):
        ops.register(family)
    assert [dict(table) for table in _tables()] == before
    assert [known.name for known in ops.families()] == names


@pytest.mark.parametrize(
    "fields, error, match",
    [
        ({"label": "_no_such_handler"}, ValueError, "no handler named '_no_such_handler'"),
        ({"rule_set": "fancy"}, ValueError, "rule_set must be one of"),
        ({"adapters": {int: None}}, TypeError, "torch.nn.Module subclass"),
        ({"label": 3}, TypeError, "handler name or a callable"),
    ],
)
def test_bad_family_fields_are_refused(fields, error, match):
    with pytest.raises(error, match=match):
        ops.OpFamily("bad", (torch.addcmul,), **fields)


def _tables():
    from tavrix.pruning import opfamily as registry

    return (
        oprules.PRUNING_NODE_HANDLER_REGISTRY,
        oprules.EXTENDED_NODE_HANDLER_REGISTRY,
        registry.SHRINK_RULES,
        registry.EXTENDED_SHRINK_RULES,
        registry.MODULE_ADAPTERS,
        registry.MASKED_REPLAYS,
        registry.INPUT_REPLAYS,
        registry.LAYER_CHANNEL_AXES,
    )


def test_unregister_keeps_what_was_there_before():
    # a family repeating built-in entries (the conv handler, its layer axis) adds nothing, so
    # taking it out again must leave the built-in conv alone
    import torch.nn.functional as F

    before = [dict(table) for table in _tables()]
    echo = ops.OpFamily(
        "conv_echo", (F.conv2d, torch.addcmul), label="_conv_node_handler", layer_axis=1
    )
    ops.register(echo)
    assert oprules.PRUNING_NODE_HANDLER_REGISTRY[torch.addcmul] is oprules._conv_node_handler
    ops.unregister(echo)
    assert [dict(table) for table in _tables()] == before
    with pytest.raises(ValueError, match="not registered"):
        ops.unregister(echo)

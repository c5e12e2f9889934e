"""Provenance: why each unprunable group is unprunable, down to the line of model code."""

import copy
import json
import pickle
import random
import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.engine import oprules
from tavrix.pruning.explain import REACHES_OUTPUT, explain, handler_rule, provenance
from tavrix.pruning.gatecal import TavrixPruningCalibrator

import models

NOT_HANDLED = "barrier: operation not handled"


def line_of(marker):
    """The line of this file that carries ``marker`` in a comment."""
    with open(__file__) as source:
        for number, text in enumerate(source, start=1):
            if text.rstrip().endswith(f"# {marker}"):
                return number
    raise AssertionError(marker)


def analyse(model, *inputs):
    return get_cutplan(model.eval(), inputs, {})


def analyse_warning(model, *inputs):
    """The plan and the warnings of the engine (some architectures have layers it leaves)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        plan = analyse(model, *inputs)
    assert all(issubclass(w.category, UserWarning) for w in caught)
    return plan, " ".join(str(w.message) for w in caught)


def group_with(explanation, module):
    (group,) = [g for g in explanation.groups if module in g.modules]
    return group


class Block(nn.Module):
    """A ViT-style block: attention split into heads, then an MLP, both residual."""

    def __init__(self, dim=16, heads=4):
        super().__init__()
        self.heads = heads
        self.norm = nn.LayerNorm(dim)
        self.qkv = nn.Linear(dim, 3 * dim)
        self.proj = nn.Linear(dim, dim)
        self.fc1 = nn.Linear(dim, 2 * dim)
        self.fc2 = nn.Linear(2 * dim, dim)

    def forward(self, x):
        b, n, c = x.shape
        qkv = self.qkv(self.norm(x)).reshape(b, n, 3, self.heads, c // self.heads)  # heads
        q, k, v = qkv.permute(2, 0, 3, 1, 4)
        attention = (q @ k.transpose(-2, -1)).softmax(-1)
        x = x + self.proj((attention @ v).transpose(1, 2).reshape(b, n, c))
        return x + self.fc2(F.gelu(self.fc1(x)))


class TinyViT(nn.Module):
    def __init__(self):
        super().__init__()
        self.embed = nn.Linear(8, 16)
        self.block = Block()
        self.head = nn.Linear(16, 5)

    def forward(self, x):
        return self.head(self.block(self.embed(x)).mean(1))  # logits


class ResidualToOutput(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.conv = nn.Conv2d(8, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)

    def forward(self, x):
        x = F.relu(self.stem(x))
        return F.relu(self.bn(self.conv(x)) + x)  # residual


class Convs(nn.Module):
    """conv - (the layer under test) - conv - pooled logits."""

    def __init__(self, middle, width=8):
        super().__init__()
        self.first = nn.Conv2d(3, width, 3, padding=1)
        self.middle = middle
        self.last = nn.Conv2d(width, 4, 1)

    def forward(self, x):
        return self.last(self.middle(F.relu(self.first(x)))).mean((2, 3))


class LayerScale(nn.Module):
    def __init__(self, width=8):
        super().__init__()
        self.gamma = nn.Parameter(torch.ones(width, 1, 1))

    def forward(self, x):
        return x * self.gamma  # scale


class TrainingDropout(nn.Module):
    def forward(self, x):
        return F.dropout(x, 0.1, training=True)


@pytest.fixture(scope="module")
def vit():
    return analyse(TinyViT(), torch.randn(2, 6, 8))


def test_vit_block_names_the_reshape_into_heads_and_its_line(vit):
    explanation = explain(vit)
    (cause,) = group_with(explanation, "block.qkv").causes
    assert (cause.rule, cause.operation, cause.module) == (NOT_HANDLED, "reshape", "block")
    assert (cause.file, cause.line) == (__file__, line_of("heads"))
    assert cause.function == "Block.forward" and cause.location == f"{__file__}:{cause.line}"
    (head,) = group_with(explanation, "head").causes
    assert (head.rule, head.operation, head.module) == (REACHES_OUTPUT, "linear", "head")
    # the residual stream: the norm (no handler in the standard rules) reads it, and both
    # residual adds tie the block's layers to it
    stream = group_with(explanation, "block.proj")
    assert stream.modules == ("embed", "block.proj", "block.fc2")
    (norm,) = stream.causes
    assert (norm.rule, norm.operation, norm.module) == (NOT_HANDLED, "layer_norm", "block.norm")
    assert [link.node for link in norm.chain] == ["add_0", "add_1"]


def test_group_reaching_the_output_through_a_residual_add_names_the_add():
    explanation = explain(analyse(ResidualToOutput(), torch.randn(1, 3, 6, 6)))
    (group,) = explanation.groups
    assert group.modules == ("stem", "conv", "bn") and group.channels == 8
    (cause,) = group.causes
    assert (cause.rule, cause.node, cause.line) == (REACHES_OUTPUT, "relu_1", line_of("residual"))
    assert [(link.node, link.operation, link.link) for link in cause.chain] == [
        ("add_0", "add", "merge")
    ]
    assert cause.chain[0].line == line_of("residual")


@pytest.mark.parametrize(
    "middle, warning, rule, operation, blocked",
    [
        (
            nn.Conv2d(8, 8, 3, padding=1, groups=2),
            "Found group convolution",
            "grouped convolution",
            "conv2d",
            "first",
        ),
        (LayerScale(), None, "binary operation with a per-channel parameter", "mul", "first"),
    ],
)
def test_layer_rules_name_the_layer(middle, warning, rule, operation, blocked):
    model = Convs(middle)
    if warning:
        with pytest.warns(UserWarning, match=warning):
            plan = analyse(model, torch.randn(1, 3, 6, 6))
    else:
        plan = analyse(model, torch.randn(1, 3, 6, 6))
    (cause,) = group_with(explain(plan), blocked).causes
    assert (cause.rule, cause.operation, cause.module) == (rule, operation, "middle")
    assert cause.channels == 8 and cause.chain == ()


def test_dropout_in_training_mode_passes_channels_on_and_is_no_cause():
    with pytest.warns(UserWarning, match="dropout it should be in eval mode"):
        plan = analyse(Convs(TrainingDropout()), torch.randn(1, 3, 6, 6))
    names = plan.prunable_module_names_by_nodes
    assert any(names.get(node) == "first" for nodes, _ in plan.prunable_groups for node in nodes)
    explanation = explain(plan)
    assert not any(c.operation == "dropout" for g in explanation.groups for c in g.causes)


def _groups(plan):
    return [
        [([n.unique_name for n in nodes], list(labels)) for nodes, labels in groups]
        for groups in (plan.prunable_groups, plan.unprunable_groups)
    ]


@pytest.mark.parametrize("name", sorted(models.MODEL_FACTORIES))
def test_provenance_changes_no_group_and_explains_every_one(name):
    model, example = models.make(name)
    with provenance(False):
        off, _ = analyse_warning(model, example)
    on, _ = analyse_warning(model, example)
    assert _groups(on) == _groups(off)
    assert not hasattr(off, "provenance")
    with pytest.raises(ValueError, match="provenance off"):
        explain(off)
    explanation = explain(on)
    assert len(explanation.groups) == len(on.unprunable_groups)
    for group in explanation.groups:
        assert group.causes and all(c.rule != "no recorded cause" for c in group.causes)
        assert all(c.location is not None for c in group.causes if c.node is not None)


def test_causes_do_not_depend_on_the_order_of_the_groups(vit):
    explanation = explain(vit)
    by_labels = {
        tuple(labels): group.causes
        for (_, labels), group in zip(vit.unprunable_groups, explanation.groups)
    }
    shuffled = copy.copy(vit)
    shuffled.unprunable_groups = list(vit.unprunable_groups)
    random.Random(0).shuffle(shuffled.unprunable_groups)
    again = explain(shuffled)
    assert {
        tuple(labels): group.causes
        for (_, labels), group in zip(shuffled.unprunable_groups, again.groups)
    } == by_labels


class TwoBarriers(nn.Module):
    """Two layers, each read by an operation without a handler, then added."""

    def __init__(self, swap):
        super().__init__()
        self.swap = swap
        self.left = nn.Conv2d(3, 4, 1)
        self.right = nn.Conv2d(3, 4, 1)
        self.head = nn.Conv2d(4, 2, 1)

    def forward(self, x):
        a, b = self.left(x), self.right(x)
        if self.swap:
            blocked = torch.flip(b, (1,)).sum() + torch.roll(a, 1, 1).sum()
        else:
            blocked = torch.roll(a, 1, 1).sum() + torch.flip(b, (1,)).sum()
        return self.head(a + b) + blocked  # merge


@pytest.mark.parametrize("swap", [False, True])
def test_classes_merged_keep_every_cause_whatever_the_order(swap):
    explanation = explain(analyse(TwoBarriers(swap), torch.randn(1, 3, 4, 4)))
    group = group_with(explanation, "left")
    assert group.modules == ("left", "right")
    merge = [("add", line_of("merge"))]
    assert [
        (c.operation, c.channels, [(link.operation, link.line) for link in c.chain])
        for c in group.causes
    ] == (
        [("flip", 4, merge), ("roll", 4, merge)]
        if swap
        else [("roll", 4, merge), ("flip", 4, merge)]
    )


class SharedOnInput(nn.Module):
    """One conv called on the model input and on a computed tensor."""

    def __init__(self):
        super().__init__()
        self.pre = nn.Conv2d(3, 3, 1)
        self.shared = nn.Conv2d(3, 3, 1)

    def forward(self, x):
        return self.shared(x) + self.shared(F.relu(self.pre(x)))


def test_a_layer_whose_calls_disagree_is_named():
    explanation = explain(analyse(SharedOnInput(), torch.randn(1, 3, 4, 4)))
    (cause,) = group_with(explanation, "pre").causes
    assert cause.rule.startswith("layer called more than once")
    assert (cause.node, cause.module) == ("conv2d_2", "shared")


class SharedTwice(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 1)
        self.shared = nn.Conv2d(8, 8, 1)

    def forward(self, x):
        return torch.roll(self.shared(F.relu(self.shared(F.relu(self.stem(x))))), 1, 1)


def test_a_layer_called_twice_ties_its_calls_in_the_chain():
    (group,) = explain(analyse(SharedTwice(), torch.randn(1, 3, 4, 4))).groups
    assert group.modules == ("stem", "shared")
    (cause,) = group.causes
    assert cause.operation == "roll"
    # from the second call's output: to the first call's output (same weight), and to
    # the stem's channels through the inputs of the two calls
    calls = "one layer's calls conv2d_1 and conv2d_2"
    assert [(link.node, link.link) for link in cause.chain] == [
        ("relu_0", calls),
        ("conv2d_1", calls),
    ]


def test_a_calibrator_on_a_sub_module_names_modules_from_the_model():
    model = TinyViT().eval()
    calibrator = TavrixPruningCalibrator(model, entry_point="block.forward")
    with calibrator:
        model(torch.randn(2, 6, 8))
    explanation = explain(calibrator.cutplan)
    (cause,) = group_with(explanation, "block.qkv").causes
    assert (cause.operation, cause.module) == ("reshape", "block")
    (cause,) = group_with(explanation, "block.proj").causes
    assert cause.rule == "binary operation with a per-channel model input"


def test_plans_pickle_and_copy_with_their_explanation(vit):
    records = explain(vit).records()
    json.dumps(records)  # plain data for tools
    assert explain(pickle.loads(pickle.dumps(vit))).records() == records
    assert explain(copy.deepcopy(vit)).records() == records


def test_report_summary_and_top_causes(vit):
    explanation = explain(vit)
    text = str(explanation)
    assert "#" in text and f"test_explain.py:{line_of('heads')}" in text
    summary = explanation.summary("tiny")
    assert summary.startswith(f"tiny: {explanation.unprunable_channels} of ")
    kinds = {kind: (channels, share) for kind, channels, share in explanation.by_kind()}
    assert kinds == {
        f"{NOT_HANDLED} (reshape)": (48, 48 / 69),
        f"{NOT_HANDLED} (layer_norm)": (16, 16 / 69),
        REACHES_OUTPUT: (5, 5 / 69),
    }
    assert "reshape) 70%" in summary and summary.startswith("tiny: 69 of 101 channels")
    top = explanation.top_causes()
    assert [(t.operation, t.channels, t.line) for t in top] == [
        ("reshape", 48, line_of("heads")),
        ("layer_norm", 16, line_of("heads")),
        ("linear", 5, line_of("logits")),
    ]
    assert "Top causes by channels lost (3 of 3)" in explanation.top_causes_text()


def test_handlers_written_in_python_name_their_rules():
    op = torch.nn.functional.hardtanh

    @handler_rule("clamps channels")
    def clamp_handler(pruning_state, node):
        oprules._default_node_handler(pruning_state, node)

    def scoped_handler(pruning_state, node):
        with pruning_state.rule("explicit rule"):
            oprules._mark_node_inputs_as_non_prunable(pruning_state, node)
        oprules._add_node_output_channel_info(pruning_state, node, [], False, None)

    def plain_handler(pruning_state, node):
        oprules._default_node_handler(pruning_state, node)

    model = Convs(nn.Hardtanh())
    rules = {}
    registry = oprules.PRUNING_NODE_HANDLER_REGISTRY
    standard = registry[op]
    for handler in (clamp_handler, scoped_handler, plain_handler):
        registry[op] = handler
        try:
            (cause,) = group_with(explain(analyse(model, torch.randn(1, 3, 4, 4))), "first").causes
        finally:
            registry[op] = standard
        rules[handler.__name__] = cause.rule
        assert cause.operation == "hardtanh" and cause.module == "middle"
    assert rules["clamp_handler"] == "clamps channels"
    assert rules["scoped_handler"] == "explicit rule"
    assert rules["plain_handler"] == (
        "decided by handler test_explain."
        "test_handlers_written_in_python_name_their_rules.<locals>.plain_handler"
    )


def test_rule_scope_restores_the_outer_rule_on_error():
    nodes, _ = flowscope_model(
        model=ResidualToOutput().eval(),
        args=(torch.randn(1, 3, 4, 4),),
        kwargs={},
        entry_point="__call__",
    )
    state = oprules.PruneGraphParserState()
    oprules._walk(state, nodes[:1])  # stem: fresh labels
    with pytest.raises(KeyError):
        with state.rule("inner"):
            raise KeyError("x")
    oprules._mark_node_inputs_as_non_prunable(state, nodes[1])  # relu_0 reads the stem
    labels = state.channel_labels_by_nodes[nodes[0]]
    origins, causes, _, _ = state._provenance([(nodes[:1], labels)])
    assert origins == [(nodes[1], "marked unprunable outside any handler")]
    assert causes == [[((0,), 8)]]


@pytest.mark.zoo
def test_torchvision_models_are_explained():
    import torchvision

    x = torch.randn(1, 3, 224, 224)
    vit = explain(analyse(torchvision.models.vit_b_16(weights=None), x))
    plan, caught = analyse_warning(torchvision.models.regnet_y_400mf(weights=None), x)
    assert "Found group convolution" in caught
    regnet = explain(plan)
    for explanation in (vit, regnet):
        assert all(c.rule != "no recorded cause" for g in explanation.groups for c in g.causes)
        assert all("/torchvision/" in t.file for t in explanation.top_causes())
    # the residual add of each block meets a stream whose channels the patch reshape dropped
    top = vit.top_causes(1)[0]
    assert (top.rule, top.operation, len(top.nodes)) == (
        "binary operation with a per-channel operand without channel labels",
        "add",
        12,
    )
    assert len(top.lost_at) == 1 and top.lost_at[0].startswith("reshape at ")
    kinds = {kind: channels for kind, channels, _ in regnet.by_kind()}
    assert kinds["grouped convolution (conv2d)"] > 0 and kinds[REACHES_OUTPUT] == 1000

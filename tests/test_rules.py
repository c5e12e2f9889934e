"""The extended rule set: chosen per thread and block, remembered by its plans, and each of its
patterns on a small traced module with the groups derived by hand and the shrunk module proven
equal to the masked original."""

import copy
import dataclasses
import pickle
import threading
import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn
from torchvision.models.convnext import CNBlock
from torchvision.models.shufflenetv2 import InvertedResidual

from tavrix.flowscope.tracing import provenance
from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import ShrinkError, apply_plan, check_equal, save_plan, shrink

from shrink_helpers import randomise, rebuild_mismatches, same_state, state


def analyse(model, x, **options):
    with warnings.catch_warnings(), rules.extended(**options):
        warnings.simplefilter("ignore", UserWarning)
        return get_cutplan(model, (x,), {})


def groups(plan):
    """{module names of a prunable group: its number of labels}."""
    names = plan.prunable_module_names_by_nodes
    return {
        tuple(sorted({names[n] for n in nodes if n in names})): len(labels)
        for nodes, labels in plan.prunable_groups
    }


def cut_and_check(model, x, plan, removed=None):
    """Removes a third of every group (or ``removed``), shrinks and proves it equal."""
    if removed is None:
        removed = {
            i: labels[: len(labels) // 3 or 1]
            for i, (_, labels) in enumerate(plan.prunable_groups)
            if len(labels) > 1
        }
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)
    result = check_equal(original, model, plan, removed, (x,))
    assert result.passed, str(result)
    assert rebuild_mismatches(model) == []
    return report


def made(module, seed=0):
    torch.manual_seed(seed)
    return randomise(module).eval()


class Grouped(nn.Module):
    def __init__(self, transposed=False, multiplier=False):
        super().__init__()
        if multiplier:  # depthwise with a channel multiplier
            self.a, self.g = nn.Conv2d(3, 4, 1), nn.Conv2d(4, 8, 3, groups=4)
        elif transposed:
            self.a, self.g = nn.Conv2d(3, 6, 1), nn.ConvTranspose2d(6, 9, 3, groups=3)
        else:
            self.a, self.g = nn.Conv2d(3, 6, 1), nn.Conv2d(6, 12, 3, groups=3)
        self.bn = nn.BatchNorm2d(self.g.out_channels)
        self.head = nn.Conv2d(self.g.out_channels, 2, 1)

    def forward(self, x):
        return self.head(F.relu(self.bn(self.g(F.relu(self.a(x))))))


# ------------------------------------------------------------------ selection and plans


def test_rule_set_is_chosen_per_thread_and_block():
    seen = {}

    def other_thread():
        seen["other"] = rules.active().name

    assert rules.active() is rules.STANDARD
    with rules.extended(split="outer") as chosen:
        assert rules.active() is chosen and chosen.option("split") == "outer"
        worker = threading.Thread(target=other_thread)
        worker.start()
        worker.join()
        with rules.standard():
            assert rules.active() is rules.STANDARD
        assert rules.active() is chosen
    assert seen == {"other": "standard"} and rules.active() is rules.STANDARD

    @rules.extended()
    def decorated():
        return rules.active().name

    assert decorated() == "extended" and rules.active() is rules.STANDARD
    with pytest.raises(ValueError, match="split must be one of"):
        rules.extended(split="middle")
    with pytest.raises(TypeError, match="unknown option 'heads'"):
        rules.extended(heads="whole")
    with pytest.raises(RuntimeError), rules.extended():
        raise RuntimeError("leaves the block")
    assert rules.active() is rules.STANDARD


def test_plans_remember_their_rules_and_shrink_anywhere():
    x = torch.randn(2, 3, 8, 8)
    model = made(Grouped())
    with pytest.warns(UserWarning) as caught:
        standard = get_cutplan(model, (x,), {})
    assert "Found group convolution, it will not be pruned" in [str(w.message) for w in caught]
    assert rules.plan_rule_set(standard) is rules.STANDARD and groups(standard) == {}
    plan = analyse(model, x)
    assert rules.plan_rule_set(plan).name == "extended"
    assert groups(plan) != groups(standard)
    # pickled with the plan; a plan without the record is walked again with the standard
    # rules, which cannot reproduce its labels
    copied = pickle.loads(pickle.dumps(plan)).rule_record
    assert copied.rule_set == plan.rule_record.rule_set
    assert list(copied.prune_dimension_by_nodes.values()) == list(
        plan.rule_record.prune_dimension_by_nodes.values()
    )
    assert list(copied.decisions.values()) == list(plan.rule_record.decisions.values())
    assert list(copied.handlers.values()) == list(plan.rule_record.handlers.values())
    bare = copy.copy(plan)
    del bare.rule_record
    with pytest.raises(ValueError, match="cannot be reproduced"):
        shrink(copy.deepcopy(model), bare, {0: plan.prunable_groups[0][1][:1]})
    # shrinking and checking do not depend on the rules the thread has chosen
    with rules.standard():
        cut_and_check(model, x, plan)

    # a calibrator's first call inside the block analyses with the extended rules
    model = made(Grouped())
    calibrator = TavrixPruningCalibrator(model)
    with rules.extended(), calibrator:
        model(x).sum().backward()
    assert rules.plan_rule_set(calibrator.cutplan).name == "extended"


class Attended(nn.Module):
    """A depthwise convolution, then nn.MultiheadAttention whose output a linear layer reads."""

    def __init__(self):
        super().__init__()
        self.conv, self.dw = nn.Conv2d(3, 8, 1), nn.Conv2d(8, 8, 3, padding=1, groups=8)
        self.attn, self.fc = nn.MultiheadAttention(8, 2), nn.Linear(8, 4)

    def forward(self, x):
        y = self.dw(F.relu(self.conv(x))).flatten(2).permute(2, 0, 1)  # (positions, batch, 8)
        return self.fc(self.attn(y, y, y, need_weights=False)[0])


def test_the_shrink_cuts_what_the_walk_recorded():
    model, x = made(Attended()), torch.randn(2, 3, 4, 4)
    plan = analyse(model, x)
    record = plan.rule_record
    dw = plan.graph[2]
    attention = next(n for n in plan.graph if n.operation_name == "multi_head_attention_forward")
    assert (record.handlers[dw], record.decisions[dw]) == (
        "_grouped_conv_node_handler",
        "depthwise",
    )
    # the attention call returns a tuple: the walk recorded its output's shape, by which the
    # linear layer reading it loses its input columns
    assert record.piece_shapes[attention] == (16, 2, 8)
    removed = {i: labels[:1] for i, (_, labels) in enumerate(plan.prunable_groups)}
    cut_and_check(copy.deepcopy(model), x, plan, removed)
    # the shrink reads what the record says, whatever the graph shows: a depthwise
    # convolution recorded as grouped, or an attention output of unknown shape, is not cut
    for changed, reason in (
        ({"decisions": {**record.decisions, dw: "grouped"}}, r"dw at .* grouped convolution"),
        ({"piece_shapes": {}}, r"fc at .* reads 1 removed channel"),
    ):
        plan.rule_record = dataclasses.replace(record, **changed)
        before = state(model)
        with pytest.raises(ShrinkError, match=reason):
            shrink(model, plan, removed)
        assert same_state(model, before)


# ------------------------------------------------------------------ grouped convolutions


@pytest.mark.parametrize(
    "module, options, expected, groups_after",
    [
        # 3 groups of 2 inputs and 4 outputs: auto takes the same positions in every group
        (Grouped(), {}, {("a",): 2, ("bn", "g"): 4}, 3),
        (Grouped(), {"grouped_conv": "positions"}, {("a",): 2, ("bn", "g"): 4}, 3),
        # whole groups: a group's input and output channels go together
        (Grouped(), {"grouped_conv": "groups"}, {("a", "bn", "g"): 3}, 2),
        (Grouped(transposed=True), {"grouped_conv": "groups"}, {("a", "bn", "g"): 3}, 2),
        (Grouped(transposed=True), {"grouped_conv": "positions"}, {("a",): 2, ("bn", "g"): 3}, 3),
        # one input channel per group: whole groups, groups shrinks with them
        (Grouped(multiplier=True), {}, {("a", "bn", "g"): 4}, 3),
    ],
)
def test_grouped_convolutions(module, options, expected, groups_after):
    model, x = made(module), torch.randn(2, 3, 7, 7)
    plan = analyse(model, x, **options)
    assert groups(plan) == expected
    cut_and_check(model, x, plan)
    assert model.g.groups == groups_after
    assert model.g.in_channels % groups_after == 0 and model.g.out_channels % groups_after == 0


def test_grouped_convolution_with_groups_fixed_in_the_call_keeps_them():
    class Functional(Grouped):
        def __init__(self):
            super().__init__()
            self.weight = nn.Parameter(self.g.weight.detach().clone())

        def forward(self, x):
            y = F.conv2d(F.relu(self.a(x)), self.weight, groups=3)
            return self.head(F.relu(self.bn(y)))

    model, x = made(Functional()), torch.randn(2, 3, 7, 7)
    plan = analyse(model, x, grouped_conv="groups")
    before = state(model)
    with pytest.raises(ShrinkError, match="groups argument is fixed in the call"):
        shrink(model, plan, {0: plan.prunable_groups[0][1][:1]})
    assert same_state(model, before)


# ------------------------------------------------------------------ per-channel parameters


class Scaled(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 6, 1)
        self.gamma = nn.Parameter(torch.rand(6, 1, 1))  # layer scale
        self.shift = nn.Parameter(torch.rand(6, 1, 1))  # a bias added by hand
        self.temperature = nn.Parameter(torch.rand(6) + 0.5)
        self.register_buffer("offset", torch.rand(6, 1, 1))
        self.head = nn.Conv2d(6, 2, 1)

    def forward(self, x, with_buffer=False):
        y = (self.gamma * self.conv(x) + self.shift).transpose(1, 3) / self.temperature
        y = y.transpose(1, 3)
        return self.head(y + self.offset if with_buffer else y)


def test_per_channel_parameters_are_cut_with_their_channels():
    model, x = made(Scaled()), torch.randn(2, 3, 4, 4)
    plan = analyse(model, x)
    assert groups(plan) == {("conv",): 6}
    report = cut_and_check(model, x, plan)
    assert {t.name: t.after for t in report.tensors if t.name != "conv.weight"} == {
        "conv.bias": (4,),
        "gamma": (4, 1, 1),
        "shift": (4, 1, 1),
        "temperature": (4,),
        "head.weight": (2, 4, 1, 1),
    }
    # a buffer is no parameter: nothing tells the cut it belongs to the model
    with warnings.catch_warnings(), rules.extended():
        warnings.simplefilter("ignore", UserWarning)
        buffered = get_cutplan(made(Scaled()), (x,), {"with_buffer": True})
    assert groups(buffered) == {}


# ------------------------------------------------------------------ axis moves, norms


class ConvNeXtLike(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 2, stride=2)
        self.block = CNBlock(8, layer_scale=1.0, stochastic_depth_prob=0.0)
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        return self.head(self.block(self.stem(x)).mean((2, 3)))


class ChannelsLast1d(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv, self.fc, self.out = nn.Conv1d(3, 6, 1), nn.Linear(6, 5), nn.Conv1d(5, 2, 1)

    def forward(self, x):
        y = self.fc(torch.movedim(self.conv(x), 1, -1)).permute(0, 2, 1)
        return self.out(y.swapaxes(1, 2).transpose(-1, -2))


@pytest.mark.parametrize(
    "module, shape, expected",
    [
        # permute, layer norm over the last axis, linear, permute back, layer scale
        (
            ConvNeXtLike(),
            (2, 3, 8, 8),
            {("block.block.0", "block.block.5", "stem"): 8, ("block.block.3",): 32},
        ),
        (ChannelsLast1d(), (2, 3, 7), {("conv",): 6, ("fc",): 5}),
    ],
)
def test_channels_follow_axis_moves(module, shape, expected):
    model, x = made(module), torch.randn(*shape)
    plan = analyse(model, x)
    assert groups(plan) == expected
    cut_and_check(model, x, plan)


def test_plan_files_of_extended_plans_reapply(tmp_path):
    model, x = made(ConvNeXtLike()), torch.randn(2, 3, 8, 8)
    fresh = copy.deepcopy(model)
    plan = analyse(model, x)
    report = cut_and_check(model, x, plan)
    save_plan(tmp_path / "plan.json", report)
    # the layer norm's normalized_shape (a tuple) and the layer scale's block (no adapter
    # of its own) follow the file as they followed the cut
    apply_plan(fresh, tmp_path / "plan.json", (x,))
    fresh.load_state_dict(model.state_dict())
    assert fresh.block.block[2].normalized_shape == model.block.block[2].normalized_shape == (6,)
    assert torch.equal(fresh(x), model(x))


class Normed(nn.Module):
    def __init__(self, norm):
        super().__init__()
        self.conv, self.norm, self.head = nn.Conv2d(3, 8, 1), norm, nn.Conv2d(8, 2, 1)

    def forward(self, x):
        return self.head(self.norm(self.conv(x)))


@pytest.mark.parametrize(
    "norm, labels, attribute",
    [
        # one group: channels one by one, the rest normalised among themselves
        (nn.GroupNorm(1, 8), 8, ("num_groups", 1)),
        (nn.GroupNorm(2, 8), 2, ("num_groups", 1)),  # whole groups only
        (nn.GroupNorm(8, 8), 8, ("num_groups", 6)),
        (nn.InstanceNorm2d(8, affine=True), 8, ("num_features", 6)),
        (nn.LayerNorm([8, 4, 4]), 8, ("normalized_shape", (6, 4, 4))),
    ],
)
def test_normalisations_over_the_channel_axis(norm, labels, attribute):
    model, x = made(Normed(norm)), torch.randn(2, 3, 4, 4)
    plan = analyse(model, x)
    assert groups(plan) == {("conv",): labels}
    _, group = plan.prunable_groups[0]
    cut_and_check(model, x, plan, {0: group[:1] if labels == 2 else group[:2]})
    assert getattr(model.norm, attribute[0]) == attribute[1]


# ------------------------------------------------------------------ reshapes


class Heads(nn.Module):
    """A split into heads and back; the code sizes the kept axis from the tensor."""

    def __init__(self, whole):
        super().__init__()
        self.whole = whole
        self.a, self.b = nn.Linear(6, 12), nn.Linear(12, 5)

    def forward(self, x):
        y = self.a(x)
        n, t, c = y.shape
        y = y.view(n, t, -1, 4) if self.whole else y.view(n, t, 3, -1)
        y = F.gelu(y.transpose(1, 2))
        return self.b(y.transpose(1, 2).reshape(n, t, c - 0 * c).flatten(2))


class Shuffle(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 1)
        self.down = InvertedResidual(8, 16, 2)
        self.same = InvertedResidual(16, 16, 1)
        self.head = nn.Conv2d(16, 2, 1)

    def forward(self, x):
        return self.head(self.same(self.down(self.stem(x))))


class Flat(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv, self.fc = nn.Conv2d(3, 6, 3), nn.Linear(6 * 4 * 4, 5)

    def forward(self, x):
        return self.fc(torch.flatten(self.conv(x), 1).unflatten(1, (-1, 16)).flatten(1))


def test_splits_into_heads_keep_whole_heads_or_the_same_positions():
    x = torch.randn(2, 5, 6)
    plans = {}
    for split, whole in (("outer", True), ("inner", False), ("largest", False)):
        model = made(Heads(whole))
        plans[split] = plan = analyse(model, x, split=split)
        cut_and_check(model, x, plan)
        assert model.a.out_features == (8 if whole else 9)
    assert groups(plans["outer"]) == {("a",): 3}  # one label per head of 4
    assert groups(plans["inner"]) == groups(plans["largest"]) == {("a",): 4}
    labels = plans["outer"].labels_by_nodes
    view = next(n for n in plans["outer"].graph if n.operation_name == "view")
    first, *_ = plans["outer"].prunable_groups[0][1]
    assert labels[view] == plans["outer"].prunable_groups[0][1]
    linear = plans["outer"].graph[0]
    assert labels[linear][:4] == [first] * 4  # a head's channels share its label


def test_merges_and_a_channel_shuffle():
    model, x = made(Flat()), torch.randn(2, 3, 6, 6)
    plan = analyse(model, x)
    assert groups(plan) == {("conv",): 6}  # flattened with the spatial axes into the linear
    cut_and_check(model, x, plan)
    assert model.fc.in_features == 4 * 16

    model, x = made(Shuffle()), torch.randn(2, 3, 8, 8)
    plan = analyse(model, x)
    # a shuffle of a cut tensor is the cut shuffle only when the same positions go from both
    # halves: its input's channels j and j + 8 share a label, which it interleaves; the even
    # chunk of the next block ties its channels i and i + 8 as well
    shuffled = [n for n in plan.graph if n.operation_name == "view"][1]
    labels = plan.labels_by_nodes[shuffled]
    assert labels[0::2] == labels[1::2] and labels[:8] == labels[8:] and len(set(labels)) == 4
    cut_and_check(model, x, plan)


class Folded(nn.Module):
    """(C, L) folded into (C / 2, 2 L): channel pairs share every position of the new axis."""

    def __init__(self):
        super().__init__()
        self.conv, self.head = nn.Conv1d(3, 8, 1), nn.Conv1d(4, 2, 1)

    def forward(self, x):
        y = self.conv(x)
        return self.head(y.reshape(y.shape[0], -1, 2 * y.shape[2]))


class Widths(nn.Module):
    """Reads its input's width: to reshape that input, or to size another tensor."""

    def __init__(self, other):
        super().__init__()
        self.other = other
        self.conv, self.fc, self.head = nn.Conv1d(3, 6, 1), nn.Linear(6, 12), nn.Linear(6, 2)

    def forward(self, x):
        y = self.conv(x).transpose(1, 2)
        n, t, c = y.shape
        if self.other:  # attention's way: q, k, v sized by the input's width
            z = self.fc(y).reshape(n, t, 2, c).sum(2)
        else:
            z = y.reshape(n, t, c)
        return self.head(z)


@pytest.mark.parametrize(
    "module, shape, expected",
    [
        (Folded(), (2, 3, 5), {("conv",): 4}),  # the pairs (0, 1), (2, 3), ... merged
        (Widths(other=False), (2, 3, 5), {("conv",): 6}),
        # the width read off the input sizes the reshape of another tensor: pinned
        (Widths(other=True), (2, 3, 5), {("fc",): 6}),
    ],
)
def test_reshapes_that_mix_axes_and_widths_read_by_the_code(module, shape, expected):
    model, x = made(module), torch.randn(*shape)
    plan = analyse(model, x)
    assert groups(plan) == expected
    if not getattr(module, "other", False):
        cut_and_check(model, x, plan)
        return
    # the read width also fixes the reshaped tensor's size, which no label can tell: the
    # cut would leave the reshape a number that no longer fits, and is refused
    removed = {0: plan.prunable_groups[0][1][:1]}
    with pytest.raises(ShrinkError, match="given the size 6 for channels that become 5"):
        shrink(model, plan, removed)
    assert model.fc.weight.shape == (12, 6)


# ------------------------------------------------------------------ slices and pieces


class Pieces(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 1)
        self.side = nn.Conv2d(4, 4, 1)
        self.tail = nn.Conv2d(6, 4, 1)
        self.front = nn.Conv2d(2, 4, 1)
        self.head = nn.Conv2d(18, 2, 1)

    def forward(self, x):
        y = self.conv(x)
        a, b = y.chunk(2, dim=1)  # dual path: a passes, b is transformed
        z = torch.cat([y, a + self.side(b)], 1)
        w = self.tail(y[:, 2:]) + self.front(y[:, :2])  # bounds written as numbers
        z = torch.roll(F.pad(z, (1, 1)), 3, -1)[..., 1:-1]
        grid = torch.ones(x.shape[0], 2, *x.shape[2:])  # made in the call: channels of its own
        return self.head(torch.cat([z, grid, w], 1))


def test_slices_and_pieces():
    model, x = made(Pieces()), torch.randn(2, 3, 5, 5)
    plan = analyse(model, x)
    conv = plan.graph[0]
    labels = plan.labels_by_nodes[conv]
    # the chunk ties channel j with j + 4; y[:, :2] and y[:, 2:] count from channel 2, so
    # channels 0, 1 (and 4, 5 tied to them) must stay
    assert labels[:4] == labels[4:]
    assert {label for _, group in plan.prunable_groups for label in group} & set(labels) == set(
        labels[2:4]
    )
    cut_and_check(model, x, plan)
    assert model.conv.out_channels == 6


class HeldSlices(nn.Module):
    """Dual paths split at a width the module holds (timm's DPN, ``x[:, : self.num_1x1_c]``),
    after a slice to the whole width (GhostNet's ``out[:, : self.out_chs]``)."""

    def __init__(self, twin=False):
        super().__init__()
        self.conv, self.res, self.dense = nn.Conv2d(3, 8, 1), nn.Conv2d(5, 5, 1), nn.Conv2d(3, 4, 1)
        self.head = nn.Conv2d(9, 2, 1)
        self.out_chs, self.split, self.twin = 8, 5, twin
        self.other = 5 if twin else 6  # read for the second piece: which bound is which?
        self.width = 5  # never read: not the size of either

    def forward(self, x):
        y = self.conv(x)[:, : self.out_chs]
        a, b = y[:, : self.split], y[:, (self.other if self.twin else self.split) :]
        return self.head(torch.cat([self.res(a) + a, self.dense(b)], 1))


def test_slices_at_sizes_the_module_holds_follow_the_cut():
    model, x = made(HeldSlices()), torch.randn(2, 3, 4, 4)
    plan = analyse(model, x)
    conv = plan.labels_by_nodes[plan.graph[0]]
    assert {label for _, group in plan.prunable_groups for label in group} >= set(conv)
    report = cut_and_check(model, x, plan)
    # the bounds become the channels kept below them
    assert (model.out_chs, model.split) == (model.conv.out_channels, model.res.in_channels) < (8, 5)
    assert any("split" in attrs for attrs in report.module_attributes.values())
    # the same prefix under two names: refused, naming both, the model as it was
    model = made(HeldSlices(twin=True))
    plan = analyse(model, x)
    saved = state(model)
    with pytest.raises(ShrinkError, match="more than one attribute .split, other"):
        shrink(model, plan, {i: labels[:2] for i, (_, labels) in enumerate(plan.prunable_groups)})
    assert same_state(model, saved)
    with provenance(False):  # no running module known: the bounds count as numbers
        plan = analyse(made(HeldSlices()), x)
    prunable = {label for _, group in plan.prunable_groups for label in group}
    assert prunable and not prunable & set(plan.labels_by_nodes[plan.graph[0]][:5])


def test_uneven_pieces_and_strides_stay_barriers():
    class Uneven(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.head = nn.Conv2d(3, 8, 1), nn.Conv2d(6, 2, 1)

        def forward(self, x):
            y = self.conv(x)
            a, b = y.split([3, 5], 1)
            return self.head(torch.cat([a, b[:, ::2], y[:, ::4][:, :0]], 1))

    plan = analyse(made(Uneven()), torch.randn(2, 3, 4, 4))
    assert groups(plan) == {}

    class Picked(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.head = nn.Conv2d(3, 8, 1), nn.Conv2d(8, 2, 1)

        def forward(self, x, batched=False):
            y = self.conv(x)
            if batched:  # channels moved to the batch axis would depend on the batch size
                return self.head(y.reshape(-1, 4, 4).reshape(y.shape))
            return self.head(y * y[:, 3].unsqueeze(1))  # channel 3 by number: 0 to 3 stay

    model, x = made(Picked()), torch.randn(1, 3, 4, 4)
    with rules.extended():
        assert groups(get_cutplan(model, (x,), {"batched": True})) == {}
    plan = analyse(model, x)
    assert groups(plan) == {("conv",): 4}
    assert set(plan.prunable_groups[0][1]) == set(plan.labels_by_nodes[plan.graph[0]][4:])
    cut_and_check(model, x, plan)


# ------------------------------------------------------------------ the cut's refusals


def test_a_holder_of_a_parameter_with_a_channel_count_is_refused():
    class Counted(Scaled):
        def __init__(self):
            super().__init__()
            self.channels = 6

    model, x = made(Counted()), torch.randn(2, 3, 4, 4)
    plan = analyse(model, x)
    before = state(model)
    with pytest.raises(ShrinkError, match="attribute channels = 6 may count the channels"):
        shrink(model, plan, {0: plan.prunable_groups[0][1][:1]})
    assert same_state(model, before)

    class Viewed(Scaled):  # timm's poolformer: ``self.scale.view(self.shape)``
        def __init__(self):
            super().__init__()
            self.scale, self.shape = nn.Parameter(torch.rand(6)), (6, 1, 1)

        def forward(self, x):
            return super().forward(x) + self.head(self.conv(x) * self.scale.view(self.shape))

    model = made(Viewed())
    cut_and_check(model, x, analyse(model, x))
    assert model.shape == (4, 1, 1) == tuple(model.gamma.shape)


# ------------------------------------------------------------------ coverage


def test_coverage_counts_layer_channels_outside_the_outputs():
    model, x = made(Flat()), torch.randn(2, 3, 6, 6)
    standard = rules.coverage(model, (x,))
    with rules.extended():
        extended = rules.coverage(model, (x,))
    # the linear's 5 outputs are the model's; the flatten stops the standard rules
    assert (standard.channels, standard.prunable, standard.at_outputs) == (6, 0, 5)
    assert (extended.channels, extended.prunable, extended.removable) == (6, 6, 6)
    assert extended.share == 1.0 and standard.share == 0.0

    # nn.MultiheadAttention reads its out_proj's weight: a layer no rule sees into
    class Attend(nn.Module):
        def __init__(self):
            super().__init__()
            self.fc, self.head = nn.Linear(4, 8), nn.Linear(8, 3)
            self.mha = nn.MultiheadAttention(8, 2)

        def forward(self, x):
            y = self.fc(x)
            return self.head(self.mha(y, y, y, need_weights=False)[0])

    with rules.extended():
        found = rules.coverage(made(Attend()), (torch.randn(5, 2, 4),))
    assert [(layer.name, layer.channels) for layer in found.layers] == [
        ("linear_0", 8),
        ("mha.out_proj", 8),
    ]

    # a linear layer run through its weight's transposed view (Falcon's FalconLinear): a
    # layer, not prunable, rather than no layer at all
    class ByView(nn.Linear):
        def forward(self, x):
            return x @ self.weight.T + self.bias

    model = made(nn.Sequential(ByView(4, 8), nn.ReLU(), nn.Linear(8, 3)))
    found = rules.coverage(model, (torch.randn(2, 4),))
    assert [(layer.name, layer.channels, layer.prunable) for layer in found.layers] == [("0", 8, 0)]
    assert found.share == 0.0


# ---- numbers the code may take from elsewhere than the cut: refused, the model unchanged


def _shuffled(x, groups):  # torchvision's channel_shuffle
    batch, channels, height, width = x.size()
    x = x.view(batch, groups, channels // groups, height, width)
    return torch.transpose(x, 1, 2).contiguous().view(batch, channels, height, width)


class HeldShuffle(nn.Module):
    """A shuffle whose groups the module holds: cut by whole groups, ``groups`` would stay."""

    def __init__(self, channels, groups):
        super().__init__()
        self.groups = groups
        self.conv, self.head = nn.Conv2d(3, channels, 3, padding=1), nn.Conv2d(channels, 4, 1)

    def forward(self, x):
        return self.head(_shuffled(self.conv(x), self.groups))


class TwoNames(nn.Module):
    """Splits by ``self.width``, and also holds the number as ``split_size``."""

    def __init__(self, also_split_size):
        super().__init__()
        self.conv, self.head = nn.Conv2d(3, 8, 1), nn.Conv2d(8, 5, 1)
        self.width = 4
        if also_split_size:
            self.split_size = 4

    def forward(self, x):
        a, b = torch.split(self.conv(x), self.width, 1)
        return self.head(torch.cat([b, a], dim=1))


class ReadHeads(nn.Module):
    """Heads of ``C // self.num_heads``, C read off a stream (``B, N, C = x.shape``)."""

    def __init__(self, width, heads):
        super().__init__()
        self.num_heads = heads
        self.qkv, self.proj = nn.Linear(width, 3 * width), nn.Linear(width, width)

    def forward(self, x):
        b, n, c = x.shape
        qkv = self.qkv(x).reshape(b, n, 3, self.num_heads, c // self.num_heads)
        q, k, v = qkv.permute(2, 0, 3, 1, 4).unbind(0)
        y = F.scaled_dot_product_attention(q, k, v)
        return x + self.proj(y.transpose(1, 2).reshape(b, n, -1))


class Streams(nn.Module):
    """A stream through ``nn.MultiheadAttention`` and/or a ReadHeads block, then an MLP."""

    def __init__(self, mha=True, read_heads=None, hidden=32, width=12, heads=4):
        super().__init__()
        self.embed, self.head = nn.Linear(6, width), nn.Linear(width, 3)
        self.norm = nn.LayerNorm(width)
        self.mha = nn.MultiheadAttention(width, heads, batch_first=True) if mha else None
        self.read = ReadHeads(width, read_heads) if read_heads else None
        self.fc1, self.fc2 = nn.Linear(width, hidden), nn.Linear(hidden, width)

    def forward(self, x):
        x = self.embed(x)
        if self.mha is not None:
            y = self.norm(x)
            x = x + self.mha(y, y, y, need_weights=False)[0]
        if self.read is not None:
            x = self.read(x)
        x = x + self.fc2(torch.relu(self.fc1(x)))
        return self.head(x[:, 0])


class ScaledHeads(nn.Module):
    """transformers-style attention scaling its scores by ``math.sqrt(self.head_dim)`` or by
    a number it holds; on a chunk piece of its input, a layer (``cat([fc(a), b])``)."""

    def __init__(self, heads, by_attribute, width=8):
        super().__init__()
        self.num_heads, self.head_dim = heads, width // heads
        self.scaling, self.by_attribute = self.head_dim**-0.5, by_attribute
        self.embed, self.fc = nn.Linear(5, width), nn.Linear(width // 2, width // 2)
        self.q, self.k, self.v = (nn.Linear(width, width) for _ in range(3))
        self.o, self.head = nn.Linear(width, width), nn.Linear(width, 3)

    def forward(self, x):
        a, b = self.embed(x).chunk(2, dim=-1)
        h = torch.cat([F.gelu(self.fc(a)), b], dim=-1)
        bsz, q_len, _ = h.size()
        q, k, v = (
            p(h).view(bsz, q_len, self.num_heads, self.head_dim).transpose(1, 2)
            for p in (self.q, self.k, self.v)
        )
        scores = q @ k.transpose(2, 3)
        scores = scores / (self.head_dim**0.5) if self.by_attribute else scores * self.scaling
        y = (scores.softmax(-1) @ v).transpose(1, 2).reshape(bsz, q_len, -1)
        return self.head((h + self.o(y)).mean(1))


def test_a_layer_on_a_chunk_piece_loses_its_input_columns():
    model, x = made(ScaledHeads(2, by_attribute=False)), torch.randn(2, 5, 5)
    plan = analyse(model, x, split="inner")
    index = next(i for i, names in enumerate(groups(plan)) if "fc" in names)
    cut_and_check(model, x, plan, {index: plan.prunable_groups[index][1][:1]})
    assert model.fc.weight.shape == (3, 3) and model.head_dim == 3


def test_a_later_cut_of_the_same_size_keeps_its_own_channels():
    """q, k and v of two of four heads keep 18 rows, the MLP 18 of its channels: each tensor
    is cut by its own indices (the kept positions were once cached by a list's address)."""
    x = torch.randn(2, 5, 6)
    for hidden in (32, 64):
        model = made(Streams(hidden=hidden))
        plan = analyse(model, x, split="outer")
        (_, heads), (_, mlp) = plan.prunable_groups
        removed = {0: list(heads)[:2], 1: list(mlp)[: hidden - 18]}
        bias = model.fc1.bias.detach().clone()
        cut_and_check(model, x, plan, removed)
        assert torch.equal(model.fc1.bias, bias[hidden - 18 :])


@pytest.mark.parametrize(
    "build, x, split, layer, reason",
    [
        (lambda: HeldShuffle(8, 2), (2, 3, 6, 6), "outer", "conv", "groups holds that number"),
        (lambda: HeldShuffle(8, 4), (2, 3, 6, 6), "largest", "conv", "groups holds that number"),
        (lambda: HeldShuffle(6, 3), (2, 3, 6, 6), "largest", "conv", "groups holds that number"),
        (lambda: HeldShuffle(4, 4), (2, 3, 6, 6), "inner", "conv", "groups holds that number"),
        (
            lambda: ScaledHeads(2, by_attribute=True),
            (2, 5, 5),
            "inner",
            "fc",
            r"scales a product by 2, 4 \*\* 0.5 with 4 from ScaledHeads.head_dim, which the cut makes",
        ),
        (
            lambda: TwoNames(True),
            (2, 3, 6, 6),
            "largest",
            "conv",
            r"more than one attribute \(TwoNames.width, TwoNames.split_size\)",
        ),
        # the heads are cut, the stream they read their width off is not
        (
            lambda: Streams(mha=False, read_heads=4, width=8),
            (2, 5, 6),
            "largest",
            "read.qkv",
            r"reads \(8\) // 4, a number the cut makes 2",
        ),
        # the stream is cut (tied by the nn.MultiheadAttention), the heads read off it are not
        (
            lambda: Streams(read_heads=4, width=16, heads=2),
            (2, 8, 6),
            "largest",
            "embed",
            r"reads \(16, which the cut makes 8\) // num_heads \(4\)",
        ),
    ],
)
def test_numbers_the_code_may_take_elsewhere_are_refused(build, x, split, layer, reason):
    model, x = made(build()), torch.randn(*x)
    plan = analyse(model, x, split=split)
    index = next(i for i, names in enumerate(groups(plan)) if layer in names)
    labels = plan.prunable_groups[index][1]
    saved = state(model)
    with pytest.raises(ShrinkError, match=reason):
        shrink(model, plan, {index: list(labels)[: max(1, len(labels) // 2)]})
    assert same_state(model, saved)


def test_a_split_by_the_one_attribute_holding_its_size_follows():
    model, x = made(TwoNames(False)), torch.randn(2, 3, 6, 6)
    plan = analyse(model, x)
    cut_and_check(model, x, plan, {0: plan.prunable_groups[0][1][:1]})
    assert model.width == 3


def test_the_check_blames_the_layer_that_differs_past_an_attention_with_other_reads():
    """One of two heads left: nn.MultiheadAttention reads other metadata on the way (an odd
    number of heads takes no fast path); the check compares values, and names fc2."""
    torch.manual_seed(0)
    model, x = made(Streams(hidden=16, heads=2)), torch.randn(2, 5, 6)
    plan = analyse(model, x, split="outer")
    (_, heads), (_, mlp) = plan.prunable_groups
    removed = {0: [heads[0]], 1: list(mlp)[:4]}
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    assert check_equal(original, model, plan, removed, (x,)).passed
    with torch.no_grad():
        model.fc2.bias[0] += 1.0
    result = check_equal(original, model, plan, removed, (x,))
    assert not result.passed and result.first_diverging.module == "fc2"

"""Importance criteria against hand computations, and choices that keep a share of the MACs
or of the parameters, measured on the shrunk model."""

import warnings

import pytest
import torch
import torchvision
from torch import nn

from tavrix.pruning.gate import record_statistics
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.importance import CRITERIA, channel_importance
from tavrix.pruning.shrink import choose_channels, shrink, shrinkable
from tavrix.pruning.shrink.budget import call_macs, kept_share
from tavrix.pruning.shrink.measure import count_macs


class TwoConv(nn.Module):
    """conv-bn-relu, then a convolution reading the channels twice (a concatenation of the
    tensor with itself): each label of the prunable group sits at two consumer columns."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(3, 6, 3, padding=1)
        self.bn = nn.BatchNorm2d(6)
        self.conv2 = nn.Conv2d(12, 4, 3)
        self.hidden = None

    def forward(self, x):
        h = torch.relu(self.bn(self.conv1(x)))
        self.hidden = h
        return self.conv2(torch.cat([h, h], 1)).mean((2, 3))


def _loss(y):
    return (y * torch.arange(1.0, 5.0)).sum()


def _inputs():
    generator = torch.Generator().manual_seed(3)
    return [torch.randn(n, 3, 8, 8, generator=generator) for n in (3, 2)]


def _calibrated(model, inputs, backward=True):
    calibrator = TavrixPruningCalibrator(model)
    with record_statistics(), calibrator:
        for x in inputs:
            if backward:
                _loss(model(x)).backward()
            else:
                with torch.no_grad():
                    model(x)
    return calibrator.cutplan


def _by_hand(model, inputs):
    """Per-sample Taylor terms and activations of the hidden channels, recorded outside
    any calibrator."""
    per_sample, squares, entries = [], torch.zeros(6), 0
    for x in inputs:
        model.hidden = None
        y = model(x)
        h = model.hidden
        h.retain_grad()
        _loss(y).backward()
        per_sample.append((h.grad * h).sum((2, 3)).detach())
        squares += h.detach().square().sum((0, 2, 3))
        entries += h.numel() // 6
    model.zero_grad(set_to_none=True)
    return torch.cat(per_sample).double(), (squares / entries).double()


@pytest.fixture(scope="module")
def calibrated():
    torch.manual_seed(0)
    model = TwoConv().eval()
    with torch.no_grad():
        model.bn.weight.uniform_(0.5, 2.0)
    inputs = _inputs()
    per_sample, activation = _by_hand(model, inputs)
    plan = _calibrated(model, inputs)
    assert len(plan.prunable_groups) == 1 and len(plan.prunable_groups[0][1]) == 6
    return model, plan, per_sample, activation


def _values(plan, criterion, **options):
    (group,) = channel_importance(plan, criterion=criterion, **options)
    return group.importance.double()


def test_gate_criteria_match_the_hand_computation(calibrated):
    model, plan, per_sample, activation = calibrated
    samples = per_sample.shape[0]
    close = dict(rtol=1e-4, atol=1e-10)
    torch.testing.assert_close(
        _values(plan, "fisher"), per_sample.square().sum(0) / samples, **close
    )
    # the gate sits on the concatenation: both positions of a channel count
    torch.testing.assert_close(_values(plan, "activation"), 2 * activation, **close)
    # the default is the Taylor criterion, read as before
    default = channel_importance(plan)[0].importance
    assert torch.equal(default, channel_importance(plan, criterion="taylor")[0].importance)


def test_weight_criteria_match_the_hand_computation(calibrated):
    model, plan, _, activation = calibrated
    rows = model.conv1.weight.detach().double().flatten(1).square().sum(1)
    scales = model.bn.weight.detach().double().square()
    # both copies of each channel are columns of conv2
    columns = model.conv2.weight.detach().double().transpose(0, 1).flatten(1).square().sum(1)
    columns = columns[:6] + columns[6:]
    close = dict(rtol=1e-5, atol=1e-8)
    torch.testing.assert_close(_values(plan, "weight", model=model), rows.sqrt(), **close)
    torch.testing.assert_close(
        _values(plan, "magnitude", model=model), (rows + scales + columns).sqrt(), **close
    )
    torch.testing.assert_close(
        _values(plan, "output_error", model=model), activation.double() * columns, **close
    )


def test_random_is_seeded(calibrated):
    _, plan, _, _ = calibrated
    assert torch.equal(_values(plan, "random"), _values(plan, "random", seed=0))
    assert not torch.equal(_values(plan, "random"), _values(plan, "random", seed=1))
    chosen = choose_channels(plan, 0.5, importance="random", seed=1)
    order = _values(plan, "random", seed=1).argsort()[:3].sort().values
    assert chosen == {0: [plan.prunable_groups[0][1][i] for i in order.tolist()]}


def test_activation_needs_no_loss():
    torch.manual_seed(0)
    model = TwoConv().eval()
    inputs = _inputs()
    _, activation = _by_hand(model, inputs)
    plan = _calibrated(model, inputs, backward=False)
    torch.testing.assert_close(_values(plan, "activation"), 2 * activation, rtol=1e-4, atol=1e-10)
    assert _values(plan, "output_error", model=model).gt(0).all()
    with pytest.raises(RuntimeError, match="No gate has a gradient"):
        channel_importance(plan)  # as before: the Taylor criterion needs a backward
    with pytest.raises(RuntimeError, match="No gate recorded squared per-sample"):
        channel_importance(plan, criterion="fisher")


def test_statistics_are_recorded_only_when_asked():
    torch.manual_seed(0)
    model = TwoConv().eval()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for x in _inputs():
            _loss(model(x)).backward()
    plan = calibrator.cutplan
    for gate in plan.gate_container.values():
        assert not {"fisher_sum", "activation_sum"} & set(vars(gate))
    for criterion in ("fisher", "activation"):
        with pytest.raises(RuntimeError, match="record_statistics"):
            channel_importance(plan, criterion=criterion)
    # with them, the Taylor values are those of a run without
    again = _calibrated(model, _inputs())
    torch.testing.assert_close(
        channel_importance(again)[0].importance,
        channel_importance(plan)[0].importance,
        rtol=1e-6,
        atol=0,
    )
    gate = next(iter(again.gate_container.values()))
    gate.reset_importance()
    assert "fisher_sum" not in vars(gate) and gate.num_samples == 0


@pytest.mark.parametrize(
    "call, match",
    [
        (
            lambda plan, model: channel_importance(plan, criterion="gradient"),
            "criterion must be one of taylor, fisher",
        ),
        (
            lambda plan, model: channel_importance(plan, criterion="magnitude"),
            "'magnitude' criterion reads the model's weights",
        ),
        (lambda plan, model: choose_channels(plan, importance="l1"), "importance must be None"),
        (lambda plan, model: choose_channels(plan, importance="output_error"), "needs the model"),
        (
            lambda plan, model: choose_channels(plan, target_macs=0.5),
            "target_macs needs the calibrated model",
        ),
        (
            lambda plan, model: choose_channels(plan, 0.3, target_macs=0.5, model=model),
            "either ratio or target_macs",
        ),
        (
            lambda plan, model: choose_channels(
                plan, target_macs=0.5, target_params=0.5, model=model
            ),
            "one of target_macs and target_p",
        ),
        (
            lambda plan, model: choose_channels(plan, target_params=0, model=model),
            r"target_params must be a number in \(0, 1\]",
        ),
        (
            lambda plan, model: choose_channels(plan, target_macs=1.5, model=model),
            r"target_macs must be a number in \(0, 1\]",
        ),
        (
            lambda plan, model: choose_channels(plan, target_macs=True, model=model),
            "target_macs must be a number",
        ),
        (
            lambda plan, model: choose_channels(plan, target_macs=0.05, model=model),
            "target_macs=0.05 cannot be reached: removing every channel",
        ),
    ],
)
def test_bad_input(calibrated, call, match):
    model, plan, _, _ = calibrated
    with pytest.raises(ValueError, match=match):
        call(plan, model)


def test_criteria_names_are_what_callers_pass():
    assert CRITERIA == (
        "taylor",
        "fisher",
        "activation",
        "output_error",
        "magnitude",
        "weight",
        "random",
    )


# ---- budgets on real models, checked with the MAC counter on the shrunk model

ZOO = {"resnet18": 32, "mobilenet_v3_small": 64, "densenet121": 32}


def _zoo(name):
    torch.manual_seed(0)
    model = getattr(torchvision.models, name)(weights=None).eval()
    x = torch.randn(1, 3, ZOO[name], ZOO[name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # layers the engine leaves unpruned
        calibrator = TavrixPruningCalibrator(model)
        with record_statistics(), calibrator:
            model(x).square().mean().backward()
    return model, calibrator.cutplan, x


@pytest.mark.parametrize(
    "name, target, fraction, options",
    [
        ("resnet18", "target_macs", 0.5, {"importance": "fisher"}),
        ("resnet18", "target_params", 0.17, {"round_to": 8, "min_keep": 16}),
        ("mobilenet_v3_small", "target_macs", 0.17, {"importance": "output_error"}),
        ("densenet121", "target_params", 0.5, {"importance": "magnitude"}),
    ],
)
def test_budgets_are_met_on_the_shrunk_model(name, target, fraction, options):
    model, plan, x = _zoo(name)
    macs = count_macs(model, (x,))
    assert call_macs(plan) == macs
    params = sum(p.numel() for p in model.parameters())
    removed = choose_channels(plan, model=model, **{target: fraction}, **options)
    assert shrinkable(model, plan, removed)[1] == {}
    predicted = kept_share(model, plan, removed, "macs" if target == "target_macs" else "params")
    scores = [
        g.importance
        for g in channel_importance(
            plan, criterion=options.get("importance", "taylor"), model=model
        )
    ]
    report = shrink(model, plan, removed)
    if target == "target_macs":
        achieved = count_macs(model, (x,)) / macs
    else:
        achieved = sum(p.numel() for p in model.parameters()) / params
    assert abs(achieved - fraction) <= 0.01 * fraction
    assert achieved == pytest.approx(predicted, abs=1e-12)
    round_to, min_keep = options.get("round_to", 1), options.get("min_keep", 1)
    for group in report.groups:
        assert group.kept == group.channels or (
            group.kept % round_to == 0 and group.kept >= min_keep
        )
    # the choice follows the importance: the removed channels score lower on the whole
    low = high = 0.0
    for group in report.groups:
        values = scores[group.index]
        if values is None or group.kept == group.channels or values.sum() == 0:
            continue
        values = values / values.mean()
        kept = torch.zeros(len(values), dtype=torch.bool)
        kept[list(group.keep)] = True
        low += values[~kept].mean().item()
        high += values[kept].mean().item()
    assert low < high


@pytest.mark.parametrize("hand_written", [False, True])
@pytest.mark.parametrize("split", ["inner", "outer"])
def test_attention_budgets_cut_tied_heads_together(hand_written, split):
    from test_rules import analyse, cut_and_check, made
    from test_rules_transformer import Attention

    model, x = made(Attention(hand_written=hand_written)), torch.randn(2, 3, 5)
    plan = analyse(model, x, split=split)
    macs = count_macs(model, (x,))
    assert call_macs(plan) == macs  # matrix products of q, k and v counted as the counter does
    removed = choose_channels(plan, target_macs=0.5, importance="random", seed=2, model=model)
    share = kept_share(model, plan, removed)
    # the groups are a dozen channels wide: one step is several percent, never overshot
    assert 0.4 < share <= 0.5
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    if split == "inner" and not hand_written:  # q/k and v positions within the heads
        assert sizes == [12, 4, 4] and len(removed.get(1, ())) == len(removed.get(2, ())) > 0
    cut_and_check(model, x, plan, removed)
    assert count_macs(model, (x,)) / macs == pytest.approx(share, abs=1e-12)


class FixedDepthwise(nn.Module):
    """A depthwise convolution whose groups the call fixes: the shrink refuses its group."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
        self.depthwise = nn.Parameter(torch.randn(8, 1, 3, 3))
        self.conv2 = nn.Conv2d(8, 256, 3, padding=1)
        self.conv3 = nn.Conv2d(256, 4, 1)

    def forward(self, x):
        h = torch.nn.functional.conv2d(
            torch.relu(self.conv1(x)), self.depthwise, padding=1, groups=8
        )
        return self.conv3(torch.relu(self.conv2(h))).mean((2, 3))


def test_budgets_leave_refused_groups_whole_and_count_them_as_kept():
    torch.manual_seed(0)
    model, x = FixedDepthwise().eval(), torch.randn(2, 3, 8, 8)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x).square().mean().backward()
    plan = calibrator.cutplan
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    assert sizes == [8, 256]
    assert set(shrinkable(model, plan, {0: [plan.prunable_groups[0][1][0]]})[1]) == {0}
    macs = count_macs(model, (x,))
    removed = choose_channels(plan, target_macs=0.6, model=model)
    assert set(removed) == {1}
    shrink(model, plan, removed)
    assert count_macs(model, (x,)) / macs == pytest.approx(0.6, rel=0.01)
    # what only the refused group could give is out of reach
    model, x = FixedDepthwise().eval(), torch.randn(2, 3, 8, 8)
    with pytest.raises(ValueError, match="target_params=0.005 cannot be reached"):
        choose_channels(plan, target_params=0.005, model=model)


@pytest.mark.parametrize("backward", [True, False])
def test_output_error_scores_query_key_positions_by_their_gates(backward):
    """The q/k positions within the heads feed the score product alone, which has no
    weight columns: output_error scores them by the gates' Fisher values (E[x^2] without
    a backward), so that the heads' positions can be cut with the value positions."""
    from tavrix.pruning import rules
    from test_rules import cut_and_check, made
    from test_rules_transformer import Attention

    model, x = made(Attention()), torch.randn(2, 3, 5)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), rules.extended(split="inner"), record_statistics(), calibrator:
        warnings.simplefilter("ignore", UserWarning)
        y = model(x)
        if backward:
            y.square().sum().backward()
    plan = calibrator.cutplan
    assert [len(labels) for _, labels in plan.prunable_groups] == [12, 4, 4]
    scored = channel_importance(plan, criterion="output_error", model=model)
    gates = channel_importance(plan, criterion="fisher" if backward else "activation")
    assert scored[1].gate_names and scored[1].gate_names == gates[1].gate_names
    assert torch.equal(scored[1].importance, gates[1].importance)
    # the groups a weight reads keep their own output error
    for index in (0, 2):
        assert scored[index].gate_names == [] and scored[index].importance.gt(0).all()
    removed = choose_channels(plan, 0.5, importance="output_error", model=model)
    order = scored[1].importance.argsort()[:2].sort().values.tolist()
    assert removed[1] == [plan.prunable_groups[1][1][i] for i in order]
    assert len(removed[2]) == 2
    cut_and_check(model, x, plan, removed)


class Encoder(nn.Module):
    """nn.MultiheadAttention (one traced call, its projections out of the standard rules'
    reach) before a prunable MLP: the attention's cost is kept, and counted."""

    def __init__(self) -> None:
        super().__init__()
        self.attention = nn.MultiheadAttention(16, 2, batch_first=True)
        self.up, self.down = nn.Linear(16, 64), nn.Linear(64, 16)

    def forward(self, x):
        x = x + self.attention(x, x, x, need_weights=False)[0]
        return self.down(torch.relu(self.up(x)))


@pytest.mark.parametrize("fraction", [0.9, 0.75])
def test_budgets_count_what_multihead_attention_keeps(fraction):
    torch.manual_seed(0)
    model, x = Encoder().eval(), torch.randn(2, 5, 16)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), calibrator:
        warnings.simplefilter("ignore", UserWarning)
        model(x).square().mean().backward()
    plan = calibrator.cutplan
    macs = count_macs(model, (x,))
    assert call_macs(plan) == macs
    removed = choose_channels(plan, target_macs=fraction, model=model)
    shrink(model, plan, removed)
    assert count_macs(model, (x,)) / macs == pytest.approx(fraction, rel=0.01)

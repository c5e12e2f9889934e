"""Shrinking small real models: the cut, its refusals, the equality check and plan files."""

import copy
import json
import pickle
import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.demo_model import ResidualCNN, residual_cnn
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import (
    CheckReplayError,
    PlanMismatchError,
    ShrinkError,
    apply_plan,
    check_equal,
    choose_channels,
    load_plan,
    load_shrunk,
    save_plan,
    save_shrunk,
    shrink,
)
from tavrix.pruning.shrink import rules as shrink_rules

import models
from shrink_helpers import randomise, rebuild_mismatches, same_state, state


def _plan(model, x):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # layers the engine leaves unpruned
        return get_cutplan(model, (x,), {})


def _half(plan):
    """Every other channel of every prunable group."""
    return {i: list(labels[::2]) for i, (_, labels) in enumerate(plan.prunable_groups)}


def test_demo_model_shrinks_to_the_masked_original():
    torch.manual_seed(0)
    model = randomise(residual_cnn().eval())
    model.fc.weight.no_weight_decay = True  # what an optimizer's set-up may read
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            model(torch.randn(4, 3, 32, 32)).pow(2).mean().backward()
    plan, x = calibrator.cutplan, torch.randn(2, 3, 32, 32)
    original = copy.deepcopy(model)
    removed = choose_channels(plan, ratio=0.3, round_to=1)
    assert {i: len(labels) for i, labels in removed.items()} == {0: 4, 1: 4, 2: 9, 3: 9}
    report = shrink(model, plan, removed)

    result = check_equal(original, model, plan, removed, (x,), {})
    assert result.passed and result.first_diverging is None
    assert result.max_abs_diff <= 1e-4 * result.scale and result.scale > 0
    # the masked channels mattered: the unmasked original computes something else
    with torch.no_grad():
        assert not torch.allclose(original(x), model(x), rtol=0, atol=1e-3 * result.scale)
    assert rebuild_mismatches(model) == []
    assert model.stem[0].out_channels == 12 and model.stage1.conv1.in_channels == 12
    assert model.fc.in_features == 23 and model.stage2.bn2.num_features == 23
    counted = sum(p.numel() for p in model.parameters())
    assert report.parameters_after == counted < report.parameters_before
    assert f"{report.parameters_before:,}" in report.table()
    assert f"{counted:,}" in report.table()
    assert [(g.channels, g.kept) for g in report.groups] == [(16, 12), (16, 12), (32, 23), (32, 23)]
    assert all(p.grad is None and p.requires_grad for p in model.parameters())
    assert model.fc.weight.no_weight_decay is True  # the cut weight keeps what was set on it
    # the cut changed the tensors the plan names: applying it again is refused untouched
    saved = state(model)
    with pytest.raises(ShrinkError, match="the model changed after the analysis"):
        shrink(model, plan, removed)
    assert same_state(model, saved)


class Decoder(nn.Module):
    """Transposed (and depthwise transposed) convolutions, PReLU, 1-d layers."""

    def __init__(self):
        super().__init__()
        self.up = nn.Sequential(
            nn.ConvTranspose2d(4, 12, 2, stride=2), nn.BatchNorm2d(12), nn.PReLU(12)
        )
        self.dw = nn.ConvTranspose2d(12, 12, 3, padding=1, groups=12)
        self.mix = nn.Conv2d(12, 8, 1)
        self.seq = nn.Sequential(nn.Conv1d(8, 10, 3, padding=1), nn.BatchNorm1d(10), nn.PReLU())
        self.head = nn.Linear(10, 3)

    def forward(self, x):
        y = self.mix(self.dw(self.up(x)))
        return self.head(self.seq(y.flatten(2)).mean(dim=2))


class CalledTwice(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 8, 3, padding=1)
        self.shared = nn.Conv2d(8, 8, 3, padding=1)
        self.head = nn.Conv2d(8, 4, 1)

    def forward(self, x):
        y = torch.relu(self.shared(torch.relu(self.a(x))))
        return self.head(self.shared(y))


SMALL = {name: (lambda name=name: models.make(name)) for name in models.MODEL_FACTORIES}
SMALL["decoder"] = lambda: (Decoder().eval(), torch.randn(2, 4, 4, 4))
# a layer called twice carries one set of channels through both calls
SMALL["called_twice"] = lambda: (CalledTwice().eval(), torch.randn(1, 3, 8, 8))


@pytest.mark.parametrize("name", sorted(SMALL))
def test_small_models_shrink_by_magnitude(name):
    """Depthwise convolutions, concatenations, squeeze-excite, flatten into linear, MLPs in
    transformer blocks: every other channel goes, the result equals the masked original."""
    torch.manual_seed(0)
    model, x = SMALL[name]()
    randomise(model)
    plan = _plan(model, x)
    removed = choose_channels(plan, 0.5, importance="magnitude", model=model)
    assert removed, "every small model has something to prune"
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)
    result = check_equal(original, model, plan, removed, (x,))
    assert result.passed, str(result)
    assert rebuild_mismatches(model) == []
    assert report.parameters_after == sum(p.numel() for p in model.parameters())
    with torch.no_grad():  # the removed channels did matter: masking was not a no-op
        unmasked = original(x)
        assert not torch.allclose(unmasked, model(x), rtol=0, atol=1e-3 * result.scale)


def test_depthwise_convolution_groups_follow_the_channels():
    model, x = models.make("mobilenetv2_small")
    plan = _plan(model, x)
    report = shrink(model, plan, _half(plan))
    depthwise = [m for m in model.modules() if isinstance(m, nn.Conv2d) and m.groups > 1]
    assert depthwise and all(m.groups == m.in_channels == m.out_channels for m in depthwise)
    assert any("groups" in attrs for attrs in report.module_attributes.values())
    assert report.overrides


# --------------------------------------------------------------------------- refusals


class RawDepthwise(nn.Module):
    def __init__(self):
        super().__init__()
        self.pw = nn.Conv2d(3, 8, 1)
        self.dw = nn.Parameter(torch.randn(8, 1, 3, 3))
        self.out = nn.Conv2d(8, 4, 1)

    def forward(self, x):
        return self.out(F.conv2d(self.pw(x), self.dw, padding=1, groups=8))


class MyLinear(nn.Module):
    def __init__(self, n_in, n_out):
        super().__init__()
        self.weight = nn.Parameter(torch.randn(n_out, n_in))

    def forward(self, x):
        return F.linear(x, self.weight)


class SealedConv(nn.Conv2d):
    """Refuses to change its channel count once built."""

    def __setattr__(self, name, value):
        if name == "out_channels" and self.__dict__.get("sealed"):
            raise AttributeError("out_channels is sealed")
        super().__setattr__(name, value)


class MergedToAReadWidth(nn.Module):
    """Merges a tensor of channels no cut reaches back to the width it reads off another
    (LambdaNet's ``out.reshape(B, C, H, W)``, C read off the layer's input)."""

    def __init__(self):
        super().__init__()
        self.conv, self.mix, self.head = nn.Conv2d(3, 6, 1), nn.Conv2d(6, 6, 1), nn.Conv2d(6, 2, 1)

    def forward(self, x):
        x = self.conv(x)
        b, c, h, w = x.shape
        y = self.mix(x).flatten(2).transpose(1, 2)  # (b, h * w, 6)
        merged = y.transpose(1, 2).reshape(b, c, h, w)
        assert merged.shape[1] == 6  # a read after the reshape gave it nothing
        return self.head(merged)


def _sealed():
    conv = SealedConv(3, 8, 3, padding=1)
    conv.sealed = True
    return nn.Sequential(conv, nn.BatchNorm2d(8), nn.ReLU(), nn.Conv2d(8, 4, 1))


@pytest.mark.parametrize(
    "build, shape, error, match",
    [
        (RawDepthwise, (1, 3, 8, 8), ShrinkError, r"RawDepthwise.*groups argument is fixed"),
        (
            lambda: nn.Sequential(nn.Linear(6, 8), nn.ReLU(), MyLinear(8, 3)),
            (2, 6),
            ShrinkError,
            r"cannot shrink 2 \(MyLinear\): no adapter",
        ),
        (
            lambda: nn.Sequential(
                nn.utils.parametrizations.weight_norm(nn.Conv2d(3, 8, 3)), nn.Conv2d(8, 4, 1)
            ),
            (1, 3, 8, 8),
            ShrinkError,
            r"weight is computed from 0\.parametrizations\.weight\.original\d by a parametrization",
        ),
        (
            MergedToAReadWidth,
            (1, 3, 5, 5),
            ShrinkError,
            r"given the size 6 for an axis the cut leaves as it is, a number the code reads",
        ),
        # the last step fails after tensors were installed: they are put back
        (_sealed, (1, 3, 8, 8), AttributeError, "sealed"),
    ],
    ids=["fixed-groups", "no-adapter", "weight-norm", "read-width", "rollback"],
)
def test_refusals_leave_the_model_unchanged(build, shape, error, match):
    torch.manual_seed(0)
    model = build().eval()
    plan = _plan(model, torch.randn(shape))
    removed = {0: list(plan.prunable_groups[0][1][:2])}
    saved = state(model)
    with pytest.raises(error, match=match):
        shrink(model, plan, removed)
    assert same_state(model, saved)


class ComputedBias(nn.Module):
    """A layer whose bias is computed in the call (BEiT's q, k and v biases concatenated):
    its inputs may go, as its bias keeps its outputs."""

    def __init__(self):
        super().__init__()
        self.a, self.b = nn.Linear(4, 6), nn.Linear(6, 3)
        self.shift = nn.Parameter(torch.randn(3))

    def forward(self, x):
        return F.linear(torch.relu(self.a(x)), self.b.weight, self.b.bias + self.shift)


def test_a_layer_with_a_computed_bias_loses_inputs():
    torch.manual_seed(0)
    model, x = ComputedBias().eval(), torch.randn(2, 4)
    plan = _plan(model, x)
    removed = {0: list(plan.prunable_groups[0][1][:2])}
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    assert model.b.weight.shape == (3, 4) and model.b.bias.shape == (3,)
    assert check_equal(original, model, plan, removed, (x,)).passed


def test_registered_adapter_makes_a_custom_module_shrinkable(monkeypatch):
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(6, 8), nn.ReLU(), MyLinear(8, 3)).eval()
    x = torch.randn(2, 6)
    plan = _plan(model, x)
    monkeypatch.setitem(shrink_rules.MODULE_ADAPTERS, MyLinear, lambda module, shapes, forced: {})
    original = copy.deepcopy(model)
    shrink(model, plan, {0: [plan.prunable_groups[0][1][3]]})
    assert model[2].weight.shape == (3, 7)
    assert check_equal(original, model, plan, {0: [plan.prunable_groups[0][1][3]]}, (x,)).passed


@pytest.mark.parametrize(
    "removed, error, match",
    [
        ({9: [0]}, ValueError, "no prunable group 9"),
        ({0: [10_000]}, ValueError, "not a channel of prunable group 0"),
        ({"0": [1]}, TypeError, "group index must be an integer"),
        ({0: [1.5]}, TypeError, "label must be an integer"),
        ([1, 2], TypeError, "must map prunable group indices"),
        ("all", ValueError, None),
    ],
)
def test_bad_removal_is_refused(removed, error, match):
    model = residual_cnn().eval()
    plan = _plan(model, torch.randn(1, 3, 32, 32))
    if removed == "all":
        removed = {1: list(plan.prunable_groups[1][1])}
        match = "removing all 16 channels of prunable group 1"
    saved = state(model)
    with pytest.raises(error, match=match):
        shrink(model, plan, removed)
    assert same_state(model, saved)


# --------------------------------------------------------------------------- the check


def test_check_names_the_first_diverging_node():
    torch.manual_seed(0)
    model = randomise(residual_cnn().eval())
    x = torch.randn(2, 3, 32, 32)
    plan = _plan(model, x)
    removed = _half(plan)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)

    broken = copy.deepcopy(model)
    with torch.no_grad():
        broken.stage2.conv1.weight[0] += 1.0
    result = check_equal(original, broken, plan, removed, (x,))
    assert not result.passed and result.max_abs_diff > 1e-4 * result.scale
    first = result.first_diverging
    assert (first.name, first.module) == ("conv2d_3", "stage2.conv1")
    assert "FAILED" in str(result) and "conv2d_3" in str(result)

    broken = copy.deepcopy(model)
    broken.stage2.bn1 = nn.BatchNorm2d(17).eval()  # one more than the shrunk conv makes
    result = check_equal(original, broken, plan, removed, (x,))
    assert result.first_diverging.name == "batch_norm_3"
    assert result.first_diverging.module == "stage2.bn1"
    assert "raised RuntimeError" in result.first_diverging.reason


class FindsNothing(nn.Module):
    """A detector's empty result: no values to compare."""

    def __init__(self):
        super().__init__()
        self.conv, self.head = nn.Conv2d(3, 8, 1), nn.Conv2d(8, 2, 1)

    def forward(self, x):
        scores = self.head(torch.relu(self.conv(x))).flatten(1)
        return scores[:, scores[0] > 1e9]


def test_check_of_an_empty_output_does_not_pass():
    torch.manual_seed(0)
    model, x = FindsNothing().eval(), torch.randn(1, 3, 4, 4)
    plan = _plan(model, x)
    removed = _half(plan)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    result = check_equal(original, model, plan, removed, (x,))
    assert not result.passed and "outputs hold no values to compare" in str(result)


class Branchy(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, padding=1)
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        y = torch.relu(self.conv(x))
        if x.shape[-1] > 8:  # the control flow the plan cannot follow
            y = F.avg_pool2d(y, 2)
        return self.head(y)


class ScalesItsInput(Branchy):
    def forward(self, x):
        return super().forward(x.mul_(2.0))


def test_check_runs_both_models_on_the_callers_values():
    model = ScalesItsInput().eval()
    x = torch.randn(1, 3, 16, 16)
    plan = _plan(model, x.clone())
    removed = _half(plan)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    before = x.clone()
    assert check_equal(original, model, plan, removed, (x,)).passed
    assert torch.equal(x, before)


class CountsCalls(Branchy):
    def __init__(self):
        super().__init__()
        self.register_buffer("calls", torch.zeros((), dtype=torch.long))

    def forward(self, x):
        self.calls += 1
        self.last = super().forward(x).detach()
        return self.last


def test_cut_and_check_in_inference_mode_leave_a_trainable_model():
    model = CountsCalls().eval()
    x = torch.randn(1, 3, 16, 16)
    with torch.inference_mode():
        plan = _plan(model, x)
        original = copy.deepcopy(model)
        shrink(model, plan, _half(plan))
        assert check_equal(original, model, plan, _half(plan), (x,)).passed
    assert not any(t.is_inference() for t in (*model.parameters(), *model.buffers()))
    model.head(model.conv(x)).sum().backward()
    assert model.conv.weight.grad is not None


@pytest.mark.parametrize("broken", [False, True], ids=["passes", "fails"])
def test_check_leaves_buffers_the_calls_write_as_they_were(broken):
    model = CountsCalls().eval()
    x = torch.randn(1, 3, 16, 16)
    plan = _plan(model, x)
    removed = _half(plan)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    if broken:  # the failing check runs both models once more, node by node
        with torch.no_grad():
            model.head.weight.add_(1.0)
    saved = [state(original), state(model)]
    assert check_equal(original, model, plan, removed, (x,)).passed is not broken
    assert same_state(original, saved[0]) and same_state(model, saved[1])
    assert type(original.last) is torch.Tensor and type(model.last) is torch.Tensor


def test_check_refuses_inputs_the_plan_was_not_made_from():
    model = Branchy().eval()
    plan = _plan(model, torch.randn(1, 3, 16, 16))
    removed = _half(plan)
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    assert check_equal(original, model, plan, removed, (torch.randn(1, 3, 16, 16),)).passed
    with pytest.raises(CheckReplayError, match="does not replay the analysed call"):
        check_equal(original, model, plan, removed, (torch.randn(1, 3, 8, 8),))
    with pytest.raises(ValueError, match="same object"):
        check_equal(model, model, plan, removed, (torch.randn(1, 3, 16, 16),))
    with pytest.raises(ValueError, match="shrunk Branchy is in training mode"):
        check_equal(original, model.train(), plan, removed, (torch.randn(1, 3, 16, 16),))


# --------------------------------------------------------------------------- choosing


def test_choose_counts_rounding_and_scopes():
    model = residual_cnn().eval()
    plan = _plan(model, torch.randn(1, 3, 32, 32))
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    assert sizes == [16, 16, 32, 32]
    ramp = [torch.arange(n, dtype=torch.float32) for n in sizes]

    def counts(**options):
        chosen = choose_channels(plan, importance=ramp, **options)
        return {i: len(labels) for i, labels in chosen.items()}

    assert counts(ratio=0.3) == {0: 4, 1: 4, 2: 9, 3: 9}
    # multiples of 8 kept: 12 -> 16 (nothing removed), 23 -> 24
    assert counts(ratio=0.3, round_to=8) == {2: 8, 3: 8}
    assert counts(ratio=0.9, min_keep=14) == {0: 2, 1: 2, 2: 18, 3: 18}
    assert counts(ratio={2: 0.5}) == {2: 16}
    # least important first: the ramp's lowest positions
    chosen = choose_channels(plan, 0.25, importance=ramp)
    assert chosen[2] == list(plan.prunable_groups[2][1][:8])
    # ties go to the first channel, the same every time
    flat = [torch.ones(n) for n in sizes]
    assert choose_channels(plan, 0.25, importance=flat) == choose_channels(
        plan, 0.25, importance=flat
    )
    assert choose_channels(plan, 0.25, importance=flat)[0] == list(plan.prunable_groups[0][1][:4])

    # global: group scales differ by 1000x, but normalised per group they compare
    scaled = [r * (1000.0 if i % 2 else 1.0) + 1 for i, r in enumerate(ramp)]
    chosen = choose_channels(plan, 0.25, scope="global", importance=scaled)
    global_counts = {i: len(labels) for i, labels in chosen.items()}
    assert sum(global_counts.values()) == 24
    assert global_counts[1] > 0 and global_counts[0] > 0
    # a group whose channels all score zero goes first, down to one channel
    zero_first = [torch.zeros(16), *scaled[1:]]
    assert len(choose_channels(plan, 0.25, scope="global", importance=zero_first)[0]) == 15


def test_choose_unmeasured_groups_and_magnitude():
    model = residual_cnn().eval()
    plan = _plan(model, torch.randn(1, 3, 32, 32))
    with torch.no_grad():
        weight = model.stage2.conv1.weight  # the producer of group 2
        weight.copy_(torch.arange(32.0).view(32, 1, 1, 1).expand_as(weight))
    partial = [torch.rand(16), None, None, torch.rand(32)]
    assert set(choose_channels(plan, 0.5, importance=partial)) == {0, 3}
    chosen = choose_channels(plan, 0.5, importance=partial, unmeasured="magnitude", model=model)
    assert set(chosen) == {0, 1, 2, 3}
    assert chosen[2] == list(plan.prunable_groups[2][1][:16])  # the smallest weights
    with pytest.raises(ValueError, match="needs the model"):
        choose_channels(plan, 0.5, importance=partial, unmeasured="magnitude")


@pytest.mark.parametrize(
    "options, match",
    [
        ({"ratio": 1.0}, r"ratio must be a number in \[0, 1\)"),
        ({"ratio": -0.1}, r"ratio must be a number in \[0, 1\)"),
        ({"ratio": 0.3, "round_to": 0}, "round_to must be a positive integer"),
        ({"ratio": 0.3, "scope": "layer"}, "scope must be"),
        ({"ratio": {7: 0.3}}, "no prunable group 7"),
        ({"ratio": 0.3, "importance": [torch.ones(3)]}, "importance has 1 entries"),
        (
            {"ratio": 0.3, "importance": [-torch.ones(16), None, None, None]},
            "group 0 must be finite and not negative",
        ),
    ],
)
def test_choose_rejects_bad_options(options, match):
    model = residual_cnn().eval()
    plan = _plan(model, torch.randn(1, 3, 32, 32))
    ones = [torch.ones(len(labels)) for _, labels in plan.prunable_groups]
    options.setdefault("importance", ones)
    with pytest.raises(ValueError, match=match):
        choose_channels(plan, **options)


# --------------------------------------------------------------------------- plan files


class ExtraActivation(ResidualCNN):
    """Same parameters, one more operation in the call."""

    def forward(self, x):
        return super().forward(torch.tanh(x))


def test_plan_file_reapplies_and_refuses_other_models(tmp_path):
    torch.manual_seed(0)
    model = randomise(residual_cnn().eval())
    model.num_features = 32  # the width of the features its head reads, as timm models keep
    model.embed_dim = 32  # kept equal to it (a timm vision transformer's): follows it
    model.stage2.embed_dim = 32  # alone, it may be a width the cut leaves (GPT-2 attention's)
    x = torch.randn(2, 3, 32, 32)
    plan = _plan(model, x)
    report = shrink(model, plan, _half(plan))
    assert model.num_features == model.embed_dim == model.fc.in_features == 16
    assert model.stage2.embed_dim == 32
    path = tmp_path / "plan.json"
    save_plan(path, report)
    record = load_plan(path)
    assert record == json.loads(path.read_text())
    assert [g["kept"] for g in record["groups"]] == [8, 8, 16, 16]
    written = path.read_text()
    with pytest.raises(AttributeError):  # not a report: the plan on disk stays
        save_plan(path, plan)
    assert path.read_text() == written

    fresh = residual_cnn().eval()
    fresh.num_features = fresh.embed_dim = 32
    applied = apply_plan(fresh, path, (x,))
    assert applied.parameters_after == report.parameters_after
    assert fresh.num_features == fresh.embed_dim == 16
    fresh.load_state_dict(model.state_dict())
    with torch.no_grad():
        assert torch.equal(fresh(x), model(x))

    other_width = residual_cnn(width=8).eval()
    saved = state(other_width)
    with pytest.raises(PlanMismatchError, match=r"stem\.0\.weight has shape \(8, 3, 3, 3\)"):
        apply_plan(other_width, path)
    assert same_state(other_width, saved)

    other_code = ExtraActivation().eval()
    saved = state(other_code)
    runs_tanh = r"operation #0: it runs torch\.tanh where the plan.s call ran torch\.conv2d"
    with pytest.raises(PlanMismatchError, match=runs_tanh):
        apply_plan(other_code, path, (x,))
    assert same_state(other_code, saved)

    unkept = residual_cnn().eval()
    with pytest.raises(PlanMismatchError, match="sets num_features, embed_dim of 'ResidualCNN'"):
        apply_plan(unkept, record)
    unkept.num_features = unkept.embed_dim = 32
    record["attributes"]["stem.0"]["out_channels"] = 9
    with pytest.raises(PlanMismatchError, match="do not follow from its cuts"):
        apply_plan(unkept, record)
    record["cuts"]["stem.0.weight"]["keep"]["0"] = [3, 1]
    with pytest.raises(ValueError, match="not ascending indices below 16"):
        apply_plan(residual_cnn().eval(), record)


@pytest.mark.parametrize(
    "tamper, match",
    [
        (lambda weights: weights.pop("fc.bias"), "it has no fc.bias"),
        (lambda weights: weights.update({"fc.bias": torch.zeros(3)}), r"its fc\.bias is \(3,\)"),
        (lambda weights: weights.update({"extra": torch.zeros(1)}), "it has extra, which"),
    ],
    ids=["missing", "other-shape", "unexpected"],
)
def test_weights_that_do_not_fit_leave_the_fresh_model_unchanged(tmp_path, tamper, match):
    model = residual_cnn().eval()
    x = torch.randn(2, 3, 32, 32)
    plan = _plan(model, x)
    report = shrink(model, plan, _half(plan))
    path = tmp_path / "shrunk.pt"
    save_shrunk(path, model, report)
    saved = torch.load(path, weights_only=True)
    tamper(saved["state_dict"])
    torch.save(saved, path)

    fresh = residual_cnn().eval()
    before = state(fresh)
    with pytest.raises(ValueError, match=match + ".*the model was not changed"):
        load_shrunk(path, fresh, (x,))
    assert same_state(fresh, before)


def test_one_calibration_shrinks_copies_of_the_model():
    """A plan cuts any model holding the analysed one's parameter names and shapes: copies
    at two ratios, a copy of model and plan together, a pickled plan; others are refused
    with the name that differs."""
    torch.manual_seed(0)
    model, x = residual_cnn().eval(), torch.randn(4, 3, 32, 32)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            F.cross_entropy(logits := model(x), logits.argmax(1)).backward()
    plan = calibrator.cutplan
    saved = state(model)
    kept = []
    for ratio in (0.3, 0.5):
        trial = copy.deepcopy(model)
        removed = choose_channels(plan, ratio=ratio)
        report = shrink(trial, plan, removed)
        assert check_equal(model, trial, plan, removed, (x,), {}).passed
        kept.append(report.parameters_after)
    assert same_state(model, saved) and kept[0] > kept[1]
    twin, twin_plan = copy.deepcopy((model, plan))
    shrink(twin, pickle.loads(pickle.dumps(twin_plan)), choose_channels(twin_plan, ratio=0.3))
    assert sum(p.numel() for p in twin.parameters()) == kept[0]

    other = residual_cnn().eval()
    other.stage1.add_module("renamed", other.stage1.conv1)
    del other.stage1.conv1
    saved = state(other)
    with pytest.raises(ShrinkError, match=r"stage1\.conv1\.weight in the analysed model"):
        shrink(other, plan, choose_channels(plan, ratio=0.3))
    assert same_state(other, saved)
    with pytest.raises(ShrinkError, match="not of the analysed one's structure"):
        shrink(ResidualCNN(width=24).eval(), plan, choose_channels(plan, ratio=0.3))

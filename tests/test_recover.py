"""Recovery without retraining: batch-norm re-estimation, compensation of consumers, fidelity."""

import contextlib
import copy

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.pruning import recover, rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.shrink import choose_channels, shrink

import models


def _positions(plan, group, positions):
    labels = plan.prunable_groups[group][1]
    return [labels[p] for p in positions]


def _group_of(plan, module_name):
    names = plan.prunable_module_names_by_nodes
    for index, (nodes, _) in enumerate(plan.prunable_groups):
        if any(names.get(node) == module_name for node in nodes):
            return index
    raise AssertionError(f"no group holds {module_name}")


def _linear_model(kind):
    """Linear(4, 8) -> Linear(8, 3), float64; outputs 4..7 of the first are linear
    combinations of outputs 0..3 ("combination") or constants ("constant")."""
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(4, 8), nn.Linear(8, 3)).double().eval()
    with torch.no_grad():
        first = model[0]
        if kind == "combination":
            mix = torch.randn(4, 4, dtype=torch.float64)
            first.weight[4:] = mix @ first.weight[:4]
            first.bias[4:] = mix @ first.bias[:4]
        else:
            first.weight[4:] = 0
            first.bias[4:] = torch.tensor([0.5, -1.0, 2.0, 0.25], dtype=torch.float64)
    return model


@pytest.mark.parametrize(
    "method, kind",
    [("lstsq", "combination"), ("lstsq", "constant"), ("mean", "constant")],
)
def test_linear_consumer_reproduces_the_original(method, kind):
    model = _linear_model(kind)
    batches = [torch.randn(n, 4, dtype=torch.float64) for n in (16, 9)]
    held_out = [torch.randn(7, 4, dtype=torch.float64)]
    original = copy.deepcopy(model)
    plan = get_cutplan(model, (batches[0],), {})
    removed = {0: _positions(plan, 0, range(4, 8))}
    stats = recover.collect(model, plan, removed, batches, method=method, damping=0.0)
    assert [c.name for c in stats.consumers] == ["1"] and not stats.skipped
    shrink(model, plan, removed)
    assert model[1].weight.shape == (3, 4)
    before = recover.fidelity(recover.outputs(original, held_out), model, held_out)
    recover.compensate(model, stats)
    torch.testing.assert_close(model(held_out[0]), original(held_out[0]), rtol=1e-9, atol=1e-9)
    after = recover.fidelity(recover.outputs(original, held_out), model, held_out)
    assert before.relative_l2 > 1e-2 and after.relative_l2 < 1e-9
    assert after.top1_agreement == 1.0 and "relative L2 error" in str(after)
    assert model[1].weight.dtype == torch.float64


def test_mean_alone_does_not_fit_combinations_and_damping_is_small():
    model = _linear_model("combination")
    batches = [torch.randn(64, 4, dtype=torch.float64)]
    original = copy.deepcopy(model)
    plan = get_cutplan(model, (batches[0],), {})
    removed = {0: _positions(plan, 0, range(4, 8))}
    means = recover.collect(model, plan, removed, batches, method="mean")
    damped = recover.collect(model, plan, removed, batches, method="lstsq")
    shrink(model, plan, removed)
    fresh = copy.deepcopy(model)
    recover.compensate(model, means)
    recover.compensate(fresh, damped)
    reference = recover.outputs(original, batches)
    assert recover.fidelity(reference, model, batches).relative_l2 > 1e-2
    # the default ridge leaves a well-conditioned fit within about its own size
    assert recover.fidelity(reference, fresh, batches).relative_l2 < 1e-3


class _ConvStack(nn.Module):
    """conv1 (3x3, padded) -> conv2 (1x1) -> conv3 (3x3, no bias), no nonlinearity: conv1's
    channels 6, 7 combine channels 0..5; conv2's channels 5..7 are constants."""

    def __init__(self, **conv3):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
        self.conv2 = nn.Conv2d(8, 8, 1)
        self.conv3 = nn.Conv2d(8, 4, 3, bias=False, **conv3)
        self.double()
        with torch.no_grad():
            mix = torch.randn(2, 6, dtype=torch.float64)
            self.conv1.weight[6:] = torch.einsum("rk,kchw->rchw", mix, self.conv1.weight[:6])
            self.conv1.bias[6:] = mix @ self.conv1.bias[:6]
            self.conv2.weight[5:] = 0
            self.conv2.bias[5:] = torch.tensor([1.5, -0.5, 3.0], dtype=torch.float64)

    def forward(self, x):
        return self.conv3(self.conv2(self.conv1(x)))


# padding that repeats a constant channel keeps it constant; zero padding would not
@pytest.mark.parametrize(
    "conv3", [{}, {"padding": 1, "padding_mode": "reflect"}, {"stride": 2, "dilation": 2}]
)
@pytest.mark.parametrize(
    "method, conv_fit", [("lstsq", "unfolded"), ("lstsq", "channels"), ("mean", "unfolded")]
)
def test_conv_consumers(method, conv_fit, conv3):
    torch.manual_seed(1)
    model = _ConvStack(**conv3).double().eval()
    batches = [torch.randn(3, 3, 9, 9, dtype=torch.float64) for _ in range(2)]
    original = copy.deepcopy(model)
    # a reflecting pad passes channels under the extended rules only
    with rules.extended() if "padding_mode" in conv3 else contextlib.nullcontext():
        plan = get_cutplan(model, (batches[0],), {})
    constant = _group_of(plan, "conv2")
    removed = {constant: _positions(plan, constant, [5, 6, 7])}
    if method == "lstsq":  # combinations need the fit; constants a mean
        combined = _group_of(plan, "conv1")
        removed[combined] = _positions(plan, combined, [6, 7])
    stats = recover.collect(
        model, plan, removed, batches, method=method, damping=0.0, conv_fit=conv_fit
    )
    names = sorted(c.name for c in stats.consumers)
    assert names == (["conv2", "conv3"] if method == "lstsq" else ["conv3"])
    shrink(model, plan, removed)
    recover.compensate(model, stats)
    x = torch.randn(2, 3, 9, 9, dtype=torch.float64)
    torch.testing.assert_close(model(x), original(x), rtol=1e-8, atol=1e-8)
    # conv3 had no bias: compensation made one
    assert isinstance(model.conv3.bias, nn.Parameter) and model.conv3.bias.shape == (4,)
    if method == "lstsq":  # conv2 lost rows and columns
        assert model.conv2.weight.shape == (5, 6, 1, 1)


class _Paths(nn.Module):
    """Consumers of every kind the fit distinguishes, on 8 x 8 inputs: a strided 3 x 3 (rows
    of its unfolded input), a 3 x 3 of stride 1 (shifted products), an unpadded one reading a
    few positions and a linear head (both fewer rows than kept inputs: the rows' form)."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
        self.conv2 = nn.Conv2d(8, 12, 3, stride=2, padding=1)
        self.conv3 = nn.Conv2d(12, 12, 3, padding=1)
        self.conv4 = nn.Conv2d(12, 16, 3, padding="valid")
        self.head = nn.Linear(16, 5)

    def forward(self, x):
        x = F.relu(self.conv2(F.relu(self.conv1(x))))
        x = self.conv4(F.relu(self.conv3(x)))
        return self.head(F.relu(x).mean((2, 3)))


def _normal_equations(module, inputs, entry, damping):
    """The documented fit, straight from the unfolded inputs in float64."""
    if isinstance(module, nn.Linear):
        rows = torch.cat(inputs)
    else:
        padding = 0 if module.padding == "valid" else module.padding
        unfolded = [
            F.unfold(x, module.kernel_size, padding=padding, stride=module.stride) for x in inputs
        ]
        rows = torch.cat([u.transpose(1, 2).reshape(-1, u.shape[1]) for u in unfolded])
    rows = rows.double()
    taps = rows.shape[1] // module.weight.shape[1]
    kept = [c * taps + t for c in entry.keep_in for t in range(taps)]
    gone = sorted(set(range(rows.shape[1])) - set(kept))
    weight = module.weight.detach().double().flatten(1)
    if entry.keep_out is not None:
        weight = weight[list(entry.keep_out)]
    ones = torch.ones(len(rows), 1, dtype=torch.float64)
    k1 = torch.cat([rows[:, kept], ones], 1)
    a = k1.T @ k1 / len(rows)
    a[:-1, :-1] += damping * a.diagonal()[:-1].mean() * torch.eye(len(kept), dtype=torch.float64)
    fit = torch.linalg.solve(a, k1.T @ rows[:, gone] @ weight[:, gone].T / len(rows))
    return fit[:-1].T, fit[-1]


def test_every_form_of_the_fit_solves_the_normal_equations(monkeypatch):
    from tavrix.pruning import fitting

    torch.manual_seed(0)
    model = _Paths().double().eval()
    batches = [torch.randn(2, 3, 8, 8, dtype=torch.float64) for _ in range(2)]
    plan = get_cutplan(model, (batches[0],), {})
    removed = {}
    for name, positions in (("conv1", [1, 6]), ("conv2", [0, 3, 4, 9]), ("conv3", [2, 5, 7, 11])):
        removed[_group_of(plan, name)] = _positions(plan, _group_of(plan, name), positions)
    removed[_group_of(plan, "conv4")] = _positions(plan, _group_of(plan, "conv4"), [1, 4, 8, 15])
    names = {id(m): n for n, m in model.named_modules()}
    forms = {}
    for form in ("primal", "dual"):
        solve = getattr(fitting.LeastSquares, f"_solve_{form}")

        def spy(self, projection, form=form, solve=solve):
            forms[names[id(self.module)]] = (form, self.shifted)
            return solve(self, projection)

        monkeypatch.setattr(fitting.LeastSquares, f"_solve_{form}", spy)
    inputs = {}
    handles = [
        model.get_submodule(n).register_forward_pre_hook(
            lambda m, args, n=n: inputs.setdefault(n, []).append(args[0].detach())
        )
        for n in ("conv2", "conv3", "conv4", "head")
    ]
    with torch.no_grad():
        for x in batches:
            model(x)
    for handle in handles:
        handle.remove()
    stats = recover.collect(model, plan, removed, batches, method="lstsq")
    # conv3's rows outgrow its kept inputs in the second batch: the products take over
    assert forms == {
        "conv2": ("primal", False),
        "conv3": ("primal", True),
        "conv4": ("dual", True),
        "head": ("dual", False),
    }
    for entry in stats.consumers:
        module = model.get_submodule(entry.name)
        weight, bias = _normal_equations(module, inputs[entry.name], entry, 1e-4)
        got = entry.weight_delta.flatten(1)
        torch.testing.assert_close(got, weight, rtol=1e-7, atol=1e-9, msg=entry.name)
        torch.testing.assert_close(entry.bias_delta, bias, rtol=1e-7, atol=1e-9, msg=entry.name)


class _Narrow(nn.Module):
    """Wide inputs (of mean far from zero) into two outputs: a 3 x 3 convolution of stride 1
    and a linear head."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 24, 3, padding=1)
        self.conv2 = nn.Conv2d(24, 2, 3, padding=1)
        self.head = nn.Linear(24, 2)
        with torch.no_grad():
            self.conv1.bias.add_(5.0)

    def forward(self, x):
        y = self.conv1(x)
        return self.conv2(y).mean((2, 3)) + self.head(y.mean((2, 3)))


def test_narrow_consumers_fit_through_the_removed_inputs_share_of_their_outputs(monkeypatch):
    from tavrix.pruning import fitting

    torch.manual_seed(0)
    model = _Narrow().double().eval()
    batches = [torch.randn(40, 3, 6, 6, dtype=torch.float64) for _ in range(2)]
    plan = get_cutplan(model, (batches[0],), {})
    group = _group_of(plan, "conv1")
    removed = {group: _positions(plan, group, range(0, 24, 3))}
    forms = {}
    solve = fitting.LeastSquares._solve_primal

    def spy(self, projection):
        forms[self.module] = (self.weight is not None, self.shifted)
        return solve(self, projection)

    monkeypatch.setattr(fitting.LeastSquares, "_solve_primal", spy)
    stats = recover.collect(model, plan, removed, batches, method="lstsq")
    assert forms == {model.conv2: (True, True), model.head: (True, False)}
    with torch.no_grad():
        inputs = [model.conv1(x) for x in batches]
    for entry in stats.consumers:
        module = model.get_submodule(entry.name)
        rows = [y.mean((2, 3)) for y in inputs] if entry.name == "head" else inputs
        weight, bias = _normal_equations(module, rows, entry, 1e-4)
        got = entry.weight_delta.flatten(1)
        torch.testing.assert_close(got, weight, rtol=1e-7, atol=1e-9, msg=entry.name)
        torch.testing.assert_close(entry.bias_delta, bias, rtol=1e-7, atol=1e-9, msg=entry.name)


def test_a_wide_linear_consumer_solves_the_normal_equations():
    # 280 kept inputs: their products are formed block by block above the diagonal
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(64, 320), nn.ReLU(), nn.Linear(320, 5)).double().eval()
    batches = [torch.randn(400, 64, dtype=torch.float64) for _ in range(2)]
    plan = get_cutplan(model, (batches[0],), {})
    removed = {0: _positions(plan, 0, range(0, 320, 8))}
    (entry,) = recover.collect(model, plan, removed, batches, method="lstsq").consumers
    with torch.no_grad():
        inputs = [model[1](model[0](x)) for x in batches]
    weight, bias = _normal_equations(model[2], inputs, entry, 1e-4)
    torch.testing.assert_close(entry.weight_delta, weight, rtol=1e-7, atol=1e-9)
    torch.testing.assert_close(entry.bias_delta, bias, rtol=1e-7, atol=1e-9)


def test_lstsq_keeps_its_digits_on_inputs_far_from_zero():
    # float32 inputs of mean 100 and spread 0.01: products of the raw inputs keep almost
    # none of the spread the fit is about
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(4, 8), nn.Linear(8, 3)).eval()
    with torch.no_grad():
        model[0].weight.mul_(1e-2)
        model[0].bias.fill_(100.0)
    batches = [torch.randn(256, 4) for _ in range(2)]
    plan = get_cutplan(model, (batches[0],), {})
    removed = {0: _positions(plan, 0, [1, 5, 6, 7])}
    stats = recover.collect(model, plan, removed, batches, method="lstsq", damping=0.0)
    (entry,) = stats.consumers
    with torch.no_grad():
        inputs = [model[0](x) for x in batches]
    weight, bias = _normal_equations(model[1], inputs, entry, 0.0)
    assert weight.abs().max() > 1
    torch.testing.assert_close(entry.weight_delta.double(), weight, rtol=0, atol=1e-3)
    torch.testing.assert_close(entry.bias_delta, bias, rtol=0, atol=0.05)


@pytest.mark.parametrize("method", ["mean", "lstsq"])
def test_compensation_helps_a_real_network(method):
    torch.manual_seed(0)
    model, x = models.make("resnet18_tiny")
    with torch.no_grad():  # a trained network's statistics rather than the initial ones
        for module in model.modules():
            if isinstance(module, nn.BatchNorm2d):
                module.running_mean.uniform_(-0.2, 0.2)
                module.running_var.uniform_(0.5, 1.5)
    batches = [torch.randn(8, 3, 32, 32) for _ in range(3)]
    original = copy.deepcopy(model)
    plan = get_cutplan(model, (x,), {})
    removed = choose_channels(plan, ratio=0.4, importance="weight", model=model)
    stats = recover.collect(model, plan, removed, batches, method=method)
    assert len(stats.consumers) >= 8 and not stats.skipped
    reference = recover.outputs(original, batches)
    shrink(model, plan, removed)
    bare = copy.deepcopy(model)
    recover.compensate(model, stats)
    assert (
        recover.fidelity(reference, model, batches).relative_l2
        < 0.9 * recover.fidelity(reference, bare, batches).relative_l2
    )


class _Normed(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 3)
        self.bn1 = nn.BatchNorm2d(4, momentum=0.3)
        self.drop = nn.Dropout(0.5)
        self.conv2 = nn.Conv2d(4, 5, 1)
        self.bn2 = nn.BatchNorm1d(5)

    def forward(self, x, scale=1.0):
        y = self.drop(F.relu(self.bn1(self.conv1(x * scale))))
        return self.bn2(self.conv2(y).flatten(2))


@pytest.mark.parametrize("form", ["tensor", "tuple", "dict"])
def test_batchnorm_re_estimate_is_the_pooled_statistics(form):
    torch.manual_seed(0)
    model = _Normed().double().eval()
    model.drop.train()  # flags are put back as they were, not all to eval
    xs = [torch.randn(n, 3, 6, 6, dtype=torch.float64) for n in (5, 2, 7)]
    batches = {
        "tensor": xs,
        "tuple": [(x, 2.0) for x in xs],
        "dict": [{"x": x, "scale": 2.0} for x in xs],
    }[form]
    scale = 1.0 if form == "tensor" else 2.0
    weights = {k: v.clone() for k, v in model.named_parameters()}
    done = recover.recalibrate_batchnorm(model, batches)
    assert done == ["bn1", "bn2"]

    with torch.no_grad():  # by hand: bn1 normalises by batch statistics during the pass
        first = torch.cat([model.conv1(x * scale) for x in xs])
        dims = (0, 2, 3)
        torch.testing.assert_close(model.bn1.running_mean, first.mean(dims))
        torch.testing.assert_close(model.bn1.running_var, first.var(dims, unbiased=True))
        second = []
        for x in xs:
            h = model.conv1(x * scale)
            h = F.batch_norm(
                h, None, None, model.bn1.weight, model.bn1.bias, True, 0.0, model.bn1.eps
            )
            second.append(model.conv2(F.relu(h)).flatten(2))
        second = torch.cat(second)
        torch.testing.assert_close(model.bn2.running_mean, second.mean((0, 2)))
        torch.testing.assert_close(model.bn2.running_var, second.var((0, 2), unbiased=True))
    assert model.bn1.momentum == 0.3 and model.bn2.momentum == 0.1
    assert int(model.bn1.num_batches_tracked) == 3
    assert not model.training and not model.bn1.training and model.drop.training
    assert all(torch.equal(weights[k], v) for k, v in model.named_parameters())
    assert all(p.grad is None for p in model.parameters())


def test_batchnorm_statistics_are_put_back_on_an_error():
    torch.manual_seed(0)
    model = _Normed().eval()
    before = {k: v.clone() for k, v in model.state_dict().items()}

    def batches():
        yield torch.randn(4, 3, 6, 6)
        raise RuntimeError("data loader failed")

    with pytest.raises(RuntimeError, match="data loader failed"):
        recover.recalibrate_batchnorm(model, batches())
    assert all(torch.equal(before[k], v) for k, v in model.state_dict().items())
    assert model.bn1.momentum == 0.3 and not model.bn1.training
    with pytest.raises(TypeError, match="a batch must be a tensor"):
        recover.recalibrate_batchnorm(model, [{3, 4}])


def _small_plan():
    model = _linear_model("combination")
    x = torch.randn(16, 4, dtype=torch.float64)
    plan = get_cutplan(model, (x,), {})
    return model, plan, {0: _positions(plan, 0, range(4, 8))}, [x]


def test_refusals():
    model, plan, removed, batches = _small_plan()
    stats = recover.collect(model, plan, removed, batches, method="lstsq")
    untouched = copy.deepcopy(model.state_dict())
    # statistics of a shrink the model has not had
    with pytest.raises(ValueError, match=r"cannot compensate 1: its weight has shape \(3, 8\)"):
        recover.compensate(model, stats)
    assert all(torch.equal(untouched[k], v) for k, v in model.state_dict().items())
    with pytest.raises(ValueError, match="cannot fit 1 by least squares: its Gram matrix"):
        recover.collect(model, plan, removed, batches, method="lstsq", max_gram_bytes=100)
    assert recover.collect(model, plan, removed, batches, method="lstsq", max_gram_bytes=1000)
    with pytest.raises(ValueError, match="method must be"):
        recover.collect(model, plan, removed, batches, method="median")
    with pytest.raises(ValueError, match="damping"):
        recover.collect(model, plan, removed, batches, method="lstsq", damping=-1.0)
    model.train()
    with pytest.raises(ValueError, match="eval mode"):
        recover.collect(model, plan, removed, batches)
    model.eval()
    with pytest.raises(ValueError, match="1 original outputs for 2 input batches"):
        recover.fidelity(recover.outputs(model, batches), model, batches * 2)
    other = nn.Sequential(nn.Linear(4, 8), nn.ReLU()).double().eval()
    with pytest.raises(ValueError, match="cannot compensate 1: the model has no linear"):
        recover.compensate(other, stats)


def test_lstsq_refuses_grouped_convolutions_by_name():
    torch.manual_seed(0)
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.Conv2d(8, 8, 3, groups=2)).eval()
    x = torch.randn(2, 3, 6, 6)
    with rules.extended(grouped_conv="positions"):
        plan = get_cutplan(model, (x,), {})
    group = _group_of(plan, "0")
    assert len(plan.prunable_groups[group][1]) == 4  # position j of both groups
    removed = {group: _positions(plan, group, [0])}
    with pytest.raises(ValueError, match=r"cannot fit 1 by least squares: a grouped conv"):
        recover.collect(model, plan, removed, [x], method="lstsq")
    # the mean is taken group by group: position j of each group reads that group's channel
    stats = recover.collect(model, plan, removed, [x], method="mean")
    mean = model[0](x).mean((0, 2, 3)).double()
    taps = model[1].weight.sum((2, 3)).double()
    expected = torch.cat([taps[:4, 0] * mean[0], taps[4:, 0] * mean[4]])
    (entry,) = stats.consumers
    torch.testing.assert_close(entry.bias_delta, expected)


class _Tied(nn.Module):
    def __init__(self):
        super().__init__()
        self.first = nn.Linear(4, 8)
        self.a = nn.Linear(8, 3)
        self.b = nn.Linear(8, 3)
        self.b.weight = self.a.weight

    def forward(self, x):
        h = self.first(x)
        return self.a(h) + self.b(h)


def test_a_weight_shared_by_two_consumers_is_left_alone():
    # a correction per holder would be added twice to the one tensor
    torch.manual_seed(0)
    model = _Tied().eval()
    x = torch.randn(8, 4)
    plan = get_cutplan(model, (x,), {})
    removed = {0: _positions(plan, 0, [1, 2])}
    stats = recover.collect(model, plan, removed, [x])
    assert not stats.consumers
    assert list(stats.skipped.values()) == ["its weight is shared by 2 modules"]
    assert "left alone" in str(stats)


def test_a_small_llama_recovers_through_dict_batches():
    # dict batches, `.logits` outputs, extended rules, MLP and key/value-head consumers
    from transformers import LlamaConfig, LlamaForCausalLM

    torch.manual_seed(0)
    config = LlamaConfig(
        vocab_size=64,
        hidden_size=32,
        intermediate_size=64,
        num_hidden_layers=2,
        num_attention_heads=4,
        num_key_value_heads=2,
        use_cache=False,
        max_position_embeddings=32,
    )
    model = LlamaForCausalLM(config).eval()
    batches = [{"input_ids": torch.randint(0, 64, (4, 16))} for _ in range(3)]
    with rules.extended(split="outer"):
        plan = get_cutplan(model, (), batches[0])
    names = plan.prunable_module_names_by_nodes
    inner = [
        i
        for i, (nodes, _) in enumerate(plan.prunable_groups)
        if not any("o_proj" in (names.get(n) or "") for n in nodes)
    ]
    removed = choose_channels(
        plan, ratio={i: 0.5 for i in inner}, importance="magnitude", model=model
    )
    reference = recover.outputs(model, batches)
    stats = recover.collect(model, plan, removed, batches, method="lstsq")
    consumers = {c.name.rsplit(".", 1)[-1] for c in stats.consumers}
    assert consumers == {"down_proj", "o_proj"}
    shrink(model, plan, removed)
    bare = recover.fidelity(reference, model, batches)
    recover.compensate(model, stats)
    fitted = recover.fidelity(reference, model, batches)
    assert fitted.rows == 3 * 4 * 16 and fitted.top1_agreement is not None
    assert fitted.relative_l2 < 0.75 * bare.relative_l2 and not stats.skipped


def test_a_recovered_model_saves_and_loads_with_the_biases_it_gained(tmp_path):
    from tavrix.demo_model import residual_cnn
    from tavrix.pruning.shrink import load_shrunk, save_shrunk

    torch.manual_seed(0)
    model, batches = residual_cnn().eval(), [torch.randn(4, 3, 32, 32) for _ in range(2)]
    plan = get_cutplan(model, (batches[0],), {})
    removed = choose_channels(plan, ratio=0.3, importance="weight", model=model)
    stats = recover.collect(model, plan, removed, batches, method="mean")
    report = shrink(model, plan, removed)
    recover.compensate(model, stats)
    gained = [
        name
        for name, m in model.named_modules()
        if isinstance(m, nn.Conv2d)
        and m.bias is not None
        and residual_cnn().get_submodule(name).bias is None
    ]
    assert gained
    save_shrunk(tmp_path / "shrunk.pt", model, report)
    fresh = load_shrunk(tmp_path / "shrunk.pt", residual_cnn().eval())
    assert fresh.state_dict().keys() == model.state_dict().keys()
    with torch.no_grad():
        assert torch.equal(fresh(batches[1]), model(batches[1]))

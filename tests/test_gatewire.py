import copy

import pytest
import torch
from torch import nn

from tavrix.flowscope.intercept import TraceTensor, active_interceptor
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.gatewire import GateReplayError, prepare_args_for_prune_calibration
from tavrix.pruning.importance import channel_importance


class Switchable(nn.Module):
    """conv -> bn -> relu -> conv; `mode` changes what runs after the first relu."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 3, padding=1)
        self.bn = nn.BatchNorm2d(4)
        self.conv2 = nn.Conv2d(4, 2, 1)
        self.mode = "plain"

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.bn(self.conv1(x)))
        if self.mode == "other_op":
            y = torch.sigmoid(y)
        if self.mode == "swallow":
            try:
                y = torch.sigmoid(y)
            except RuntimeError:
                pass
        if self.mode == "early":
            return y
        if self.mode == "fail":
            # leaves the traced sequence unfinished: the model's error must win
            raise ValueError("model failure")
        out = self.conv2(y)
        if self.mode == "longer":
            out = out * 2
        return out


def calibrated(model, x):
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x)
    return calibrator


def test_prepare_args_wraps_nested_tensors_without_touching_originals():
    a, b, c = torch.randn(2), torch.randn(3, requires_grad=True), torch.randn(1)
    args, kwargs = prepare_args_for_prune_calibration([a, (b, 5)], {"c": [c], "flag": True})
    assert isinstance(args, tuple) and isinstance(args[0], TraceTensor)
    assert isinstance(args[1][0], TraceTensor) and args[1][1] == 5
    assert isinstance(kwargs["c"][0], TraceTensor) and kwargs["flag"] is True
    assert args[0].data_ptr() == a.data_ptr()
    assert args[1][0].requires_grad  # still attached to autograd
    assert type(a) is torch.Tensor and type(b) is torch.Tensor


@pytest.mark.parametrize(
    "mode, expected, met",
    [
        ("other_op", "should be torch.conv2d", "sigmoid"),
        ("early", "ended after", "conv2d"),
        ("longer", "went on with operation", "mul"),
        ("swallow", "should be torch.conv2d", "sigmoid"),
    ],
)
def test_changed_control_flow_is_refused(mode, expected, met):
    torch.manual_seed(0)
    model, x = Switchable().eval(), torch.randn(2, 3, 6, 6)
    calibrator = calibrated(model, x)
    model.mode = mode
    with calibrator:
        with pytest.raises(GateReplayError) as info:
            model(x)
    message = str(info.value)
    assert expected in message and met in message
    assert active_interceptor() is None
    # the next call that replays the trace works again
    model.mode = "plain"
    with calibrator:
        model(x).sum().backward()


def test_model_exception_passes_unchanged():
    torch.manual_seed(0)
    model, x = Switchable().eval(), torch.randn(2, 3, 6, 6)
    calibrator = calibrated(model, x)
    model.mode = "fail"
    with calibrator:
        with pytest.raises(ValueError, match="model failure"):
            model(x)
    assert active_interceptor() is None and "forward" not in model.__dict__


def test_importance_matches_taylor_of_the_gated_tensor():
    torch.manual_seed(0)
    model, x = Switchable().eval(), torch.randn(3, 3, 6, 6)
    with torch.no_grad():
        model.conv2.weight[:, 2] = 0  # the output ignores channel 2 of the relu
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for _ in range(2):
            model(x).pow(2).sum().backward()
    (group,) = channel_importance(calibrator.cutplan)
    assert group.module_names == ["conv1", "bn"]

    # the same quantity by hand: |sum over samples of activation * its gradient| / samples
    act = torch.relu(model.bn(model.conv1(x))).detach().requires_grad_(True)
    model.conv2(act).pow(2).sum().backward()
    manual = 2 * (act * act.grad).sum(dim=(0, 2, 3)).abs() / (2 * x.shape[0])
    torch.testing.assert_close(group.importance, manual)
    assert group.importance[2] == 0 and (group.importance[[0, 1, 3]] > 0).all()


class TwoHeads(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.trunk = nn.Sequential(nn.Linear(4, 8), nn.ReLU())
        self.a = nn.Sequential(nn.Linear(8, 6), nn.ReLU(), nn.Linear(6, 3))
        self.b = nn.Sequential(nn.Linear(8, 5), nn.ReLU(), nn.Linear(5, 3))

    def forward(self, x):
        h = self.trunk(x)
        return self.a(h), self.b(h)


def test_importance_of_a_branch_the_loss_ignores_is_zero():
    torch.manual_seed(0)
    model, x = TwoHeads(), torch.randn(4, 4)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        out_a, _ = model(x)
        with pytest.raises(RuntimeError, match="No gate has a gradient"):
            channel_importance(calibrator.cutplan)
        out_a.sum().backward()
    groups = {tuple(g.module_names): g.importance for g in channel_importance(calibrator.cutplan)}
    assert (groups[("a.0",)] > 0).any()
    assert torch.equal(groups[("b.0",)], torch.zeros(5))


class DiscardsInPlaceResult(nn.Module):
    def __init__(self, keep_result: bool) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 3, padding=1)
        self.conv2 = nn.Conv2d(4, 2, 1)
        self.keep_result = keep_result

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = self.conv1(x)
        if self.keep_result:
            y = torch.relu_(y)
        else:
            torch.relu_(y)  # the gate after relu_ would never reach conv2
        return self.conv2(y)


def test_gate_after_an_in_place_op_takes_effect_when_its_result_is_discarded():
    # torch.relu_(y) without using its result: the model reads y itself, and
    # the gate after relu_ must reach conv2 all the same (it used to be refused)
    importances = []
    for keep_result in (True, False):
        torch.manual_seed(0)
        model, x = DiscardsInPlaceResult(keep_result), torch.randn(2, 3, 6, 6)
        calibrator = TavrixPruningCalibrator(model)
        with calibrator:
            model(x).pow(2).sum().backward()
        (group,) = channel_importance(calibrator.cutplan)
        importances.append(group.importance)
    assert (importances[0] > 0).all()
    torch.testing.assert_close(importances[1], importances[0])


class Routed(nn.Module):
    """The same operations through one of two identical blocks."""

    def __init__(self) -> None:
        super().__init__()
        self.a = nn.Conv2d(3, 4, 1)
        self.b = nn.Conv2d(3, 4, 1)
        self.head = nn.Conv2d(4, 2, 1)
        self.use_b = False

    def forward(self, x):
        return self.head(torch.relu((self.b if self.use_b else self.a)(x)))


def test_replay_through_another_module_is_refused_naming_both():
    model, x = Routed(), torch.randn(2, 3, 4, 4)
    calibrator = calibrated(model, x)
    model.use_b = True
    with calibrator:
        expected = "module 'a', but this call read those of module 'b'"
        with pytest.raises(GateReplayError, match=expected):
            model(x)
    assert active_interceptor() is None


class Reused(nn.Module):
    """One block applied twice: its channels are measured at every call."""

    def __init__(self) -> None:
        super().__init__()
        self.stem = nn.Conv2d(3, 4, 1)
        self.block = nn.Conv2d(4, 4, 3, padding=1)
        self.head = nn.Conv2d(4, 2, 1)

    def forward(self, x, keep=None):
        acts = [torch.relu(self.stem(x))]
        for _ in range(2):
            acts.append(torch.relu(self.block(acts[-1])))
        if keep is not None:
            keep.extend(acts)
        return self.head(acts[-1])


def test_importance_of_a_reused_block_sums_over_its_calls():
    torch.manual_seed(0)
    model, x = Reused().eval(), torch.randn(3, 3, 6, 6)
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x).pow(2).sum().backward()
    (group,) = channel_importance(calibrator.cutplan)
    assert group.module_names == ["stem", "block"] and len(group.gate_names) == 3

    # by hand: the Taylor term of each channel at the stem's and both calls' outputs
    acts = []
    with torch.enable_grad():
        out = model(x, keep=acts)
    grads = torch.autograd.grad(out.pow(2).sum(), acts)
    manual = sum((a * g).sum(dim=(0, 2, 3)).abs() for a, g in zip(acts, grads)) / x.shape[0]
    torch.testing.assert_close(group.importance, manual)


def test_gates_hand_back_their_input_once_a_call_showed_nothing_writes_their_output(monkeypatch):
    """After a whole call, a gate whose product nothing wrote in place hands back its input
    (no product) with the product's importance; a gate whose output an in-place ReLU writes
    (after ResNet's residual add_) keeps the product; a weight masked through .data, which
    bumps no version counter, is multiplied again."""
    tvm = pytest.importorskip("torchvision.models")
    import tavrix.pruning.gate as gate_module

    torch.manual_seed(0)
    model = tvm.resnet18(weights=None).eval()
    xs = [torch.randn(2, 3, 32, 32) for _ in range(3)]
    importances, gates = [], None
    for pass_through in (False, True):
        if not pass_through:
            monkeypatch.setattr(gate_module, "_all_ones", lambda weight: False)
        else:
            monkeypatch.undo()
        m = copy.deepcopy(model)
        calibrator = TavrixPruningCalibrator(m)
        with calibrator:
            for x in xs:
                m(x).logsumexp(-1).mean().backward()
        importances.append([g.importance for g in channel_importance(calibrator.cutplan)])
        gates = list(calibrator.cutplan.gate_container.values())
    for product, passed in zip(*importances):
        torch.testing.assert_close(passed, product, rtol=1e-6, atol=0)
    flags = [vars(g).get("_pass_through") for g in gates]
    assert flags.count(True) == 9 and flags.count(False) == 8

    gate = gates[flags.index(True)]
    x = torch.randn(2, len(gate.labels), 4, 4, requires_grad=True)
    assert gate(x)._base is x  # handed back
    gate.weight.data[0] = 0
    out = gate(x)
    assert out._base is None and (out[:, 0] == 0).all() and torch.equal(out[:, 1:], x[:, 1:])


class _ResidualDropout(nn.Module):
    """A residual add_ whose result an in-place dropout writes, but only in train mode."""

    def __init__(self) -> None:
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 1)
        self.conv = nn.Conv2d(8, 8, 3, padding=1)
        self.drop = nn.Dropout(0.2, inplace=True)
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        h = torch.tanh(self.stem(x))
        out = self.conv(h)
        out += h
        return self.head(self.drop(out))


@pytest.mark.parametrize("case", ["double_backward", "train_after_eval"])
def test_handed_back_inputs_match_the_product(monkeypatch, case):
    """A loss on input gradients (create_graph) reaches the weights as through the product;
    a gate settled in eval mode, whose output an in-place dropout writes in train mode,
    multiplies again once the mode changes instead of failing."""
    import tavrix.pruning.gate as gate_module

    torch.manual_seed(0)
    model = _ResidualDropout().eval()
    xs = [torch.randn(2, 3, 6, 6) for _ in range(4)]
    results = []
    for forced in (True, False):
        if forced:
            monkeypatch.setattr(gate_module, "_all_ones", lambda weight: False)
        else:
            monkeypatch.undo()
        m = copy.deepcopy(model)
        calibrator = TavrixPruningCalibrator(m)
        torch.manual_seed(1)
        with calibrator:
            for i, x in enumerate(xs):
                if case == "train_after_eval" and i == 2:
                    m.train()
                x = x.clone().requires_grad_()
                out = m(x)
                loss = out.pow(2).sum()
                if case == "double_backward":
                    (grad,) = torch.autograd.grad(loss, x, create_graph=True)
                    loss = loss + grad.pow(2).sum()
                loss.backward()
        results.append([g.importance for g in channel_importance(calibrator.cutplan)])
        flags = [vars(g).get("_pass_through") for g in calibrator.cutplan.gate_container.values()]
    assert True in flags  # some gate handed back its input
    for product, passed in zip(*results):
        torch.testing.assert_close(passed, product, rtol=1e-6, atol=0)

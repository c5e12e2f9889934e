"""The mechanisms the gate wiring, the shrink check, the plan files and the distributed
read-out share: replaying a recorded call, resolving an entry point, fingerprinting a call."""

import copy

import pytest
import torch
from torch import nn

from tavrix.flowscope.intercept import active_interceptor
from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning import recover
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.distributed import analysis_fingerprint
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.gatewire import GateReplayError
from tavrix.pruning.shrink import CheckReplayError, check_equal, record_reference


class Routed(nn.Module):
    """conv -> bn -> relu -> conv; `mode` changes what runs after the relu. The batch norm
    reads its input's dim(): the traced call runs five operations."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 3, padding=1)
        self.bn = nn.BatchNorm2d(4)
        self.conv2 = nn.Conv2d(4, 2, 1)
        self.conv2b = nn.Conv2d(4, 2, 1)
        self.mode = "plain"

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.bn(self.conv1(x)))
        if self.mode == "other":
            y = torch.sigmoid(y)
        if self.mode == "shorter":
            return y
        out = (self.conv2b if self.mode == "reroute" else self.conv2)(y)
        if self.mode == "longer":
            out = torch.tanh(out)
        return out

    @property
    def flaky(self) -> nn.Module:
        raise RuntimeError("not now")


def routed():
    torch.manual_seed(0)
    return Routed().eval(), torch.randn(2, 3, 6, 6)


# What the gate wiring and the check say when the call goes elsewhere: each its own words,
# both from one replay.
GOES_ELSEWHERE = {
    "other": (
        "operation #4 should be torch.conv2d, but this call ran torch.sigmoid",
        "operation #4 should be torch.conv2d, this call ran torch.sigmoid",
    ),
    "shorter": (
        "this call ended after 4 operations, but the traced call ran 5; operation #4 "
        "(torch.conv2d) was expected next",
        "this call ended after 4 operations, the analysed call ran 5",
    ),
    "longer": (
        "the traced call ended after 5 operations, but this call went on with operation #5 "
        "(torch.tanh)",
        "the analysed call ended after 5 operations, this one went on with torch.tanh",
    ),
    "reroute": (
        "operation #4 (torch.conv2d) should read the parameters of module 'conv2', but this "
        "call read those of module 'conv2b', so its importance would be credited to the wrong "
        "module",
        None,  # the check compares values, not routes
    ),
}


@pytest.mark.parametrize("mode", sorted(GOES_ELSEWHERE))
def test_a_call_that_goes_elsewhere_is_named_where_it_does(mode):
    gate_text, check_text = GOES_ELSEWHERE[mode]
    model, x = routed()
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        model(x)
    plan = calibrator.cutplan
    model.mode = mode
    with calibrator:
        with pytest.raises(GateReplayError) as info:
            model(x)
    assert gate_text in str(info.value)
    assert active_interceptor() is None

    if check_text is not None:
        with pytest.raises(CheckReplayError) as info:
            record_reference(model, plan, {0: [1]}, (x,))
        assert f"does not replay the analysed call: {check_text}. Check with" in str(info.value)
    # the masked original follows the call again once it replays it
    model.mode = "plain"
    assert check_equal(record_reference(model, plan, {}, (x,)), model).passed


CALLERS = {
    "trace": lambda model, x, entry: flowscope_model(model, (x,), entry_point=entry),
    "TavrixPruningCalibrator": lambda model, x, entry: TavrixPruningCalibrator(
        model, entry_point=entry
    ),
    "check_equal": lambda model, x, entry: check_equal(
        model, copy.deepcopy(model), get_cutplan(model, (x,), {}), {}, (x,), entry_point=entry
    ),
    "outputs": lambda model, x, entry: recover.outputs(model, [x], entry_point=entry),
}


@pytest.mark.parametrize("caller", sorted(CALLERS))
@pytest.mark.parametrize(
    "entry, error",
    [
        ("", (ValueError, "entry_point is an empty string")),
        ("conv1.tail.forward", (ValueError, 'No such module "tail" in submodule "conv1" of')),
        ("flaky.forward", (ValueError, 'No such module "flaky" in')),  # the lookup raises
        ("conv1.training", (ValueError, 'No such function "training" in submodule "conv1" of')),
        ("predict", (ValueError, 'No such function "predict" in')),
    ],
)
def test_every_entry_point_is_resolved_alike(caller, entry, error):
    model, x = routed()
    with pytest.raises(error[0]) as info:
        CALLERS[caller](model, x, entry)
    suffix = f" the model passed to {caller}" if error[1].endswith(("of", "in")) else ""
    assert str(info.value) == error[1] + suffix
    assert "forward" not in vars(model) and active_interceptor() is None


def test_dotted_entry_points_reach_the_same_function():
    model, x = routed()
    y = torch.relu(model.bn(model.conv1(x)))
    nodes, _ = flowscope_model(model, (y,), entry_point="conv2.forward")
    assert [node.operation_name for node in nodes] == ["conv2d"]
    torch.testing.assert_close(
        recover.outputs(model, [y], entry_point="conv2.forward")[0], model.conv2(y)
    )


def test_the_analysis_fingerprint_leaves_out_sizes_but_not_the_graph():
    model, _ = routed()
    small, large = (
        analysis_fingerprint(get_cutplan(model, (torch.randn(batch, 3, size, size),), {}))
        for batch, size in ((1, 6), (3, 10))
    )
    assert small == large
    assert small[4] == "operation #4: conv2d_1 (conv2d) of [relu_0] in conv2"
    model.mode = "reroute"
    rerouted = analysis_fingerprint(get_cutplan(model, (torch.randn(1, 3, 6, 6),), {}))
    assert rerouted[4] == "operation #4: conv2d_1 (conv2d) of [relu_0] in conv2b"

"""Reading the importance: what several calibration blocks add up to, and when a
calibration measured too little to choose channels by."""

import pytest
import torch
import torch.nn.functional as F

from tavrix.demo_model import residual_cnn
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.importance import GroupImportance, calibration_warnings, channel_importance


def _calibrated(model, batches, loss=None):
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for x in batches:
            out = model(x)
            (loss(out) if loss else F.cross_entropy(out, out.argmax(dim=1))).backward()
    return calibrator


def test_two_blocks_of_one_calibrator_add_up():
    torch.manual_seed(0)
    model = residual_cnn().eval()
    a, b = torch.randn(4, 3, 16, 16), torch.randn(6, 3, 16, 16)
    calibrator = _calibrated(model, [a])
    first = [g.importance.clone() for g in channel_importance(calibrator.cutplan)]
    with calibrator:  # the same gates: gradients and sample counts add to the first block's
        out = model(b)
        F.cross_entropy(out, out.argmax(dim=1)).backward()
    both = channel_importance(calibrator.cutplan)
    together = channel_importance(_calibrated(model, [a, b]).cutplan)
    alone = channel_importance(_calibrated(model, [b]).cutplan)
    for two_blocks, one_block, only_b, only_a in zip(both, together, alone, first):
        torch.testing.assert_close(two_blocks.importance, one_block.importance)
        assert not torch.allclose(two_blocks.importance, only_b.importance)
        assert not torch.allclose(two_blocks.importance, only_a)


@pytest.mark.parametrize(
    "case, expected",
    [
        ("trained-like", []),
        ("tiny outputs", ["outputs are at most 1.5e-10 in size"]),
        ("loss of nothing", ["every one of the 96 measured channels has importance exactly 0"]),
    ],
)
def test_calibration_warnings_name_a_degenerate_calibration(case, expected):
    torch.manual_seed(0)
    model = residual_cnn().eval()
    batches = [torch.randn(4, 3, 16, 16) for _ in range(2)]
    loss = None
    if case == "tiny outputs":
        with torch.no_grad():
            model.fc.weight.mul_(1e-9)  # as deep random networks whose activations shrink
            model.fc.bias.zero_()
    if case == "loss of nothing":
        loss = lambda out: (out * 0).sum()  # noqa: E731
    calibrator = _calibrated(model, batches, loss)
    scale = max(model(x).abs().max().item() for x in batches)
    groups = channel_importance(calibrator.cutplan)
    found = calibration_warnings(calibrator.cutplan, groups, output_scale=scale, warn=False)
    assert len(found) == len(expected)
    assert all(text in message for text, message in zip(expected, found)), found
    if found:
        with pytest.warns(UserWarning, match="^Calibration measured little: ") as caught:
            assert calibration_warnings(calibrator.cutplan, output_scale=scale) == found
        assert len(caught) == len(found)
    # the read-out itself is as before: the importance of the last case is all zeros
    assert all(g.importance is not None for g in groups)


def test_calibration_warnings_count_exact_zeros():
    def groups(zeros, n=10):
        values = torch.ones(n)
        values[:zeros] = 0
        return [
            GroupImportance(0, list(range(n)), values, ["g"], ["m"]),
            GroupImportance(1, [10], None, [], ["unmeasured"]),
        ]

    assert calibration_warnings(None, groups(5), warn=False) == []
    [most] = calibration_warnings(None, groups(6), warn=False)
    assert most.startswith("6 of 10 measured channels (60%) have importance exactly 0")
    assert calibration_warnings(None, groups(0), output_scale=1e-3, warn=False) == []

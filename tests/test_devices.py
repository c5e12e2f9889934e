"""The whole path with the model and its inputs on one device: analysis, calibration and
importance, the one-model check, the shrink, recovery, save and reload. The CUDA run is skipped
where no CUDA device is present; the CPU run shows the test itself sound."""

import warnings

import pytest
import torch

from tavrix.demo_model import residual_cnn
from tavrix.pruning import recover
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.importance import channel_importance
from tavrix.pruning.shrink import (
    check_equal,
    choose_channels,
    load_shrunk,
    record_reference,
    save_shrunk,
    shrink,
)

from shrink_helpers import randomise


def _devices(module):
    return {t.device for t in [*module.parameters(), *module.buffers()]}


@pytest.mark.parametrize("device", ["cpu", pytest.param("cuda", marks=pytest.mark.cuda)])
def test_the_whole_path_stays_on_the_models_device(device, tmp_path, monkeypatch):
    device = torch.device(device, 0) if device == "cuda" else torch.device(device)
    # cuDNN convolves in TensorFloat-32 by default on recent GPUs (10 mantissa bits): float32
    # here, so that the check's float32 tolerance applies
    monkeypatch.setattr(torch.backends.cudnn, "allow_tf32", False)
    model = randomise(residual_cnn()).eval()
    # the CPU's analysis of the same model, for the structure the device's must give
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        on_cpu = get_cutplan(model, (torch.randn(1, 3, 32, 32),), {})
    model.to(device)
    generator = torch.Generator().manual_seed(0)
    batches = [torch.randn(4, 3, 32, 32, generator=generator).to(device) for _ in range(3)]

    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings(), calibrator:
        warnings.simplefilter("ignore", UserWarning)
        for x in batches[:2]:
            model(x).pow(2).mean().backward()
    plan = calibrator.cutplan
    assert [len(labels) for _, labels in plan.prunable_groups] == [
        len(labels) for _, labels in on_cpu.prunable_groups
    ]
    assert _devices(plan.gate_container) == {device}
    scores = channel_importance(plan)
    assert all(s.importance is not None and s.importance.abs().sum() > 0 for s in scores)

    removed = choose_channels(plan, 0.25, round_to=1)
    stats = recover.collect(model, plan, removed, batches[:2], method="mean")
    reference = record_reference(model, plan, removed, (batches[2],))
    report = shrink(model, plan, removed)
    assert report.parameters_after < report.parameters_before
    assert _devices(model) == {device}
    result = check_equal(reference, model)
    assert result.passed, str(result)

    recover.compensate(model, stats)
    assert _devices(model) == {device}
    path = tmp_path / "shrunk.pt"
    save_shrunk(path, model, report)
    fresh = residual_cnn().eval().to(device)
    load_shrunk(path, fresh)
    assert _devices(fresh) == {device}
    with torch.no_grad():
        torch.testing.assert_close(fresh(batches[2]), model(batches[2]))

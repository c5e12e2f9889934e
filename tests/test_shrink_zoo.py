"""Real torchvision architectures (random weights, eval mode, batch 1): calibrate, remove 30%
of every prunable group, prove the result equal, re-apply the saved plan, export."""

import copy
import math
import warnings

import pytest
import torch
import torch.nn.functional as F

from tavrix.pruning.gatecal import TavrixPruningCalibrator
from tavrix.pruning.shrink import apply_plan, check_equal, choose_channels, save_plan, shrink

from shrink_helpers import randomise, rebuild_mismatches

tvm = pytest.importorskip("torchvision.models")

ZOO = {
    "resnet18": lambda: tvm.resnet18(weights=None),
    "resnet50": lambda: tvm.resnet50(weights=None),
    "mobilenet_v2": lambda: tvm.mobilenet_v2(weights=None),
    "mobilenet_v3_small": lambda: tvm.mobilenet_v3_small(weights=None),
    "efficientnet_b0": lambda: tvm.efficientnet_b0(weights=None),
    "densenet121": lambda: tvm.densenet121(weights=None),
    # aux_logits stays on: the auxiliary heads take no part in the eval call
    "googlenet": lambda: tvm.googlenet(weights=None, init_weights=True),
    "shufflenet_v2_x1_0": lambda: tvm.shufflenet_v2_x1_0(weights=None),
    "squeezenet1_0": lambda: tvm.squeezenet1_0(weights=None),
    "regnet_y_400mf": lambda: tvm.regnet_y_400mf(weights=None),
    "convnext_tiny": lambda: tvm.convnext_tiny(weights=None),
    "vit_b_16": lambda: tvm.vit_b_16(weights=None),
    "swin_t": lambda: tvm.swin_t(weights=None),
    "inception_v3": lambda: tvm.inception_v3(weights=None, aux_logits=False, init_weights=True),
}


def build(name):
    torch.manual_seed(0)
    return randomise(ZOO[name]()).eval()


@pytest.mark.zoo
@pytest.mark.parametrize("name", list(ZOO))
def test_zoo_model_shrinks_equal_and_reloads(name, tmp_path):
    size = 299 if name == "inception_v3" else 224
    generator = torch.Generator().manual_seed(1)
    x = torch.randn(1, 3, size, size, generator=generator)
    model = build(name)
    calibrator = TavrixPruningCalibrator(model)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # layers the analysis leaves unpruned
        with calibrator:
            for _ in range(2):
                logits = model(torch.randn(1, 3, size, size, generator=generator))
                F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    plan = calibrator.cutplan

    removed = choose_channels(plan, 0.3, round_to=1)
    sizes = [len(labels) for _, labels in plan.prunable_groups]
    assert {i: len(labels) for i, labels in removed.items()} == {
        i: math.floor(0.3 * n) for i, n in enumerate(sizes) if math.floor(0.3 * n)
    }
    original = copy.deepcopy(model)
    report = shrink(model, plan, removed)

    before = sum(p.numel() for p in original.parameters())
    after = sum(p.numel() for p in model.parameters())
    assert (report.parameters_before, report.parameters_after) == (before, after)
    assert after < before
    assert rebuild_mismatches(model) == []
    # also fails when the output shapes differ
    result = check_equal(original, model, plan, removed, (x,), tolerance=1e-4)
    assert result.passed, str(result)
    print(
        f"{name}: parameters {before:,} -> {after:,} ({100 * (before - after) / before:.1f}% "
        f"fewer); {result}"
    )

    path = tmp_path / "plan.json"
    save_plan(path, report)
    fresh = original  # same architecture, none of the tensors the plan was made with
    apply_plan(fresh, path, (x,))
    assert {k: v.shape for k, v in fresh.state_dict().items()} == {
        k: v.shape for k, v in model.state_dict().items()
    }
    fresh.load_state_dict(model.state_dict())

    exported = torch.export.export(model, (x,))
    with torch.no_grad():
        expected = model(x)
        assert torch.allclose(exported.module()(x), expected, rtol=1e-4, atol=1e-4 * result.scale)
    assert expected.shape == (1, 1000)

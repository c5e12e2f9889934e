"""The examples run as the README says and do what they print."""

import importlib.util
import pathlib

import pytest
import torch

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def _load(name):
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_hugging_face_causal_lm_example(capsys):
    pytest.importorskip("transformers")
    result = _load("hf_causal_lm").main()
    out = capsys.readouterr().out
    assert result["check"].passed and "check passed" in out
    assert result["same_weights"] and result["difference"] == 0
    assert torch.equal(result["tokens"], result["reloaded_tokens"])
    report, config = result["report"], result["config"]
    # every layer of a kind cut alike, and the config says so
    kept = {}
    for group in report.groups:
        kind = {name.split(".", 3)[-1] for name in group.module_names}
        kept.setdefault(frozenset(kind), set()).add(group.kept)
    assert all(len(widths) == 1 for widths in kept.values())
    assert report.config_changes[""]["intermediate_size"][1] == config.intermediate_size < 352
    assert config.hidden_size % 8 == 0 and config.hidden_size < 128


@pytest.mark.zoo
def test_torchvision_budget_example(capsys):
    pytest.importorskip("torchvision")
    result = _load("torchvision_budget").main(size=32)
    out = capsys.readouterr().out
    assert result["check"].passed and "check passed" in out
    # the budget is met on the shrunk model as PyTorch counts it, within 1%
    assert abs(result["kept"] - 0.5) < 0.01
    # the recovery makes the output closer to the original's, and the saved file reloads it
    assert result["recovered"].relative_l2 < result["cut"].relative_l2
    assert result["same"]
    assert all(group.kept % 8 == 0 for group in result["report"].groups)


@pytest.mark.zoo
def test_timm_vit_example(capsys):
    pytest.importorskip("timm")
    result = _load("timm_vit").main()
    out = capsys.readouterr().out
    assert result["check"].passed and "check passed" in out
    assert abs(result["kept"] - 0.6) < 0.01
    # the extended rules made the MLP widths prunable; the model's own attributes follow
    model = result["model"]
    assert model.blocks[0].mlp.fc1.out_features < 768
    assert model.blocks[0].mlp.fc2.in_features == model.blocks[0].mlp.fc1.out_features
    assert result["plan"].rule_record.rule_set.name == "extended"


def test_torchrun_calibration_example():
    """Two processes under torchrun read the importance of all four batches: the same as one
    process calibrating on the four, and the same choice on both ranks."""
    import json
    import os
    import subprocess
    import sys

    import torch.nn.functional as F

    from tavrix.demo_model import residual_cnn
    from tavrix.pruning.gatecal import TavrixPruningCalibrator
    from tavrix.pruning.importance import channel_importance

    env = dict(os.environ, OMP_NUM_THREADS="1", PYTHONPATH=str(EXAMPLES.parent / "src"))
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "torch.distributed.run",
            "--standalone",
            "--nproc_per_node=2",
            str(EXAMPLES / "torchrun_calibration.py"),
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    ranks = sorted(
        (json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")),
        key=lambda r: r["rank"],
    )
    assert [r["rank"] for r in ranks] == [0, 1] and all(r["batches"] == 2 for r in ranks)
    assert all(r["same_choice"] for r in ranks) and ranks[0]["removed"] == ranks[1]["removed"]

    torch.manual_seed(0)
    model = residual_cnn().eval()
    generator = torch.Generator().manual_seed(1)
    batches = [torch.randn(8, 3, 32, 32, generator=generator) for _ in range(4)]
    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for x in batches:
            logits = model(x)
            F.cross_entropy(logits, logits.argmax(dim=1)).backward()
    alone = [float(g.importance.sum()) for g in channel_importance(calibrator.cutplan)]
    assert ranks[0]["importance_sums"] == pytest.approx(alone, rel=1e-5)

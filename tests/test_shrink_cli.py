"""python -m tavrix --prune: shrink, check, table, saved model, plot."""

import pytest
import torch

from tavrix.__main__ import main
from tavrix.demo_model import residual_cnn
from tavrix.pruning.shrink import load_shrunk


def test_prune_save_and_plot(tmp_path, capsys):
    saved, plot = tmp_path / "out.pt", tmp_path / "importance.png"
    argv = ["--prune", "0.3", "--round-to", "8", "--save", str(saved), "--plot", str(plot)]
    assert main(argv) == 0
    out, err = capsys.readouterr()
    assert "calibrating" in err
    table = out[out.index("Shrunk by 0.3"):]
    for row in ("parameters", "multiply-accumulates", "latency, batch 8 (ms, best of 10)"):
        assert row in table
    assert "check passed" in table
    # round to 8: the 16-channel groups stay whole, the 32-channel ones keep 24
    assert [line.split()[1:3] for line in table.splitlines() if line.startswith("#")] == [
        ["16", "16"], ["16", "16"], ["32", "24"], ["32", "24"]
    ]
    assert plot.read_bytes().startswith(b"\x89PNG")

    model = load_shrunk(saved, residual_cnn().eval(), (torch.randn(8, 3, 32, 32),))
    assert model.stage2.conv1.out_channels == 24 and model.fc.in_features == 24
    parameters = next(line for line in table.splitlines() if line.startswith("parameters"))
    assert f"{sum(p.numel() for p in model.parameters()):,}" in parameters


def test_a_failed_check_exits_1_and_saves_nothing(tmp_path, monkeypatch, capsys):
    from tavrix.pruning import shrink as shrink_package
    from tavrix.pruning.shrink.check import CheckResult, DivergingNode

    def failing(*args, **kwargs):
        return CheckResult(1.0, 1.0, 1e-4, DivergingNode(3, "conv", "conv2d", "stem", 1.0, 1.0, "x"))

    monkeypatch.setattr(shrink_package, "check_equal", failing)
    saved = tmp_path / "out.pt"
    assert main(["--prune", "0.3", "--save", str(saved)]) == 1
    out, _ = capsys.readouterr()
    assert "check FAILED" in out and f"not saved to {saved}: the check failed" in out
    assert not saved.exists()


FACTORIES = """
import torch
from torch import nn

class WeightNormed(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.utils.parametrizations.weight_norm(nn.Conv2d(3, 8, 3, padding=1))
        self.b = nn.Conv2d(8, 8, 3, padding=1)
        self.head = nn.Linear(8, 4)

    def forward(self, x):
        y = self.b(torch.relu(self.a(x)))
        return self.head(y.mean(dim=(2, 3)))
"""


def test_a_model_that_cannot_be_shrunk_exits_2_with_one_line(tmp_path, monkeypatch, capsys):
    (tmp_path / "cli_shrink_factories.py").write_text(FACTORIES)
    monkeypatch.syspath_prepend(str(tmp_path))
    argv = ["--model", "cli_shrink_factories:WeightNormed", "--input-shape", "2,3,8,8"]
    assert main(argv + ["--prune", "0.5"]) == 2
    out, err = capsys.readouterr()
    progress, message = err.rstrip("\n").rsplit("\n", 1)  # after the calibration's progress bar
    assert out == "" and progress.endswith("4/4")
    assert message.startswith("python -m tavrix: error: cannot shrink a.parametrizations.weight")
    assert "by a parametrization (weight_norm" in message
    assert message.endswith("the model was not changed")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--prune", "1"], "--prune must be a ratio in [0, 1)"),
        (["--prune", "x"], "invalid float value"),
        (["--prune", "0.3", "--round-to", "0"], "--round-to must be a positive integer"),
        (["--save", "out.pt"], "--save needs --prune"),
        (["--prune", "0.3", "--save", "/no/such/dir/out.pt"], "--save: no directory /no/such/dir"),
        (["--prune", "0.3", "--entry-point", "stem.forward"], "use --entry-point forward"),
    ],
)
def test_bad_prune_options_exit_2_with_one_line(capsys, argv, message):
    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and message in err

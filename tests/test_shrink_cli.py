"""python -m tavrix --prune: shrink, check, table, saved model, plot."""

import os
import re

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
    # the spread goes with every latency figure: quartiles of each model and of the change
    spread = re.search(
        r"  median \[quartiles\]; change per round +([\d.]+) \[([\d.]+), ([\d.]+)\] +"
        r"([\d.]+) \[([\d.]+), ([\d.]+)\] +([-+][\d.]+)% \[([-+][\d.]+)%, ([-+][\d.]+)%\]",
        table,
    )
    assert spread, table
    median, low, high = (float(spread.group(i)) for i in (1, 2, 3))
    change, change_low, change_high = (float(spread.group(i)) for i in (7, 8, 9))
    assert low <= median <= high and change_low <= change <= change_high
    assert re.search(r"latency: 10 rounds of one call of each model, .*OMP_WAIT_POLICY", table)
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


def test_outputs_are_written_whole_or_not_at_all(tmp_path):
    from tavrix.cli_prune import written_whole

    target = tmp_path / "out.pt"
    target.write_text("the previous run's file")
    for interruption in (KeyboardInterrupt, OSError):
        with pytest.raises(interruption):
            with written_whole(str(target)) as temporary:
                with open(temporary, "w") as handle:
                    handle.write("half a fi")
                raise interruption()
        assert target.read_text() == "the previous run's file"
        assert [p.name for p in tmp_path.iterdir()] == ["out.pt"]
    with written_whole(str(target)) as temporary:
        with open(temporary, "w") as handle:
            handle.write("new")
    assert target.read_text() == "new" and [p.name for p in tmp_path.iterdir()] == ["out.pt"]
    mask = os.umask(0)
    os.umask(mask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~mask


@pytest.mark.parametrize("n_groups, removed", [(3, True), (40, True), (5, False)])
def test_importance_picture_one_panel_a_group(n_groups, removed):
    from tavrix.cli_prune import MAX_PANELS, importance_figure
    from tavrix.pruning.importance import GroupImportance

    generator = torch.Generator().manual_seed(0)
    groups = []
    for index in range(n_groups):
        values = torch.rand(8 + index, generator=generator)
        values[:2] = 0  # exact zeros, which a log axis cannot show
        groups.append(GroupImportance(index, list(range(len(values))), values, [], [f"m{index}"]))
    groups.append(GroupImportance(n_groups, [0, 1], None, [], ["unmeasured"]))
    cut = {g.index: g.labels[:3] for g in groups} if removed else None
    figure = importance_figure(groups, cut, "resnet50: 30% removed")
    panels = figure.axes
    assert len(panels) == min(n_groups, MAX_PANELS)
    assert all(axes.get_yscale() == "log" for axes in panels)
    assert figure._suptitle.get_text() == "resnet50: 30% removed"
    notes = " ".join(text.get_text() for text in figure.texts)
    assert ("+10 more groups not shown" in notes) == (n_groups == 40)
    assert "1 group(s) not measured" in notes
    first = panels[0]
    assert first.get_title() == ("#0 m0  (8\u21925)" if removed else "#0 m0  (8)")
    assert any(text.get_text() == "2 exactly 0" for text in first.texts)
    # removed and kept channels drawn apart; every channel has its point, zeros on the floor
    lines = [line for line in first.get_lines() if len(line.get_xdata()) > 2]
    assert sum(len(line.get_xdata()) for line in lines) == 8
    floor = min(min(line.get_ydata()) for line in lines)
    assert floor > 0 and first.get_ylim()[0] <= floor

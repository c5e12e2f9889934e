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
    table = out[out.index("Shrunk by 0.3") :]
    for row in ("parameters", "multiply-accumulates", "latency, batch 8 (ms, best of 10)"):
        assert row in table
    # the spread goes with every latency figure: quartiles of each model and of the change
    spread = re.search(
        r"  median \[quartiles\]; change over pairs +([\d.]+) \[([\d.]+), ([\d.]+)\] +"
        r"([\d.]+) \[([\d.]+), ([\d.]+)\] +([-+][\d.]+)% \[([-+][\d.]+)%, ([-+][\d.]+)%\]",
        table,
    )
    assert spread, table
    median, low, high = (float(spread.group(i)) for i in (1, 2, 3))
    change, change_low, change_high = (float(spread.group(i)) for i in (7, 8, 9))
    assert low <= median <= high and change_low <= change <= change_high
    assert re.search(
        r"latency: 10 calls of the original before the cut, 10 of the shrunk model "
        r"after it, .*OMP_WAIT_POLICY",
        table,
    )
    assert "check passed" in table
    # round to 8: the 16-channel groups stay whole, the 32-channel ones keep 24
    assert [line.split()[1:3] for line in table.splitlines() if line.startswith("#")] == [
        ["16", "16"],
        ["16", "16"],
        ["32", "24"],
        ["32", "24"],
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
        return CheckResult(
            1.0, 1.0, 1e-4, DivergingNode(3, "conv", "conv2d", "stem", 1.0, 1.0, "x")
        )

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
        (["--prune"], "--prune needs a RATIO, or --target-macs F or --target-params F"),
        (["--prune", "0.3", "--target-macs", "0.5"], "both say how much goes: give one"),
        (["--target-macs", "0.5", "--target-params", "0.5"], "not allowed with argument"),
        (["--target-params", "0"], "--target-params must be a share in (0, 1] to keep"),
        (["--target-macs", "1.5"], "--target-macs must be a share in (0, 1] to keep"),
        (["--recover", "lstsq"], "--recover needs --prune (or a target)"),
        (["--prune", "0.3", "--recover", "mean,lstsq"], "mean and lstsq correct the same"),
        (["--prune", "0.3", "--recover", "lstsq-ch,lstsq"], "lstsq-ch and lstsq correct the"),
        (["--prune", "0.3", "--recover", "bn,bn"], "(an item given twice)"),
        (["--prune", "0.3", "--recover", "lsq"], "(unknown 'lsq')"),
        (["--prune", "0.3", "--recover", "none,bn"], "(unknown 'none')"),
        (["--importance", "gradient"], "invalid choice: 'gradient'"),
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


def _figure(text, label):
    row = next(line for line in text.splitlines() if line.startswith(label))
    return row.split()


def _held_out():
    from tavrix.__main__ import DEFAULT_BATCHES, DEFAULT_SHAPE, HELD_OUT_BATCHES, _random_batches

    drawn = _random_batches(DEFAULT_SHAPE, DEFAULT_BATCHES + HELD_OUT_BATCHES, 0)
    return drawn[DEFAULT_BATCHES:]


@pytest.mark.parametrize("recovery", [None, "none", "bn,mean", "bn", "lstsq-ch"])
def test_recovery_is_measured_against_the_original_and_saved(tmp_path, capsys, recovery):
    from tavrix.pruning import recover

    saved = tmp_path / "out.pt"
    argv = ["--prune", "0.5", "-q", "--save", str(saved)]
    assert main(argv + (["--recover", recovery] if recovery else [])) == 0
    out = capsys.readouterr().out
    # the items in the order they run: the correction, then the batch norms
    shown = {None: "lstsq", "bn,mean": "mean,bn"}.get(recovery, recovery)
    assert f"(round to 1; importance output_error; recovery {shown}):" in out
    error = float(_figure(out, "output error vs original (2 held-out batches)")[-2])
    assert "check passed" in out
    # the saved model is the one measured: rebuilt from a fresh model, same output error
    held_out = _held_out()
    reference = recover.outputs(residual_cnn().eval(), held_out)
    model = load_shrunk(saved, residual_cnn().eval(), held_out[0])
    assert model.stage2.conv1.out_channels == 16
    assert f"{recover.fidelity(reference, model, held_out).relative_l2:.3g}" == f"{error:.3g}"
    if recovery == "none":
        assert "recovery (" not in out and "before recovery" not in out
        return
    bare, recovered = re.search(
        r"; output error vs original ([\d.e-]+) shrunk, ([\d.e-]+) recovered$", out, re.M
    ).groups()
    assert float(recovered) == error
    assert re.search(r"^check passed: .*\), of the shrunk model before recovery$", out, re.M)
    # the correction of the bias-free convolutions went into their batch norms
    assert "load_shrunk rebuilds it" in out
    if recovery in (None, "lstsq-ch"):
        # on random weights the least-squares fit helps; the batch-norm re-estimate does not
        assert float(recovered) < 0.5 * float(bare)


@pytest.mark.parametrize(
    "argv, heading, row, share",
    [
        (["--target-macs", "0.5"], "Shrunk to 50% of the multiply-accumulates", "multiply", 0.5),
        (["--prune", "--target-params", "0.4"], "Shrunk to 40% of the parameters", "param", 0.4),
    ],
)
def test_a_target_implies_the_shrink_and_is_met(capsys, argv, heading, row, share):
    assert main(argv + ["-q", "--recover", "none"]) == 0
    out = capsys.readouterr().out
    assert heading in out and "check passed" in out
    before, after = (float(v.rstrip("M").replace(",", "")) for v in _figure(out, row)[-3:-1])
    assert abs(after / before - share) < 0.02


FACTORIES_RECOVERY = """
import torch
from torch import nn

class Grouped(nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.a = nn.Conv2d(3, 16, 3, padding=1)
        self.b = nn.Conv2d(16, 16, 3, padding=1, groups=2)
        self.head = nn.Linear(16, 4)

    def forward(self, x):
        y = self.b(torch.relu(self.a(x)))
        return self.head(y.mean(dim=(2, 3)))

class Plain(nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.a = nn.Conv2d(3, 16, 3, padding=1)
        self.b = nn.Conv2d(16, 8, 3, padding=1, bias=False)
        self.head = nn.Linear(8, 4)

    def forward(self, x):
        y = torch.relu(self.b(torch.relu(self.a(x))))
        return self.head(y.mean(dim=(2, 3)))
"""


def test_recovery_the_model_refuses(tmp_path, monkeypatch, capsys):
    (tmp_path / "cli_recover_factories.py").write_text(FACTORIES_RECOVERY)
    monkeypatch.syspath_prepend(str(tmp_path))
    grouped = [
        "--model",
        "cli_recover_factories:Grouped",
        "--input-shape",
        "2,3,8,8",
        "--rules",
        "extended",
        "--prune",
        "0.5",
        "-q",
    ]
    # asked for: one line, nothing shrunk
    assert main(grouped + ["--recover", "lstsq"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and "error: --recover lstsq: cannot fit b by least squares" in err
    # the default falls back and says so
    assert main(grouped) == 0
    out = capsys.readouterr().out
    assert "lstsq refused (cannot fit b" in out and "used mean" in out
    # a bias the correction adds where no batch norm can take it: said where the file is saved
    saved = tmp_path / "plain.pt"
    plain = [
        "--model",
        "cli_recover_factories:Plain",
        "--input-shape",
        "2,3,8,8",
        "--prune",
        "0.5",
        "-q",
        "--save",
        str(saved),
    ]
    assert main(plain) == 0
    out = capsys.readouterr().out
    assert f"saved to {saved}; the recovery gave b a bias the model's code does not make" in out
    from cli_recover_factories import Plain

    fresh = load_shrunk(saved, Plain().eval())
    assert fresh.b.bias is not None and fresh.b.bias.shape == fresh.b.weight.shape[:1]


@pytest.mark.parametrize(
    "criterion", ["fisher", "activation", "output_error", "magnitude", "random"]
)
def test_importance_criteria_rank_the_channels(capsys, criterion):
    assert main(["--importance", criterion, "--batches", "2"]) == 0
    listing = capsys.readouterr().out
    assert f"Channel importance by {criterion} (label (score)):" in listing
    # every group measured: the statistics were recorded during the calibration
    assert "not measured" not in listing and listing.count("least: ") == 4
    assert main(["--batches", "2", "--importance", "taylor"]) == 0
    assert capsys.readouterr().out.split("least: ")[1:] != listing.split("least: ")[1:]


@pytest.mark.parametrize(
    "stored, batches, where",
    [
        (3, 2, "1 held-out batch"),
        (2, None, "the calibration batches"),
    ],
)
def test_inputs_hold_out_the_batches_left_over(tmp_path, capsys, stored, batches, where):
    path = tmp_path / "batches.pt"
    torch.save([torch.randn(4, 3, 32, 32) for _ in range(stored)], path)
    argv = ["--inputs", str(path), "--prune", "0.3", "-q"]
    assert main(argv + (["--batches", str(batches)] if batches else [])) == 0
    out = capsys.readouterr().out
    assert f"output error vs original ({where})" in out
    assert f"on {batches or stored} calibration batches" in out


FACTORIES_COUNTED = """
import torch
from torch import nn

class Counted(nn.Module):
    made = 0

    def __init__(self):
        super().__init__()
        type(self).made += 1
        torch.manual_seed(0)
        self.a = nn.Conv2d(3, 16, 3, padding=1)
        self.bn = nn.BatchNorm2d(16)
        self.b = nn.Conv2d(16, 8, 3, padding=1)
        self.head = nn.Linear(8, 4)

    def forward(self, x):
        y = self.b(torch.relu(self.bn(self.a(x))))
        return self.head(y.mean(dim=(2, 3)))
"""


def test_the_model_is_never_copied(tmp_path, monkeypatch, capsys):
    # a copy of a module (deepcopy, pickling) restores its state through __setstate__
    (tmp_path / "cli_counted_factories.py").write_text(FACTORIES_COUNTED)
    monkeypatch.syspath_prepend(str(tmp_path))
    from cli_counted_factories import Counted

    def refuse(self, state):
        raise AssertionError(f"a copy of a {type(self).__name__} was made")

    monkeypatch.setattr(torch.nn.Module, "__setstate__", refuse)
    argv = [
        "--model",
        "cli_counted_factories:Counted",
        "--input-shape",
        "4,3,8,8",
        "-q",
        "--prune",
        "0.5",
        "--recover",
        "lstsq,bn",
        "--save",
        str(tmp_path / "out.pt"),
    ]
    assert main(argv) == 0
    out = capsys.readouterr().out
    assert Counted.made == 1 and "check passed" in out
    assert re.search(r"#0 +16 +8 ", out)


def test_the_one_model_check_catches_a_wrong_cut(monkeypatch, capsys):
    from tavrix.pruning import shrink as shrink_package

    real = shrink_package.shrink

    def corrupting(model, plan, removed):
        report = real(model, plan, removed)
        with torch.no_grad():
            model.stage2.conv1.weight[0].mul_(2)
        return report

    monkeypatch.setattr(shrink_package, "shrink", corrupting)
    assert main(["--prune", "0.3", "-q", "--recover", "none"]) == 1
    out = capsys.readouterr().out
    assert "check FAILED" in out and "stage2" in out

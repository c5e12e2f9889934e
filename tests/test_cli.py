import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
import torch

import tavrix
from tavrix.__main__ import main

# the tree this run imports tavrix from (the sanitizer run has its own copy)
SRC = Path(tavrix.__file__).resolve().parents[1]

FACTORIES = '''
import torch
from torch import nn

def mlp():
    return nn.Sequential(nn.Linear(12, 16), nn.ReLU(), nn.Linear(16, 8), nn.ReLU(), nn.Linear(8, 3))

def not_a_model():
    return 42

def no_parameters():
    return nn.ReLU()

def broken():
    raise OSError("weights missing")

def leaves():
    import sys
    sys.exit("no GPU here")

def single_layer():
    return nn.Linear(12, 3)

def normed():
    return nn.Sequential(nn.Linear(12, 16), nn.LayerNorm(16), nn.ReLU(), nn.Linear(16, 3))

def stops_in_forward():
    class Stops(nn.Module):
        def __init__(self):
            super().__init__()
            self.inner = mlp()

        def forward(self, x):
            if torch.is_grad_enabled():
                raise ValueError("cannot train this one")
            return self.inner(x)

    return Stops()
'''


@pytest.fixture
def factories(tmp_path, monkeypatch):
    (tmp_path / "cli_factories.py").write_text(FACTORIES)
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


def test_default_demo_as_a_program():
    env = dict(os.environ, PYTHONPATH=str(SRC))
    done = subprocess.run(
        [sys.executable, "-m", "tavrix"], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ModelCutplan(n_prunable_channels=")
    assert "Prunable groups:" in done.stdout and "Unprunable groups:" in done.stdout
    assert done.stdout.count("least:") == done.stdout.count("most:") >= 1
    assert "calibrating" in done.stderr and "4/4" in done.stderr


def test_factory_and_tensors_file(factories, capsys):
    path = factories / "batches.pt"
    torch.save([torch.randn(5, 12), torch.randn(7, 12)], path)
    assert main(["--model", "cli_factories:mlp", "--inputs", str(path), "--top", "2"]) == 0
    out, err = capsys.readouterr()
    assert "2/2" in err
    lines = out.splitlines()
    # two hidden layers, each its own prunable group with two channels listed per end
    assert sum(line.startswith("  #") for line in lines if "channels;" in line) == 2
    least = [line for line in lines if line.strip().startswith("least:")]
    assert len(least) == 2 and all(line.count("(") == 2 for line in least)

    assert main(["--model", "cli_factories:mlp", "--input-shape", "4,12", "--batches", "3"]) == 0
    assert "3/3" in capsys.readouterr().err


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--model", "no_such_module_xyz:build"], "cannot import module 'no_such_module_xyz'"),
        (["--model", "cli_factories:missing"], "has no attribute 'missing'"),
        (["--model", "cli_factories"], "must look like module:factory"),
        (["--model", "cli_factories:not_a_model"], "not a torch.nn.Module"),
        (["--model", "cli_factories:no_parameters"], "has no parameters"),
        (["--model", "cli_factories:broken"], "OSError: weights missing"),
        (["--input-shape", "8,x,32"], "--input-shape must be positive integers"),
        (["--input-shape", "8,0,32,32"], "--input-shape must be positive integers"),
        (["--input-shape", "8,4,32,32"], "does not accept input (8, 4, 32, 32)"),
        (["--model", "cli_factories:mlp", "--input-shape", "4,11"], "does not accept input"),
        (["--batches", "0"], "--batches must be positive"),
        (["--entry-point", "head.forward"], 'No such module "head"'),
        (["--inputs", "missing.pt"], "cannot load missing.pt"),
        (["--no-such-flag"], "unrecognized arguments"),
        (["--model", "cli_factories:leaves"], "called sys.exit('no GPU here')"),
        (["--model", "cli_factories:single_layer", "--input-shape", "4,12"],
         "the model has no prunable channels"),
        (["--model", "cli_factories:mlp", "--input-shape", "100000,100000,100000,12"],
         "cannot allocate input batches of shape 100000,100000,100000,12"),
        (["--model", "cli_factories:stops_in_forward", "--input-shape", "4,12"],
         "calibration failed: ValueError: cannot train this one"),
        (["--model", "cli_factories:mlp", "--inputs", "empty.pt"], "batch 1 holds no samples"),
        (["--model", "cli_factories:mlp", "--inputs", "text.pt"],
         "not a file written by torch.save"),
        (["--model", "cli_factories:mlp", "--input-shape", "4,11", "--explain"],
         "does not accept input"),
        (["--explain", "--top", "-1"], "--top must not be negative"),
        (["--explain", "--prune", "0.3"], "--explain only analyses the model"),
    ],
)
def test_bad_input_exits_2_with_one_line(factories, capsys, monkeypatch, argv, message):
    torch.save([torch.randn(2, 12), torch.randn(0, 12)], factories / "empty.pt")
    (factories / "text.pt").write_text("not tensors\n")
    monkeypatch.chdir(factories)
    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("python -m tavrix: error: ")
    assert message in err


def test_explain_names_the_causes_even_without_prunable_channels(factories, capsys):
    argv = ["--model", "cli_factories:single_layer", "--input-shape", "4,12", "--explain"]
    assert main(argv) == 0
    out, err = capsys.readouterr()
    summary, heading, first, where = out.splitlines()
    assert summary == (
        "single_layer: 3 of 3 channels unprunable (100.0%) in 1 groups; "
        "blocked by: reaches a model output 100%"
    )
    assert heading == "Top causes by channels lost (1 of 1):"
    assert first.split()[:4] == ["3", "(100.0%)", "linear", "(reaches"]
    assert "1 node(s): linear_0; in (model)" in where and "calibrating" not in err


def test_extended_rules_prune_what_the_standard_rules_keep(factories, capsys):
    from tavrix.pruning.engine.ruleset import active_rule_set

    base = ["--model", "cli_factories:normed", "--input-shape", "4,12"]
    assert main(base + ["--explain"]) == 0
    assert "layer_norm" in capsys.readouterr().out
    assert main(base + ["--explain", "--rules", "extended"]) == 0
    assert "3 of 19 channels unprunable" in capsys.readouterr().out
    assert main(base + ["--rules", "extended", "--prune", "0.25"]) == 0
    out = capsys.readouterr().out
    # the layer norm's 16 channels lose 4, its weight and bias with them
    assert re.search(r"#0 +16 +12 +0\n", out) and re.search(r"parameters +291 +219 ", out)
    assert "check passed" in out
    # the choice ends with the run
    assert not active_rule_set().extended


def test_tensors_file_with_other_content(factories, capsys):
    path = factories / "bad.pt"
    torch.save({"x": torch.randn(2, 12)}, path)
    assert main(["--model", "cli_factories:mlp", "--inputs", str(path)]) == 2
    assert "must hold a tensor or a non-empty list of tensors" in capsys.readouterr().err

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import torch

import tavrix
from tavrix.__main__ import main

# the tree this run imports tavrix from (the sanitizer run has its own copy)
SRC = Path(tavrix.__file__).resolve().parents[1]

FACTORIES = """
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

def wide(width=16, depth=1):
    layers = [nn.Linear(12, width), nn.ReLU()]
    for _ in range(depth - 1):
        layers += [nn.Linear(width, width), nn.ReLU()]
    return nn.Sequential(*layers, nn.Linear(width, 3))

def slow():
    import time

    class Slow(nn.Module):
        def __init__(self):
            super().__init__()
            self.inner = mlp()

        def forward(self, x):
            time.sleep(0.3)
            return self.inner(x)

    return Slow()

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
"""


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
        (
            ["--model", "cli_factories:single_layer", "--input-shape", "4,12"],
            "the model has no prunable channels",
        ),
        (
            ["--model", "cli_factories:mlp", "--input-shape", "100000,100000,100000,12"],
            "cannot allocate input batches of shape 100000,100000,100000,12",
        ),
        (
            ["--model", "cli_factories:stops_in_forward", "--input-shape", "4,12"],
            "calibration failed: ValueError: cannot train this one",
        ),
        (["--model", "cli_factories:mlp", "--inputs", "empty.pt"], "batch 1 holds no samples"),
        (
            ["--model", "cli_factories:mlp", "--inputs", "text.pt"],
            "not a file written by torch.save",
        ),
        (
            ["--model", "cli_factories:mlp", "--input-shape", "4,11", "--explain"],
            "does not accept input",
        ),
        (["--explain", "--top", "-1"], "--top must not be negative"),
        (["--explain", "--prune", "0.3"], "--explain only analyses the model"),
        (
            ["--model", "cli_factories:single_layer", "--input-shape", "4,12"],
            "(--rules extended also prunes grouped convolutions",
        ),
        (["--prune", "0.3", "--prune", "0.5"], "--prune given twice (0.3 and 0.5): give it once"),
        (["--model", "cli_factories:mlp", "--model", "cli_factories:wide"], "--model given twice"),
        (["--device", "cuda"], "--device cuda: CUDA is not available"),
        (["--device", "cuda:1"], "--device cuda:1: CUDA is not available"),
        (["--device", "tpu"], "--device must be cpu or cuda[:N], got 'tpu'"),
        (["--model", "resnet50"], "accepted: MODULE:FACTORY[:key=value,...]"),
        (["--model", "cli_factories:wide:width"], "must be key=value separated by commas"),
        (["--model", "cli_factories:wide:width=4,width=5"], "keyword 'width' given twice"),
        (
            ["--model", "cli_factories:wide:height=4"],
            "cli_factories:wide() failed: TypeError: wide() got an unexpected keyword",
        ),
        (["--model", "timm:no_such_net_xyz"], "timm has no model 'no_such_net_xyz'"),
        (["--model", "timm:"], "got 'timm:'; accepted: MODULE:FACTORY"),
        (["--model", "hf:no_such_type_xyz"], "transformers knows no model type or class"),
        (["--model", "hf:gpt2:n_layer=x"], "transformers gpt2 configuration failed"),
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


def test_factory_keywords_and_quiet_output(factories, capsys):
    base = ["--model", "cli_factories:wide:width=20,depth=2", "--input-shape", "4,12"]
    torch.manual_seed(0)  # the factory's initialisation
    assert main(base + ["--device", "cpu"]) == 0
    full = capsys.readouterr().out
    assert full.count("  #") == 2 and "#1: 20 channels" in full and "Prunable groups:" in full
    torch.manual_seed(0)
    assert main(base + ["-q"]) == 0
    quiet = capsys.readouterr().out
    # the group dump goes, the importance listing stays: it is the result
    assert quiet.startswith("ModelCutplan(") and "Prunable groups:" not in quiet
    assert quiet.splitlines()[1:] == full[full.index("\n\nChannel importance") :].splitlines()[1:]
    assert main(base + ["-q", "--prune", "0.25"]) == 0
    pruned = capsys.readouterr().out
    assert "Channel importance" not in pruned and len(pruned.splitlines()) < 20
    assert re.search(r"#1 +20 +15 ", pruned) and "check passed" in pruned


@pytest.mark.zoo
@pytest.mark.parametrize(
    "model, groups",
    [
        # token ids of the configuration's vocabulary, positions passed in: with the
        # head, the residual stream is a group too (stream, attention, MLP)
        (
            "hf:GPT2LMHeadModel:n_layer=1,n_embd=32,n_head=2,vocab_size=50,bos_token_id=0,"
            "eos_token_id=0",
            3,
        ),
        ("hf:gpt2:n_layer=1,n_embd=32,n_head=2,vocab_size=50,bos_token_id=0,eos_token_id=0", 2),
        (
            "hf:BertConfig:hidden_size=32,num_hidden_layers=1,num_attention_heads=2,"
            "intermediate_size=64,vocab_size=50",
            None,
        ),
        (
            "hf:ViTForImageClassification:hidden_size=32,num_hidden_layers=1,"
            "num_attention_heads=2,intermediate_size=64,image_size=16,patch_size=8",
            None,
        ),
        ("timm:resnet18:num_classes=10", 12),
    ],
)
def test_timm_and_transformers_models(capsys, recwarn, model, groups):
    argv = ["--model", model, "--batches", "1", "-q", "--rules", "extended"]
    if model.startswith("timm"):
        argv += ["--input-shape", "1,3,32,32"]
    assert main(argv + ["--prune", "0.25"]) == 0
    out = capsys.readouterr().out
    assert "check passed" in out
    # timm starts each residual block's last batch norm at zero: its branch passes no
    # gradient, and the Taylor importance would be zero for most channels; the default
    # output error reads the activations and the weights, which are not
    shown = [str(w.message) for w in recwarn if "Calibration measured little" in str(w.message)]
    assert shown == []
    table = [line for line in out.splitlines() if re.match(r"#\d+ ", line)]
    assert table and (groups is None or len(table) == groups)
    assert any(int(line.split()[2]) < int(line.split()[1]) for line in table)


def test_ctrl_c_exits_130_with_one_line_and_writes_nothing(factories):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SRC), str(factories)]))
    saved, plot = factories / "out.pt", factories / "plot.png"
    argv = [
        sys.executable,
        "-m",
        "tavrix",
        "--model",
        "cli_factories:slow",
        "--input-shape",
        "4,12",
        "--batches",
        "40",
        "--prune",
        "0.3",
        "--save",
        str(saved),
        "--plot",
        str(plot),
    ]
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        seen = b""
        while b"1/40" not in seen:
            chunk = process.stderr.read1(256)
            assert chunk, "the run ended before calibrating"
            seen += chunk
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    err = (seen + err).decode()
    assert process.returncode == 130, err
    assert out == b"" and "Traceback" not in err
    assert err.endswith("\npython -m tavrix: interrupted\n"), repr(err)
    # neither output nor a temporary file beside it (the factories' bytecode aside)
    assert sorted(p.name for p in factories.iterdir() if p.name != "__pycache__") == [
        "cli_factories.py"
    ]


def test_program_waits_passively_unless_told(factories):
    argv = [sys.executable, "-m", "tavrix", "--prune", "0.2", "-q", "--batches", "1"]
    for policy, shown in ((None, "OMP_WAIT_POLICY PASSIVE"), ("ACTIVE", "OMP_WAIT_POLICY ACTIVE")):
        env = dict(os.environ, PYTHONPATH=str(SRC))
        env.pop("OMP_WAIT_POLICY", None)
        if policy:
            env["OMP_WAIT_POLICY"] = policy
        done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=120)
        assert done.returncode == 0, done.stderr
        assert shown in done.stdout


def test_tensors_file_with_other_content(factories, capsys):
    path = factories / "bad.pt"
    torch.save({"x": torch.randn(2, 12)}, path)
    assert main(["--model", "cli_factories:mlp", "--inputs", str(path)]) == 2
    assert "must hold a tensor or a non-empty list of tensors" in capsys.readouterr().err


def test_make_path_lets_the_venv_import_the_checkout_from_anywhere(tmp_path):
    import shutil

    root = SRC.parent
    if not (root / "Makefile").exists() or shutil.which("make") is None:
        pytest.skip("needs the checkout's Makefile and make")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    (venv / ".bootstrapped").touch()  # the Makefile's bootstrap has run
    done = subprocess.run(
        ["make", "-C", str(root), f"VENV={venv}", "path"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    probe = [str(venv / "bin" / "python"), "-c", "import tavrix; print(tavrix.__file__)"]
    found = subprocess.run(probe, capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)
    assert found.returncode == 0, found.stderr
    assert Path(found.stdout.strip()).resolve() == SRC / "tavrix" / "__init__.py"

"""The Python objects the extensions are handed, and the fields a plan declares."""

import os
import pickle
import subprocess
import sys

import pytest
import torch
from torch import nn

from tavrix.flowscope import opcalls
from tavrix.pruning import cutplan as cp
from tavrix.pruning import rules
from tavrix.pruning.engine import oprules
from tavrix.pruning.explain import explain
from tavrix.pruning.rules.transformer import MATMULS
from test_rules import analyse, cut_and_check, made
from test_rules_transformer import SharedTransposedWeight

# A layer called twice makes the walk tie its parameters' channels: the step that read the
# transformer rules' matrix products by importing them.
_ENGINE_ALONE = """
import sys
import torch
from torch import nn
from tavrix.pruning.cutplan import get_cutplan
layer = nn.Linear(4, 4)
model = nn.Sequential(layer, nn.ReLU(), layer, nn.Linear(4, 2))
plan = get_cutplan(model, (torch.randn(2, 4),), {})
print(sorted(m for m in sys.modules if m.startswith("tavrix.pruning.rules")))
print(plan.rule_record.rule_set.name, len(plan.tensor_names))
"""


def test_the_engine_imports_no_rule_set():
    done = subprocess.run(
        [sys.executable, "-c", _ENGINE_ALONE],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        check=True,
    )
    assert done.stdout.split("\n")[:2] == ["[]", "standard 4"]


# The package's __init__, which hands the extensions their collaborators, left out: each
# extension refuses to work rather than guess; then the wiring runs, once.
_UNCONFIGURED = """
import importlib, os, sys, types
import torch
import tavrix
package = types.ModuleType("tavrix.pruning")
package.__path__ = [os.path.join(os.path.dirname(tavrix.__file__), "pruning")]
sys.modules["tavrix.pruning"] = package
from tavrix.pruning import cutplan, gatecal
from tavrix.pruning.engine import oprules
model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.ReLU(), torch.nn.Linear(8, 2))
def attempt(use):
    try:
        use()
    except Exception as error:
        print(type(error).__name__, error)
uses = [
    lambda: cutplan.get_cutplan(model, (torch.randn(3, 4),), {}),
    lambda: gatecal.TavrixPruningCalibrator(model),
    lambda: oprules.get_node_handler(None),
    lambda: oprules.configure(node_class=object),  # the engine's come together
]
for use in uses:
    attempt(use)
from tavrix.pruning import _wiring
print(len(cutplan.get_cutplan(model, (torch.randn(3, 4),), {}).prunable_groups))
attempt(lambda: importlib.reload(_wiring))
"""

# A calibrator as the first import of a process: no import cycle through the wiring.
_CALIBRATOR_FIRST = """
import torch
from tavrix.pruning.gatecal import TavrixPruningCalibrator
model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.ReLU(), torch.nn.Linear(8, 2))
calibrator = TavrixPruningCalibrator(model)
with calibrator:
    model(torch.randn(3, 4)).sum().backward()
print(len(calibrator.cutplan.prunable_groups))
"""


def _run(code):
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ)
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_the_package_configures_each_extension_once():
    expected = [
        "RuntimeError tavrix.pruning.cutplan is not configured",
        "RuntimeError tavrix.pruning.gatecal is not configured",
        "RuntimeError tavrix.pruning.engine.oprules is not configured",
        "TypeError configure: the engine's collaborators come together; missing tensor_info_class",
        "1",
        "RuntimeError tavrix.pruning.engine.oprules is configured already",
    ]
    lines = _run(_UNCONFIGURED)
    assert len(lines) == len(expected), lines
    assert all(line.startswith(start) for line, start in zip(lines, expected)), lines
    assert _run(_CALIBRATOR_FIRST) == ["1"]


@pytest.mark.parametrize(
    "call",
    [
        lambda: oprules.configure(MATMULS),  # named only
        lambda: oprules.configure(matmuls=[*MATMULS, "matmul"]),
        lambda: opcalls.configure(*range(11)),
        lambda: opcalls.configure_recorder(*range(7)),
    ],
    ids=["positional", "not-callable", "opcalls-positional", "recorder-positional"],
)
def test_bad_hand_overs_are_refused_and_keep_what_was_handed(call):
    with pytest.raises(TypeError):
        call()
    # the extended walk still ties x @ W.T to the layer's weight, and tracing still works
    model = made(SharedTransposedWeight(False))
    x = torch.randn(2, 4, 6)
    plan = analyse(model, x)
    assert [len(labels) for _, labels in plan.prunable_groups] == [10]
    cut_and_check(model, x, plan, {0: plan.prunable_groups[0][1][1::3]})


def _fields():
    return dict(
        graph=[],
        prunable_groups=[],
        unprunable_groups=[],
        labels_by_nodes={},
        node_users={},
        prunable_module_names_by_nodes={},
        gate_container=None,
        gate_names_by_nodes={},
        prunable_group_gate_names=[],
        ops_and_gate_names=[],
    )


def test_a_plan_declares_what_the_analysis_adds():
    bare = cp.ModelCutplan(**_fields())
    assert (bare.rule_record, bare.tensor_names) == (None, None)
    assert not hasattr(bare, "provenance")  # as with provenance off
    assert rules.plan_rule_set(bare) is rules.STANDARD
    with pytest.raises(ValueError, match="carries no provenance"):
        explain(bare)
    names = {1: "weight"}
    given = cp.ModelCutplan(*_fields().values(), tensor_names=names)
    assert given.tensor_names is names and vars(given)["tensor_names"] is names
    with pytest.raises(TypeError):  # keywords only: the ten positions stay as they are
        cp.ModelCutplan(*_fields().values(), None, names)

    model = nn.Sequential(nn.Conv2d(3, 8, 3), nn.ReLU(), nn.Flatten(), nn.Linear(8 * 36, 2))
    plan = cp.get_cutplan(model, (torch.randn(1, 3, 8, 8),), {})
    assert plan.rule_record.rule_set is rules.STANDARD
    assert sorted(plan.tensor_names.values()) == ["0.bias", "0.weight", "3.bias", "3.weight"]
    copied = pickle.loads(pickle.dumps(plan))
    assert explain(copied).records() == explain(plan).records()
    del copied.provenance, copied.rule_record
    assert not hasattr(copied, "provenance") and copied.rule_record is None

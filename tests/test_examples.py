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

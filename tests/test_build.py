import importlib

import pytest


@pytest.mark.parametrize(
    "name", ["tavrix.pruning.engine.oprules", "tavrix.pruning.cutplan", "tavrix.pruning.gatecal"]
)
def test_extension_modules_import(name):
    module = importlib.import_module(name)
    assert module.__name__ == name

"""The extensions' .pyi stubs say what the built modules hold (tools/check_stubs.py)."""

import importlib.util
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("check_stubs", ROOT / "tools" / "check_stubs.py")
check_stubs = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_stubs)


@pytest.mark.parametrize("module", check_stubs.EXTENSIONS)
def test_built_extension_matches_its_stub(module):
    assert check_stubs.check_module(module) == []


def test_pybind11_signature_line_is_read():
    from tavrix.pruning import cutplan, gatecal

    # nothing read would pass every comparison silently
    assert check_stubs._runtime_parameters(cutplan.get_cutplan, "get_cutplan") == [
        ("model", False, "pos"),
        ("args", False, "pos"),
        ("kwargs", False, "pos"),
        ("entry_point", True, "pos"),
    ]
    init = gatecal.TavrixPruningCalibrator.__init__
    assert check_stubs._runtime_parameters(init, "__init__") == [
        ("self", False, "pos"),
        ("model", False, "pos"),
        ("entry_point", True, "pos"),
    ]


MODULE = """
def f(a, b=1, *, c): ...
class K:
    def m(self, x): ...
    def extra(self): ...
hidden = 1
"""
STUB = """
from typing import TypeVar
_T = TypeVar("_T")
def f(a, b, *, c=2) -> None: ...
class K:
    def m(self, x, y) -> None: ...
    def gone(self) -> None: ...
missing: int
"""


def test_differences_are_each_reported(tmp_path, monkeypatch):
    (tmp_path / "fake_extension.py").write_text(MODULE)
    (tmp_path / "fake_extension.pyi").write_text(STUB)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "fake_extension", raising=False)
    problems = check_stubs.check_module("fake_extension")
    assert sorted(problems) == sorted(
        [
            "fake_extension.f: the stub takes (a, b, kw c=...), the module (a, b=..., kw c)",
            "fake_extension.K.m: the stub takes (self, x, y), the module (self, x)",
            "fake_extension.K.gone: in the stub, not in the class",
            "fake_extension.K.extra: in the class, not in the stub",
            "fake_extension.missing: in the stub, not in the module",
            "fake_extension.hidden: in the module, not in the stub",
            # TypeVar is imported by the stub, not a name of the module: the import is left alone
        ]
    ), problems

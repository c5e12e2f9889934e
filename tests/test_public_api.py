"""The names at ``tavrix``: the same objects as their deep paths, loaded on first use, typed by
the stub, and optional packages that fail with the extra to install."""

import ast
import importlib
import pathlib
import subprocess
import sys

import pytest
import tomllib

import tavrix
from tavrix import cli_models, cli_prune
from tavrix.utils.optional import MissingDependencyError, optional_import

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "tavrix"


@pytest.mark.parametrize("name", sorted(tavrix._EXPORTS))
def test_public_name_is_the_deep_paths_object(name):
    module_name, attribute = tavrix._EXPORTS[name]
    module = importlib.import_module(module_name)
    expected = module if attribute is None else getattr(module, attribute)
    assert getattr(tavrix, name) is expected
    assert name in tavrix.__all__ and name in dir(tavrix)


def test_every_public_name_has_a_docstring():
    # the API pages are built from them
    undocumented = [
        name
        for name in tavrix._EXPORTS
        if not isinstance(getattr(tavrix, name), (tuple, list, dict))
        and not (getattr(tavrix, name).__doc__ or "").strip()
    ]
    assert undocumented == []


def test_stub_declares_every_public_name():
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    declared = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.module != "typing":
            for alias in node.names:
                assert alias.asname == alias.name, "a stub re-export needs 'as' with its own name"
                declared.add(alias.name)
                # the stub imports each name from the module the package loads it from
                module, _ = tavrix._EXPORTS[alias.name]
                assert module in (node.module, f"{node.module}.{alias.name}")
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
    assert declared - {"__all__"} == set(tavrix.__all__)


def test_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="no attribute 'shrinkk'"):
        tavrix.shrinkk  # noqa: B018
    assert not hasattr(tavrix, "_no_such_name")


def _loaded_after(statement):
    code = (
        f"import sys; {statement}; "
        "print(' '.join(m for m in ('torch', 'transformers', 'timm', 'matplotlib', "
        "'torchvision') if m in sys.modules))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(ROOT / "src"), "PATH": "/usr/bin:/bin"},
        check=True,
    )
    return set(done.stdout.split())


def test_imports_stay_light():
    assert _loaded_after("import tavrix") == set()
    # a shrink of a model built without transformers or torchvision loads neither
    assert _loaded_after("import tavrix as tx; tx.shrink; tx.rules; tx.explain") == {"torch"}


def test_adapters_of_optional_packages_are_found_by_name():
    from tavrix.pruning.shrink import rules as shrink_rules
    from tavrix.pruning.shrink import transformer as shrink_transformer

    pytorch_utils = pytest.importorskip("transformers.pytorch_utils")
    vision_transformer = pytest.importorskip("torchvision.models.vision_transformer")
    assert (
        shrink_rules.adapter_for(pytorch_utils.Conv1D(4, 3)) is shrink_transformer._conv1d_adapter
    )
    vit = vision_transformer.VisionTransformer(32, 16, 1, 2, 8, 16, num_classes=3)
    assert shrink_rules.adapter_for(vit) is shrink_transformer._vision_transformer_adapter

    class Mine(pytorch_utils.Conv1D):  # a subclass finds its base's adapter
        pass

    assert shrink_rules.adapter_for(Mine(4, 3)) is shrink_transformer._conv1d_adapter


@pytest.mark.parametrize(
    "package, extra, call",
    [
        ("matplotlib", "plot", lambda: cli_prune.importance_figure([])),
        ("timm", "timm", lambda: cli_models.load_model("timm:resnet18")),
        ("transformers", "hf", lambda: cli_models.load_model("hf:gpt2")),
    ],
)
def test_missing_optional_package_names_its_extra(monkeypatch, package, extra, call):
    for name in list(sys.modules):
        if name == package or name.startswith(package + "."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, package, None)  # as if not installed
    with pytest.raises((MissingDependencyError, ValueError), match=rf"tavrix\[{extra}\]"):
        call()


def test_missing_dependency_of_an_installed_package_propagates(monkeypatch, tmp_path):
    # an installed package whose own import fails says so, not "install the extra"
    (tmp_path / "tavrix_fake_optional.py").write_text("import tavrix_missing_inner\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ModuleNotFoundError) as caught:
        optional_import("tavrix_fake_optional", "a feature")
    assert not isinstance(caught.value, MissingDependencyError)
    with pytest.raises(MissingDependencyError, match=r"a feature needs tavrix_absent_package"):
        optional_import("tavrix_absent_package.sub", "a feature")


def test_version_has_one_source():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    (source,) = [
        entry for entry in project["tool"]["dynamic-metadata"] if entry["field"] == "version"
    ]
    text = (ROOT / source["input"]).read_text()
    assert f'__version__ = "{tavrix.__version__}"' in text

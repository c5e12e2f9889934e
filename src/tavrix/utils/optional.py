"""Optional dependencies: imported when a feature needs them, with the extra that installs them."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["EXTRAS", "MissingDependencyError", "missing_text", "optional_import"]

#: top-level module -> the extra of ``pip install tavrix[...]`` that brings it
EXTRAS = {"matplotlib": "plot", "transformers": "hf", "timm": "timm"}


class MissingDependencyError(ImportError):
    """A feature needs an optional package that is not installed."""


def missing_text(name: str, needed_by: str) -> str:
    top = name.split(".", 1)[0]
    extra = EXTRAS.get(top)
    hint = f"pip install 'tavrix[{extra}]'" if extra else f"pip install {top}"
    return f"{needed_by} needs {top}, which is not installed ({hint})"


def optional_import(name: str, needed_by: str) -> ModuleType:
    """``importlib.import_module(name)``; a missing package raises MissingDependencyError naming
    the feature and the extra to install. An error inside an installed package propagates."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        missing = error.name or ""
        if missing and not (name == missing or name.startswith(missing + ".")):
            raise  # the package is there; something it imports is not
        raise MissingDependencyError(missing_text(name, needed_by), name=name) from None

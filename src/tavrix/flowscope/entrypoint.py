"""The function a dotted entry point ("forward", "head.forward") names in a model.

The tracer, the calibrator (which also redirects the entry point while its block is
active) and the shrink check with the recovery all call a model through such a name; they
resolve it here, so that a name means the same thing and fails with the same words
everywhere.
"""

from __future__ import annotations

from typing import Any, Callable, NamedTuple

__all__ = ["EntryPoint", "resolve_entry_point"]


class EntryPoint(NamedTuple):
    """A resolved entry point."""

    #: the object holding the function: the model or one of its sub-modules
    owner: Any
    #: the function's attribute name on ``owner``
    name: str
    #: dotted path of ``owner`` from the model ("" for the model itself)
    owner_path: str
    #: ``getattr(owner, name)``
    function: Callable[..., Any]


_MISSING = object()


def _lookup(owner: Any, name: str) -> Any:
    # a property that raises anything (not only AttributeError) holds no entry point
    try:
        return getattr(owner, name)
    except Exception:
        return _MISSING


def _missing(what: str, item: str, parent: str, caller: str) -> str:
    where = f' in submodule "{parent}" of' if parent else " in"
    return f'No such {what} "{item}"{where} the model passed to {caller}'


def resolve_entry_point(model: Any, entry_point: Any, caller: str) -> EntryPoint:
    """Resolve ``entry_point``, a dotted attribute path from ``model`` whose last item is
    callable. ``caller`` names the function the model was passed to, in the messages.

    Raises TypeError for a path that is no string, ValueError naming the first missing
    item otherwise (an attribute that cannot be called is no function)."""
    if not isinstance(entry_point, str):
        raise TypeError("entry_point should be a string")
    if not entry_point:
        raise ValueError("entry_point is an empty string")
    *path, name = entry_point.split(".")
    owner, parent = model, ""
    for item in path:
        found = _lookup(owner, item)
        if found is _MISSING:
            raise ValueError(_missing("module", item, parent, caller))
        owner, parent = found, f"{parent}.{item}" if parent else item
    function = _lookup(owner, name)
    if function is _MISSING or not callable(function):
        raise ValueError(_missing("function", name, parent, caller))
    return EntryPoint(owner, name, parent, function)

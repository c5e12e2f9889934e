"""What model code does with a shape it reads: ``B, N, C = x.shape`` hands each size to a
name, and a name the function never reads again hands its size to nothing.

Read from the source of the function at a node's ``location`` (provenance on); anything not
plainly of that form, or whose source cannot be read, counts as used.
"""

from __future__ import annotations

import ast
import linecache
import threading
from typing import Any, Dict, List, Optional, Tuple

import torch

__all__ = ["unpacked_size_unused"]

_SHAPE_GET = torch.Tensor.shape.__get__  # type: ignore[attr-defined]
# calls that can read a function's locals by name
_LOCALS_READERS = frozenset(["locals", "vars", "eval", "exec"])


class _Source:
    """One file's parsed source: its size reads by line and their enclosing functions."""

    def __init__(self, tree: ast.Module) -> None:
        # line -> number of .shape / .size reads written on it
        self.reads_on_line: Dict[int, int] = {}
        # line -> (the one-line assignment starting there, its innermost function)
        self.assigns: Dict[int, Tuple[ast.Assign, Optional[ast.AST]]] = {}
        self._visit(tree, None)

    def _visit(self, node: ast.AST, function: Optional[ast.AST]) -> None:
        pending: List[Tuple[ast.AST, Optional[ast.AST]]] = [(node, function)]
        while pending:
            current, inside = pending.pop()
            if isinstance(current, ast.Attribute) and current.attr in ("shape", "size"):
                line = current.end_lineno or current.lineno
                self.reads_on_line[line] = self.reads_on_line.get(line, 0) + 1
            if isinstance(current, ast.Assign) and current.lineno == current.end_lineno:
                self.assigns[current.lineno] = (current, inside)
            if isinstance(current, (ast.FunctionDef, ast.AsyncFunctionDef)):
                inside = current
            pending.extend((child, inside) for child in ast.iter_child_nodes(current))


class _Sources(threading.local):
    def __init__(self) -> None:
        self.parsed: Dict[str, Optional[_Source]] = {}
        # (file, function line, name) -> whether the function reads the name
        self.loaded: Dict[Tuple[str, int, str], bool] = {}


_SOURCES = _Sources()


def _source(filename: str) -> Optional[_Source]:
    if filename not in _SOURCES.parsed:
        text = "".join(linecache.getlines(filename))
        try:
            found: Optional[_Source] = _Source(ast.parse(text)) if text else None
        except (SyntaxError, ValueError):
            found = None
        _SOURCES.parsed[filename] = found
    return _SOURCES.parsed[filename]


def _reads_name(function: ast.AST, name: str) -> bool:
    """Whether the function (nested functions and comprehensions included) may read ``name``."""
    for node in ast.walk(function):
        if isinstance(node, ast.Name):
            if node.id == name and not isinstance(node.ctx, ast.Store):
                return True
            if node.id in _LOCALS_READERS and isinstance(node.ctx, ast.Load):
                return True
        elif isinstance(node, (ast.Global, ast.Nonlocal)) and name in node.names:
            return True
    return False


def _is_full_size_read(node: Any) -> bool:
    """``x.shape`` or ``x.size()``: every axis's size."""
    if node.operation is torch.Tensor.size:
        return len(node.args) == 1 and not node.kwargs
    return bool(node.operation == _SHAPE_GET)


def unpacked_size_unused(node: Any, axis: int, rank: int) -> bool:
    """Whether the metadata read ``node`` of a rank-``rank`` tensor is unpacked into names on
    one line (``B, N, C = x.shape``, the only size read of that line) and the name taking
    ``axis``'s size is never read by the function that unpacks it."""
    location = getattr(node, "location", None)
    if location is None or not _is_full_size_read(node) or not 0 <= axis < rank:
        return False
    filename, line, function_name = location
    source = _source(filename)
    if source is None or source.reads_on_line.get(line) != 1 or line not in source.assigns:
        return False
    assign, function = source.assigns[line]
    if not isinstance(function, (ast.FunctionDef, ast.AsyncFunctionDef)):
        return False
    if function.name != str(function_name).rsplit(".", 1)[-1]:
        return False
    value = assign.value
    if isinstance(value, ast.Call):
        if value.args or value.keywords:
            return False
        value = value.func
    attribute = "size" if node.operation is torch.Tensor.size else "shape"
    if not isinstance(value, ast.Attribute) or value.attr != attribute:
        return False
    if len(assign.targets) != 1:
        return False
    target = assign.targets[0]
    if not isinstance(target, (ast.Tuple, ast.List)) or len(target.elts) != rank:
        return False
    if not all(isinstance(e, ast.Name) for e in target.elts):
        return False  # a starred or attribute target
    name = target.elts[axis].id  # type: ignore[attr-defined]
    key = (filename, function.lineno, name)
    if key not in _SOURCES.loaded:
        _SOURCES.loaded[key] = _reads_name(function, name)
    return not _SOURCES.loaded[key]

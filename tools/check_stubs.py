"""Check the extension modules' .pyi stubs against the built modules.

For every extension: the stub and the module define the same top-level names; each class has
the same own members in both; each function and method takes the same parameters, in the same
order, with defaults in the same places (read off the signature line pybind11 writes at the top
of each docstring). What pybind11 itself adds to every module and class is allowed.

    PYTHONPATH=src python tools/check_stubs.py        # exit status 1 and one line per difference
"""

from __future__ import annotations

import ast
import collections.abc
import importlib
import inspect
import pathlib
import sys
from typing import Dict, List, Optional, Sequence, Set, Tuple

# the same splitting as the command line's key=value lists: commas outside brackets and quotes
from tavrix.cli_models import _split_top_level

EXTENSIONS = (
    "tavrix.flowscope.frames",
    "tavrix.flowscope.opcalls",
    "tavrix.pruning.engine.oprules",
    "tavrix.pruning.cutplan",
    "tavrix.pruning.gatecal",
)

# what every pybind11 module and class carries without the stub declaring it
MODULE_NOISE = {
    "__doc__",
    "__file__",
    "__loader__",
    "__name__",
    "__package__",
    "__spec__",
    "__builtins__",
    "__cached__",
}
CLASS_NOISE = {
    "__dict__",
    "__doc__",
    "__module__",
    "__qualname__",
    "__weakref__",
    "__annotations__",
    "_pybind11_conduit_v1_",
    "__firstlineno__",
    "__static_attributes__",
    # the classes C++ builds with type(...) get these from their namespace; a stub leaves them
    # to object's
    "__init__",
    "__repr__",
    "__str__",
    "__hash__",
    "__name__",
}

# known differences, each with its reason
ALLOWED: Set[str] = set()

# (parameter name, has a default, kind): kind "pos", "kw" (keyword-only), "*" or "**"
# (variadic ones unnamed: a stub may call them anything)
Parameters = List[Tuple[str, bool, str]]


def _stub_parameters(function: ast.FunctionDef) -> Parameters:
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    first_default = len(positional) - len(arguments.defaults)
    found: Parameters = [(a.arg, i >= first_default, "pos") for i, a in enumerate(positional)]
    if arguments.vararg is not None:
        found.append(("", False, "*"))
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        found.append((argument.arg, default is not None, "kw"))
    if arguments.kwarg is not None:
        found.append(("", False, "**"))
    return found


def _runtime_parameters(obj: object, name: str) -> Optional[Parameters]:
    """The parameters of a function of the built module, or None when nothing says them (an
    overloaded pybind11 function, a Python callable without a signature)."""
    try:
        signature = inspect.signature(obj)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        signature = None
    if signature is not None:
        found: Parameters = []
        for parameter in signature.parameters.values():
            kind = {
                inspect.Parameter.VAR_POSITIONAL: "*",
                inspect.Parameter.VAR_KEYWORD: "**",
                inspect.Parameter.KEYWORD_ONLY: "kw",
            }.get(parameter.kind, "pos")
            name = "" if kind in ("*", "**") else parameter.name
            found.append((name, parameter.default is not inspect.Parameter.empty, kind))
        return found
    first_line = (getattr(obj, "__doc__", None) or "").split("\n", 1)[0]
    head = f"{name}("
    start = first_line.find(head)
    if start < 0 or "Overloaded function" in first_line:
        return None
    inner = first_line[start + len(head) :]
    depth, end = 1, 0
    while end < len(inner):
        depth += {"(": 1, ")": -1}.get(inner[end], 0)
        if depth == 0:
            break
        end += 1
    found = []
    kind = "pos"
    for part in _split_top_level(inner[:end]):
        before_default, _, default = part.partition("=")
        name = before_default.split(":", 1)[0].strip()
        if name in ("*", "/"):
            kind = "kw" if name == "*" else kind
            continue
        if name.startswith("**"):
            found.append(("", False, "**"))
        elif name.startswith("*"):
            found.append(("", False, "*"))
            kind = "kw"
        else:
            found.append((name, bool(default), kind))
    return found


def _compare_function(
    where: str, stub: ast.FunctionDef, runtime: object, name: str, problems: List[str]
) -> None:
    found = _runtime_parameters(runtime, name)
    if found is None or where in ALLOWED:
        return
    expected = _stub_parameters(stub)
    if expected != found:
        problems.append(f"{where}: the stub takes {_text(expected)}, the module {_text(found)}")


def _text(parameters: Parameters) -> str:
    shown = []
    for name, default, kind in parameters:
        shown.append(
            {"*": "*args", "**": "**kwargs"}.get(
                kind, ("kw " if kind == "kw" else "") + name + ("=..." if default else "")
            )
        )
    return "(" + ", ".join(shown) + ")"


def _stub_names(body: Sequence[ast.stmt]) -> Dict[str, ast.stmt]:
    names: Dict[str, ast.stmt] = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            # an @overload'ed name keeps its first declaration
            names.setdefault(node.name, node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node
    return names


def _stub_only_alias(node: ast.stmt, name: str) -> bool:
    """A private type alias or TypeVar the stub uses for its annotations."""
    return name.startswith("_") and isinstance(node, (ast.Assign, ast.AnnAssign))


def check_module(module_name: str) -> List[str]:
    module = importlib.import_module(module_name)
    stub_path = pathlib.Path(module.__file__).with_name(module_name.rsplit(".", 1)[-1] + ".pyi")
    if not stub_path.exists():
        return [f"{module_name}: no stub {stub_path.name}"]
    declared = _stub_names(ast.parse(stub_path.read_text()).body)
    problems: List[str] = []
    present = set(vars(module)) - MODULE_NOISE
    for name, node in declared.items():
        if name not in present:
            if not _stub_only_alias(node, name):
                problems.append(f"{module_name}.{name}: in the stub, not in the module")
            continue
        runtime = getattr(module, name)
        where = f"{module_name}.{name}"
        if isinstance(node, ast.FunctionDef):
            _compare_function(where, node, runtime, name, problems)
        elif isinstance(node, ast.ClassDef) and isinstance(runtime, type):
            _check_class(where, node, runtime, problems)
    for name in sorted(present - set(declared)):
        problems.append(f"{module_name}.{name}: in the module, not in the stub")
    return problems


def _inherited(node: ast.ClassDef) -> Set[str]:
    """Members the stub's bases from collections.abc (Mapping, ...) declare."""
    names: Set[str] = set()
    for base in node.bases:
        base_name = ast.unparse(base.value if isinstance(base, ast.Subscript) else base)
        found = getattr(collections.abc, base_name.rsplit(".", 1)[-1], None)
        if isinstance(found, type):
            names |= set(dir(found))
    return names


def _check_class(where: str, node: ast.ClassDef, cls: type, problems: List[str]) -> None:
    declared = _stub_names(node.body)
    own = set(vars(cls)) - CLASS_NOISE - _inherited(node)
    for name, member in declared.items():
        if name in CLASS_NOISE:
            continue
        if name not in own:
            # an attribute the instances set, or one inherited: fine when the class has it at all
            if isinstance(member, ast.FunctionDef) and not hasattr(cls, name):
                problems.append(f"{where}.{name}: in the stub, not in the class")
            continue
        if isinstance(member, ast.FunctionDef):
            runtime = vars(cls)[name]
            if isinstance(runtime, (staticmethod, classmethod)):
                runtime = runtime.__func__
            if isinstance(runtime, property):
                continue
            _compare_function(f"{where}.{name}", member, runtime, name, problems)
    for name in sorted(own - set(declared)):
        problems.append(f"{where}.{name}: in the class, not in the stub")


def main(argv: Sequence[str]) -> int:
    problems = [p for name in (argv or EXTENSIONS) for p in check_module(name)]
    for problem in problems:
        print(problem)
    if not problems:
        print(f"stubs match: {', '.join(argv or EXTENSIONS)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

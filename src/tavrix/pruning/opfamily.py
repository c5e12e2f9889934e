"""The registry of operation families: what each phase knows about an operation, in one object.

An :class:`OpFamily` names its operations and holds, for the rule set it belongs to, how the
walk labels them (a handler of the label engine by name, or a Python handler), how the shrink
cuts them, how the check's masked original recomputes them, the attributes of the modules they
resize, and where coverage finds their layer channels. :func:`register` files one family in
every phase at once; the tables below are the registry's indexes, read per node by the shrink,
the check and coverage, and are never written by hand.

This module imports nothing of the phases, so that every phase can read it; the families
themselves live in :mod:`tavrix.pruning.ops`, which registers them in an explicit order.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple, Union

from torch import nn

from tavrix.pruning.engine import oprules

__all__ = [
    "OpFamily",
    "RULE_SETS",
    "register",
    "unregister",
    "families",
    "forms",
]

RULE_SETS = ("standard", "extended")

Shape = Tuple[int, ...]
ModuleAdapter = Callable[[nn.Module, Dict[str, Shape], Dict[str, Any]], Dict[str, Any]]
LabelHandler = Callable[[Any, Any], None]


@dataclass(frozen=True, eq=False)
class OpFamily:
    """One family of operations and everything the phases need of it.

    ``label`` is the name of a handler of :mod:`tavrix.pruning.engine.oprules` (its C++
    handlers) or a Python callable ``handler(pruning_state, node)``; None leaves the labelling
    to another family (a family that only adds a replay). ``cut`` is a
    :class:`tavrix.pruning.shrink.rules.ShrinkRule`. ``masked_replay(call, axis, kept,
    result)`` recomputes a node that loses channels in the check's masked original (a
    normalisation over them); ``input_replay(call, node, input_mask, result)`` one whose result
    depends on what its inputs lose. ``adapters`` map module types to the attributes their
    constructor takes after a cut; ``fallback_adapter`` serves module types without one under
    this rule set. ``layer_axis`` makes coverage count the operation's output channels along
    that axis; ``weight_argument`` (position, keyword) names the argument holding a layer
    module's weight whose rows make the operation's channels.
    """

    name: str
    operations: Tuple[Any, ...]
    rule_set: str = "standard"
    label: Union[str, LabelHandler, None] = None
    cut: Any = None
    masked_replay: Optional[Callable[..., Any]] = None
    input_replay: Optional[Callable[..., Any]] = None
    #: module type, or "module.QualName" for a class of an optional package (found by name,
    #: so that registering it does not import the package)
    adapters: Mapping[Any, ModuleAdapter] = field(default_factory=dict)
    fallback_adapter: Optional[ModuleAdapter] = None
    layer_axis: Optional[int] = None
    weight_argument: Optional[Tuple[int, str]] = None
    #: ``whole_heads(pruning_state, node)`` after an extended walk with ``split="largest"``:
    #: the reshape nodes that should split into whole heads for this node (an attention
    #: whose head_dim positions came out all pinned); the walk then runs again so
    whole_heads: Optional[Callable[[Any, Any], Sequence[Any]]] = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name:
            raise TypeError(f"an operation family needs a name, got {self.name!r}")
        operations = self.operations
        if not isinstance(operations, (list, tuple, set, frozenset)):
            operations = (operations,)
        object.__setattr__(self, "operations", tuple(operations))
        object.__setattr__(self, "adapters", dict(self.adapters))
        if self.rule_set not in RULE_SETS:
            raise ValueError(
                f"rule_set must be one of {', '.join(map(repr, RULE_SETS))}, got {self.rule_set!r}"
            )
        if isinstance(self.label, str) and not callable(getattr(oprules, self.label, None)):
            raise ValueError(f"the label engine has no handler named {self.label!r}")
        if self.label is not None and not isinstance(self.label, str) and not callable(self.label):
            raise TypeError(f"label must be a handler name or a callable, got {self.label!r}")
        for module_type in self.adapters:
            if isinstance(module_type, str) and "." in module_type:
                continue
            if not (isinstance(module_type, type) and issubclass(module_type, nn.Module)):
                raise TypeError(f"expected a torch.nn.Module subclass, got {module_type!r}")

    def label_handler(self) -> Optional[LabelHandler]:
        """The handler object the walk calls for this family's operations."""
        return getattr(oprules, self.label) if isinstance(self.label, str) else self.label


# ----------------------------------------------------------------------- indexes

#: operation -> cut, per rule set (an extended plan consults its own first)
SHRINK_RULES: Dict[Any, Any] = {}
EXTENDED_SHRINK_RULES: Dict[Any, Any] = {}
_CUTS = {"standard": SHRINK_RULES, "extended": EXTENDED_SHRINK_RULES}
#: module type -> adapter (subclasses use their nearest registered base)
MODULE_ADAPTERS: Dict[type, ModuleAdapter] = {}
#: "module.QualName" -> adapter, for classes of optional packages (transformers takes seconds
#: to import, whether or not a model uses it)
MODULE_ADAPTERS_BY_NAME: Dict[str, ModuleAdapter] = {}
#: rule set -> adapter for module types without one of their own
FALLBACK_ADAPTERS: Dict[str, ModuleAdapter] = {}
MASKED_REPLAYS: Dict[Any, Callable[..., Any]] = {}
INPUT_REPLAYS: Dict[Any, Callable[..., Any]] = {}
#: operation -> axis of its output channels (negative counts from the end), for coverage
LAYER_CHANNEL_AXES: Dict[Any, int] = {}
#: operation -> (position, keyword) of the argument holding a layer module's weight
LAYER_WEIGHT_ARGUMENTS: Dict[Any, Tuple[int, str]] = {}
#: operation -> its family's ``whole_heads``, for the label walk
WHOLE_HEAD_SPLITS: Dict[Any, Callable[[Any, Any], Sequence[Any]]] = {}

_FAMILIES: Dict[str, OpFamily] = {}
#: family name -> the (table, key) entries its registration added, for unregister
_FILED: Dict[str, list] = {}
_LABELS = {
    "standard": oprules.PRUNING_NODE_HANDLER_REGISTRY,
    "extended": oprules.EXTENDED_NODE_HANDLER_REGISTRY,
}


def families() -> Tuple[OpFamily, ...]:
    """The registered families, in registration order."""
    return tuple(_FAMILIES.values())


def _conflicts(table: Mapping[Any, Any], keys: Any, value: Any, what: str) -> None:
    for key in keys:
        known = table.get(key)
        if known is not None and known is not value and known != value:
            raise ValueError(f"{what} for {key!r} is already registered")


def _adapters_for(key: Any) -> Dict[Any, ModuleAdapter]:
    return MODULE_ADAPTERS_BY_NAME if isinstance(key, str) else MODULE_ADAPTERS


def _per_operation(family: OpFamily) -> list:
    """The check and coverage indexes and what ``family`` files in each, per operation."""
    return [
        (MASKED_REPLAYS, family.masked_replay),
        (INPUT_REPLAYS, family.input_replay),
        (LAYER_CHANNEL_AXES, family.layer_axis),
        (LAYER_WEIGHT_ARGUMENTS, family.weight_argument),
        (WHOLE_HEAD_SPLITS, family.whole_heads),
    ]


def register(family: OpFamily) -> OpFamily:
    """File ``family`` in every phase: the label walk of its rule set, the shrink, the check
    and coverage. Everything is checked before anything is filed, so a refused family leaves
    the registry as it was. Returns the family."""
    if not isinstance(family, OpFamily):
        raise TypeError(f"expected an OpFamily, got {type(family).__name__}")
    known = _FAMILIES.get(family.name)
    if known is family:
        return family
    if known is not None:
        raise ValueError(f"an operation family named {family.name!r} is already registered")
    ops = family.operations
    try:
        for op in ops:
            hash(op)
    except TypeError:
        raise TypeError(f"operations of {family.name!r} must be hashable, got {op!r}") from None
    handler = family.label_handler()
    labels = _LABELS[family.rule_set]
    if handler is not None:
        # the registry's own message, raised before anything is filed
        for op in ops:
            known_handler = labels.get(op)
            if known_handler is not None and known_handler is not handler:
                raise ValueError(f"Pruning handler for node {op!r} has already been registered")
    if family.cut is not None:
        _conflicts(_CUTS[family.rule_set], ops, family.cut, "a shrink rule")
    for key in family.adapters:
        _conflicts(_adapters_for(key), (key,), None, "an adapter")
    if family.fallback_adapter is not None:
        _conflicts(
            FALLBACK_ADAPTERS, (family.rule_set,), family.fallback_adapter, "a fallback adapter"
        )
    for table, value in _per_operation(family):
        if value is not None:
            _conflicts(table, ops, value, "a check replay or layer axis")
    _file(family, ops, handler, labels)
    return family


def _file(family: OpFamily, ops: Tuple[Any, ...], handler: Any, labels: Dict[Any, Any]) -> None:
    filed: list = []
    if handler is not None:
        missing = [op for op in ops if op not in labels]
        if missing:
            register_label = (
                oprules._register_node_handler
                if family.rule_set == "standard"
                else oprules._register_extended_node_handler
            )
            register_label(missing)(handler)
            filed += [(labels, op) for op in missing]
    entries = [(_CUTS[family.rule_set], op, family.cut) for op in ops]
    entries += [(_adapters_for(key), key, adapter) for key, adapter in family.adapters.items()]
    entries.append((FALLBACK_ADAPTERS, family.rule_set, family.fallback_adapter))
    entries += [(table, op, value) for table, value in _per_operation(family) for op in ops]
    for table, key, value in entries:
        if value is not None and key not in table:
            table[key] = value
            filed.append((table, key))
    _FAMILIES[family.name] = family
    _FILED[family.name] = filed


def unregister(family: OpFamily) -> None:
    """Take ``family`` out of every phase again: the entries its registration added (those
    that were there before stay)."""
    if _FAMILIES.get(family.name) is not family:
        raise ValueError(f"the operation family {family.name!r} is not registered")
    for table, key in _FILED.pop(family.name):
        table.pop(key, None)
    del _FAMILIES[family.name]


def optional_adapter(module: str, name: str, adapter: ModuleAdapter) -> Dict[str, ModuleAdapter]:
    """``adapter`` for class ``name`` of ``module`` (an optional dependency), found by the
    class's qualified name: nothing is imported."""
    return {f"{module}.{name}": adapter}


def forms(*names: str, functional: bool = False) -> Tuple[Any, ...]:
    """The torch function and tensor method of each name (and ``torch.nn.functional``'s, first,
    with ``functional``), those that exist, each once."""
    import torch
    import torch.nn.functional as F

    owners = ((F,) if functional else ()) + (torch, torch.Tensor)
    out: list = []
    for name in names:
        for owner in owners:
            op = getattr(owner, name, None)
            if op is not None and not any(op is seen for seen in out):
                out.append(op)
    return tuple(out)

"""What the shrink rules read: the plan's labels and axes per node, and the model's tensors.

A removed label disappears from every position that carries it. For a node
the kept positions along its prune axis follow from its labels alone, so a
module's input and output slices are read off the labels of its node's input
and output; this works unchanged through concatenations, flattens and
depthwise convolutions that share their input's labels.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import (
    Any,
    Callable,
    Dict,
    FrozenSet,
    Iterable,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
)

import torch

from tavrix.flowscope.intercept import METADATA_GET
from tavrix.flowscope.replay import operation_text
from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.engine.graphwalk import PruneGraphParser
from tavrix.pruning.engine.oprules import ChannelLabels
from tavrix.pruning.engine.ruleset import STANDARD, RuleRecord, RuleSet, use_rule_set
from tavrix.utils.argpick import get_argument

__all__ = [
    "ShrinkError",
    "TensorPlace",
    "OwnedTensor",
    "GraphAxes",
    "CutContext",
    "node_text",
    "tensor_owners",
    "plan_owners",
    "shape_of",
    "walked_record",
]


class ShrinkError(ValueError):
    """The model cannot be shrunk as asked; nothing of it was changed."""


def node_text(node: Any) -> str:
    return f"node {node.unique_name} ({operation_text(node.operation)})"


@dataclass(frozen=True)
class TensorPlace:
    """One place a tensor is registered at: ``module._parameters[name]`` or ``_buffers``."""

    module_name: str
    module: torch.nn.Module
    name: str
    is_parameter: bool

    @property
    def qualified_name(self) -> str:
        return f"{self.module_name}.{self.name}" if self.module_name else self.name


@dataclass(frozen=True)
class OwnedTensor:
    """A parameter or buffer of the model, with every place it is registered at."""

    tensor: torch.Tensor
    places: Tuple[TensorPlace, ...]

    @property
    def name(self) -> str:
        return self.places[0].qualified_name

    @property
    def module_name(self) -> str:
        return self.places[0].module_name


def _parametrized(owned: "OwnedTensor") -> bool:
    """Whether ``owned`` is the source tensor of a parametrized weight: parametrize-based
    (``conv.parametrizations.weight.original0``) or the legacy weight_norm / spectral_norm
    hooks (``weight_g``/``weight_v``, ``weight_orig``, with ``weight`` computed)."""
    place = owned.places[0]
    if ".parametrizations." in f".{place.module_name}.":
        return True
    for suffix in ("_g", "_v", "_orig"):
        if place.name.endswith(suffix):
            computed = place.name[: -len(suffix)]
            module = place.module
            return computed not in module._parameters and hasattr(module, computed)
    return False


def tensor_owners(model: torch.nn.Module) -> Dict[int, OwnedTensor]:
    """id(tensor) -> the tensor and its places, for every parameter and buffer."""
    places: Dict[int, List[TensorPlace]] = {}
    tensors: Dict[int, torch.Tensor] = {}
    for module_name, module in model.named_modules():
        for registry, is_parameter in ((module._parameters, True), (module._buffers, False)):
            for name, tensor in registry.items():
                if tensor is None:
                    continue
                tensors[id(tensor)] = tensor
                places.setdefault(id(tensor), []).append(
                    TensorPlace(module_name, module, name, is_parameter)
                )
    return {key: OwnedTensor(tensors[key], tuple(found)) for key, found in places.items()}


def plan_owners(
    model: torch.nn.Module, names: Optional[Mapping[int, str]]
) -> Dict[int, OwnedTensor]:
    """The model's tensors under the ids the plan recorded them by: found by name when the plan
    holds the analysed model's names (so a copy of that model, or any model with its names,
    is cut alike), else by identity."""
    owners = tensor_owners(model)
    if not names:
        return owners
    by_name = {place.qualified_name: owned for owned in owners.values() for place in owned.places}
    found: Dict[int, OwnedTensor] = {}
    for uid, name in names.items():
        owned = by_name.get(name)
        if owned is not None:
            found[uid] = owned
    return found


def walked_record(graph: Sequence[Any]) -> Tuple[RuleRecord, Mapping[Any, Sequence[int]]]:
    """The rule record and the labels of a walk of ``graph`` with the standard rules: what a
    plan made by hand, which keeps no record, is read with."""
    parser = PruneGraphParser()
    with warnings.catch_warnings(), use_rule_set(STANDARD):
        # the analysis already reported these
        warnings.simplefilter("ignore")
        labels = parser.find_prunable_groups(graph)[2]
    assert parser.rule_record is not None
    return parser.rule_record, labels


class GraphAxes:
    """Labels and prune axes of every node of a plan's graph, and what the walk decided.

    The plan keeps the labels, and the record of the walk that made it
    (``plan.rule_record``): its rule set, prune axes, each node's handler and
    the branch it took, and the piece shapes of tuple-valued nodes. The rules
    read the walk's decisions from here (:meth:`CutContext.decision`,
    :meth:`shape_of`) rather than deciding again. A plan without that record
    (made by hand) gets one from walking its graph again with the standard
    rules, which must hand out the same labels (this is checked, so a plan
    made with other handlers is refused).
    """

    def __init__(self, plan: ModelCutplan) -> None:
        for attribute in ("graph", "prunable_groups", "labels_by_nodes"):
            if not hasattr(plan, attribute):
                raise TypeError(
                    f"expected a ModelCutplan, got {type(plan).__name__} without {attribute!r}"
                )
        self.graph: List[Any] = list(plan.graph)
        #: id of each tensor of the analysed model -> its name (None for a plan made by hand)
        self.tensor_names: Optional[Dict[int, str]] = plan.tensor_names
        plan_labels = plan.labels_by_nodes
        record = plan.rule_record
        walked_labels: Any = None
        if record is None:
            record, walked_labels = walked_record(self.graph)
        self.record: RuleRecord = record
        self.rule_set: RuleSet = record.rule_set
        #: node -> the branch its handler took (only nodes whose handler names one)
        self.decisions: Mapping[Any, str] = record.decisions
        #: node -> the name of the handler that labelled it
        self.handlers: Mapping[Any, str] = record.handlers
        #: tuple-valued node whose pieces are alike -> a piece's shape
        self.piece_shapes: Mapping[Any, Tuple[int, ...]] = record.piece_shapes
        walked_dims = record.prune_dimension_by_nodes
        self.labels: Dict[Any, Sequence[int]] = {}
        self.axes: Dict[Any, Optional[int]] = {}
        #: per node: the nodes among its arguments (once each) and the tensors no node made
        self.inputs: Dict[Any, List[Any]] = {}
        self.tensors: Dict[Any, List[TensorInfo]] = {}
        # nodes with equal labels share one sequence, so that work per label list is done
        # once; an analysis hands them out shared already (immutable ChannelLabels)
        interned: Dict[Tuple[int, ...], Sequence[int]] = {}
        for node in self.graph:
            self.inputs[node], self.tensors[node] = _arguments(node)
            found = plan_labels.get(node, ())
            shared = type(found) is ChannelLabels
            labels: Sequence[int] = found if shared else list(found)
            if walked_labels is not None and labels != list(walked_labels.get(node, ())):
                raise ValueError(
                    f"the plan's labels of {node_text(node)} cannot be reproduced from its "
                    "graph: was the plan made with other node handlers?"
                )
            self.labels[node] = labels if shared else interned.setdefault(tuple(labels), labels)
            self.axes[node] = _normalised_axis(walked_dims.get(node), self.shape_of(node))
        self._places: Optional[Dict[int, int]] = None
        self._shape_reads: Optional[List[Tuple[int, Optional[str], Sequence[int]]]] = None

    def shape_of(self, value: Any) -> Optional[Tuple[int, ...]]:
        """:func:`shape_of` with the walk's piece shapes."""
        return shape_of(value, self.piece_shapes)

    def place(self, node: Any) -> int:
        """The node's position in the graph (the graph's length for a node not in it)."""
        if self._places is None:
            self._places = {id(n): i for i, n in enumerate(self.graph)}
        return self._places.get(id(node), len(self.graph))

    def shape_reads(self) -> List[Tuple[int, Optional[str], Sequence[int]]]:
        """(place, module path, labels) of each read of a labelled node's shape, in graph
        order."""
        if self._shape_reads is None:
            self._shape_reads = [
                (place, read.module_path, self.labels[read.args[0]])
                for place, read in enumerate(self.graph)
                if read.operation_name == METADATA_GET
                and read.args
                and isinstance(read.args[0], NodeInfo)
                and self.labels.get(read.args[0])
            ]
        return self._shape_reads


def _arguments(node: Any) -> Tuple[List[Any], List[TensorInfo]]:
    nodes: List[Any] = []
    tensors: List[TensorInfo] = []
    seen = set()
    pending = [*node.args, *node.kwargs.values()]
    pending.reverse()
    while pending:
        value = pending.pop()
        cls = type(value)
        if cls is NodeInfo or isinstance(value, NodeInfo):
            if id(value) not in seen:
                seen.add(id(value))
                nodes.append(value)
        elif cls is TensorInfo or isinstance(value, TensorInfo):
            tensors.append(value)
        elif cls is tuple or cls is list:
            pending.extend(reversed(value))
        elif cls is dict:
            pending.extend(reversed(list(value.values())))
    return nodes, tensors


def shape_of(value: Any, piece_shapes: Mapping[Any, Tuple[int, ...]]) -> Optional[Tuple[int, ...]]:
    """The shape of a tensor or of a node's result; of each piece for a tuple-valued node
    whose pieces are alike (``q, k, v = qkv.unbind(0)``), as the walk recorded it
    (``piece_shapes``: the rule record's). None when unknown."""
    if isinstance(value, TensorInfo):
        return value.shape
    if not isinstance(value, NodeInfo):
        return None
    if value.result_shape is not None:
        return value.result_shape
    return piece_shapes.get(value)


def node_argument(node: Any, position: int, key: str, default: Any = None) -> Any:
    """A traced call's argument by position or keyword."""
    return get_argument(
        arg_pos=position, arg_key=key, args=node.args, kwargs=node.kwargs, default_value=default
    )


def _normalised_axis(axis: Optional[int], shape: Optional[Sequence[int]]) -> Optional[int]:
    if axis is None or shape is None:
        return axis
    return axis + len(shape) if axis < 0 else axis


class CutContext:
    """State of one shrink: which positions go, and the tensor edits rules record.

    Rules call :meth:`keep_along` for the kept positions of a node's input or
    output, :meth:`owned` for the model tensor behind a ``TensorInfo``,
    :meth:`slice` to cut it and :meth:`set_module_attribute` for attributes that
    no tensor shape tells (a depthwise convolution's ``groups``). Nothing of
    the model changes until every rule has run.
    """

    def __init__(
        self,
        model: torch.nn.Module,
        axes: GraphAxes,
        removed: Iterable[int],
        owners: Optional[Dict[int, OwnedTensor]] = None,
    ) -> None:
        self.model = model
        self.graph_axes = axes
        self.removed: FrozenSet[int] = frozenset(removed)
        self.owners = plan_owners(model, axes.tensor_names) if owners is None else owners
        self._keep_cache: Dict[int, Optional[List[int]]] = {}
        #: id(kept list) -> (the list, its tuple); the list is held so that its id is not reused
        self._tuples: Dict[int, Tuple[Sequence[int], Tuple[int, ...]]] = {}
        self._removed_cache: Dict[int, FrozenSet[int]] = {}
        #: id(tensor) -> (owned tensor, {axis: kept indices})
        self.cuts: Dict[int, Tuple[OwnedTensor, Dict[int, Tuple[int, ...]]]] = {}
        #: id(tensor) -> nodes whose rule cut it
        self.cut_by: Dict[int, List[Any]] = {}
        #: module -> (module name, {attribute: value})
        self.module_attributes: Dict[torch.nn.Module, Tuple[str, Dict[str, Any]]] = {}
        #: checks that need every rule's cuts: run once all rules ran, each may raise
        self.after_rules: List[Callable[[], None]] = []

    # ---- reading the plan
    def labels(self, node: Any) -> Sequence[int]:
        return self.graph_axes.labels.get(node, [])

    def axis(self, node: Any) -> Optional[int]:
        return self.graph_axes.axes.get(node)

    def shape_of(self, value: Any) -> Optional[Tuple[int, ...]]:
        """A tensor's or node's shape; a piece's of a tuple-valued node, as the walk recorded."""
        return shape_of(value, self.graph_axes.piece_shapes)

    def decision(self, node: Any) -> Optional[str]:
        """The branch the walk's handler took for ``node`` (``"dense"``, ``"depthwise"``, ...);
        None when its handler named none."""
        return self.graph_axes.decisions.get(node)

    def refuse_decision(self, node: Any, what: str) -> ShrinkError:
        """The error of a rule that does not cut ``node`` as the walk labelled it."""
        decision = self.decision(node)
        handler = self.graph_axes.handlers.get(node, "an unknown handler")
        taken = "no branch" if decision is None else f"the {decision!r} branch"
        return self.error(
            node, f"the walk labelled it with {handler} taking {taken}, which {what} does not cut"
        )

    def keep(self, arg: Any) -> Optional[List[int]]:
        """Kept positions of a node's channels, or None when it loses none."""
        labels = self.graph_axes.labels.get(arg) if isinstance(arg, NodeInfo) else None
        if not labels:
            return None
        key = id(labels)  # one entry per distinct label list (they are interned)
        if key in self._keep_cache:
            return self._keep_cache[key]
        removed = self.removed
        keep: Optional[List[int]] = None
        if not removed.isdisjoint(labels):
            keep = [i for i, label in enumerate(labels) if label not in removed]
        self._keep_cache[key] = keep
        return keep

    def removed_labels(self, arg: Any) -> FrozenSet[int]:
        if self.keep(arg) is None:
            return frozenset()
        labels = self.graph_axes.labels[arg]
        found = self._removed_cache.get(id(labels))
        if found is None:
            found = self._removed_cache[id(labels)] = self.removed.intersection(labels)
        return found

    def keep_along(self, arg: Any, axis: int, node: Any, role: str) -> Optional[List[int]]:
        """Kept positions of ``arg`` when they lie along ``axis`` (negative counts from the end).

        Fails when ``arg`` loses channels along another axis: the rule of
        ``node`` only knows how to cut ``axis``.
        """
        keep = self.keep(arg)
        if keep is None:
            return None
        shape = self.shape_of(arg)
        wanted = axis + len(shape) if shape is not None and axis < 0 else axis
        if self.axis(arg) != wanted:
            raise self.error(
                node,
                f"its {role} loses channels along axis {self.axis(arg)}, but only axis "
                f"{wanted} can be cut there",
            )
        return keep

    # ---- the model's tensors
    def owned(self, info: Any, node: Any, role: str) -> Optional[OwnedTensor]:
        """The parameter or buffer a ``TensorInfo`` stands for; None for ``None``."""
        if info is None:
            return None
        if not isinstance(info, TensorInfo):
            raise self.error(node, f"its {role} is computed in the call, not a model tensor")
        owned = self.owners.get(info.tensor_uid)
        name = (self.graph_axes.tensor_names or {}).get(info.tensor_uid)
        if owned is None and name is not None:
            raise self.error(
                node,
                f"its {role} is {name} in the analysed model, which this model does not hold: "
                "a plan cuts models with the analysed model's parameter and buffer names",
            )
        if owned is None:
            raise self.error(
                node,
                f"its {role} (shape {tuple(info.shape)}) is not a parameter or buffer of the "
                "model: it is computed in the call (a parametrized weight, say), or the plan "
                "was made for another model object or before a cut",
            )
        if _parametrized(owned):
            # the tracer records a parametrized weight under the tensor it is computed from
            raise self.error(
                node,
                f"its {role} is computed from {owned.name} by a parametrization (weight_norm, "
                "spectral_norm, ...): remove it first (torch.nn.utils.parametrize."
                "remove_parametrizations or torch.nn.utils.remove_weight_norm)",
            )
        if tuple(owned.tensor.shape) != tuple(info.shape):
            raise self.error(
                node,
                f"its {role} {owned.name} has shape {tuple(owned.tensor.shape)}, the plan saw "
                f"{tuple(info.shape)}: the model changed after the analysis, or is not of the "
                "analysed one's structure",
            )
        return owned

    def required(self, info: Any, node: Any, role: str) -> OwnedTensor:
        """The parameter or buffer a ``TensorInfo`` stands for, which the operation needs."""
        owned = self.owned(info, node, role)
        if owned is None:
            raise self.error(node, f"it is called without a {role}")
        return owned

    def owner_of(self, info: Any) -> Optional[OwnedTensor]:
        """The model tensor an argument stands for, or None: a lookup, never an error."""
        uid = getattr(info, "tensor_uid", None)
        return None if uid is None else self.owners.get(uid)

    def slice(
        self, owned: Optional[OwnedTensor], axis: int, keep: Sequence[int], node: Any
    ) -> None:
        """Record that ``owned`` keeps ``keep`` along ``axis``."""
        if owned is None:
            return
        key = id(owned.tensor)
        entry = self.cuts.get(key)
        if entry is None:
            entry = (owned, {})
            self.cuts[key] = entry
        # one tuple per kept list, so that commit makes one index tensor for all its users
        cached = self._tuples.get(id(keep))
        if cached is not None and cached[0] is keep:
            kept = cached[1]
        else:
            kept = tuple(keep)
            self._tuples[id(keep)] = (keep, kept)
        before = entry[1].get(axis)
        if before is not None and before != kept:
            raise self.error(
                node,
                f"{owned.name} is used by {node_text(self.cut_by[key][0])} too, which keeps "
                f"other channels along axis {axis}",
            )
        entry[1][axis] = kept
        users = self.cut_by.setdefault(key, [])
        if not any(user is node for user in users):
            users.append(node)

    def set_module_attribute(
        self, owned: OwnedTensor, attribute: str, value: Any, node: Any
    ) -> None:
        """Set an attribute of every module that holds ``owned``."""
        for place in owned.places:
            name, values = self.module_attributes.setdefault(place.module, (place.module_name, {}))
            if attribute in values and values[attribute] != value:
                raise self.error(
                    node, f"{name}.{attribute} would be set to {values[attribute]} and {value}"
                )
            values[attribute] = value

    def error(self, node: Any, reason: str, module_name: Optional[str] = None) -> ShrinkError:
        where = self.module_of(node) if module_name is None else module_name
        subject = f"{where} at {node_text(node)}" if where else node_text(node)
        return ShrinkError(f"cannot shrink {subject}: {reason}; the model was not changed")

    def module_running(self, node: Any) -> Optional[torch.nn.Module]:
        """The module whose call ran ``node``; None when unknown (provenance was off)."""
        if node.module_path is None:
            return None
        try:
            return self.model.get_submodule(node.module_path)
        except AttributeError:
            return None

    def module_of(self, node: Any) -> Optional[str]:
        """Name of the module owning the first model tensor among the node's arguments."""
        for value in self.graph_axes.tensors.get(node, ()):
            owned = self.owners.get(value.tensor_uid)
            if owned is not None:
                return owned.module_name or type(self.model).__name__
        return None

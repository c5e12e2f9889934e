"""Where the causes of a plan's unprunable groups lie on its graph.

:func:`tavrix.pruning.explain.explain` reads a plan through :func:`explain_groups`: for every
unprunable group, the causes the analysis recorded (:mod:`tavrix.pruning.recording`), each at its
model code line, with the merges and ties through which it reaches the group's layers and, for an
operand without channel labels, the barrier where that operand lost them.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from tavrix.pruning.recording import Provenance

if TYPE_CHECKING:
    from tavrix.pruning.cutplan import ModelCutplan

__all__ = ["REACHES_OUTPUT", "Cause", "GroupExplanation", "Link", "explain_groups"]

REACHES_OUTPUT = "reaches a model output"
_NO_CAUSE = "no recorded cause"
# nodes one search for a lost operand visits at most
_SEARCH_LIMIT = 20000

# --------------------------------------------------------------------------- records


@dataclass(frozen=True)
class Link:
    """A node that ties the channels of a group together on the way from a cause."""

    node: str
    operation: str
    #: dotted name of the sub-module that ran it ("" for the model itself), None if unknown
    module: Optional[str]
    file: Optional[str]
    line: Optional[int]
    #: how it ties: "merge" (an operation joining its operands' channels) or
    #: "one layer's calls <node> and <node>" (a layer called more than once)
    link: str = "merge"


@dataclass(frozen=True)
class Cause:
    """One reason why the channels of a group cannot be pruned."""

    rule: str
    #: the node whose handler decided (None when the marking named no node)
    node: Optional[str]
    operation: Optional[str]
    module: Optional[str]
    file: Optional[str]
    line: Optional[int]
    function: Optional[str]
    #: channels of the group this cause blocks
    channels: int
    #: the nodes through which the cause reaches the group's layers, in graph order
    chain: Tuple[Link, ...] = ()
    #: for a cause that meets an operand without channel labels: the nearest node
    #: upstream of that operand where channels were lost (a barrier)
    lost_at: Optional[Link] = None

    @property
    def location(self) -> Optional[str]:
        """``file:line`` of the model code, None when unknown."""
        return None if self.file is None else f"{self.file}:{self.line}"

    @property
    def kind(self) -> str:
        """What the per-model summary adds channels up by: the rule and, for a barrier or a
        handler's own rule, the operation."""
        if self.rule in (REACHES_OUTPUT, _NO_CAUSE) or self.operation is None:
            return self.rule
        return f"{self.rule} ({self.operation})"


@dataclass(frozen=True)
class GroupExplanation:
    """An unprunable group and why it is unprunable."""

    #: position in ``plan.unprunable_groups``
    index: int
    #: sub-modules among the group's nodes, in graph order
    modules: Tuple[str, ...]
    channels: int
    #: the group's nodes, by unique name
    nodes: Tuple[str, ...]
    causes: Tuple[Cause, ...] = field(default=())


# --------------------------------------------------------------------------- the graph


def explain_groups(plan: ModelCutplan, record: Provenance) -> List[GroupExplanation]:
    """Every unprunable group of ``plan`` with its causes, from the plan's ``record``."""
    reader = _GraphReader(
        list(plan.graph), record, plan.prunable_module_names_by_nodes, plan.labels_by_nodes
    )
    return [
        reader.explain_group(index, nodes, labels)
        for index, (nodes, labels) in enumerate(plan.unprunable_groups)
    ]


@dataclass
class _Group:
    """What every cause of one group reads."""

    members: Set[Any]
    #: the nodes whose module the group names (all of its nodes when none has one)
    layers: List[Any]
    #: node -> [(node it shares channels with, how)]
    neighbours: Dict[Any, List[Tuple[Any, str]]]


class _GraphReader:
    """Nodes of one plan as explanations show them, and the paths between them."""

    def __init__(
        self,
        graph: List[Any],
        record: Provenance,
        module_names: Dict[Any, str],
        labels_by_nodes: Mapping[Any, Sequence[int]],
    ) -> None:
        self.record = record
        self.labels_by_nodes = labels_by_nodes
        self.position = {node: i for i, node in enumerate(graph)}
        self.module_names = module_names
        self.fresh = set(record.fresh_nodes)
        self._inputs: Dict[Any, List[Any]] = {}
        self.outputs = set(record.output_nodes)
        # carrier -> [(carrier tied to it, how)]
        self.tied: Dict[Any, List[Tuple[Any, str]]] = {}
        for a, b, reader_a, reader_b in record.ties:
            how = f"one layer's calls {reader_a.unique_name} and {reader_b.unique_name}"
            self.tied.setdefault(a, []).append((b, how))
            self.tied.setdefault(b, []).append((a, how))

    # ---- one node

    def _place(self, node: Any) -> Tuple[Any, ...]:
        """(module, file, line, function) of a node, each None when unknown."""
        module = getattr(node, "module_path", None)
        prefix = self.record.module_prefix
        if module is not None and prefix:
            module = prefix + module if module else prefix.rstrip(".")
        location = getattr(node, "location", None)
        if not location:
            return module, None, None, None
        return module, location[0], location[1], location[2]

    def _link(self, node: Any, link: str) -> Link:
        module, file, line, _ = self._place(node)
        return Link(node.unique_name, node.operation_name, module, file, line, link)

    def _cause(self, rule: str, node: Any, channels: int, group: "_Group") -> Cause:
        if node is None:
            return Cause(rule, None, None, None, None, None, None, channels)
        module, file, line, function = self._place(node)
        lost = None if node in group.members else self._lost_at(node, group.members)
        return Cause(
            rule,
            node.unique_name,
            node.operation_name,
            module,
            file,
            line,
            function,
            channels,
            self._chain(node, group),
            None if lost is None else self._link(lost, "channels lost"),
        )

    def _lost_at(self, node: Any, members: Set[Any]) -> Optional[Any]:
        """Why an input of ``node`` without channel labels has none: the nearest node
        upstream of it that dropped the labels of its own inputs while none of those
        inputs had lost theirs already (a barrier behind a chain of barriers is
        passed for the one that started it)."""
        labels = self.labels_by_nodes

        def unlabelled(source: Any) -> bool:
            return source in labels and not labels[source]

        seen: Set[Any] = set()
        queue = deque(s for s in self.inputs_of(node) if s not in members and unlabelled(s))
        while queue and len(seen) < _SEARCH_LIMIT:
            current = queue.popleft()
            if current in seen or current.operation_name == "__get__":
                continue
            seen.add(current)
            sources = self.inputs_of(current)
            behind = [s for s in sources if unlabelled(s)]
            if not behind and any(labels.get(s) for s in sources):
                return current
            queue.extend(behind)
        return None

    # ---- one group

    def explain_group(
        self, index: int, nodes: List[Any], labels: Sequence[int]
    ) -> GroupExplanation:
        entries = self._entries(labels)
        members = set(nodes)
        found: Dict[Tuple[str, Any], int] = {}  # (rule, node) -> channels blocked
        for origin_indices, count in entries:
            for i in origin_indices:
                node, rule = self.record.origins[i]
                found[(rule, node)] = found.get((rule, node), 0) + count
        for node in nodes:
            if node in self.outputs:
                found[(REACHES_OUTPUT, node)] = len(labels)
        if not found:
            found[(_NO_CAUSE, None)] = len(labels)
        modules: List[str] = []
        for node in nodes:
            name = self.module_names.get(node)
            if name is not None and name not in modules:
                modules.append(name)
        group = _Group(
            members,
            [node for node in nodes if node in self.module_names] or list(nodes),
            self._neighbours(members),
        )
        # graph order: the same whatever order the labels were marked or merged in
        unplaced = len(self.position)
        ordered = sorted(found, key=lambda key: (self.position.get(key[1], unplaced), key[0]))
        causes = tuple(
            self._cause(rule, node, found[(rule, node)], group) for rule, node in ordered
        )
        return GroupExplanation(
            index, tuple(modules), len(labels), tuple(n.unique_name for n in nodes), causes
        )

    def _entries(self, labels: Sequence[int]) -> List[Tuple[Tuple[int, ...], int]]:
        causes = self.record.causes
        for label in labels:
            entries = causes.get(label)
            if entries is not None:
                return entries
        return []

    def _chain(self, cause_node: Any, group: "_Group") -> Tuple[Link, ...]:
        """The merges and ties on the shortest paths from the cause to the group's layers.

        Channels flow between a node of the group and its inputs in the group,
        except into a node that makes its own channels (a layer's output is tied
        to its input only through a merge elsewhere).
        """
        members = group.members
        if cause_node in members:
            starts = [cause_node]
        else:
            starts = [n for n in self.inputs_of(cause_node) if n in members]
        if not starts:
            return ()
        neighbours = group.neighbours
        parent: Dict[Any, Tuple[Any, str]] = {start: (None, "") for start in starts}
        queue = deque(starts)
        while queue:
            node = queue.popleft()
            for other, how in neighbours.get(node, ()):
                if other not in parent:
                    parent[other] = (node, how)
                    queue.append(other)
        links: Dict[Any, str] = {}
        for layer in group.layers:
            node = layer
            while node is not None and node in parent:
                previous, how = parent[node]
                if how and how != "flow":
                    links.setdefault(node, how)
                if self._is_merge(node, members):
                    links.setdefault(node, "merge")
                node = previous
        ordered = sorted(links, key=lambda n: self.position.get(n, len(self.position)))
        return tuple(self._link(node, links[node]) for node in ordered)

    def _neighbours(self, members: Set[Any]) -> Dict[Any, List[Tuple[Any, str]]]:
        neighbours: Dict[Any, List[Tuple[Any, str]]] = {}
        for node in members:
            if node in self.fresh:
                continue
            for source in self.inputs_of(node):
                if source in members and source is not node:
                    neighbours.setdefault(node, []).append((source, "flow"))
                    neighbours.setdefault(source, []).append((node, "flow"))
        for node in members:
            for other, how in self.tied.get(node, ()):
                if other in members:
                    neighbours.setdefault(node, []).append((other, how))
        return neighbours

    def _is_merge(self, node: Any, members: Set[Any]) -> bool:
        if node in self.fresh:
            return False
        return sum(1 for source in self.inputs_of(node) if source in members) >= 2

    def inputs_of(self, node: Any) -> List[Any]:
        found = self._inputs.get(node)
        if found is None:
            found = self._inputs[node] = _inputs(node)
        return found


def _inputs(node: Any) -> List[Any]:
    collect = getattr(node, "collect_all_input_nodes", None)
    return list(collect()) if collect is not None else []

"""Why channels are unprunable: the causes of every unprunable group, down to the model code.

While the label engine walks a traced model it records, for every label class
it makes unprunable, the node and the rule that decided (one cause per class,
carried through merges); the tracer records the model code line and running
sub-module of every node. :func:`explain` reads that from a plan::

    from tavrix.pruning.cutplan import get_cutplan
    from tavrix.pruning.explain import explain

    explanation = explain(get_cutplan(model, (example,), {}))
    print(explanation)               # one block per unprunable group, then the summary
    explanation.records()            # the same as plain data for tools
    explanation.top_causes(5)        # where the most channels are lost

Handlers written in Python name their rule with :func:`handler_rule` or, for
one stretch of code, ``with pruning_state.rule("..."):``; without either, a
marking names the handler that made it.
"""

from __future__ import annotations

import os
import sys
from collections import deque
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from tavrix.pruning.recording import Provenance, handler_rule, provenance

if TYPE_CHECKING:
    from tavrix.pruning.cutplan import ModelCutplan

__all__ = [
    "REACHES_OUTPUT",
    "Cause",
    "Explanation",
    "GroupExplanation",
    "Link",
    "Provenance",
    "explain",
    "handler_rule",
    "provenance",
]

#: the rule of a group that holds a node whose result the model returns
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


# --------------------------------------------------------------------------- explain


def explain(plan: ModelCutplan) -> "Explanation":
    """Why each unprunable group of ``plan`` is unprunable.

    Raises ValueError for a plan analysed with provenance off.
    """
    record = getattr(plan, "provenance", None)  # absent when analysed with provenance off
    if not isinstance(record, Provenance):
        raise ValueError(
            "this plan carries no provenance: it was analysed with provenance off "
            "(tavrix.pruning.explain.provenance(False))"
        )
    graph = list(plan.graph)
    reader = _GraphReader(graph, record, plan.prunable_module_names_by_nodes, plan.labels_by_nodes)
    groups = [
        reader.explain_group(index, nodes, labels)
        for index, (nodes, labels) in enumerate(plan.unprunable_groups)
    ]
    total = sum(len(labels) for _, labels in plan.prunable_groups) + sum(
        group.channels for group in groups
    )
    return Explanation(groups, total)


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


# --------------------------------------------------------------------------- presentation


def short_path(path: Optional[str]) -> Optional[str]:
    """A model file as a reader knows it: relative to the import root it was found under
    (``torchvision/models/vgg.py``) or to the working directory; else unchanged."""
    if path is None:
        return None
    best = ""
    for root in [os.getcwd(), *sys.path]:
        if not root:
            continue
        root = os.path.abspath(root).rstrip(os.sep) + os.sep
        if path.startswith(root) and len(root) > len(best):
            best = root
    return path[len(best) :] if best else path


def _where(file: Optional[str], line: Optional[int]) -> str:
    return "unknown location" if file is None else f"{short_path(file)}:{line}"


def _module_text(module: Optional[str]) -> str:
    if module is None:
        return ""
    return f" in {module or '(model)'}"


def _names(items: Sequence[str], limit: int) -> str:
    shown = ", ".join(items[:limit])
    return shown + (f", ... (+{len(items) - limit})" if len(items) > limit else "")


@dataclass(frozen=True)
class CauseTotal:
    """Channels one cause site blocks over the whole model."""

    #: rule and operation (Cause.kind)
    kind: str
    rule: str
    operation: Optional[str]
    file: Optional[str]
    line: Optional[int]
    channels: int
    #: share of the model's unprunable channels
    share: float
    groups: int
    nodes: Tuple[str, ...]
    modules: Tuple[str, ...]
    #: where operands without channel labels lost them (Cause.lost_at), as
    #: "operation at file:line"
    lost_at: Tuple[str, ...] = ()


class Explanation:
    """The explained unprunable groups of one plan."""

    def __init__(self, groups: List[GroupExplanation], total_channels: int) -> None:
        self.groups = groups
        #: channels of every group, prunable or not
        self.total_channels = total_channels

    @property
    def unprunable_channels(self) -> int:
        return sum(group.channels for group in self.groups)

    def records(self) -> List[Dict[str, Any]]:
        """One plain dict per unprunable group (JSON-serialisable)."""
        return [asdict(group) for group in self.groups]

    def _totals(
        self, key: Callable[[Cause], Any]
    ) -> List[Tuple[Any, int, List[Tuple[Cause, GroupExplanation]]]]:
        """Channels blocked per key; a group counts once per key, whatever its causes."""
        channels: Dict[Any, int] = {}
        members: Dict[Any, List[Tuple[Cause, GroupExplanation]]] = {}
        for group in self.groups:
            for k in dict.fromkeys(key(cause) for cause in group.causes):
                channels[k] = channels.get(k, 0) + group.channels
            for cause in group.causes:
                members.setdefault(key(cause), []).append((cause, group))
        order = sorted(channels, key=lambda k: (-channels[k], str(k)))
        return [(k, channels[k], members[k]) for k in order]

    def by_kind(self) -> List[Tuple[str, int, float]]:
        """(rule and operation, channels blocked, share of the unprunable channels), most first.

        A channel that several kinds of cause block counts under each."""
        unprunable = self.unprunable_channels or 1
        return [(k, n, n / unprunable) for k, n, _ in self._totals(lambda c: c.kind)]

    def top_causes(self, k: Optional[int] = None) -> List[CauseTotal]:
        """Cause sites (rule, operation, model code line) by channels blocked, most first."""
        unprunable = self.unprunable_channels or 1
        totals = []
        for _key, channels, members in self._totals(lambda c: (c.kind, c.file, c.line)):
            cause = members[0][0]
            nodes = tuple(dict.fromkeys(c.node for c, _ in members if c.node is not None))
            modules = tuple(dict.fromkeys(c.module for c, _ in members if c.module is not None))
            lost = tuple(
                dict.fromkeys(
                    f"{c.lost_at.operation} at {_where(c.lost_at.file, c.lost_at.line)}"
                    for c, _ in members
                    if c.lost_at is not None
                )
            )
            totals.append(
                CauseTotal(
                    cause.kind,
                    cause.rule,
                    cause.operation,
                    cause.file,
                    cause.line,
                    channels,
                    channels / unprunable,
                    len({id(g) for _, g in members}),
                    nodes,
                    modules,
                    lost,
                )
            )
        return totals if k is None else totals[:k]

    def summary(self, name: str = "model") -> str:
        """One line: unprunable channels and what each kind of cause blocks."""
        unprunable = self.unprunable_channels
        head = (
            f"{name}: {unprunable} of {self.total_channels} channels unprunable "
            f"({_percent(unprunable, self.total_channels)}) in {len(self.groups)} groups"
        )
        if not self.groups:
            return head
        kinds = ", ".join(f"{kind} {_share(share)}" for kind, _, share in self.by_kind())
        return f"{head}; blocked by: {kinds}"

    def top_causes_text(self, k: int = 10) -> str:
        """The top cause sites as text, most channels first."""
        totals = self.top_causes()
        lines = [f"Top causes by channels lost ({min(k, len(totals))} of {len(totals)}):"]
        indent = " " * 19
        for total in totals[:k]:
            what = total.rule if total.operation is None else f"{total.operation} ({total.rule})"
            lines.append(
                f"  {total.channels:>7} ({total.share:5.1%})  {what}"
                f" at {_where(total.file, total.line)}"
            )
            detail = f"{len(total.nodes)} node(s): {_names(list(total.nodes), 3)}"
            if total.modules:
                detail += f"; in {_names([m or '(model)' for m in total.modules], 2)}"
            lines.append(indent + detail)
            if total.lost_at:
                since = _names(list(total.lost_at), 2)
                lines.append(f"{indent}operand without channels since {since}")
        if not totals:
            lines.append("  none: every channel group is prunable")
        return "\n".join(lines)

    def table(self) -> str:
        """Every unprunable group with its causes and merge chains."""
        lines = [
            f"Unprunable groups: {len(self.groups)} ({self.unprunable_channels} of "
            f"{self.total_channels} channels)"
        ]
        for group in self.groups:
            modules = _names(list(group.modules), 4) if group.modules else "-"
            lines.append(f"#{group.index}: {group.channels} channels; modules: {modules}")
            for cause in group.causes:
                share = "" if cause.channels == group.channels else f" [{cause.channels} ch]"
                if cause.node is None:
                    lines.append(f"  because: {cause.rule}{share}")
                    continue
                lines.append(
                    f"  because: {cause.rule}{share}: {cause.node} ({cause.operation})"
                    f"{_module_text(cause.module)} at {_where(cause.file, cause.line)}"
                )
                if cause.lost_at is not None:
                    lost = cause.lost_at
                    lines.append(
                        f"    (that operand lost its channels at {lost.node} ({lost.operation})"
                        f"{_module_text(lost.module)} at {_where(lost.file, lost.line)})"
                    )
                if cause.chain:
                    steps = [
                        link.node if link.link == "merge" else f"{link.node} ({link.link})"
                        for link in cause.chain
                    ]
                    lines.append(f"    via {len(steps)} link(s): {_names(steps, 6)}")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table() + "\n" + self.summary()

    def __repr__(self) -> str:
        return (
            f"Explanation(groups={len(self.groups)}, unprunable_channels="
            f"{self.unprunable_channels}, total_channels={self.total_channels})"
        )


def _share(share: float) -> str:
    return "<1%" if 0 < share < 0.005 else f"{share:.0%}"


def _percent(part: int, whole: int) -> str:
    return f"{part / whole:.1%}" if whole else "0.0%"

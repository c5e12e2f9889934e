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
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from tavrix.pruning.causes import REACHES_OUTPUT, Cause, GroupExplanation, Link, explain_groups
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
    groups = explain_groups(plan, record)
    total = sum(len(labels) for _, labels in plan.prunable_groups) + sum(
        group.channels for group in groups
    )
    return Explanation(groups, total)


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

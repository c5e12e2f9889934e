"""What identifies a recorded call, to tell whether another call is the same one.

Ranks of a distributed job compare their analyses before summing their gates, and a
saved shrink plan is checked against a fresh model's call before it is applied. Both
describe the call by the same steps (per node its name, kind, operation, inputs, result
shape and owning module, :func:`call_steps`) and condense a description with the same
:func:`digest`.
"""

from __future__ import annotations

import hashlib
import json
from typing import Any, Callable, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from tavrix.flowscope.replay import operation_text
from tavrix.flowscope.tracing import TensorInfo
from tavrix.utils.common import iter_leaves

__all__ = ["CallStep", "call_steps", "digest", "tensor_owner"]


class CallStep(NamedTuple):
    """One node of a recorded call, as a fingerprint describes it."""

    #: the node's unique name (``conv2d_1``)
    name: str
    #: the recorded operation name (``conv2d``)
    kind: str
    #: the operation as messages name it (``torch.conv2d``)
    operation: str
    #: unique names of the nodes it reads, in argument order
    inputs: Tuple[str, ...]
    #: the result's shape, None for a result that is no tensor
    shape: Optional[List[int]]
    #: the module owning it, None when it has none
    module: Optional[str]

    def line(self, position: int) -> str:
        """``operation #3: conv2d_1 (conv2d) of [relu_0] in conv2``: sizes left out."""
        text = f"operation #{position}: {self.name} ({self.kind}) of [{', '.join(self.inputs)}]"
        return f"{text} in {self.module}" if self.module else text

    def record(self) -> List[Any]:
        """``[operation, shape, module]``, as plan files keep it."""
        return [self.operation, self.shape, self.module]


def call_steps(graph: Sequence[Any], module_of: Callable[[Any], Optional[str]]) -> List[CallStep]:
    """The steps of the recorded call ``graph``; ``module_of(node)``: its owning module."""
    steps = []
    for node in graph:
        shape = None if node.result_shape is None else list(node.result_shape)
        steps.append(
            CallStep(
                node.unique_name,
                node.operation_name,
                operation_text(node.operation),
                tuple(item.unique_name for item in node.collect_all_input_nodes()),
                shape,
                module_of(node),
            )
        )
    return steps


def tensor_owner(module_by_uid: Mapping[Any, str]) -> Callable[[Any], Optional[str]]:
    """``module_of`` for :func:`call_steps`: the module owning the node's first model tensor
    (``module_by_uid``: tensor uid -> module name)."""

    def owner(node: Any) -> Optional[str]:
        for value in iter_leaves((node.args, node.kwargs)):
            if isinstance(value, TensorInfo) and value.tensor_uid in module_by_uid:
                return module_by_uid[value.tensor_uid]
        return None

    return owner


def digest(description: Any) -> str:
    """SHA-256 (hex) of a JSON-compatible description, keys sorted: equal descriptions,
    equal digests, in any process."""
    return hashlib.sha256(json.dumps(description, sort_keys=True).encode()).hexdigest()

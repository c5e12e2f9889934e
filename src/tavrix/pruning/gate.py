"""Importance gates for first-order Taylor channel importance.

A :class:`ChannelGate` sits after one node of the traced graph and multiplies
the node's output, channel by channel along the prune dimension, by a
parameter of ones. The output is unchanged, but back-propagation accumulates
in the parameter's ``.grad`` the sum over samples of d(loss)/d(gate), which is
the first-order Taylor estimate of what removing each channel costs. The
importance of a channel is ``|accumulated gradient| / number of samples``.

A :class:`GroupSharedGate` ties the channel labels of one prunable group to
every channel gate that carries them; its importance adds up the importance
of each label over those gates. It is a plain object, not a module, so that
gates may refer to their groups without module cycles.

Inside :func:`record_statistics` the gates also accumulate, per channel, the
squared per-sample Taylor term (``fisher_sum``: the sum over samples of the
square of each sample's ``sum grad * x``, over ``fisher_samples`` samples) in
the backward pass they already take part in, and the sum of ``x ** 2`` with its
entry count (``activation_sum``, ``activation_count``) in every forward, with or
without gradients. Positions of one gate carrying one label are one channel
there (the per-sample term is their sum); several gates carrying a label each
square their own term. Outside it the gates do exactly what they did before.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Any, Dict, List, Optional, Sequence, Tuple, cast

import torch
from torch import nn
from torch.nn.modules import module as _module_registry

from tavrix.pruning.engine.oprules import ChannelLabels

__all__ = [
    "ChannelGate",
    "GroupSharedGate",
    "gate_container",
    "gates_by_name",
    "record_statistics",
]

_STATISTICS = threading.local()


def _recording_statistics() -> bool:
    return getattr(_STATISTICS, "on", False)


class record_statistics:
    """Whether gates accumulate the statistics beyond the Taylor gradient (off by default).

    Sets the switch for this thread when called and gives back the previous state when
    used as a context manager, as ``torch.set_grad_enabled`` does::

        with record_statistics():
            with TavrixPruningCalibrator(model) as calibrator:
                ...
    """

    def __init__(self, on: bool = True) -> None:
        if not isinstance(on, bool):
            raise TypeError(f"record_statistics expects a bool, got {type(on).__name__}")
        self._previous = _recording_statistics()
        _STATISTICS.on = on

    def __enter__(self) -> "record_statistics":
        return self

    def __exit__(self, *exc: Any) -> None:
        _STATISTICS.on = self._previous


def gate_container(gates: Dict[str, "ChannelGate"]) -> nn.ModuleDict:
    """A ModuleDict of ``gates`` (names channel_gate_<n>, checked by their maker)."""
    if _module_registry._global_module_registration_hooks:
        return nn.ModuleDict(gates)  # the hooks must see each gate
    container = nn.ModuleDict()
    container._modules.update(gates)  # what ModuleDict(gates) does, without its checks
    return container


def gates_by_name(container: nn.ModuleDict) -> Dict[str, "ChannelGate"]:
    """The gates of a gate container (a cutplan's ``gate_container``) by name, in order."""
    return cast(Dict[str, ChannelGate], dict(container.items()))


_MODULE_INIT = nn.Module.__init__


def _module_state_recipe() -> Optional[Tuple[Tuple[str, Any, Any], ...]]:
    """What nn.Module.__init__ sets, as (name, type of a fresh empty container or None, value);
    None when it sets anything but flags and empty containers (then gates use it as is)."""
    recipe: List[Tuple[str, Any, Any]] = []
    for name, value in vars(nn.Module()).items():
        if type(value) in (dict, OrderedDict, set) and not value:
            recipe.append((name, type(value), None))
        elif value is None or type(value) is bool:
            recipe.append((name, None, value))
        else:
            return None
    return tuple(recipe)


_MODULE_STATE = _module_state_recipe()


def _kept_labels(labels: Sequence[int]) -> Sequence[int]:
    """A plan's labels (immutable, shared between nodes) as they are, anything else copied."""
    return labels if type(labels) is ChannelLabels else list(labels)


def _batch_size(x: torch.Tensor, prune_dim: int) -> int:
    # Dimension 0 is the batch unless the channels themselves lie there (an
    # unbatched tensor); then the whole call is one sample.
    if x.dim() > 1 and prune_dim != 0:
        return int(x.shape[0])
    return 1


class ChannelGate(nn.Module):
    """Multiplies its input along ``prune_dim`` by a parameter of ones.

    ``labels`` are the channel labels of the gated tensor, one per channel in
    order; ``weight`` has one entry per label.

    ``num_samples`` counts the samples that went through the gate in forward
    passes that can reach ``weight.grad``: only calls made with gradient
    recording on while ``weight.requires_grad`` is set are counted, and each
    counts the size of the input's first dimension (1 when the input has one
    dimension or its channels lie in dimension 0). Forward passes under
    ``torch.no_grad()`` therefore do not dilute the importance.
    """

    labels: Sequence[int]
    prune_dim: int
    num_samples: int
    weight: nn.Parameter
    _groups: List["GroupSharedGate"]

    def __init__(self, labels: Sequence[int], prune_dim: int) -> None:
        if (
            type(self) is ChannelGate
            and _MODULE_STATE is not None
            and nn.Module.__init__ is _MODULE_INIT
        ):
            # What nn.Module.__init__ sets, without its attribute-by-attribute calls: a model
            # gets a gate per gated node. A subclass runs the ordinary chain of __init__s.
            torch._C._log_api_usage_once("python.nn_module")
            vars(self).update(
                {name: value if make is None else make() for name, make, value in _MODULE_STATE}
            )
        else:
            super().__init__()
        if isinstance(prune_dim, bool) or not isinstance(prune_dim, int):
            raise TypeError(
                f"prune_dim must be an int, got {type(prune_dim).__name__}: a gate needs the "
                "axis that holds the channels"
            )
        labels = _kept_labels(labels)
        if not labels:
            raise ValueError("ChannelGate needs at least one channel label")
        # Plain values go straight to the instance: nn.Module's __setattr__ costs more than
        # the rest of a gate, and a model gets many. The groups (_groups) are not modules
        # and must not be registered.
        vars(self).update(labels=labels, prune_dim=prune_dim, num_samples=0, _groups=[])
        weight = nn.Parameter(torch.ones(len(labels)))
        if _module_registry._global_parameter_registration_hooks:
            self.weight = weight  # the hooks must see it
        else:
            self._parameters["weight"] = weight  # what the assignment does, without its checks

    @property
    def groups(self) -> Tuple["GroupSharedGate", ...]:
        """The groups this gate was added to, in the order they were added."""
        return tuple(self._groups)

    def add_group(self, channel_group: "GroupSharedGate") -> None:
        """Makes this gate one of the gates of ``channel_group``."""
        if not isinstance(channel_group, GroupSharedGate):
            raise TypeError(f"expected a GroupSharedGate, got {type(channel_group).__name__}")
        if any(group is channel_group for group in self._groups):
            return
        self._groups.append(channel_group)
        channel_group._add_gate(self)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        dim = self.prune_dim if self.prune_dim >= 0 else self.prune_dim + x.dim()
        if not 0 <= dim < x.dim():
            raise ValueError(
                f"ChannelGate with prune_dim={self.prune_dim} got a tensor of shape "
                f"{tuple(x.shape)}"
            )
        if x.shape[dim] != self.weight.shape[0]:
            raise ValueError(
                f"ChannelGate expects {self.weight.shape[0]} channels along dimension "
                f"{self.prune_dim}, got a tensor of shape {tuple(x.shape)}"
            )
        recording = torch.is_grad_enabled() and self.weight.requires_grad
        if _recording_statistics():
            return self._forward_recording(x, dim, recording)
        if recording:
            self.num_samples += _batch_size(x, dim)
            if vars(self).get("_pass_through") and _all_ones(self.weight):
                return _PassThrough.apply(x, self.weight, dim)
        shape = [1] * x.dim()
        shape[dim] = -1
        # Cast to the input's type so that the gate never changes the output dtype.
        return x * self.weight.to(dtype=x.dtype).view(shape)

    def _forward_recording(self, x: torch.Tensor, dim: int, recording: bool) -> torch.Tensor:
        state = vars(self)
        axes = tuple(axis for axis in range(x.dim()) if axis != dim)
        with torch.no_grad():
            # one pass, no squared copy of the tensor
            squares = (
                torch.linalg.vector_norm(x.detach(), 2, dim=axes, dtype=torch.float32)
                if axes
                else x.detach().float().abs()
            )
            squares = squares.square()
            total = state.get("activation_sum")
            state["activation_sum"] = squares if total is None else total + squares.to(total)
            state["activation_count"] = state.get("activation_count", 0) + x.numel() // x.shape[dim]
        if not recording:
            shape = [1] * x.dim()
            shape[dim] = -1
            return x * self.weight.to(dtype=x.dtype).view(shape)
        samples = _batch_size(x, dim)
        self.num_samples += samples
        state["fisher_samples"] = state.get("fisher_samples", 0) + samples
        pass_through = bool(state.get("_pass_through")) and _all_ones(self.weight)
        return _Recorded.apply(x, self.weight, dim, self, pass_through)

    def _add_fisher(self, per_sample: torch.Tensor) -> None:
        per_sample = per_sample.detach().float()
        shared = self._shared_labels()
        if shared is not None:
            # positions carrying one label (a head's channels, a tensor concatenated with
            # itself) are one channel: its per-sample term is their sum, and each position
            # keeps an equal share of its square, so that sums over positions read it whole
            index, counts = shared
            index = index.to(per_sample.device)
            summed = per_sample.new_zeros(per_sample.shape[0], len(counts))
            summed.index_add_(1, index, per_sample)
            squares = (summed.square().sum(0) / counts.to(summed))[index]
        else:
            squares = per_sample.square().sum(0)
        total = vars(self).get("fisher_sum")
        vars(self)["fisher_sum"] = squares if total is None else total + squares.to(total)

    def _shared_labels(self) -> Optional[Tuple[torch.Tensor, torch.Tensor]]:
        """(index of each position's label among the distinct ones, positions per distinct
        label) when a label sits at several positions; None when each sits at one."""
        state = vars(self)
        if "_label_index" not in state:
            first: Dict[int, int] = {}
            index = [first.setdefault(label, len(first)) for label in self.labels]
            found = None
            if len(first) < len(index):
                positions = torch.tensor(index, dtype=torch.long)
                found = (positions, torch.bincount(positions, minlength=len(first)))
            state["_label_index"] = found
        return state["_label_index"]

    def importance(self) -> torch.Tensor:
        """``|weight.grad| / num_samples``, one value per entry of ``labels``.

        Raises RuntimeError before any counted sample or before a backward
        pass has reached the gate.
        """
        if self.num_samples == 0:
            raise RuntimeError(
                "ChannelGate has seen no samples: run forward passes with gradients enabled "
                "before reading the importance"
            )
        if self.weight.grad is None:
            raise RuntimeError(
                "ChannelGate has no gradient: run backward() through the gated model before "
                "reading the importance"
            )
        return self.weight.grad.detach().abs() / self.num_samples

    def reset_importance(self) -> None:
        """Forgets the accumulated gradient, the sample count and the statistics."""
        self.weight.grad = None
        self.num_samples = 0
        for name in ("fisher_sum", "fisher_samples", "activation_sum", "activation_count"):
            vars(self).pop(name, None)

    def extra_repr(self) -> str:
        return f"n_channels={len(self.labels)}, prune_dim={self.prune_dim}"

    # A parameter's gradient is left out when it is pickled or deep-copied; the gate's is what
    # it measured, so a copied or saved plan keeps its calibration.
    def __getstate__(self) -> Dict[str, Any]:
        state = dict(vars(self))
        gradients = {
            name: parameter.grad
            for name, parameter in self._parameters.items()
            if parameter is not None and parameter.grad is not None
        }
        if gradients:
            state["_measured_gradients"] = gradients
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        state = dict(state)
        gradients = state.pop("_measured_gradients", {})
        super().__setstate__(state)
        for name, gradient in gradients.items():
            parameter = self._parameters[name]
            if parameter is not None:
                parameter.grad = gradient


def _all_ones(weight: torch.Tensor) -> bool:
    # read every call: a write through .data (masking a channel) bumps no version counter
    with torch.no_grad():
        return bool(torch.all(weight == 1))


class _PassThrough(torch.autograd.Function):
    """A gate's product while its weights are all ones, without computing it: the output is
    the input (a view of it), the input's gradient passes on as it came, and the weights get
    the sum of ``grad * x`` over every axis but the channels', as the product's backward
    gives them. Saves two passes over the gated tensor per step. Used only where the gate
    wiring found that nothing writes the gate's output in place (a view made here must not be
    written)."""

    @staticmethod
    def forward(ctx: Any, x: torch.Tensor, weight: torch.Tensor, dim: int) -> torch.Tensor:
        ctx.save_for_backward(x)
        ctx.axes = tuple(axis for axis in range(x.dim()) if axis != dim)
        ctx.dim = dim
        ctx.weight = weight  # a leaf: no cycle through the graph
        return x.view_as(x)

    @staticmethod
    def backward(ctx: Any, grad: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]:
        (x,) = ctx.saved_tensors
        grad_weight = None
        if ctx.needs_input_grad[1]:
            # in the input's dtype, then the weight's, as the product's cast of the weight
            product = grad * x
            grad_weight = (product.sum(ctx.axes) if ctx.axes else product).to(ctx.weight.dtype)
        grad_input = None
        if ctx.needs_input_grad[0]:
            grad_input = grad
            if torch.is_grad_enabled():
                # create_graph: the product's input gradient depends on the weights, and a
                # loss on that gradient must reach them
                shape = [1] * grad.dim()
                shape[ctx.dim] = -1
                grad_input = grad * ctx.weight.to(dtype=grad.dtype).view(shape)
        return grad_input, grad_weight, None


class _Recorded(torch.autograd.Function):
    """The gate's product (or, as :class:`_PassThrough`, its input handed back) whose
    backward also keeps, per sample, each channel's ``sum grad * x`` for the gate's
    ``fisher_sum``; the weights' gradient is the product's, as :class:`_PassThrough`
    computes it."""

    @staticmethod
    def forward(
        ctx: Any,
        x: torch.Tensor,
        weight: torch.Tensor,
        dim: int,
        gate: "ChannelGate",
        pass_through: bool,
    ) -> torch.Tensor:
        ctx.save_for_backward(x)
        ctx.dim = dim
        ctx.weight = weight
        ctx.gate = gate
        ctx.pass_through = pass_through
        if pass_through:
            return x.view_as(x)
        shape = [1] * x.dim()
        shape[dim] = -1
        return x * weight.to(dtype=x.dtype).view(shape)

    @staticmethod
    def backward(ctx: Any, grad: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]:
        (x,) = ctx.saved_tensors
        dim = ctx.dim
        shape = [1] * grad.dim()
        shape[dim] = -1
        product = grad * x
        axes = tuple(axis for axis in range(x.dim()) if axis != dim)
        # one sample per entry of dimension 0, unless the channels lie there
        batched = x.dim() > 1 and dim != 0
        inner = tuple(axis for axis in axes if axis != 0) if batched else axes
        per_sample = product.sum(inner) if inner else product  # (samples, channels)
        if not batched:
            per_sample = per_sample.unsqueeze(0)
        grad_weight = None
        if ctx.needs_input_grad[1]:
            # from the per-sample sums: one pass over the product
            grad_weight = per_sample.sum(0).to(ctx.weight.dtype)
        with torch.no_grad():
            ctx.gate._add_fisher(per_sample)
        grad_input = None
        if ctx.needs_input_grad[0]:
            if ctx.pass_through and not torch.is_grad_enabled():
                grad_input = grad
            else:
                grad_input = grad * ctx.weight.to(dtype=grad.dtype).view(shape)
        return grad_input, grad_weight, None, None, None


class GroupSharedGate:
    """The channel labels of one prunable group and the gates that carry them.

    For every gate added through :meth:`ChannelGate.add_group` it records the
    positions in that gate of each of the group's labels (a label may occur
    at several positions, or at none).
    """

    def __init__(self, labels: Sequence[int]) -> None:
        self.labels: Sequence[int] = _kept_labels(labels)
        self._gates: List[ChannelGate] = []
        # Per gate: (index into self.labels, position in the gate), built on
        # first use so that creating the gates of a large model stays cheap.
        self._positions: List[Optional[Tuple[torch.Tensor, torch.Tensor]]] = []

    @property
    def gates(self) -> Tuple[ChannelGate, ...]:
        """The channel gates of this group, in the order they were added."""
        return tuple(self._gates)

    def positions(self, gate: ChannelGate) -> Dict[int, List[int]]:
        """For each label of the group found in ``gate``, its positions there."""
        for i, known in enumerate(self._gates):
            if known is gate:
                label_index, gate_position = self._positions_of(i)
                found: Dict[int, List[int]] = {}
                for j, p in zip(label_index.tolist(), gate_position.tolist()):
                    found.setdefault(self.labels[j], []).append(p)
                return found
        raise ValueError("the gate does not belong to this group")

    def _add_gate(self, gate: ChannelGate) -> None:
        self._gates.append(gate)
        self._positions.append(None)

    def _positions_of(self, i: int) -> Tuple[torch.Tensor, torch.Tensor]:
        cached = self._positions[i]
        if cached is not None:
            return cached
        where: Dict[int, List[int]] = {}
        for position, label in enumerate(self._gates[i].labels):
            where.setdefault(label, []).append(position)
        label_index: List[int] = []
        gate_position: List[int] = []
        for j, label in enumerate(self.labels):
            for position in where.get(label, ()):
                label_index.append(j)
                gate_position.append(position)
        cached = (
            torch.tensor(label_index, dtype=torch.long),
            torch.tensor(gate_position, dtype=torch.long),
        )
        self._positions[i] = cached
        return cached

    def importance(self) -> torch.Tensor:
        """Importance per entry of ``labels``, summed over the group's gates.

        A label that sits at several positions of a gate counts each of them.
        A gate that the loss never reached (no gradient while other gates of
        the group have one) contributes zero. Raises RuntimeError when the
        group has no gate, when a gate has seen no samples, or when no gate of
        the group has a gradient yet.
        """
        if not self._gates:
            raise RuntimeError("GroupSharedGate has no gates: nothing measures its channels")
        if all(gate.weight.grad is None for gate in self._gates):
            raise RuntimeError(
                "No gate of the group has a gradient: run backward() through the gated model "
                "before reading the importance"
            )
        first = self._gates[0].weight
        result = torch.zeros(len(self.labels), dtype=first.dtype, device=first.device)
        for i, gate in enumerate(self._gates):
            if gate.weight.grad is None and gate.num_samples > 0:
                continue
            values = gate.importance()
            label_index, gate_position = self._positions_of(i)
            picked = values[gate_position.to(values.device)]
            result.index_add_(
                0, label_index.to(result.device), picked.to(result.device, result.dtype)
            )
        return result

    def __repr__(self) -> str:
        return f"GroupSharedGate(n_labels={len(self.labels)}, n_gates={len(self._gates)})"

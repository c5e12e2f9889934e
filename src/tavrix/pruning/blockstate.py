"""What a calibrator block changes on a model, as copies of the model see it.

While a ``TavrixPruningCalibrator`` block is active, the entry point's owner
holds a redirection in its instance dictionary and the parameters are
frozen. ``pickle``, ``torch.save`` and ``copy.deepcopy`` read a module's
state through ``__getstate__``; :class:`CopyHooks` sets that as an instance
attribute on the modules concerned so that a copy made inside the block is
the model as it is outside of it: its class's own entry point (no reference
to the calibrator) and the ``requires_grad`` flags its parameters had.
"""

from __future__ import annotations

import copy
from typing import Any, Dict, Iterable, List, Optional, Tuple

import torch

__all__ = ["CopyHooks"]

_HOOK = "__getstate__"
_REBUILD_PARAMETER = frozenset(
    getattr(torch._utils, name)
    for name in ("_rebuild_parameter", "_rebuild_parameter_with_state")
    if hasattr(torch._utils, name)
)


class _ThawedParameter:
    """Stands in for a frozen parameter in a copied state: the copy requires grad again."""

    __slots__ = ("parameter",)

    def __init__(self, parameter: torch.nn.Parameter) -> None:
        self.parameter = parameter

    def __reduce_ex__(self, protocol: Any) -> Any:
        reduced = self.parameter.__reduce_ex__(protocol)
        rebuild, args = reduced[0], reduced[1]
        if rebuild in _REBUILD_PARAMETER:
            # (data, requires_grad, hooks[, state]): the flag the parameter had
            args = (args[0], True, *args[2:])
        return (rebuild, args, *reduced[2:])

    def __deepcopy__(self, memo: Dict[int, Any]) -> Any:
        # through the memo of the parameter itself, so that every reference to
        # it in the copied model is one object
        result = copy.deepcopy(self.parameter, memo)
        if isinstance(result, torch.Tensor) and result.is_leaf:
            result.requires_grad_(True)
        return result


class _StateOutsideBlock:
    """A module's ``__getstate__`` while a calibrator block is active."""

    __slots__ = ("module", "entry_point", "thawed")

    def __init__(
        self,
        module: torch.nn.Module,
        entry_point: Optional[Tuple[str, bool, Any]],
        thawed: Dict[int, _ThawedParameter],
    ) -> None:
        self.module = module
        # (name, whether the instance held it, what it held) on the owner only
        self.entry_point = entry_point
        self.thawed = thawed

    def __call__(self) -> Any:
        module = self.module
        state = type(module).__getstate__(module)
        if isinstance(state, dict):
            return self._outside(state)
        if isinstance(state, tuple) and len(state) == 2 and isinstance(state[0], dict):
            return (self._outside(state[0]), state[1])  # (instance dict, slots)
        return state

    def _outside(self, state: Dict[str, Any]) -> Dict[str, Any]:
        state = dict(state)
        if state.get(_HOOK) is self:
            del state[_HOOK]
        if self.entry_point is not None:
            name, in_dict, original = self.entry_point
            if in_dict:
                state[name] = original
            else:
                state.pop(name, None)
        parameters = state.get("_parameters")
        if isinstance(parameters, dict) and self.thawed:
            parameters = dict(parameters)
            for name, parameter in parameters.items():
                if parameter is not None:
                    parameters[name] = self.thawed.get(id(parameter), parameter)
            state["_parameters"] = parameters
        return state


class CopyHooks:
    """Installs :class:`_StateOutsideBlock` hooks for one calibrator block.

    ``owner`` holds the redirected entry point ``entry_point_name``;
    ``original`` is what it held before and ``in_dict`` whether it held it
    in its instance dictionary. ``thawed`` are the parameters whose
    ``requires_grad`` was set before the block froze them. Only the owner and
    the modules that directly hold such a parameter get a hook.
    """

    def __init__(
        self,
        model: torch.nn.Module,
        owner: Any,
        entry_point_name: str,
        original: Any,
        in_dict: bool,
        thawed: Iterable[torch.nn.Parameter],
    ) -> None:
        stand_ins = {id(p): _ThawedParameter(p) for p in thawed}
        self._hooked: List[Tuple[Any, _StateOutsideBlock]] = []
        try:
            for module in model.modules():
                if module is not owner and any(
                    p is not None and id(p) in stand_ins for p in module._parameters.values()
                ):
                    self._install(module, _StateOutsideBlock(module, None, stand_ins))
            # the owner may also be reached through a plain attribute of the model
            entry = (entry_point_name, in_dict, original)
            self._install(owner, _StateOutsideBlock(owner, entry, stand_ins))
        except BaseException:
            self.remove()
            raise

    def _install(self, module: Any, hook: _StateOutsideBlock) -> None:
        instance_dict = getattr(module, "__dict__", None)
        # a module that keeps its own instance-level __getstate__ is left alone
        if isinstance(instance_dict, dict) and _HOOK not in instance_dict:
            instance_dict[_HOOK] = hook
            self._hooked.append((module, hook))

    def remove(self) -> None:
        """Takes every hook off again (those replaced since are left alone)."""
        hooked, self._hooked = self._hooked, []
        for module, hook in hooked:
            instance_dict = module.__dict__
            if instance_dict.get(_HOOK) is hook:
                del instance_dict[_HOOK]

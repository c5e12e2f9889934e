"""What a traced call may change in a model, taken before and given back after it, and the
hooks that tell the recorder which tensors parametrizations compute during the call."""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, List, Optional, Tuple

import torch
from torch._C import DisableTorchFunctionSubclass
from torch.nn.utils import parametrize
from torch.nn.utils.spectral_norm import SpectralNorm
from torch.nn.utils.weight_norm import WeightNorm

from tavrix.flowscope.intercept import active_interceptor, untrace_attributes
from tavrix.utils.common import _restore_values, _save_values

__all__ = ["ModelState", "watch_parametrizations"]


class ModelState:
    """What a model call may change in place and tracing must give back.

    One walk over the modules takes everything: names, flags, the parameter,
    buffer and child dicts, the buffers' values, and the modules that may
    compute a parametrized weight (see watch_parametrizations).
    """

    def __init__(self, model: Any) -> None:
        self.entries: List[Tuple[Any, ...]] = []
        # (buffer, version, copy, compare values): see restore
        self.values: List[Tuple[Any, ...]] = []
        # id of every sub-module -> its dotted name ("" for the model), as the call finds them
        self.module_names: Dict[int, str] = {}
        self.parametrized: List[Any] = []
        if not isinstance(model, torch.nn.Module):
            return
        tensors: List[torch.Tensor] = []
        compares: List[bool] = []
        names = self.module_names
        entries = self.entries
        # The copies are ordinary tensors even when the trace starts in
        # inference mode, so that they can be written back outside of it.
        with torch.no_grad(), torch.inference_mode(False):
            for name, module in model.named_modules():
                names[id(module)] = name
                training = module.training
                params, buffers, modules = module._parameters, module._buffers, module._modules
                # empty dicts (most of them) are kept as None: nothing to copy or compare
                entries.append(
                    (
                        module,
                        training,
                        dict(params) if params else None,
                        dict(buffers) if buffers else None,
                        dict(modules) if modules else None,
                        module.__dict__.copy(),
                    )
                )
                if module._forward_pre_hooks or "parametrizations" in modules:
                    self.parametrized.append(module)
                if buffers:
                    for buf in buffers.values():
                        if buf is not None and not buf.is_meta:
                            # one call cannot switch modes: eval-mode values change
                            # only through ops that bump the version counter, while
                            # training-mode kernels (batch-norm statistics) may not.
                            # The values of eval-mode buffers are copied all the same:
                            # a write with plain operands only (a counter
                            # `self.hits += 1`) reaches no interception, and only a
                            # copy taken before the call can give the value back.
                            tensors.append(buf)
                            compares.append(training)
            self.values = _save_values(tensors, compares)

    def restore(self) -> None:
        with torch.no_grad(), DisableTorchFunctionSubclass():
            for module, training, params, buffers, modules, attributes in self.entries:
                if module.training is not training:
                    module.training = training
                _restore_attributes(module.__dict__, attributes)
                # most dicts were empty and are: no call for those
                if params is not None or module._parameters:
                    _restore_dict(module._parameters, params)
                if buffers is not None or module._buffers:
                    _restore_dict(module._buffers, buffers)
                if modules is not None or module._modules:
                    _restore_dict(module._modules, modules)
            _restore_values(self.values)
        untrace_attributes(entry[0] for entry in self.entries)


def _restore_attributes(current: Dict[str, Any], saved: Dict[str, Any]) -> None:
    """Puts back what the attributes the module had held: a cache the call sets up on first
    use (MultiScaleRoIAlign's scales, a legacy spectral norm's weight) or a counter
    (`self.calls += 1`) would otherwise make the next call run other operations or count
    the analysis. Attributes the call added stay."""
    if len(current) == len(saved) and all(map(operator.is_, current.values(), saved.values())):
        return  # the same values in the same order: nothing was rebound (the common case)
    for name, value in saved.items():
        if current.get(name, _MISSING) is not value:
            current[name] = value


_MISSING = object()


def _restore_dict(current: Dict[str, Any], saved: Optional[Dict[str, Any]]) -> None:
    if saved is None:  # was empty
        if current:
            current.clear()
        return
    # identities in order and the same names: nothing was swapped (the common case)
    if (
        len(current) == len(saved)
        and all(map(operator.is_, current.values(), saved.values()))
        and current.keys() == saved.keys()
    ):
        return
    current.clear()
    current.update(saved)


# The parameter a legacy weight_norm / spectral_norm computes its tensor from.
_LEGACY_SOURCE_SUFFIX = {WeightNorm: "_v", SpectralNorm: "_orig"}


def watch_parametrizations(
    model: Any, recorder: Any, modules: Optional[List[Any]] = None
) -> List[Any]:
    """Hooks that tell the recorder which tensors parametrizations compute during the call.

    A parametrized weight is computed afresh from plain parameters, so no traced
    operation produces it; without this its node would name no parameter and its
    module would be missed. The caller removes the returned hook handles.
    ``modules``: the modules that may hold a parametrization (all of the model's
    when None).
    """
    handles: List[Any] = []
    if not isinstance(model, torch.nn.Module):
        return handles

    note = recorder.note_parametrized

    def computed_by(source: torch.Tensor) -> Callable[..., None]:
        def hook(_module: Any, _args: Any, output: Any) -> None:
            if active_interceptor() is recorder:
                note(output, source)

        return hook

    def set_by(name: str, source: torch.Tensor) -> Callable[..., None]:
        def hook(module: Any, _args: Any) -> None:
            if active_interceptor() is recorder:
                note(module.__dict__.get(name), source)

        return hook

    try:
        for module in model.modules() if modules is None else modules:
            if parametrize.is_parametrized(module):
                chains: Any = module.parametrizations
                for chain in chains.values():
                    source = getattr(chain, "original", None)
                    if source is None:
                        source = getattr(chain, "original0", None)
                    if isinstance(source, torch.Tensor):
                        handles.append(chain.register_forward_hook(computed_by(source)))
            # the legacy forms set the computed tensor as an attribute in a pre-hook;
            # ours, registered later, runs after theirs
            for legacy in list(module._forward_pre_hooks.values()):
                suffix = _LEGACY_SOURCE_SUFFIX.get(type(legacy))
                source = module._parameters.get(legacy.name + suffix) if suffix else None
                if isinstance(source, torch.Tensor):
                    handles.append(module.register_forward_pre_hook(set_by(legacy.name, source)))
    except BaseException:
        for handle in handles:
            handle.remove()
        raise
    return handles

"""A shrunk transformers model's config made to say its new widths, so that ``save_pretrained``
and ``from_pretrained`` give the same model back; where the config cannot say them (layers
that were meant to be alike cut to different widths), ``save_pretrained`` refuses.

Nothing here imports transformers: a model holds a ``PreTrainedModel`` only when transformers
is already imported. The widths are read off the shrunk modules (embedding widths, head
counts, head_dim, MLP widths), never computed from the removal, and the config that results is
checked by building the model from it on the meta device (no memory for weights) and comparing
every parameter and buffer shape and every number a module holds with the shrunk model's.
"""

from __future__ import annotations

import contextlib
import copy
import sys
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Iterator, List, Optional, Set, Tuple, Union

import torch
from torch import nn

__all__ = ["ConfigMismatchError", "RefusedSave", "ConfigUpdate", "watch", "update_configs"]


class ConfigMismatchError(ValueError):
    """A shrunk model's config cannot describe it, so a checkpoint of it would reload wrongly."""


class RefusedSave:
    """Stands in for the ``save_pretrained`` of a shrunk model whose config cannot describe it;
    ``reason`` names the layers and their widths. Holds no reference to the model, so that
    copies and pickles of the model keep refusing."""

    def __init__(self, reason: str) -> None:
        self.reason = reason

    def __call__(self, *args: Any, **kwargs: Any) -> None:
        raise ConfigMismatchError(self.reason)

    def __repr__(self) -> str:
        return f"RefusedSave({self.reason!r})"


def pretrained_models(model: nn.Module) -> List[Tuple[str, nn.Module]]:
    """The outermost ``transformers.PreTrainedModel`` modules of ``model`` (itself included),
    with their names; none without importing transformers."""
    modeling = sys.modules.get("transformers.modeling_utils")
    base = getattr(modeling, "PreTrainedModel", None)
    if base is None:
        return []
    found: List[Tuple[str, nn.Module]] = []
    for name, module in model.named_modules():
        if isinstance(module, base) and not any(_under(name, outer) for outer, _ in found):
            found.append((name, module))
    return found


def _under(name: str, prefix: str) -> bool:
    return prefix == "" or name == prefix or name.startswith(prefix + ".")


@dataclass
class _Watched:
    name: str
    module: nn.Module
    #: differences the model had from a build of its config before the cut (None: no build)
    known: Optional[Set[str]]
    #: the integers its modules held before the cut, by "module.attribute"
    integers: Dict[str, int]


def watch(model: nn.Module) -> List[_Watched]:
    """Before a cut: the model's transformers models, each with the differences it already has
    from a model built from its config (those are not the cut's doing)."""
    watched = []
    for name, module in pretrained_models(model):
        found = _differences(module, module.config, name)
        integers = {
            f"{path}.{attr}": value
            for path, block in module.named_modules()
            for attr, value in vars(block).items()
            if type(value) is int and not attr.startswith("_")
        }
        watched.append(
            _Watched(name, module, set(found) if isinstance(found, dict) else None, integers)
        )
    return watched


@dataclass
class ConfigUpdate:
    """What :func:`update_configs` changed: per transformers model (by its name in the shrunk
    model, "" for the model itself) the config fields, before and after, and the reason its
    ``save_pretrained`` refuses; ``undo()`` puts the configs and the saves back."""

    changes: Dict[str, Dict[str, Tuple[Any, Any]]] = field(default_factory=dict)
    mismatches: Dict[str, str] = field(default_factory=dict)
    _undo: List[Tuple[nn.Module, Any, Any]] = field(default_factory=list, repr=False)

    def undo(self) -> None:
        for module, config, save in reversed(self._undo):
            _install(module, module.config, config)
            if save is None:
                module.__dict__.pop("save_pretrained", None)
            else:
                module.__dict__["save_pretrained"] = save
        self._undo.clear()


def update_configs(watched: Iterable[_Watched], cut_names: Iterable[str]) -> ConfigUpdate:
    """After a cut: each watched model that lost channels (``cut_names``: the qualified names
    of the tensors cut) gets a config with the widths read off its modules; one whose config
    cannot describe it gets a ``save_pretrained`` that raises :class:`ConfigMismatchError`."""
    update = ConfigUpdate()
    names = list(cut_names)
    for item in watched:
        if not any(_under(name, item.name) for name in names):
            continue
        module, old = item.module, item.module.config
        fields, disagreements = _read_widths(module, old, item.name)
        config = copy.deepcopy(old)
        changed = {}
        for key, value in fields.items():
            before = getattr(old, key, None)
            if before != value:
                setattr(config, key, value)
                changed[key] = (before, value)
        problems = list(disagreements)
        if item.known is not None:
            found = _differences(module, config, item.name)
            if isinstance(found, str):  # it built from the config before the cut
                problems.append(found)
            else:
                problems += [
                    text
                    for key, text in found.items()
                    if key not in item.known and not _stale(key, module, item.integers)
                ]
        save = module.__dict__.get("save_pretrained")
        update._undo.append((module, old, save))
        if changed:
            _install(module, old, config)
            update.changes[item.name] = changed
        if problems:
            reason = _reason(item.name, module, problems, bool(disagreements))
            update.mismatches[item.name] = reason
            module.__dict__["save_pretrained"] = RefusedSave(reason)
        elif isinstance(save, RefusedSave):  # a model made alike again saves again
            del module.__dict__["save_pretrained"]
    return update


def _install(model: nn.Module, old: Any, new: Any) -> None:
    """Every module of ``model`` holding ``old`` (the model, its base model, its attention
    blocks) holds ``new`` instead: a config the caller shares with other models stays theirs."""
    for module in model.modules():
        if module.__dict__.get("config") is old:
            module.__dict__["config"] = new


def _reason(name: str, model: nn.Module, problems: List[str], uneven: bool) -> str:
    shown = problems[:8] + ([f"... {len(problems) - 8} more"] if len(problems) > 8 else [])
    what = name or type(model).__name__
    text = (
        f"save_pretrained of {what} is refused: its config cannot describe the shrunk model, so "
        "from_pretrained would build other layers than the checkpoint holds: "
        + "; ".join(shown)
        + "."
    )
    if uneven:
        text += (
            " Layers the config gives one width were cut to different widths: choose with "
            "choose_channels(..., uniform_layers=True)."
        )
    return text + " save_shrunk keeps the shrunk model as it is."


# --------------------------------------------------------------------- widths of the modules

# config fields by the widths they hold, first the one the config has (attribute_map resolves
# GPT-2's n_embd and n_head, Whisper's d_model); encoder_/decoder_ fields for the stack a
# layer is in (Whisper, BART)
_FIELDS = {
    "hidden_size": ("hidden_size",),
    "num_attention_heads": ("num_attention_heads",),
    "num_key_value_heads": ("num_key_value_heads",),
    "head_dim": ("head_dim",),
    "intermediate_size": ("intermediate_size", "n_inner", "ffn_dim"),
}
_STACKED = {"num_attention_heads": "attention_heads", "intermediate_size": "ffn_dim"}


def _read_widths(model: nn.Module, config: Any, prefix: str) -> Tuple[Dict[str, int], List[str]]:
    """The config fields the modules give one value each, and, for fields the modules give
    several values, what each module holds."""
    seen: Dict[str, List[Tuple[str, int]]] = {}

    def note(kind: str, name: str, value: Any) -> None:
        if type(value) is not int or value < 1:
            return
        key = _field(config, kind, name)
        if key is not None:
            seen.setdefault(key, []).append((_join(prefix, name), value))

    embedding = _input_embedding(model)
    if embedding is not None:
        note("hidden_size", embedding[0], embedding[1])
    for name, module in model.named_modules():
        for kind, value in _module_widths(module):
            note(kind, name, value)
    fields: Dict[str, int] = {}
    disagreements: List[str] = []
    for key, found in seen.items():
        values = {value for _, value in found}
        if len(values) == 1:
            fields[key] = values.pop()
        else:
            disagreements.append(
                f"{key}: " + ", ".join(f"{name} has {value}" for name, value in found)
            )
    # head_dim only where the config has it, or where the model's code reads it and the
    # default (hidden_size // heads) would say otherwise (Qwen2)
    heads = fields.get(_field(config, "num_attention_heads", "") or "")
    hidden = fields.get(_field(config, "hidden_size", "") or "")
    if "head_dim" in fields and not _has(config, "head_dim"):
        if heads and hidden and hidden // heads == fields["head_dim"]:
            del fields["head_dim"]
    return fields, disagreements


def _field(config: Any, kind: str, module_name: str) -> Optional[str]:
    stack = next((part for part in module_name.split(".") if part in ("encoder", "decoder")), "")
    if stack and kind in _STACKED and _has(config, f"{stack}_{_STACKED[kind]}"):
        return f"{stack}_{_STACKED[kind]}"
    if kind == "head_dim":
        return "head_dim"
    name = next((name for name in _FIELDS[kind] if _has(config, name)), None)
    return getattr(config, "attribute_map", {}).get(name, name)


def _has(config: Any, name: str) -> bool:
    return name in vars(config) or name in getattr(config, "attribute_map", {})


def _join(prefix: str, name: str) -> str:
    return f"{prefix}.{name}" if prefix and name else prefix or name


def _input_embedding(model: Any) -> Optional[Tuple[str, int]]:
    """The name and width of the model's input embedding (token embedding, or ViT's patch
    projection)."""
    try:
        found = model.get_input_embeddings()
    except (AttributeError, NotImplementedError):
        return None
    if isinstance(found, nn.Embedding):
        width = found.embedding_dim
    elif isinstance(getattr(found, "projection", None), nn.Conv2d):
        width = found.projection.out_channels
    else:
        return None
    name = next((n for n, m in model.named_modules() if m is found), None)
    return None if name is None else (name, width)


def _linear_width(module: Any) -> Optional[int]:
    return module.out_features if isinstance(module, nn.Linear) else None


def _module_widths(module: Any) -> Iterator[Tuple[str, Any]]:
    """(width kind, value) pairs a transformers block holds."""
    own = vars(module)
    if isinstance(getattr(module, "c_attn", None), nn.Module) and "num_heads" in own:
        yield "num_attention_heads", own["num_heads"]  # GPT-2
    elif isinstance(getattr(module, "q_proj", None), nn.Linear) and isinstance(
        getattr(module, "k_proj", None), nn.Linear
    ):
        if "num_heads" in own:  # Whisper, BART: q/k/v as wide as the stream
            yield "num_attention_heads", own["num_heads"]
        elif type(own.get("head_dim")) is int and own["head_dim"] > 0:  # LLaMA, Mistral, Qwen2
            head_dim = own["head_dim"]
            queries, keys = module.q_proj.out_features, module.k_proj.out_features
            yield "head_dim", head_dim
            if queries % head_dim == 0:
                yield "num_attention_heads", queries // head_dim
            if keys % head_dim == 0:
                yield "num_key_value_heads", keys // head_dim
    elif isinstance(getattr(module, "query", None), nn.Linear) and "num_attention_heads" in own:
        yield "num_attention_heads", own["num_attention_heads"]  # BERT, ViT
    for child in ("up_proj", "fc1"):  # LLaMA's MLP, Whisper's layer
        width = _linear_width(getattr(module, child, None))
        if width is not None:
            yield "intermediate_size", width
    c_fc = getattr(module, "c_fc", None)  # GPT-2's MLP (Conv1D)
    if isinstance(c_fc, nn.Module) and type(getattr(c_fc, "nf", None)) is int:
        yield "intermediate_size", c_fc.nf
    dense = getattr(module, "dense", None)  # BERT's, ViT's intermediate block
    width = _linear_width(dense)
    if type(module).__name__.endswith("Intermediate") and width is not None:
        yield "intermediate_size", width


# ------------------------------------------------------------ the config's build, compared


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    logging = getattr(sys.modules.get("transformers.utils.logging"), "get_logger", None)
    logger = logging("transformers") if logging is not None else None
    level = logger.level if logger is not None else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if logger is not None:
            logger.setLevel(40)  # the build's notes are about a model nobody uses
        try:
            yield
        finally:
            if logger is not None:
                logger.setLevel(level)


def _differences(model: nn.Module, config: Any, prefix: str) -> Union[Dict[str, str], str]:
    """Where ``type(model)(config)`` (built on the meta device) differs from ``model``: tensor
    names and shapes, module types, and the numbers modules hold (head counts, widths,
    scales); the error, as text, when the config does not build."""
    try:
        with _quiet(), torch.device("meta"):
            built = type(model)(copy.deepcopy(config))
    except Exception as error:  # the model's own code refuses the config
        return f"its class does not build from the config ({type(error).__name__}: {error})"
    found: Dict[str, str] = {}
    validate = getattr(config, "validate", None)  # what the config's own save checks
    if callable(validate):
        try:
            with _quiet():
                validate()
        except Exception as error:
            cause = error.__cause__ or error
            found["validate"] = f"the config's save refuses it: {cause}"
    mine = _tensor_shapes(model)
    theirs = _tensor_shapes(built)
    for name in list(mine) + [n for n in theirs if n not in mine]:
        shape, other = mine.get(name), theirs.get(name)
        if shape != other:
            found[f"tensor {name}"] = (
                f"{_join(prefix, name)} is {_shape(shape)}, the config builds {_shape(other)}"
            )
    modules = dict(built.named_modules())
    for name, module in model.named_modules():
        other = modules.get(name)
        if other is None:
            continue
        if type(other) is not type(module):
            found[f"module {name}"] = (
                f"{_join(prefix, name) or 'the model'} is a {type(module).__name__}, the config "
                f"builds a {type(other).__name__}"
            )
            continue
        theirs_own = vars(other)
        for attr, value in vars(module).items():
            if attr.startswith("_") or attr not in theirs_own or not _number(value):
                continue
            if theirs_own[attr] != value:
                found[f"attribute {name}.{attr}"] = (
                    f"{_join(prefix, name)}.{attr} is {value}, the config builds {theirs_own[attr]}"
                )
    return found


def _stale(key: str, model: nn.Module, before: Dict[str, int]) -> bool:
    """Whether ``key`` is an integer attribute the cut left as it was (a block's copy of the
    config's width, ``LlamaMLP.intermediate_size``): the shrunk model computes right with the
    old number, so its code sizes nothing by it, and the rebuild's new one changes nothing."""
    if not key.startswith("attribute "):
        return False
    path, _, attr = key[len("attribute ") :].rpartition(".")
    try:
        value = vars(model.get_submodule(path)).get(attr)
    except AttributeError:
        return False
    return type(value) is int and before.get(f"{path}.{attr}") == value


def _tensor_shapes(model: nn.Module) -> Dict[str, Tuple[int, ...]]:
    shapes = {name: tuple(t.shape) for name, t in model.named_parameters()}
    shapes.update((name, tuple(t.shape)) for name, t in model.named_buffers())
    return shapes


def _shape(shape: Optional[Tuple[int, ...]]) -> str:
    return "missing" if shape is None else str(tuple(shape))


def _number(value: Any) -> bool:
    if type(value) in (int, float):
        return True
    return type(value) in (tuple, list) and bool(value) and all(type(v) is int for v in value)

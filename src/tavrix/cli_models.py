"""What the command line's ``--model`` names, and the random inputs that suit it.

    MODULE:FACTORY[:key=value,...]     a callable of an importable module, called with
                                       the keywords (torchvision.models:resnet50:num_classes=10)
    timm:NAME[:key=value,...]          timm.create_model(NAME, pretrained=False, **keywords)
    hf:NAME[:key=value,...]            a transformers model built from a configuration:
                                       NAME is a model type (gpt2, bert, vit), a configuration
                                       class (GPT2Config: the base model) or a model class
                                       (GPT2LMHeadModel); the keywords go to the configuration

Values are Python literals (``2``, ``0.5``, ``False``, ``(1, 2)``, ``'gelu'``); anything else
is taken as a string. Nothing is downloaded: no pretrained weights, no hub configuration.
"""

from __future__ import annotations

import ast
import importlib
import inspect
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple, cast

import torch
from torch import nn

from tavrix.utils.optional import MissingDependencyError, optional_import

__all__ = ["FORMS", "LoadedModel", "ModelFormError", "load_model", "parse_keywords"]

FORMS = (
    "MODULE:FACTORY[:key=value,...] (a callable, e.g. torchvision.models:resnet50), "
    "timm:NAME[:key=value,...] (timm.create_model, no pretrained weights), "
    "hf:MODEL_TYPE|CONFIG_CLASS|MODEL_CLASS[:key=value,...] (transformers, from a "
    "configuration, e.g. hf:gpt2:n_layer=2,n_embd=64,n_head=2)"
)

# Token ids for language models: a short sequence fits every position table.
DEFAULT_TOKENS = (2, 16)


class ModelFormError(ValueError):
    """A --model value that names no model the command line can build (one line)."""


MakeInput = Callable[[Tuple[int, ...], torch.Generator], torch.Tensor]


def _float_input(shape: Tuple[int, ...], generator: torch.Generator) -> torch.Tensor:
    return torch.randn(shape, generator=generator)


@dataclass
class LoadedModel:
    model: nn.Module
    #: short name for titles (the factory, timm or transformers name)
    name: str
    #: input shape when --input-shape is not given; None: the command line's default
    default_shape: Optional[Tuple[int, ...]] = None
    #: one random batch of a shape
    make_input: MakeInput = _float_input


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, SystemExit):
        return f"it called sys.exit({exc.code!r})"
    lines = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {lines[0] if lines else ''}".rstrip(": ")


def _split_top_level(text: str) -> List[str]:
    """Split at commas outside brackets and quotes, so that ``size=(1, 2)`` stays whole."""
    parts, depth, quote, start = [], 0, "", 0
    for i, char in enumerate(text):
        if quote:
            if char == quote:
                quote = ""
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def parse_keywords(text: str) -> Dict[str, Any]:
    """``key=value,key=value`` into a dict; values are Python literals, else strings."""
    keywords: Dict[str, Any] = {}
    for item in _split_top_level(text):
        key, sep, raw = item.partition("=")
        key = key.strip()
        if not sep or not key.isidentifier():
            raise ModelFormError(
                f"--model keywords must be key=value separated by commas, got {item!r}"
            )
        if key in keywords:
            raise ModelFormError(f"--model keyword {key!r} given twice")
        raw = raw.strip()
        try:
            keywords[key] = ast.literal_eval(raw)
        except (ValueError, SyntaxError):
            keywords[key] = raw
    return keywords


def _import(name: str, needed_by: str) -> Any:
    try:
        return optional_import(name, needed_by)
    except MissingDependencyError as error:
        raise ModelFormError(str(error)) from None


def _checked(model: Any, what: str) -> nn.Module:
    if not isinstance(model, nn.Module):
        raise ModelFormError(f"{what} returned {type(model).__name__}, not a torch.nn.Module")
    if next(iter(model.parameters()), None) is None:
        raise ModelFormError(f"the model built by {what} has no parameters: nothing to prune")
    return model


def _call(factory: Callable[..., Any], keywords: Dict[str, Any], what: str) -> Any:
    try:
        return factory(**keywords)
    except (Exception, SystemExit) as exc:
        raise ModelFormError(f"{what}() failed: {_one_line(exc)}") from None


def _factory(module_name: str, rest: str) -> LoadedModel:
    attribute, _, keyword_text = rest.partition(":")
    if not attribute:
        raise ModelFormError(f"--model must look like module:factory, got {module_name + ':'!r}")
    keywords = parse_keywords(keyword_text)
    try:
        target: Any = importlib.import_module(module_name)
    except (Exception, SystemExit) as exc:
        raise ModelFormError(f"cannot import module {module_name!r}: {_one_line(exc)}") from None
    for part in attribute.split("."):
        if not hasattr(target, part):
            raise ModelFormError(f"{module_name!r} has no attribute {attribute!r}")
        target = getattr(target, part)
    what = f"{module_name}:{attribute}"
    if not callable(target):
        raise ModelFormError(f"{what} is not callable")
    return LoadedModel(_checked(_call(target, keywords, what), f"{what}()"), attribute)


def _timm(name: str, keywords: Dict[str, Any]) -> LoadedModel:
    timm = _import("timm", "--model timm:NAME")
    if not timm.is_model(name):
        near = timm.list_models(f"*{name}*")[:5]
        hint = f"; names containing it: {', '.join(near)}" if near else ""
        raise ModelFormError(f"timm has no model {name!r}{hint}")
    what = f"timm.create_model({name!r}, pretrained=False)"
    model = _checked(
        _call(lambda **kw: timm.create_model(name, pretrained=False, **kw), keywords, what), what
    )
    size = (getattr(model, "pretrained_cfg", None) or {}).get("input_size")
    shape = (2, *size) if size else None
    return LoadedModel(model, name, shape)


class TransformersCall(nn.Module):
    """Calls a transformers model on its main input alone and returns its first output.

    Positions and token types the model would make itself are passed in, made from the
    input as the model makes them, and the key/value cache is off: the explicit call, whose
    plans prune as much as the ordinary call's and name the same nodes whatever the
    model's defaults.
    """

    def __init__(self, model: nn.Module) -> None:
        super().__init__()
        self.model = model
        self.input_name = getattr(model, "main_input_name", "input_ids")
        self._parameters_taken = set(inspect.signature(model.forward).parameters)

    def forward(self, x: torch.Tensor) -> Any:
        taken = self._parameters_taken
        extra: Dict[str, Any] = {}
        if self.input_name == "input_ids":
            if "position_ids" in taken:
                extra["position_ids"] = torch.arange(x.shape[1], device=x.device).expand_as(x)
            if "token_type_ids" in taken:
                extra["token_type_ids"] = torch.zeros_like(x)
            if "decoder_input_ids" in taken:
                extra["decoder_input_ids"] = x
        if "use_cache" in taken:
            extra["use_cache"] = False
        output = self.model(**{self.input_name: x}, **extra)
        return output[0]


def _hf(name: str, keywords: Dict[str, Any]) -> LoadedModel:
    transformers = _import("transformers", "--model hf:NAME")
    found = getattr(transformers, name, None)
    what = f"transformers {name}"
    try:
        if isinstance(found, type) and issubclass(found, transformers.PreTrainedModel):
            # a transformers model class, typed as just a type once isinstance has run
            config = cast(Any, found).config_class(**keywords)
            build: Callable[[], Any] = lambda: found(config)  # noqa: E731
        elif isinstance(found, type) and issubclass(found, transformers.PretrainedConfig):
            config = found(**keywords)
            build = lambda: transformers.AutoModel.from_config(config)  # noqa: E731
        else:
            config = transformers.AutoConfig.for_model(name, **keywords)
            build = lambda: transformers.AutoModel.from_config(config)  # noqa: E731
    except ValueError as exc:
        if "Unrecognized model identifier" in str(exc):
            raise ModelFormError(
                f"transformers knows no model type or class {name!r}: give a model type "
                "(gpt2, bert, vit, ...), a configuration class (GPT2Config) or a model class "
                "(GPT2LMHeadModel)"
            ) from None
        raise ModelFormError(f"{what} configuration failed: {_one_line(exc)}") from None
    except Exception as exc:
        raise ModelFormError(f"{what} configuration failed: {_one_line(exc)}") from None
    if "use_cache" not in keywords and hasattr(config, "use_cache"):
        config.use_cache = False
    model = _checked(_call(lambda: build(), {}, what), what)
    wrapped = TransformersCall(model)
    shape: Optional[Tuple[int, ...]] = None
    make: MakeInput = _float_input
    if wrapped.input_name == "input_ids":
        vocab = int(getattr(config, "vocab_size", 0) or 0)
        if vocab <= 0:
            raise ModelFormError(f"{what}: the configuration has no vocab_size for token ids")
        shape = DEFAULT_TOKENS

        def make(size: Tuple[int, ...], generator: torch.Generator) -> torch.Tensor:
            return torch.randint(0, vocab, size, generator=generator)

    elif wrapped.input_name == "pixel_values":
        side = getattr(config, "image_size", None)
        side = side[0] if isinstance(side, (list, tuple)) else side
        if isinstance(side, int):
            shape = (2, int(getattr(config, "num_channels", 3)), side, side)
    return LoadedModel(wrapped, name, shape, make)


def load_model(value: str) -> LoadedModel:
    """Build the model a --model value names; ModelFormError (one line) otherwise."""
    prefix, sep, rest = value.partition(":")
    if not sep or not prefix or not rest:
        raise ModelFormError(
            f"--model must look like module:factory or one of the other forms, got {value!r}; "
            f"accepted: {FORMS}"
        )
    if prefix in ("timm", "hf"):
        name, _, keyword_text = rest.partition(":")
        if not name:
            raise ModelFormError(f"--model {prefix}: needs a name; accepted: {FORMS}")
        keywords = parse_keywords(keyword_text)
        return _timm(name, keywords) if prefix == "timm" else _hf(name, keywords)
    return _factory(prefix, rest)

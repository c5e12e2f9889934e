"""Read one argument of a recorded call by position or keyword."""

from __future__ import annotations

from typing import Any, Mapping, Optional, Sequence

__all__ = ["ArgumentNotFoundError", "get_argument"]


class ArgumentNotFoundError(KeyError):
    """A call holds the argument neither at the given position nor under the given keyword."""

    def __str__(self) -> str:
        # KeyError would quote the whole message
        return str(self.args[0]) if self.args else ""


_NO_DEFAULT: Any = object()


def get_argument(
    *,
    arg_pos: int,
    arg_key: str,
    args: Optional[Sequence[Any]],
    kwargs: Optional[Mapping[str, Any]],
    default_value: Any = _NO_DEFAULT,
) -> Any:
    """``args[arg_pos]`` if ``args`` is that long, else ``kwargs[arg_key]``, else ``default_value``.

    Raises :class:`ArgumentNotFoundError` (a ``KeyError``) naming the position and
    the keyword when the argument is absent and no default was given.
    """
    if isinstance(arg_pos, bool) or not isinstance(arg_pos, int) or arg_pos < 0:
        raise ValueError(f"arg_pos must be a non-negative integer, got {arg_pos!r}")
    if args is not None and len(args) > arg_pos:
        return args[arg_pos]
    if kwargs is not None and arg_key in kwargs:
        return kwargs[arg_key]
    if default_value is _NO_DEFAULT:
        raise ArgumentNotFoundError(
            f"Argument not found: no positional argument {arg_pos} "
            f"(call has {0 if args is None else len(args)}) and no keyword {arg_key!r}"
        )
    return default_value

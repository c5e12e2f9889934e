"""Where in a model's own code the operation being traced was called."""

from types import CodeType
from typing import Any, Callable, Optional, Tuple, Union

MODULE_CALL: int
STOP: int

def call_site(
    classify: Callable[[CodeType], Union[None, int, Tuple[str, str]]],
) -> Tuple[Optional[Tuple[str, int, str]], Any]: ...
def _clear_sites() -> None: ...
def forget_last_call() -> None: ...

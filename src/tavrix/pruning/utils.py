"""Small helpers for pruning results."""

from __future__ import annotations

from typing import Iterable

__all__ = ["are_indices_continuous"]


def are_indices_continuous(indices: Iterable[int]) -> bool:
    """True when ``indices`` is non-empty and every entry is the previous one plus one."""
    items = list(indices)
    if not items:
        return False
    previous = items[0]
    for current in items[1:]:
        if current != previous + 1:
            return False
        previous = current
    return True

"""Operation sets the label engine and gate placement test membership in."""

from __future__ import annotations

from tavrix.flowscope.opkinds import (
    CHANNEL_MIX_OPS,
    NORM_REDUCE_OPS,
    STD_REDUCE_OPS,
    TRAIN_DEFAULT_DROPOUT_OPS,
    VAR_REDUCE_OPS,
)

__all__ = [
    "DROPOUT_TRAIN_DEFAULT_OPS",
    "NORM_OPS",
    "VAR_OPS",
    "STD_OPS",
    "PRUNE_CHANNEL_MIX_OPS",
]

# Dropouts whose `training` argument is on unless the call says otherwise.
DROPOUT_TRAIN_DEFAULT_OPS = TRAIN_DEFAULT_DROPOUT_OPS

# Reductions whose position 1 may be the norm order or the correction flag
# instead of the reduced dimension.
NORM_OPS = NORM_REDUCE_OPS
VAR_OPS = VAR_REDUCE_OPS
STD_OPS = STD_REDUCE_OPS

# Aggregates that combine the channels of several inputs (add, sub, mul, div in
# every recorded form).
PRUNE_CHANNEL_MIX_OPS = CHANNEL_MIX_OPS

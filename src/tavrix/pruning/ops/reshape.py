"""Operations that move channels without computing on them (extended rules): axis moves,
reshapes, expands, pieces, pads, rolls, indexing and fresh tensors shaped like an input."""

from __future__ import annotations

from tavrix.flowscope.opkinds import get_torch_and_tensor_methods
from tavrix.pruning.opfamily import OpFamily, forms
from tavrix.pruning.rules.transformer import (
    SPLITS,
    _getitem_node_handler,
    _split_node_handler,
    _stack_node_handler,
)
from tavrix.pruning.shrink.extended import MovesChannels, ReadsNoChannels, ReshapeRule
from tavrix.pruning.shrink.transformer import IndexRule, SplitRule

_MOVES = MovesChannels()
_READS_NONE = ReadsNoChannels()


def _moving(name: str, ops: tuple, handler: str) -> OpFamily:
    return OpFamily(name, ops, rule_set="extended", label=handler, cut=_MOVES)


PERMUTE = _moving("permute", forms("permute"), "_permute_node_handler")
TRANSPOSE = _moving(
    "transpose", forms("transpose", "swapaxes", "swapdims", "t"), "_transpose_node_handler"
)
MOVEDIM = _moving("movedim", forms("movedim", "moveaxis"), "_movedim_node_handler")
# a reshape given a count read off other channels ties their cuts
RESHAPE = OpFamily(
    "reshape",
    forms("reshape", "view", "view_as", "reshape_as", "unflatten", "squeeze", "unsqueeze")
    + tuple(get_torch_and_tensor_methods("flatten")),
    rule_set="extended",
    label="_reshape_node_handler",
    cut=ReshapeRule(),
)
EXPAND = _moving("expand", forms("expand", "expand_as", "broadcast_to"), "_expand_node_handler")
# slices; rows of a parameter read by a tensor of indices are an embedding's lookup
GETITEM = OpFamily(
    "getitem",
    forms("__getitem__"),
    rule_set="extended",
    label=_getitem_node_handler,
    cut=IndexRule(),
)
PIECES = _moving("pieces", forms("chunk", "unbind"), "_pieces_node_handler")
# pieces along a new axis: the same positions of every piece go together
STACK = OpFamily(
    "stack", forms("stack"), rule_set="extended", label=_stack_node_handler, cut=_MOVES
)
# equal pieces along the channel axis (GPT-2's q, k, v); other splits as pieces
SPLIT = OpFamily("split", SPLITS, rule_set="extended", label=_split_node_handler, cut=SplitRule())
PAD = _moving("pad", forms("pad", functional=True), "_pad_node_handler")
ROLL = _moving("roll", forms("roll"), "_roll_node_handler")
FRESH_TENSOR = OpFamily(
    "fresh_tensor",
    forms(
        "new_zeros",
        "new_ones",
        "new_empty",
        "new_full",
        "zeros_like",
        "ones_like",
        "empty_like",
        "full_like",
    ),
    rule_set="extended",
    label="_fresh_tensor_node_handler",
    cut=_READS_NONE,
)

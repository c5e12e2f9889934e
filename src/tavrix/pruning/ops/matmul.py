"""Matrix products: with a weight they are layers (``x @ W``, ``addmm``, transformers'
``Conv1D``), between activations they tie the operands' channels."""

from __future__ import annotations

from tavrix.pruning.opfamily import OpFamily, optional_adapter
from tavrix.pruning.rules.transformer import (
    ADDMMS,
    MATMULS,
    _addmm_node_handler,
    _matmul_node_handler,
    whole_heads_of_uneven_pieces,
)
from tavrix.pruning.shrink.transformer import MatmulRule, _conv1d_adapter

MATMUL = OpFamily(
    "matmul",
    MATMULS,
    rule_set="extended",
    label=_matmul_node_handler,
    cut=MatmulRule(addmm=False),
    # x @ self.weight.T: the layer's channels are the product's
    weight_argument=(1, "other"),
    # heads split into pieces of differing sizes (LeViT's q, k, v) go whole
    whole_heads=whole_heads_of_uneven_pieces,
)
ADDMM = OpFamily(
    "addmm",
    ADDMMS,
    rule_set="extended",
    label=_addmm_node_handler,
    cut=MatmulRule(addmm=True),
    adapters=optional_adapter("transformers.pytorch_utils", "Conv1D", _conv1d_adapter),
    layer_axis=-1,
)

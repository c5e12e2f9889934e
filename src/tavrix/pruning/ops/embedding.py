"""Embeddings: the weight's columns are the output channels."""

from __future__ import annotations

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.pruning.opfamily import OpFamily
from tavrix.pruning.rules.transformer import _embedding_node_handler
from tavrix.pruning.shrink.transformer import EmbeddingRule, _embedding_adapter

EMBEDDING = OpFamily(
    "embedding",
    (F.embedding, torch.embedding),
    rule_set="extended",
    label=_embedding_node_handler,
    cut=EmbeddingRule(),
    adapters={nn.Embedding: _embedding_adapter},
)

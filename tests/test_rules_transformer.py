"""The extended rules for transformers, each on a small traced module with the groups derived
by hand and the shrunk module proven equal to the masked original."""

import pytest
import torch
from torch import nn

from test_rules import analyse, cut_and_check, made


class TinyViT(nn.Module):
    """Patches embedded, a class token concatenated, position embeddings added, one block of
    nn.MultiheadAttention (2 heads of 8) and an MLP, a head on the class token."""

    def __init__(self, need_weights=False):
        super().__init__()
        self.need_weights = need_weights
        self.embed = nn.Linear(6, 16)
        self.class_token = nn.Parameter(torch.randn(1, 1, 16))
        self.pos = nn.Parameter(torch.randn(1, 5, 16))
        self.ln = nn.LayerNorm(16)
        self.attn = nn.MultiheadAttention(16, 2, batch_first=True)
        self.mlp = nn.Sequential(nn.Linear(16, 32), nn.GELU(), nn.Linear(32, 16))
        self.head = nn.Linear(16, 3)

    def forward(self, x):
        x = self.embed(x)
        x = torch.cat([self.class_token.expand(x.shape[0], -1, -1), x], dim=1) + self.pos
        y = self.ln(x)
        x = x + self.attn(y, y, y, need_weights=self.need_weights)[0]
        x = x + self.mlp(x)
        return self.head(x[:, 0])


@pytest.mark.parametrize(
    "split, need_weights, stream, heads_after",
    [
        ("inner", False, 8, 2),  # position j of both heads with stream channels j and 8 + j
        ("largest", False, 8, 2),  # head_dim 8 > 2 heads: the same positions
        ("outer", False, 2, 1),  # whole heads with stream channels 0-7 and 8-15
        ("largest", True, None, 2),  # the weights come back too: a barrier
    ],
)
def test_multi_head_attention_and_a_class_token(split, need_weights, stream, heads_after):
    model, x = made(TinyViT(need_weights)), torch.randn(2, 4, 6)
    plan = analyse(model, x, split=split)
    sizes = sorted(len(labels) for _, labels in plan.prunable_groups)
    assert sizes == sorted([32] + ([stream] if stream else []))
    if stream is None:
        return
    removed = {
        i: labels[: len(labels) // 2]
        for i, (_, labels) in enumerate(plan.prunable_groups)
    }
    cut_and_check(model, x, plan, removed)
    attention = model.attn
    assert attention.embed_dim == attention.kdim == model.class_token.shape[-1] == 8
    assert (attention.num_heads, attention.head_dim) == (heads_after, 8 // heads_after)
    assert attention.in_proj_weight.shape == (24, 8) and attention.out_proj.weight.shape == (8, 8)

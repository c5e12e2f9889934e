"""Extended rules: a linear layer whose input and output channels end in one label class
is cut on its output only. A dual-path block (`a, b = x.chunk(2, -1)`,
`cat([fc(a), b])`) ties position i of `a` and `b`; an attention after it that loses the same
head_dim positions of every head (split="inner", or "largest" with head_dim > heads) ties
position i of each head, so fc's output position i joins its input position i. Removing such
a label cuts fc's weight rows and bias but not its columns (in_features stays): shrink()
accepts a model whose fc raises a shape error (check_equal). Without the attention the
shrink refuses ("reads removed channels that its output does not carry"), although cutting
fc's input columns is all it takes (a convolution on a chunk piece is cut so).
Likely one cause for both: LinearRule (shrink/rules.py) decides whether its input loses
channels along the last axis with `_last_axis(ctx, source)`, which reads
`source.result_shape`; for a piece of a chunk that is not the piece's shape, so the input is
never cut (ConvRule uses `ctx.keep_along`, which reads `shape_of(arg)`).
Not the id()-keyed tuple cache: it fails the same with that cache bypassed (below).

Run: PYTHONPATH=src .venv/bin/python <this file>, from the project root   (exit 1 = reproduced)
"""

import copy
import sys
import warnings

import torch
import torch.nn.functional as F
from torch import nn

import tavrix.pruning.shrink.context as context
from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.shrink import ShrinkError, check_equal, shrink

_slice = context.CutContext.slice


def _slice_without_cache(self, owned, axis, keep, node):
    self._tuples.clear()
    return _slice(self, owned, axis, keep, node)


context.CutContext.slice = _slice_without_cache


class Attention(nn.Module):  # transformers style, scale held as a number
    def __init__(self, c, heads):
        super().__init__()
        self.num_heads, self.head_dim = heads, c // heads
        self.scaling = self.head_dim**-0.5
        self.q_proj, self.k_proj = nn.Linear(c, c), nn.Linear(c, c)
        self.v_proj, self.o_proj = nn.Linear(c, c), nn.Linear(c, c)

    def forward(self, h):
        bsz, q_len, _ = h.size()

        def heads(t):
            return t.view(bsz, q_len, self.num_heads, self.head_dim).transpose(1, 2)

        q, k, v = (heads(p(h)) for p in (self.q_proj, self.k_proj, self.v_proj))
        o = ((q @ k.transpose(2, 3)) * self.scaling).softmax(-1) @ v
        return h + self.o_proj(o.transpose(1, 2).reshape(bsz, q_len, -1))


class MHA(nn.Module):
    def __init__(self, c, heads):
        super().__init__()
        self.attn = nn.MultiheadAttention(c, heads, batch_first=True)

    def forward(self, h):
        return h + self.attn(h, h, h, need_weights=False)[0]


class Net(nn.Module):
    def __init__(self, attention):
        super().__init__()
        self.embed = nn.Linear(5, 8)
        self.fc = nn.Linear(4, 4)
        self.attn = attention
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        a, b = self.embed(x).chunk(2, dim=-1)
        x = torch.cat([F.gelu(self.fc(a)), b], dim=-1)
        if self.attn is not None:
            x = self.attn(x)
        return self.head(x.mean(1))


bad = 0
x = torch.randn(2, 5, 5, dtype=torch.float64)
for name, attention in (
    ("none", lambda: None),
    ("transformers-style", lambda: Attention(8, 2)),
    ("nn.MultiheadAttention", lambda: MHA(8, 2)),
):
    torch.manual_seed(0)
    model = Net(attention()).double().eval()
    with warnings.catch_warnings(), rules.extended(split="inner"):
        warnings.simplefilter("ignore")
        plan = get_cutplan(model, (x,), {})
    (nodes, labels) = plan.prunable_groups[0]
    removed = {0: [labels[1]]}
    original = copy.deepcopy(model)
    try:
        shrink(model, plan, removed)
    except ShrinkError as e:
        print(f"attention {name}: refused: {e}")
        continue
    result = check_equal(original, model, plan, removed, (x,), {})
    print(
        f"attention {name}: fc {tuple(original.fc.weight.shape)} -> "
        f"{tuple(model.fc.weight.shape)}: {result}"
    )
    bad += not result.passed
sys.exit(1 if bad else 0)

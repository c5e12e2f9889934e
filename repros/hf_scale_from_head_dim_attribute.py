"""Extended rules: transformers-style attention (separate q/k/v projections, heads by
`view(bsz, q_len, self.num_heads, self.head_dim)`, `bsz, q_len, _ = hidden_states.size()`)
whose scores are scaled after `q @ k^T` by `math.sqrt(self.head_dim)`. With head_dim
positions cut (split="inner", or "largest" when head_dim exceeds the heads) the shrink
updates `head_dim`, so the shrunk model divides by sqrt(new head_dim) while the masked
original divides by sqrt(old head_dim): shrink() accepts, check_equal fails at the div.
With the scale held as a number (`self.scaling`, fixed at build) the same cut checks equal.
shrink() should refuse (or the masked replay follow the attribute).

Run: PYTHONPATH=src .venv/bin/python <this file>, from the project root   (exit 1 = reproduced)
"""

import copy
import math
import sys
import warnings

import torch
from torch import nn

from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.shrink import ShrinkError, check_equal, shrink


class Attention(nn.Module):
    def __init__(self, c, heads, scale_by_attribute):
        super().__init__()
        self.num_heads, self.head_dim = heads, c // heads
        self.scaling = self.head_dim**-0.5
        self.scale_by_attribute = scale_by_attribute
        self.q_proj, self.k_proj = nn.Linear(c, c), nn.Linear(c, c)
        self.v_proj, self.o_proj = nn.Linear(c, c), nn.Linear(c, c)

    def forward(self, hidden_states):
        bsz, q_len, _ = hidden_states.size()

        def heads(t):
            return t.view(bsz, q_len, self.num_heads, self.head_dim).transpose(1, 2)

        q, k, v = (heads(p(hidden_states)) for p in (self.q_proj, self.k_proj, self.v_proj))
        if self.scale_by_attribute:
            scores = torch.matmul(q, k.transpose(2, 3)) / math.sqrt(self.head_dim)
        else:
            scores = torch.matmul(q, k.transpose(2, 3)) * self.scaling
        o = torch.matmul(scores.softmax(dim=-1), v)
        o = o.transpose(1, 2).reshape(bsz, q_len, self.num_heads * self.head_dim)
        return hidden_states + self.o_proj(o)


class Net(nn.Module):
    def __init__(self, heads, scale_by_attribute):
        super().__init__()
        self.embed = nn.Linear(5, 8)
        self.attn = Attention(8, heads, scale_by_attribute)
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        return self.head(self.attn(self.embed(x)).mean(1))


bad = 0
x = torch.randn(2, 5, 5, dtype=torch.float64)
for split, heads in (("inner", 2), ("largest", 1)):
    for by_attribute in (True, False):
        torch.manual_seed(0)
        model = Net(heads, by_attribute).double().eval()
        with torch.no_grad():  # sharper scores, so that the scale matters
            model.attn.q_proj.weight.mul_(4)
        with warnings.catch_warnings(), rules.extended(split=split):
            warnings.simplefilter("ignore")
            plan = get_cutplan(model, (x,), {})
        sizes = [len(labels) for _, labels in plan.prunable_groups]
        (_, labels) = plan.prunable_groups[0]
        removed = {0: [labels[1]]}
        original = copy.deepcopy(model)
        try:
            shrink(model, plan, removed)
        except ShrinkError as e:
            print(f"split={split} heads={heads} sqrt(self.head_dim)={by_attribute}: refused: {e}")
            continue
        result = check_equal(original, model, plan, removed, (x,), {})
        print(
            f"split={split} heads={heads} sqrt(self.head_dim)={by_attribute}: groups {sizes}, "
            f"head_dim {original.attn.head_dim} -> {model.attn.head_dim}: {result}"
        )
        bad += not result.passed
sys.exit(1 if bad else 0)

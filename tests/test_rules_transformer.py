"""The extended rules for transformers, each on a small traced module with the groups derived
by hand and the shrunk module proven equal to the masked original."""

import copy
import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.explain import explain
from tavrix.pruning.shrink import check_equal, shrink
from tavrix.pruning.shrink.context import ShrinkError
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
    removed = {i: labels[: len(labels) // 2] for i, (_, labels) in enumerate(plan.prunable_groups)}
    cut_and_check(model, x, plan, removed)
    attention = model.attn
    assert attention.embed_dim == attention.kdim == model.class_token.shape[-1] == 8
    assert (attention.num_heads, attention.head_dim) == (heads_after, 8 // heads_after)
    assert attention.in_proj_weight.shape == (24, 8) and attention.out_proj.weight.shape == (8, 8)


class Attention(nn.Module):
    """A block with q/k/v projections split into heads by the module's own sizes, attention
    by scaled_dot_product_attention (default scale) or written by hand, an output projection
    and a residual stream; ``kv_heads`` < heads: grouped-query attention; ``dim_name``: the
    attribute holding head_dim (T5's ``key_value_proj_dim``); ``head_bias``: a mask of one
    entry per head made in the call (T5's relative position bias); ``packed``: one projection
    chunked into q, k and v per head (GPT-NeoX), v going to the attention as a piece."""

    def __init__(
        self,
        hand_written=False,
        kv_heads=4,
        gqa_by="enable_gqa",
        dim_name="head_dim",
        head_bias=False,
        packed=False,
    ):
        super().__init__()
        self.hand_written, self.gqa_by, self.dim_name = hand_written, gqa_by, dim_name
        self.head_bias, self.packed = head_bias, packed
        self.qkv = nn.Linear(12, 48) if packed else None
        self.num_heads, self.num_key_value_heads = 4, kv_heads
        setattr(self, dim_name, 4)
        self.embed = nn.Linear(5, 12)
        self.q = nn.Linear(12, 16)
        self.k, self.v = nn.Linear(12, 4 * kv_heads), nn.Linear(12, 4 * kv_heads)
        self.o = nn.Linear(16, 12)
        self.head = nn.Linear(12, 2)

    def forward(self, x):
        b, n, _ = x.shape  # sizes read off the input: the attention's code sizes its heads
        x = self.embed(x)
        if self.packed:
            q, k, v = self.qkv(x).view(b, n, -1, 3 * self.head_dim).transpose(1, 2).chunk(3, -1)
            q, k = q * 1.5, k * 0.5  # q and k made anew (rotary embeddings), v a piece
        else:
            q, k, v = (
                t.view(b, n, -1, getattr(self, self.dim_name)).transpose(1, 2)
                for t in (self.q(x), self.k(x), self.v(x))
            )
        gqa = self.num_key_value_heads < self.num_heads
        if gqa and self.gqa_by == "repeat":  # transformers' repeat_kv
            r = self.num_heads // self.num_key_value_heads
            k, v = (t[:, :, None].expand(-1, -1, r, -1, -1).reshape(q.shape) for t in (k, v))
        if self.hand_written:
            attention = torch.softmax(q @ k.transpose(-2, -1) * 0.5, dim=-1) @ v
        else:
            extra = {"enable_gqa": True} if gqa and self.gqa_by == "enable_gqa" else {}
            if self.head_bias:
                extra["attn_mask"] = torch.linspace(-1, 1, 4 * n * n).view(1, 4, n, n)
            attention = F.scaled_dot_product_attention(q, k, v, **extra)
        y = attention.transpose(1, 2).reshape(b, n, -1)
        return self.head(x + self.o(y))


@pytest.mark.parametrize(
    "module, split, expected, attributes",
    [
        # the same head_dim positions of every head: q and k share them (4 labels), v's carry
        # to o (4 labels); the scale follows head_dim (the masked replay recomputes it)
        (Attention(), "inner", [4, 4, 12], {"head_dim": 2, "num_heads": 4}),
        # whole heads: q, k and v head h together
        (Attention(), "outer", [4, 12], {"head_dim": 4, "num_heads": 2}),
        # grouped-query attention: a key/value head with the two query heads reading it
        (Attention(kv_heads=2), "outer", [2, 12], {"num_heads": 2, "num_key_value_heads": 1}),
        (
            Attention(kv_heads=2, gqa_by="repeat"),
            "outer",
            [2, 12],
            {"num_heads": 2, "num_key_value_heads": 1},
        ),
        (Attention(kv_heads=2), "inner", [4, 4, 12], {"head_dim": 2, "num_key_value_heads": 2}),
        (Attention(dim_name="key_value_proj_dim"), "inner", [4, 4, 12], {"key_value_proj_dim": 2}),
        (Attention(packed=True), "outer", [4, 12], {"head_dim": 4, "num_heads": 2}),
        (Attention(packed=True), "inner", [4, 12], {"head_dim": 2, "num_heads": 4}),
        # a bias per head no cut reaches: the heads stay, head_dim positions go
        (Attention(head_bias=True), "outer", [12], {"num_heads": 4}),
        (Attention(head_bias=True), "inner", [4, 4, 12], {"head_dim": 2, "num_heads": 4}),
        # written by hand: whole heads through q @ k^T, softmax and @ v
        (Attention(hand_written=True), "outer", [4, 12], {"num_heads": 2}),
        # over head_dim q @ k^T and @ v are barriers (the code's numbers size head_dim and
        # the scale)
        (Attention(hand_written=True), "inner", [12], {"head_dim": 4}),
    ],
)
def test_attention(module, split, expected, attributes):
    model, x = made(module), torch.randn(2, 3, 5)
    plan = analyse(model, x, split=split)
    assert sorted(len(labels) for _, labels in plan.prunable_groups) == expected
    removed = {i: labels[: len(labels) // 2] for i, (_, labels) in enumerate(plan.prunable_groups)}
    cut_and_check(model, x, plan, removed)
    assert {name: getattr(model, name) for name in attributes} == attributes


class GPT2Like(nn.Module):
    """Token and position embeddings (tied to the head), GPT-2's Conv1D (addmm) projections,
    an equal split of q, k, v, a LLaMA-style RMSNorm written by hand and nn.RMSNorm."""

    def __init__(self):
        super().__init__()
        from transformers.pytorch_utils import Conv1D

        self.wte, self.wpe = nn.Embedding(11, 8), nn.Embedding(6, 8)
        self.norm_weight = nn.Parameter(torch.rand(8) + 0.5)
        self.c_attn, self.c_proj = Conv1D(24, 8), Conv1D(8, 8)
        self.split_size, self.head_dim = 8, 4
        self.up, self.down = nn.Parameter(torch.randn(8, 10)), nn.Parameter(torch.randn(10, 8))
        self.norm = nn.RMSNorm(8)
        self.head = nn.Linear(8, 11, bias=False)
        self.head.weight = self.wte.weight

    def forward(self, ids, positions):
        b, n = ids.shape
        x = self.wte(ids) + self.wpe(positions)
        h = x.to(torch.float32)
        h = self.norm_weight * (h * torch.rsqrt(h.pow(2).mean(-1, keepdim=True) + 1e-6))
        q, k, v = (
            t.view(b, n, -1, self.head_dim).transpose(1, 2)
            for t in self.c_attn(h).split(self.split_size, dim=2)
        )
        y = F.scaled_dot_product_attention(q, k, v, is_causal=True)
        x = x + self.c_proj(y.transpose(1, 2).reshape(b, n, -1))
        x = x + F.gelu(self.norm(x) @ self.up) @ self.down
        return self.head(x)


@pytest.mark.parametrize("split, stream", [("inner", 4), ("outer", 2)])
def test_projections_norms_and_embeddings(split, stream):
    # the stream (embeddings, norms, Conv1D and matmul inputs, the tied head's inputs) is tied
    # to nothing else; q, k, v positions by the split; the MLP's 10 are the parameter's columns
    model = made(GPT2Like())
    ids, positions = torch.randint(0, 11, (2, 5)), torch.arange(5).expand(2, 5)
    with warnings.catch_warnings(), rules.extended(split=split):
        warnings.simplefilter("ignore", UserWarning)
        plan = get_cutplan(model, (ids, positions), {})
    sizes = sorted(len(labels) for _, labels in plan.prunable_groups)
    assert sizes == sorted([8, stream, 10])
    removed = {i: labels[: len(labels) // 2] for i, (_, labels) in enumerate(plan.prunable_groups)}
    original = copy.deepcopy(model)
    shrink(model, plan, removed)
    result = check_equal(original, model, plan, removed, (ids, positions))
    assert result.passed, str(result)
    assert (model.wte.embedding_dim, model.norm.normalized_shape, model.c_attn.nf) == (
        4,
        (4,),
        24 // 2,
    )
    assert model.head.weight is model.wte.weight
    assert model.split_size == 4 and model.c_proj.nx == 4


class TransposedWeights(nn.Module):
    """Falcon's linear layers, ``x @ self.weight.T`` (one weight square), and a weight read
    through a reshape of the same shape as its transpose, which is no transpose."""

    def __init__(self):
        super().__init__()
        self.up, self.mid = nn.Linear(6, 10, bias=False), nn.Linear(10, 10, bias=False)
        self.down = nn.Linear(10, 6, bias=False)
        self.mix = nn.Parameter(torch.randn(4, 6))

    def forward(self, x):
        h = F.relu(x @ self.up.weight.T)
        h = F.relu(h @ self.mid.weight.T)
        return (h @ self.down.weight.T) @ self.mix.view(6, 4)


def test_products_with_a_transposed_weight_are_layers():
    model = made(TransposedWeights())
    x = torch.randn(3, 6)
    plan = analyse(model, x)
    # up's and mid's channels; down's 6 meet the reshaped parameter, a constant
    assert [len(labels) for _, labels in plan.prunable_groups] == [10, 10]
    with warnings.catch_warnings(), rules.extended():
        warnings.simplefilter("ignore", UserWarning)
        found = rules.coverage(model, (x,))
    assert (found.channels, found.prunable) == (26, 20)  # down's 6 are seen and not prunable
    cut_and_check(
        model, x, plan, {i: labels[::2] for i, (_, labels) in enumerate(plan.prunable_groups)}
    )
    assert [tuple(m.weight.shape) for m in (model.up, model.mid, model.down)] == [
        (5, 6),
        (5, 5),
        (6, 5),
    ]
    assert (model.up.out_features, model.mid.in_features, model.down.in_features) == (5, 5, 5)


class SharedTransposedWeight(nn.Module):
    """One weight read as ``x @ W.T`` on the model's input and again on a layer's output,
    as ``W.T`` or through its module: cut one way, the layer feeding it kept whole."""

    def __init__(self, through_module):
        super().__init__()
        self.through_module = through_module
        self.pre, self.up = nn.Linear(6, 6), nn.Linear(6, 10, bias=False)
        self.left, self.right = nn.Linear(10, 3), nn.Linear(10, 3)

    def forward(self, x):
        y = F.relu(self.pre(x))
        second = self.up(y) if self.through_module else y @ self.up.weight.T
        return self.left(F.relu(x @ self.up.weight.T)) + self.right(F.relu(second))


@pytest.mark.parametrize("through_module", [False, True])
def test_a_transposed_weight_read_twice_is_cut_one_way(through_module):
    model = made(SharedTransposedWeight(through_module))
    x = torch.randn(2, 4, 6)
    plan = analyse(model, x)
    assert [len(labels) for _, labels in plan.prunable_groups] == [10]
    cut_and_check(model, x, plan, {0: plan.prunable_groups[0][1][1::3]})
    assert tuple(model.up.weight.shape) == (7, 6)


class WidthRead(nn.Module):
    """Reads the stream's width: at the model level to reshape the stream itself at the end
    (GPT-2's output_shape), or inside the attention module to split q, k, v into heads by it
    (Swin's C // num_heads)."""

    class Inner(nn.Module):
        def __init__(self):
            super().__init__()
            self.qkv, self.proj, self.heads = nn.Linear(8, 24), nn.Linear(8, 8), 2

        def forward(self, x):
            b, n, c = x.shape
            q, k, v = (
                self.qkv(x).reshape(b, n, 3, self.heads, c // self.heads).permute(2, 0, 3, 1, 4)
            )
            y = torch.softmax(q @ k.transpose(-2, -1), dim=-1) @ v
            return self.proj(y.transpose(1, 2).reshape(b, n, c))

    def __init__(self, where):
        super().__init__()
        self.where = where
        self.embed, self.mlp, self.head = nn.Linear(3, 8), nn.Linear(8, 8), nn.Linear(8, 2)
        self.attn = self.Inner()

    def forward(self, x):
        x = self.embed(x)
        width = x.size(-1)
        x = x + (self.attn(x) if self.where == "attention" else self.mlp(x))
        return self.head(x.reshape(-1, width))


@pytest.mark.parametrize("where, stream", [("model", 8), ("attention", None)])
def test_a_width_read_pins_unless_it_sizes_the_same_channels(where, stream):
    model, x = made(WidthRead(where)), torch.randn(2, 4, 3)
    plan = analyse(model, x, split="outer")
    found = {len(labels) for _, labels in plan.prunable_groups}
    assert (8 in found) == (stream is not None)  # the stream
    if stream:
        cut_and_check(model, x, plan)
    else:  # the cause names the read
        assert "channel count read by the code" in explain(plan).top_causes_text()


def test_attention_losing_head_dim_under_an_unknown_name_is_refused():
    model, x = made(Attention(dim_name="hd")), torch.randn(2, 3, 5)
    plan = analyse(model, x, split="inner")
    removed = {i: labels[:1] for i, (_, labels) in enumerate(plan.prunable_groups)}
    with pytest.raises(ShrinkError, match=r"\.hd holds the head_dim 4, a number no rule updates"):
        shrink(model, plan, removed)
    assert model.q.weight.shape == (16, 12)


def test_attention_forms_left_out_say_why():
    model, x = made(TinyViT(need_weights=True)), torch.randn(2, 4, 6)
    text = explain(analyse(model, x)).top_causes_text()
    assert "multi-head attention returning its weights" in text
    plan = analyse(made(Attention(head_bias=True)), torch.randn(2, 3, 5), split="outer")
    assert "attention mask with an entry per head" in explain(plan).top_causes_text()


class SwinStage(nn.Module):
    """torchvision's Swin blocks (window attention reading its input's width, relative position
    bias, the second block shifted) between a patch embedding and a head."""

    def __init__(self):
        super().__init__()
        from torchvision.models.swin_transformer import SwinTransformerBlock

        self.embed, self.head = nn.Linear(3, 16), nn.Linear(16, 2)
        self.blocks = nn.Sequential(
            *(
                SwinTransformerBlock(
                    16, 2, [4, 4], [0, 0] if i == 0 else [2, 2], stochastic_depth_prob=0.0
                )
                for i in range(2)
            )
        )

    def forward(self, x):
        return self.head(self.blocks(self.embed(x)).mean(dim=(1, 2)))


class ReadWidthAttention(nn.Module):
    """Attention written by hand that reads its input's width, splits q, k and v by numbers it
    holds (``self.head_dim``) and scales by one (``self.scale``), then merges the heads back to
    the read width. ``variant``: "slice" also slices by the width (``[..., : c // 2]``), "hd"
    holds head_dim under a name of its own, read in a method the forward calls."""

    def __init__(self, variant=None):
        super().__init__()
        self.variant, self.num_heads, self.head_dim = variant, 2, 8
        if variant == "hd":
            self.hd = 8
        self.scale = self.head_dim**-0.5
        self.embed, self.head = nn.Linear(3, 16), nn.Linear(8 if variant == "slice" else 16, 2)
        self.qkv, self.proj = nn.Linear(16, 48), nn.Linear(16, 16)

    def forward(self, x):
        x = self.embed(x)
        b, n, c = x.shape
        head_dim = self.held_width() if self.variant == "hd" else self.head_dim
        q, k, v = self.qkv(x).reshape(b, n, 3, self.num_heads, head_dim).permute(2, 0, 3, 1, 4)
        y = torch.softmax((q * self.scale) @ k.transpose(-2, -1), dim=-1) @ v
        y = x + self.proj(y.transpose(1, 2).reshape(b, n, c))
        return self.head(y[..., : c // 2] if self.variant == "slice" else y)

    def held_width(self):
        return self.hd


def test_a_width_read_sizing_more_than_the_heads():
    """The width the attention reads also slices its output: the read pins the stream. The
    heads are split by a number held under a name no rule knows: the cut is refused."""
    x = torch.randn(2, 5, 3)
    plan = analyse(made(ReadWidthAttention("slice")), x, split="inner")
    assert all(len(labels) < 16 for _, labels in plan.prunable_groups)  # no stream
    assert "channel count read by the code" in explain(plan).top_causes_text()
    model = made(ReadWidthAttention("hd"))
    plan = analyse(model, x, split="inner")
    with pytest.raises(ShrinkError, match="attn|hd holds the head_dim 8"):
        shrink(model, plan, {0: plan.prunable_groups[0][1][:1]})
    assert model.qkv.weight.shape == (48, 16)


@pytest.mark.parametrize("kind", ["swin", "held_sizes"])
def test_attention_sizing_heads_by_a_width_it_reads(kind):
    """Swin's attention splits q, k and v into heads of C // num_heads, C read off its input,
    and scales by (C // num_heads) ** -0.5: position j of every head of q, k and v goes with
    stream channels j and 8 + j, the stream stays prunable, and the cut model (heads of 5)
    equals the masked original with the scale of the kept positions."""
    if kind == "held_sizes":  # the module's head_dim follows, its scale stays
        model, x = made(ReadWidthAttention()), torch.randn(2, 5, 3)
        with torch.no_grad():
            model.qkv.weight.mul_(4)
        plan = analyse(model, x, split="inner")
        assert sorted(len(labels) for _, labels in plan.prunable_groups) == [8]
        cut_and_check(model, x, plan, {0: plan.prunable_groups[0][1][:3]})
        assert (model.head_dim, model.scale, model.qkv.weight.shape) == (5, 8**-0.5, (30, 10))
        return
    pytest.importorskip("torchvision.models")
    model, x = made(SwinStage()), torch.randn(1, 8, 8, 3)
    with torch.no_grad():  # sharp attention: a scale left at 1/sqrt(8) shows
        for block in model.blocks:
            block.attn.qkv.weight.mul_(4)
    plan = analyse(model, x, split="inner")
    names = plan.prunable_module_names_by_nodes
    found = {
        tuple(sorted({names[n] for n in nodes if n in names})): len(labels)
        for nodes, labels in plan.prunable_groups
    }
    stream = [key for key in found if "embed" in key]
    assert len(stream) == 1 and found[stream[0]] == 8
    assert {f"blocks.{i}.attn.{layer}" for i in (0, 1) for layer in ("qkv", "proj")} <= set(
        stream[0]
    )
    assert sorted(n for key, n in found.items() if key != stream[0]) == [64, 64]  # MLPs
    stream_group = list(found).index(stream[0])
    removed = {stream_group: plan.prunable_groups[stream_group][1][:3]}
    cut_and_check(model, x, plan, removed)
    assert model.blocks[0].attn.qkv.weight.shape == (30, 10)
    assert model.blocks[1].attn.proj.weight.shape == (10, 10)
    # whole heads: the relative position bias spans the heads, so the attention and the
    # stream its width is read off stay whole
    outer = analyse(made(SwinStage()), x, split="outer")
    assert sorted(len(labels) for _, labels in outer.prunable_groups) == [64, 64]

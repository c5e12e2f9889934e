"""Random compositions of small blocks, in the style of everyday model code, for the
property test of the shrink (tests/test_random_models.py) and the scripts that reproduce
what it finds.

A model is described by a design: ``(kind, stem, blocks)`` with kind "image" (B, C, H, W) or
"tokens" (B, N, C), and blocks a tuple of ``(name, option)`` pairs. ``build(design, seed)``
makes the model (eval mode, float64, randomised so that every channel counts) and its input;
the same design and seed make the same model, so a failing example can be rebuilt from its
printout.
"""

from __future__ import annotations

import math
from typing import Tuple

import torch
import torch.nn.functional as F
from torch import nn

from shrink_helpers import randomise

# --------------------------------------------------------------------------- image blocks


class ConvBN(nn.Module):
    def __init__(self, c, out, kernel=3):
        super().__init__()
        self.conv = nn.Conv2d(c, out, kernel, padding=kernel // 2, bias=False)
        self.bn = nn.BatchNorm2d(out)

    def forward(self, x):
        return torch.relu(self.bn(self.conv(x)))


class Residual(nn.Module):
    def __init__(self, c, hidden):
        super().__init__()
        self.conv1 = nn.Conv2d(c, hidden, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(hidden)
        self.conv2 = nn.Conv2d(hidden, c, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(c)
        self.relu = nn.ReLU(inplace=True)

    def forward(self, x):
        identity = x
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        out += identity
        return self.relu(out)


class Concat(nn.Module):
    def __init__(self, c, widths):
        super().__init__()
        a, b = widths
        self.a, self.b = nn.Conv2d(c, a, 1), nn.Conv2d(c, b, 3, padding=1)

    def forward(self, x):
        return torch.cat([torch.relu(self.a(x)), torch.relu(self.b(x))], 1)


class ChunkMix(nn.Module):
    """Dual-path / CSP style: half passes, half goes through a layer (chunk, or split by a
    width the module holds)."""

    def __init__(self, c, by_attribute):
        super().__init__()
        assert c % 2 == 0
        self.width = c // 2
        self.by_attribute = by_attribute
        self.conv = nn.Conv2d(self.width, self.width, 3, padding=1)

    def forward(self, x):
        if self.by_attribute:
            a, b = torch.split(x, self.width, 1)
        else:
            a, b = x.chunk(2, dim=1)
        return torch.cat([b, torch.relu(self.conv(a))], dim=1)


class Depthwise(nn.Module):
    def __init__(self, c, multiplier):
        super().__init__()
        self.dw = nn.Conv2d(c, c * multiplier, 3, padding=1, groups=c, bias=False)
        self.bn = nn.BatchNorm2d(c * multiplier)

    def forward(self, x):
        return F.relu6(self.bn(self.dw(x)))


class Grouped(nn.Module):
    def __init__(self, c, option):
        super().__init__()
        groups, per_group = option
        self.conv = nn.Conv2d(c, groups * per_group, 3, padding=1, groups=groups)
        self.bn = nn.BatchNorm2d(groups * per_group)

    def forward(self, x):
        return torch.relu(self.bn(self.conv(x)))


class PixelAttention(nn.Module):
    """Attention over the pixels of a feature map: flattened to tokens and back by the
    shape it reads."""

    def __init__(self, c, heads):
        super().__init__()
        self.attn = nn.MultiheadAttention(c, heads, batch_first=True)

    def forward(self, x):
        b, c, h, w = x.shape
        t = x.flatten(2).transpose(1, 2)
        t = t + self.attn(t, t, t, need_weights=False)[0]
        return t.transpose(1, 2).reshape(b, c, h, w)


def channel_shuffle(x, groups: int):  # torchvision's shufflenetv2 pattern
    batchsize, num_channels, height, width = x.size()
    channels_per_group = num_channels // groups
    x = x.view(batchsize, groups, channels_per_group, height, width)
    x = torch.transpose(x, 1, 2).contiguous()
    x = x.view(batchsize, num_channels, height, width)
    return x


class Shuffle(nn.Module):
    def __init__(self, c, groups):
        super().__init__()
        self.groups = groups
        self.conv = nn.Conv2d(c, c, 1)

    def forward(self, x):
        return channel_shuffle(torch.relu(self.conv(x)), self.groups)


class SqueezeExcite(nn.Module):
    def __init__(self, c, use_linear):
        super().__init__()
        squeezed = max(2, c // 4)
        self.use_linear = use_linear
        if use_linear:
            self.fc1, self.fc2 = nn.Linear(c, squeezed), nn.Linear(squeezed, c)
        else:
            self.fc1, self.fc2 = nn.Conv2d(c, squeezed, 1), nn.Conv2d(squeezed, c, 1)

    def forward(self, x):
        if self.use_linear:
            b, c = x.shape[:2]
            scale = F.adaptive_avg_pool2d(x, 1).view(b, c)
            scale = torch.sigmoid(self.fc2(torch.relu(self.fc1(scale)))).view(b, c, 1, 1)
        else:
            scale = torch.sigmoid(self.fc2(torch.relu(self.fc1(F.adaptive_avg_pool2d(x, 1)))))
        return x * scale


class ConvNeXtish(nn.Module):
    """Depthwise conv, channels-last layer norm and MLP, layer scale, residual."""

    def __init__(self, c, hidden):
        super().__init__()
        self.dw = nn.Conv2d(c, c, 3, padding=1, groups=c)
        self.norm = nn.LayerNorm(c)
        self.fc1, self.fc2 = nn.Linear(c, hidden), nn.Linear(hidden, c)
        self.gamma = nn.Parameter(torch.full((c,), 0.5))

    def forward(self, x):
        y = self.dw(x).permute(0, 2, 3, 1)
        y = self.fc2(F.gelu(self.fc1(self.norm(y))))
        return x + (self.gamma * y).permute(0, 3, 1, 2)


class GroupNormed(nn.Module):
    def __init__(self, c, groups):
        super().__init__()
        self.conv = nn.Conv2d(c, c, 3, padding=1)
        self.norm = nn.GroupNorm(groups, c)

    def forward(self, x):
        return F.silu(self.norm(self.conv(x)))


class SharedConv(nn.Module):
    """One module called twice."""

    def __init__(self, c, residual):
        super().__init__()
        self.conv = nn.Conv2d(c, c, 3, padding=1)
        self.residual = residual

    def forward(self, x):
        y = self.conv(torch.relu(self.conv(x)))
        return torch.relu(x + y) if self.residual else torch.relu(y)


class Slice(nn.Module):
    """Channels by a written number, or a border of the feature map."""

    def __init__(self, c, option):
        super().__init__()
        self.option = option
        self.conv = nn.Conv2d(c, c, 1)

    def forward(self, x):
        y = torch.relu(self.conv(x))
        if self.option == "channels":
            return y[:, 1:-1]
        return y[:, :, 1:, :-1]


class Pad(nn.Module):
    def __init__(self, c, option):
        super().__init__()
        self.option = option
        self.conv = nn.Conv2d(c, c, 3)

    def forward(self, x):
        if self.option == "channels":
            return F.pad(self.conv(F.pad(x, (1, 1, 1, 1))), (0, 0, 0, 0, 1, 1))
        return self.conv(F.pad(x, (1, 1, 1, 1), mode="reflect"))


class ChannelsLast(nn.Module):
    def __init__(self, c, out):
        super().__init__()
        self.conv = nn.Conv2d(c, out, 3, padding=1)

    def forward(self, x):
        return torch.relu(self.conv(x.contiguous(memory_format=torch.channels_last)))


# --------------------------------------------------------------------------- token blocks


class TokenMLP(nn.Module):
    def __init__(self, c, hidden):
        super().__init__()
        self.norm = nn.LayerNorm(c)
        self.fc1, self.fc2 = nn.Linear(c, hidden), nn.Linear(hidden, c)

    def forward(self, x):
        return x + self.fc2(F.gelu(self.fc1(self.norm(x))))


class TokenLinear(nn.Module):
    def __init__(self, c, out):
        super().__init__()
        self.fc = nn.Linear(c, out)

    def forward(self, x):
        return F.gelu(self.fc(x))


class MHABlock(nn.Module):
    def __init__(self, c, heads):
        super().__init__()
        self.norm = nn.LayerNorm(c)
        self.attn = nn.MultiheadAttention(c, heads, batch_first=True)

    def forward(self, x):
        y = self.norm(x)
        return x + self.attn(y, y, y, need_weights=False)[0]


class SwinAttention(nn.Module):
    """timm / Swin style: one qkv projection reshaped into heads by the width it reads."""

    def __init__(self, c, option):
        super().__init__()
        heads, mode = option
        self.num_heads = heads
        self.mode = mode  # "sdpa", "manual" (scale from the read width), "timm" (held head_dim)
        if mode == "timm":
            self.head_dim = c // heads
            self.scale = self.head_dim**-0.5
        self.norm = nn.LayerNorm(c)
        self.qkv = nn.Linear(c, 3 * c)
        self.proj = nn.Linear(c, c)

    def forward(self, x):
        y = self.norm(x)
        B, N, C = y.shape
        if self.mode == "timm":
            qkv = self.qkv(y).reshape(B, N, 3, self.num_heads, self.head_dim)
        else:
            qkv = self.qkv(y).reshape(B, N, 3, self.num_heads, C // self.num_heads)
        q, k, v = qkv.permute(2, 0, 3, 1, 4).unbind(0)
        if self.mode == "sdpa":
            o = F.scaled_dot_product_attention(q, k, v)
        else:
            q = q * (self.scale if self.mode == "timm" else (C // self.num_heads) ** -0.5)
            o = (q @ k.transpose(-2, -1)).softmax(dim=-1) @ v
        return x + self.proj(o.transpose(1, 2).reshape(B, N, C))


class HFAttention(nn.Module):
    """transformers style: separate q/k/v projections, heads by num_heads and head_dim."""

    def __init__(self, c, option):
        super().__init__()
        heads, new_style = option
        self.num_heads = heads
        self.head_dim = c // heads
        self.new_style = new_style
        self.scaling = self.head_dim**-0.5
        self.q_proj, self.k_proj = nn.Linear(c, c), nn.Linear(c, c)
        self.v_proj, self.o_proj = nn.Linear(c, c), nn.Linear(c, c)
        self.norm = nn.LayerNorm(c)

    def forward(self, x):
        hidden_states = self.norm(x)
        if self.new_style:
            input_shape = hidden_states.shape[:-1]
            hidden_shape = (*input_shape, -1, self.head_dim)
            q = self.q_proj(hidden_states).view(hidden_shape).transpose(1, 2)
            k = self.k_proj(hidden_states).view(hidden_shape).transpose(1, 2)
            v = self.v_proj(hidden_states).view(hidden_shape).transpose(1, 2)
            o = F.scaled_dot_product_attention(q, k, v, scale=self.scaling)
            o = o.transpose(1, 2).reshape(*input_shape, -1).contiguous()
        else:
            bsz, q_len, _ = hidden_states.size()

            def heads(t):
                return t.view(bsz, q_len, self.num_heads, self.head_dim).transpose(1, 2)

            q, k, v = (heads(p(hidden_states)) for p in (self.q_proj, self.k_proj, self.v_proj))
            scores = torch.matmul(q, k.transpose(2, 3)) / math.sqrt(self.head_dim)
            o = torch.matmul(scores.softmax(dim=-1), v)
            o = o.transpose(1, 2).reshape(bsz, q_len, self.num_heads * self.head_dim)
        return x + self.o_proj(o)


class RMSNormMLP(nn.Module):
    """RMSNorm written by hand (LLaMA style) before a gated MLP."""

    def __init__(self, c, hidden):
        super().__init__()
        self.weight = nn.Parameter(torch.ones(c))
        self.gate, self.up = nn.Linear(c, hidden, bias=False), nn.Linear(c, hidden, bias=False)
        self.down = nn.Linear(hidden, c, bias=False)

    def forward(self, x):
        variance = x.to(torch.float64).pow(2).mean(-1, keepdim=True)
        y = self.weight * (x * torch.rsqrt(variance + 1e-6))
        return x + self.down(F.silu(self.gate(y)) * self.up(y))


class ClassToken(nn.Module):
    """ViT style: a class token in front, position embeddings added, the class token out at
    the end of the model (the head reads the mean, so here: dropped again)."""

    def __init__(self, c, tokens):
        super().__init__()
        self.cls_token = nn.Parameter(torch.randn(1, 1, c))
        self.pos_embed = nn.Parameter(torch.randn(1, tokens + 1, c))
        self.fc = nn.Linear(c, c)

    def forward(self, x):
        x = torch.cat([self.cls_token.expand(x.shape[0], -1, -1), x], dim=1) + self.pos_embed
        return F.gelu(self.fc(x))[:, 1:]


class TokenConcat(nn.Module):
    def __init__(self, c, widths):
        super().__init__()
        a, b = widths
        self.a, self.b = nn.Linear(c, a), nn.Linear(c, b)

    def forward(self, x):
        return torch.cat([self.a(x), F.gelu(self.b(x))], dim=-1)


class TokenChunk(nn.Module):
    def __init__(self, c, option):
        super().__init__()
        self.fc = nn.Linear(c // 2, c // 2)
        self.option = option

    def forward(self, x):
        a, b = x.chunk(2, dim=-1)
        return torch.cat([F.gelu(self.fc(a)), b], dim=-1)


class TokenShared(nn.Module):
    def __init__(self, c, residual):
        super().__init__()
        self.fc = nn.Linear(c, c)
        self.residual = residual

    def forward(self, x):
        y = self.fc(F.gelu(self.fc(x)))
        return x + y if self.residual else F.gelu(y)


class TokenSlice(nn.Module):
    def __init__(self, c, option):
        super().__init__()
        self.option = option
        self.fc = nn.Linear(c, c)

    def forward(self, x):
        y = F.gelu(self.fc(x))
        if self.option == "channels":
            return y[..., 1:-1]
        return y[:, 1:]


class TokenPad(nn.Module):
    def __init__(self, c, option):
        super().__init__()
        self.option = option
        self.fc = nn.Linear(c, c)

    def forward(self, x):
        y = self.fc(x)
        if self.option == "channels":
            return F.pad(y, (1, 1))
        return F.pad(y, (0, 0, 1, 0))


IMAGE_BLOCKS = {
    "conv": ConvBN,
    "residual": Residual,
    "concat": Concat,
    "chunk": ChunkMix,
    "depthwise": Depthwise,
    "grouped": Grouped,
    "shuffle": Shuffle,
    "se": SqueezeExcite,
    "convnext": ConvNeXtish,
    "groupnorm": GroupNormed,
    "shared": SharedConv,
    "slice": Slice,
    "pad": Pad,
    "channels_last": ChannelsLast,
    "attention": PixelAttention,
}
TOKEN_BLOCKS = {
    "mlp": TokenMLP,
    "linear": TokenLinear,
    "mha": MHABlock,
    "swin": SwinAttention,
    "hf": HFAttention,
    "concat": TokenConcat,
    "chunk": TokenChunk,
    "shared": TokenShared,
    "slice": TokenSlice,
    "pad": TokenPad,
    "rmsnorm": RMSNormMLP,
    "cls": ClassToken,
}


def width_after(name: str, c: int, option) -> int:
    """The channels a block leaves (kept outside the modules: an integer attribute equal to
    a channel count makes the shrink ask for an adapter)."""
    if name in ("conv", "channels_last", "linear"):
        return option
    if name == "concat":
        return sum(option)
    if name == "depthwise":
        return c * option
    if name == "grouped":
        return option[0] * option[1]
    if name in ("slice", "pad") and option == "channels":
        return c - 2 if name == "slice" else c + 2
    return c


# --------------------------------------------------------------------------- the model


class RandomNet(nn.Module):
    def __init__(self, kind, stem, blocks):
        super().__init__()
        self.kind = kind
        self.stem_kind, width = stem
        if kind == "image":
            self.stem = nn.Conv2d(3, width, 3, padding=1)
        elif self.stem_kind == "patches":  # image to tokens, ViT style
            self.stem = nn.Conv2d(3, width, 2, stride=2)
        else:
            self.stem = nn.Linear(5, width)
        table = IMAGE_BLOCKS if kind == "image" else TOKEN_BLOCKS
        layers = []
        for name, option in blocks:
            layer = table[name](width, option)
            width = width_after(name, width, option)
            layers.append(layer)
        self.blocks = nn.ModuleList(layers)
        self.head = nn.Linear(width, 3)

    def forward(self, x):
        x = self.stem(x)
        if self.kind == "tokens" and self.stem_kind == "patches":
            x = x.flatten(2).transpose(1, 2)
        for block in self.blocks:
            x = block(x)
        return self.head(x.mean((2, 3)) if self.kind == "image" else x.mean(1))


def build(design, seed: int) -> Tuple[nn.Module, torch.Tensor]:
    """The model of a design (eval mode, float64, randomised) and an input for it."""
    kind, stem, blocks = design
    torch.manual_seed(seed)
    model = RandomNet(kind, stem, blocks)
    randomise(model, seed)
    model = model.double().eval()
    if kind == "image" or stem[0] == "patches":
        x = torch.randn(2, 3, 6, 6, dtype=torch.float64)
    else:
        x = torch.randn(2, 5, 5, dtype=torch.float64)
    if kind == "image" and stem[0] == "channels_last":
        model = model.to(memory_format=torch.channels_last)
        x = x.contiguous(memory_format=torch.channels_last)
    return model, x

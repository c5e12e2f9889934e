"""Small but real architectures for tracing and pruning tests.

Written in the style of everyday model code (in-place ReLUs, ``out += identity``,
``torch.flatten(x, 1)``, channel concatenation, depthwise convs, hand-written
attention) so the analysis sees the patterns real networks produce.
``MODEL_FACTORIES`` lists tiny variants that run a forward pass quickly on CPU;
``make(name)`` builds one deterministically together with an example input.
"""

from __future__ import annotations

import math
from typing import Callable

import torch
import torch.nn.functional as F
from torch import nn

# --------------------------------------------------------------------------- ResNet


def conv3x3(in_planes: int, out_planes: int, stride: int = 1, groups: int = 1) -> nn.Conv2d:
    return nn.Conv2d(
        in_planes, out_planes, kernel_size=3, stride=stride, padding=1, groups=groups, bias=False
    )


def conv1x1(in_planes: int, out_planes: int, stride: int = 1) -> nn.Conv2d:
    return nn.Conv2d(in_planes, out_planes, kernel_size=1, stride=stride, bias=False)


class BasicBlock(nn.Module):
    expansion = 1

    def __init__(
        self, inplanes: int, planes: int, stride: int = 1, downsample: nn.Module | None = None
    ) -> None:
        super().__init__()
        self.conv1 = conv3x3(inplanes, planes, stride)
        self.bn1 = nn.BatchNorm2d(planes)
        self.relu = nn.ReLU(inplace=True)
        self.conv2 = conv3x3(planes, planes)
        self.bn2 = nn.BatchNorm2d(planes)
        self.downsample = downsample
        self.stride = stride

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        identity = x

        out = self.conv1(x)
        out = self.bn1(out)
        out = self.relu(out)

        out = self.conv2(out)
        out = self.bn2(out)

        if self.downsample is not None:
            identity = self.downsample(x)

        out += identity
        out = self.relu(out)
        return out


class Bottleneck(nn.Module):
    # Stride sits on the 3x3 conv (the "v1.5" placement most code uses).
    expansion = 4

    def __init__(
        self, inplanes: int, planes: int, stride: int = 1, downsample: nn.Module | None = None
    ) -> None:
        super().__init__()
        self.conv1 = conv1x1(inplanes, planes)
        self.bn1 = nn.BatchNorm2d(planes)
        self.conv2 = conv3x3(planes, planes, stride)
        self.bn2 = nn.BatchNorm2d(planes)
        self.conv3 = conv1x1(planes, planes * self.expansion)
        self.bn3 = nn.BatchNorm2d(planes * self.expansion)
        self.relu = nn.ReLU(inplace=True)
        self.downsample = downsample
        self.stride = stride

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        identity = x

        out = self.relu(self.bn1(self.conv1(x)))
        out = self.relu(self.bn2(self.conv2(out)))
        out = self.bn3(self.conv3(out))

        if self.downsample is not None:
            identity = self.downsample(x)

        out += identity
        out = self.relu(out)
        return out


class ResNet(nn.Module):
    def __init__(
        self,
        block: type[BasicBlock] | type[Bottleneck],
        layers: list[int],
        num_classes: int = 1000,
        base_channels: int = 64,
    ) -> None:
        super().__init__()
        if len(layers) != 4:
            raise ValueError(f"ResNet expects 4 stage depths, got {len(layers)}")
        self.inplanes = base_channels
        self.conv1 = nn.Conv2d(3, base_channels, kernel_size=7, stride=2, padding=3, bias=False)
        self.bn1 = nn.BatchNorm2d(base_channels)
        self.relu = nn.ReLU(inplace=True)
        self.maxpool = nn.MaxPool2d(kernel_size=3, stride=2, padding=1)
        self.layer1 = self._make_layer(block, base_channels, layers[0])
        self.layer2 = self._make_layer(block, base_channels * 2, layers[1], stride=2)
        self.layer3 = self._make_layer(block, base_channels * 4, layers[2], stride=2)
        self.layer4 = self._make_layer(block, base_channels * 8, layers[3], stride=2)
        self.avgpool = nn.AdaptiveAvgPool2d((1, 1))
        self.fc = nn.Linear(base_channels * 8 * block.expansion, num_classes)

        for m in self.modules():
            if isinstance(m, nn.Conv2d):
                nn.init.kaiming_normal_(m.weight, mode="fan_out", nonlinearity="relu")
            elif isinstance(m, nn.BatchNorm2d):
                nn.init.ones_(m.weight)
                nn.init.zeros_(m.bias)

    def _make_layer(
        self,
        block: type[BasicBlock] | type[Bottleneck],
        planes: int,
        blocks: int,
        stride: int = 1,
    ) -> nn.Sequential:
        downsample = None
        if stride != 1 or self.inplanes != planes * block.expansion:
            downsample = nn.Sequential(
                conv1x1(self.inplanes, planes * block.expansion, stride),
                nn.BatchNorm2d(planes * block.expansion),
            )
        layers = [block(self.inplanes, planes, stride, downsample)]
        self.inplanes = planes * block.expansion
        for _ in range(1, blocks):
            layers.append(block(self.inplanes, planes))
        return nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.conv1(x)
        x = self.bn1(x)
        x = self.relu(x)
        x = self.maxpool(x)

        x = self.layer1(x)
        x = self.layer2(x)
        x = self.layer3(x)
        x = self.layer4(x)

        x = self.avgpool(x)
        x = torch.flatten(x, 1)
        x = self.fc(x)
        return x


def resnet18(num_classes: int = 1000, base_channels: int = 64) -> ResNet:
    return ResNet(BasicBlock, [2, 2, 2, 2], num_classes, base_channels)


def resnet34(num_classes: int = 1000, base_channels: int = 64) -> ResNet:
    return ResNet(BasicBlock, [3, 4, 6, 3], num_classes, base_channels)


def resnet50(num_classes: int = 1000, base_channels: int = 64) -> ResNet:
    return ResNet(Bottleneck, [3, 4, 6, 3], num_classes, base_channels)


# --------------------------------------------------------------------------- MobileNetV2


class ConvBNReLU6(nn.Sequential):
    def __init__(
        self,
        in_planes: int,
        out_planes: int,
        kernel_size: int = 3,
        stride: int = 1,
        groups: int = 1,
    ) -> None:
        padding = (kernel_size - 1) // 2
        super().__init__(
            nn.Conv2d(
                in_planes, out_planes, kernel_size, stride, padding, groups=groups, bias=False
            ),
            nn.BatchNorm2d(out_planes),
            nn.ReLU6(inplace=True),
        )


class InvertedResidual(nn.Module):
    def __init__(self, inp: int, oup: int, stride: int, expand_ratio: int) -> None:
        super().__init__()
        if stride not in (1, 2):
            raise ValueError(f"stride must be 1 or 2, got {stride}")
        hidden = int(round(inp * expand_ratio))
        self.use_res_connect = stride == 1 and inp == oup

        layers: list[nn.Module] = []
        if expand_ratio != 1:
            layers.append(ConvBNReLU6(inp, hidden, kernel_size=1))
        layers += [
            ConvBNReLU6(hidden, hidden, stride=stride, groups=hidden),
            nn.Conv2d(hidden, oup, 1, 1, 0, bias=False),
            nn.BatchNorm2d(oup),
        ]
        self.conv = nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.use_res_connect:
            return x + self.conv(x)
        return self.conv(x)


def _make_divisible(v: float, divisor: int = 8) -> int:
    new_v = max(divisor, int(v + divisor / 2) // divisor * divisor)
    if new_v < 0.9 * v:
        new_v += divisor
    return new_v


class MobileNetV2Small(nn.Module):
    # (expand_ratio, channels, repeats, first stride): a shortened MobileNetV2 schedule
    # keeping one t=1 block, strided blocks and repeated residual blocks.
    SETTINGS = [
        (1, 16, 1, 1),
        (6, 24, 2, 2),
        (6, 32, 2, 2),
        (6, 64, 1, 2),
    ]

    def __init__(self, num_classes: int = 10, width: float = 1.0, last_channel: int = 128) -> None:
        super().__init__()
        input_channel = _make_divisible(16 * width)
        self.last_channel = _make_divisible(last_channel * max(1.0, width))
        features: list[nn.Module] = [ConvBNReLU6(3, input_channel, stride=2)]
        for t, c, n, s in self.SETTINGS:
            output_channel = _make_divisible(c * width)
            for i in range(n):
                stride = s if i == 0 else 1
                features.append(InvertedResidual(input_channel, output_channel, stride, t))
                input_channel = output_channel
        features.append(ConvBNReLU6(input_channel, self.last_channel, kernel_size=1))
        self.features = nn.Sequential(*features)
        self.classifier = nn.Sequential(
            nn.Dropout(0.2),
            nn.Linear(self.last_channel, num_classes),
        )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.features(x)
        x = F.adaptive_avg_pool2d(x, (1, 1))
        x = torch.flatten(x, 1)
        x = self.classifier(x)
        return x


# --------------------------------------------------------------------------- DenseNet


class DenseLayer(nn.Module):
    def __init__(self, in_channels: int, growth_rate: int, bn_size: int = 4) -> None:
        super().__init__()
        inter = bn_size * growth_rate
        self.norm1 = nn.BatchNorm2d(in_channels)
        self.relu1 = nn.ReLU(inplace=True)
        self.conv1 = nn.Conv2d(in_channels, inter, kernel_size=1, bias=False)
        self.norm2 = nn.BatchNorm2d(inter)
        self.relu2 = nn.ReLU(inplace=True)
        self.conv2 = nn.Conv2d(inter, growth_rate, kernel_size=3, padding=1, bias=False)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out = self.conv1(self.relu1(self.norm1(x)))
        return self.conv2(self.relu2(self.norm2(out)))


class DenseBlock(nn.Module):
    def __init__(
        self, num_layers: int, in_channels: int, growth_rate: int, list_style: bool = False
    ) -> None:
        super().__init__()
        # list_style keeps every feature map and concatenates them before each layer
        # instead of growing one running tensor; both appear in real code.
        self.list_style = list_style
        self.layers = nn.ModuleList(
            DenseLayer(in_channels + i * growth_rate, growth_rate) for i in range(num_layers)
        )
        self.out_channels = in_channels + num_layers * growth_rate

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.list_style:
            features = [x]
            for layer in self.layers:
                features.append(layer(torch.cat(features, 1)))
            return torch.cat(features, 1)
        features = x
        for layer in self.layers:
            new = layer(features)
            features = torch.cat([features, new], 1)
        return features


class Transition(nn.Sequential):
    def __init__(self, in_channels: int, out_channels: int) -> None:
        super().__init__()
        self.norm = nn.BatchNorm2d(in_channels)
        self.relu = nn.ReLU(inplace=True)
        self.conv = nn.Conv2d(in_channels, out_channels, kernel_size=1, bias=False)
        self.pool = nn.AvgPool2d(kernel_size=2, stride=2)


class DenseNetSmall(nn.Module):
    def __init__(
        self,
        num_classes: int = 10,
        growth_rate: int = 8,
        block_config: tuple[int, ...] = (3, 3),
        init_channels: int = 16,
    ) -> None:
        super().__init__()
        self.features = nn.Sequential()
        self.features.add_module(
            "conv0", nn.Conv2d(3, init_channels, kernel_size=3, padding=1, bias=False)
        )
        self.features.add_module("norm0", nn.BatchNorm2d(init_channels))
        self.features.add_module("relu0", nn.ReLU(inplace=True))
        channels = init_channels
        for i, num_layers in enumerate(block_config):
            block = DenseBlock(num_layers, channels, growth_rate, list_style=i % 2 == 1)
            self.features.add_module(f"denseblock{i + 1}", block)
            channels = block.out_channels
            if i != len(block_config) - 1:
                self.features.add_module(f"transition{i + 1}", Transition(channels, channels // 2))
                channels //= 2
        self.features.add_module("norm5", nn.BatchNorm2d(channels))
        self.classifier = nn.Linear(channels, num_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        features = self.features(x)
        out = F.relu(features, inplace=True)
        out = F.adaptive_avg_pool2d(out, (1, 1))
        out = torch.flatten(out, 1)
        return self.classifier(out)


# --------------------------------------------------------------------------- Squeeze-excite


class SqueezeExcite(nn.Module):
    def __init__(self, channels: int, reduction: int = 16, use_linear: bool = False) -> None:
        super().__init__()
        squeezed = max(1, channels // reduction)
        self.use_linear = use_linear
        self.pool = nn.AdaptiveAvgPool2d(1)
        if use_linear:
            self.fc1: nn.Module = nn.Linear(channels, squeezed)
            self.fc2: nn.Module = nn.Linear(squeezed, channels)
        else:
            self.fc1 = nn.Conv2d(channels, squeezed, kernel_size=1)
            self.fc2 = nn.Conv2d(squeezed, channels, kernel_size=1)
        self.relu = nn.ReLU(inplace=True)
        self.gate = nn.Sigmoid()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        scale = self.pool(x)
        if self.use_linear:
            b, c = x.shape[:2]
            scale = scale.view(b, c)
            scale = self.gate(self.fc2(self.relu(self.fc1(scale))))
            scale = scale.view(b, c, 1, 1)
        else:
            scale = self.gate(self.fc2(self.relu(self.fc1(scale))))
        return x * scale


class SEBasicBlock(nn.Module):
    expansion = 1

    def __init__(
        self,
        inplanes: int,
        planes: int,
        stride: int = 1,
        reduction: int = 4,
        use_linear: bool = False,
    ) -> None:
        super().__init__()
        self.conv1 = conv3x3(inplanes, planes, stride)
        self.bn1 = nn.BatchNorm2d(planes)
        self.relu = nn.ReLU(inplace=True)
        self.conv2 = conv3x3(planes, planes)
        self.bn2 = nn.BatchNorm2d(planes)
        self.se = SqueezeExcite(planes, reduction, use_linear=use_linear)
        self.downsample: nn.Module | None = None
        if stride != 1 or inplanes != planes:
            self.downsample = nn.Sequential(
                conv1x1(inplanes, planes, stride), nn.BatchNorm2d(planes)
            )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        identity = x if self.downsample is None else self.downsample(x)
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        out = self.se(out)
        out += identity
        return self.relu(out)


class SEResNetSmall(nn.Module):
    def __init__(self, num_classes: int = 10, base_channels: int = 16, reduction: int = 4) -> None:
        super().__init__()
        c = base_channels
        self.stem = nn.Sequential(
            nn.Conv2d(3, c, kernel_size=3, padding=1, bias=False),
            nn.BatchNorm2d(c),
            nn.ReLU(inplace=True),
        )
        self.layer1 = nn.Sequential(
            SEBasicBlock(c, c, reduction=reduction),
            SEBasicBlock(c, c, reduction=reduction),
        )
        self.layer2 = nn.Sequential(
            SEBasicBlock(c, 2 * c, stride=2, reduction=reduction, use_linear=True),
            SEBasicBlock(2 * c, 2 * c, reduction=reduction, use_linear=True),
        )
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(2 * c, num_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.stem(x)
        x = self.layer1(x)
        x = self.layer2(x)
        x = self.pool(x)
        x = torch.flatten(x, 1)
        return self.fc(x)


SENetSmall = SEResNetSmall


# --------------------------------------------------------------------------- MLP


class MLP(nn.Module):
    def __init__(
        self,
        in_features: int,
        hidden: int | list[int] | tuple[int, ...],
        out_features: int,
        dropout: float = 0.1,
    ) -> None:
        super().__init__()
        hidden_sizes = [hidden] if isinstance(hidden, int) else list(hidden)
        layers: list[nn.Module] = [nn.Flatten()]
        prev = in_features
        for h in hidden_sizes:
            layers += [nn.Linear(prev, h), nn.ReLU(inplace=True), nn.Dropout(dropout)]
            prev = h
        layers.append(nn.Linear(prev, out_features))
        self.net = nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.net(x)


# --------------------------------------------------------------------------- Transformer


class Attention(nn.Module):
    def __init__(self, dim: int, heads: int) -> None:
        super().__init__()
        if dim % heads != 0:
            raise ValueError(f"dim {dim} is not divisible by heads {heads}")
        self.heads = heads
        self.head_dim = dim // heads
        self.scale = 1.0 / math.sqrt(self.head_dim)
        self.q = nn.Linear(dim, dim)
        self.k = nn.Linear(dim, dim)
        self.v = nn.Linear(dim, dim)
        self.proj = nn.Linear(dim, dim)

    def _split(self, t: torch.Tensor) -> torch.Tensor:
        b, n, _ = t.shape
        return t.reshape(b, n, self.heads, self.head_dim).transpose(1, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        b, n, d = x.shape
        q = self._split(self.q(x))
        k = self._split(self.k(x))
        v = self._split(self.v(x))
        attn = (q @ k.transpose(-2, -1)) * self.scale
        attn = attn.softmax(dim=-1)
        out = attn @ v
        out = out.transpose(1, 2).reshape(b, n, d)
        return self.proj(out)


class TransformerEncoderBlock(nn.Module):
    def __init__(self, dim: int, heads: int, mlp_ratio: float = 4.0) -> None:
        super().__init__()
        hidden = int(dim * mlp_ratio)
        self.norm1 = nn.LayerNorm(dim)
        self.attn = Attention(dim, heads)
        self.norm2 = nn.LayerNorm(dim)
        self.fc1 = nn.Linear(dim, hidden)
        self.act = nn.GELU()
        self.fc2 = nn.Linear(hidden, dim)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = x + self.attn(self.norm1(x))
        x = x + self.fc2(self.act(self.fc1(self.norm2(x))))
        return x


class TinyViT(nn.Module):
    def __init__(
        self,
        num_classes: int = 10,
        image_size: int = 32,
        patch_size: int = 8,
        dim: int = 32,
        depth: int = 2,
        heads: int = 4,
        mlp_ratio: float = 2.0,
    ) -> None:
        super().__init__()
        if image_size % patch_size != 0:
            raise ValueError("image_size must be a multiple of patch_size")
        num_patches = (image_size // patch_size) ** 2
        self.patch_embed = nn.Conv2d(3, dim, kernel_size=patch_size, stride=patch_size)
        self.pos_embed = nn.Parameter(torch.zeros(1, num_patches, dim))
        nn.init.trunc_normal_(self.pos_embed, std=0.02)
        self.blocks = nn.Sequential(
            *[TransformerEncoderBlock(dim, heads, mlp_ratio) for _ in range(depth)]
        )
        self.norm = nn.LayerNorm(dim)
        self.head = nn.Linear(dim, num_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.patch_embed(x)
        x = x.flatten(2).transpose(1, 2)
        x = x + self.pos_embed
        x = self.blocks(x)
        x = self.norm(x)
        x = x.mean(dim=1)
        return self.head(x)


TransformerClassifier = TinyViT


# --------------------------------------------------------------------------- registry

# name -> (factory, example input shape at batch 2)
MODEL_FACTORIES: dict[str, tuple[Callable[[], nn.Module], tuple[int, ...]]] = {
    "resnet18_tiny": (lambda: resnet18(num_classes=10, base_channels=8), (2, 3, 32, 32)),
    "resnet34_tiny": (lambda: resnet34(num_classes=10, base_channels=4), (2, 3, 32, 32)),
    "resnet50_tiny": (lambda: resnet50(num_classes=10, base_channels=8), (2, 3, 32, 32)),
    "mobilenetv2_small": (lambda: MobileNetV2Small(num_classes=10, width=0.5), (2, 3, 32, 32)),
    "densenet_small": (lambda: DenseNetSmall(num_classes=10), (2, 3, 16, 16)),
    "se_resnet_small": (lambda: SEResNetSmall(num_classes=10, base_channels=8), (2, 3, 16, 16)),
    "mlp": (lambda: MLP(3 * 8 * 8, [32, 16], 10), (2, 3, 8, 8)),
    "transformer_block": (lambda: TransformerEncoderBlock(32, 4, 2.0), (2, 16, 32)),
    "tiny_vit": (lambda: TinyViT(num_classes=10, image_size=32, patch_size=8), (2, 3, 32, 32)),
}


def make(name: str, seed: int = 0) -> tuple[nn.Module, torch.Tensor]:
    """Build a registered model in eval mode plus a matching example input."""
    try:
        factory, shape = MODEL_FACTORIES[name]
    except KeyError:
        raise KeyError(f"unknown model {name!r}; known: {sorted(MODEL_FACTORIES)}") from None
    torch.manual_seed(seed)
    model = factory()
    example = torch.randn(*shape)
    return model.eval(), example

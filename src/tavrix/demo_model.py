"""A small residual CNN: the model ``python -m tavrix`` analyses by default."""

from __future__ import annotations

import torch
from torch import nn


class ResidualBlock(nn.Module):
    """Two 3x3 convolutions with a shortcut; a 1x1 projection when the shape changes."""

    def __init__(self, in_channels: int, out_channels: int, stride: int = 1) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(in_channels, out_channels, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(out_channels)
        self.conv2 = nn.Conv2d(out_channels, out_channels, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(out_channels)
        self.shortcut: nn.Module = nn.Identity()
        if stride != 1 or in_channels != out_channels:
            self.shortcut = nn.Sequential(
                nn.Conv2d(in_channels, out_channels, 1, stride, bias=False),
                nn.BatchNorm2d(out_channels),
            )

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out = torch.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        return torch.relu(out + self.shortcut(x))


class ResidualCNN(nn.Module):
    """Stem, two residual stages (the second halves the resolution), classifier."""

    def __init__(self, num_classes: int = 10, width: int = 16) -> None:
        super().__init__()
        self.stem = nn.Sequential(
            nn.Conv2d(3, width, 3, 1, 1, bias=False), nn.BatchNorm2d(width), nn.ReLU()
        )
        self.stage1 = ResidualBlock(width, width)
        self.stage2 = ResidualBlock(width, 2 * width, stride=2)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(2 * width, num_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.stage2(self.stage1(self.stem(x)))
        return self.fc(torch.flatten(self.pool(x), 1))


def residual_cnn(num_classes: int = 10, width: int = 16) -> ResidualCNN:
    """The demo model, with fixed initial weights."""
    generator_state = torch.random.get_rng_state()
    torch.manual_seed(0)
    try:
        return ResidualCNN(num_classes=num_classes, width=width)
    finally:
        torch.random.set_rng_state(generator_state)

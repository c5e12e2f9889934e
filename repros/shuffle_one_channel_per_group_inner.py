"""Extended rules, split="inner": a channel shuffle (torchvision's channel_shuffle) with as
many groups as channels (one channel per group: the shuffle is the identity) keeps a label
per channel, and the shrink removes single channels. `groups` is a number the code passes,
so the shrunk model computes channels_per_group = 3 // 4 = 0 and its view raises. A variant
of shuffle_cut_by_whole_groups (there the groups axis keeps the labels, with "outer" /
"largest"); here the per-group axis has size 1. shrink() should refuse (a reshape number that
does not fit the cut); it accepts a model that does not run.

Run: PYTHONPATH=src .venv/bin/python <this file>, from the project root   (exit 1 = reproduced)
"""

import copy
import sys
import warnings

import torch
from torch import nn

from tavrix.pruning import rules
from tavrix.pruning.cutplan import get_cutplan
from tavrix.pruning.shrink import ShrinkError, check_equal, shrink


def channel_shuffle(x, groups):  # torchvision.models.shufflenetv2.channel_shuffle
    batchsize, num_channels, height, width = x.size()
    channels_per_group = num_channels // groups
    x = x.view(batchsize, groups, channels_per_group, height, width)
    x = torch.transpose(x, 1, 2).contiguous()
    return x.view(batchsize, num_channels, height, width)


class Net(nn.Module):
    def __init__(self, c, groups):
        super().__init__()
        self.conv = nn.Conv2d(3, c, 3, padding=1)
        self.head = nn.Conv2d(c, 4, 1)
        self.groups = groups

    def forward(self, x):
        return self.head(channel_shuffle(self.conv(x), self.groups)).mean((2, 3))


bad = 0
x = torch.randn(2, 3, 6, 6)
for c in (4, 6):
    torch.manual_seed(0)
    model = Net(c, c).eval()
    with warnings.catch_warnings(), rules.extended(split="inner"):
        warnings.simplefilter("ignore")
        plan = get_cutplan(model, (x,), {})
    ((_, labels),) = plan.prunable_groups
    removed = {0: [labels[0]]}
    original = copy.deepcopy(model)
    try:
        shrink(model, plan, removed)
    except ShrinkError as e:
        print(f"c={c} groups={c}: refused: {e}")
        continue
    result = check_equal(original, model, plan, removed, (x,), {})
    print(
        f"c={c} groups={c}: {len(labels)} labels; conv {c} -> {model.conv.out_channels}: {result}"
    )
    bad += not result.passed
sys.exit(1 if bad else 0)

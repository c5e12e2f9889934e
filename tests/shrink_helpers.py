"""Helpers shared by the shrink tests."""

import torch
from torch import nn


def rebuild_mismatches(model):
    """Modules whose constructor, called with their current attributes, would make tensors of
    other shapes than they hold: [(name, expected shapes, actual shapes)]."""
    found = []
    for name, module in model.named_modules():
        rebuilt = _rebuild(module)
        if rebuilt is None:
            continue
        expected = {k: tuple(v.shape) for k, v in rebuilt.state_dict().items()}
        actual = {k: tuple(v.shape) for k, v in module.state_dict().items()}
        if expected != actual:
            found.append((name, expected, actual))
    return found


def _rebuild(module):
    if isinstance(module, nn.modules.conv._ConvNd):
        extra = {"output_padding": module.output_padding} if module.transposed else {}
        return type(module)(
            module.in_channels,
            module.out_channels,
            module.kernel_size,
            stride=module.stride,
            padding=module.padding,
            dilation=module.dilation,
            groups=module.groups,
            bias=module.bias is not None,
            padding_mode=module.padding_mode,
            device="meta",
            **extra,
        )
    if isinstance(module, nn.Linear):
        return nn.Linear(
            module.in_features, module.out_features, bias=module.bias is not None, device="meta"
        )
    if isinstance(module, nn.modules.batchnorm._BatchNorm):
        return type(module)(
            module.num_features,
            module.eps,
            module.momentum,
            module.affine,
            module.track_running_stats,
            device="meta",
        )
    if isinstance(module, nn.PReLU):
        return nn.PReLU(module.num_parameters, device="meta")
    return None


def randomise(model, seed=0):
    """Random normalisation statistics and no constant parameters (freshly built heads are
    often zero, layer scales tiny), so that every channel changes the output."""
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for module in model.modules():
            if isinstance(module, nn.modules.batchnorm._BatchNorm):
                n = module.num_features
                if module.affine:
                    module.weight.copy_(0.5 + torch.rand(n, generator=generator))
                    module.bias.copy_(0.1 * torch.randn(n, generator=generator))
                if module.track_running_stats:
                    module.running_mean.copy_(0.1 * torch.randn(n, generator=generator))
                    module.running_var.copy_(0.5 + torch.rand(n, generator=generator))
        for parameter in model.parameters():
            if parameter.numel() > 1 and bool((parameter == parameter.flatten()[0]).all()):
                # zero heads, unit norm weights, 1e-6 layer scales: give every entry weight
                noise = torch.rand(parameter.shape, generator=generator)
                parameter.copy_(noise + 0.5 if parameter.flatten()[0] else noise - 0.5)
    return model


def state(model):
    """Everything shrink may change: tensors (by identity and value) and module attributes."""
    tensors = {k: (id(v), v.detach().clone()) for k, v in model.state_dict(keep_vars=True).items()}
    return tensors, repr(model)


def same_state(model, saved):
    tensors, text = saved
    now = model.state_dict(keep_vars=True)
    return (
        repr(model) == text
        and now.keys() == tensors.keys()
        and all(
            id(now[k]) == i and torch.equal(now[k].detach(), v) for k, (i, v) in tensors.items()
        )
    )

"""Finding the sub-module that owns a traced node's weight or running mean."""

import typing
import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import TensorInfo, flowscope_model
from tavrix.flowscope.utils import get_tensor_uid
from tavrix.pruning import cutplan as cp


class _Classifier(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(6, 3)

    def forward(self, x):
        return self.fc(x)


class _Net(nn.Module):
    def __init__(self):
        super().__init__()
        # lin comes first, so its name is the first match for the shared weight
        self.lin = nn.Linear(1, 1)
        self.lin.weight = nn.Parameter(torch.randn(6, 3, 1, 1))
        self.conv = nn.Conv2d(3, 6, 1)
        self.conv.weight = self.lin.weight
        self.bn = nn.BatchNorm1d(6)
        self.classifier = _Classifier()

    def forward(self, x):
        y = F.conv2d(x, self.lin.weight)
        return self.classifier(self.bn(y.mean((2, 3))))


class _Node:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def _nodes(model, *args):
    graph, _ = flowscope_model(model=model, args=args, kwargs={}, entry_point="__call__")
    return graph, {node.unique_name: node for node in graph}


def test_registry_table():
    assert list(cp._OPERATION_SEARCH_FUNCTION_REGISTRY) == [
        F.conv_transpose3d, F.conv_transpose2d, F.conv_transpose1d,
        F.conv3d, F.conv2d, F.conv1d, F.linear, F.batch_norm,
    ]  # fmt: skip
    entries = list(cp._OPERATION_SEARCH_FUNCTION_REGISTRY.values())
    assert entries[6] is cp._find_module_by_weight_tensor
    assert entries[7] is cp._find_bn_module_by_running_mean_tensor
    assert entries[4].expected_module_types == (nn.Conv2d,)
    assert entries[7].expected_module_types == (nn.BatchNorm1d, nn.BatchNorm2d, nn.BatchNorm3d)
    assert cp._get_search_function_by_operation(torch.relu) is None
    assert typing.get_origin(cp.MODULE_TYPES) is typing.Union


@pytest.mark.parametrize("indexed", [False, True])
def test_lookup_on_a_nested_model(indexed):
    model = _Net().train()
    graph, nodes = _nodes(model, torch.randn(2, 3, 4, 4))
    if indexed:
        found = cp._get_prunable_nn_modules(model, {node: [0] for node in graph})
        found = {node.unique_name: name for node, name in found.items()}
    else:
        found = {}
        for name, node in nodes.items():
            search = cp._get_search_function_by_operation(node.operation)
            if search is not None and (owner := search(model, node.args, node.kwargs)):
                found[name] = owner
    # conv2d_0 uses a weight whose first owner is a Linear: no module.
    assert found == {"batch_norm_0": "bn", "linear_0": "classifier.fc"}


def test_direct_search_functions_and_root_owner():
    root = nn.Linear(4, 2)
    _, nodes = _nodes(root, torch.randn(1, 4))
    args, kwargs = nodes["linear_0"].args, nodes["linear_0"].kwargs
    assert cp._find_module_by_weight_tensor(root, args, kwargs) == ""
    assert cp._find_module_by_weight_tensor(root, args, kwargs, nn.Conv2d) is None
    assert cp._find_module_by_weight_tensor(root, args, kwargs, [nn.Conv2d, nn.Linear]) == ""
    info = TensorInfo(shape=(2, 4), type=nn.Parameter, tensor_uid=get_tensor_uid(root.weight))
    params = list(root.named_parameters())
    assert cp._find_module_by_tensor_info(info, root, params, (nn.Linear,)) == ""
    assert cp._find_module_by_tensor_info(info, root, iter(params[1:]), nn.Linear) is None
    assert cp._find_module_by_tensor_info(object(), root, [], nn.Linear) is None
    with pytest.raises(ValueError, match="not enough values"):
        cp._find_module_by_tensor_info(info, root, [("weight",)], nn.Linear)


class _ScaledLinear(nn.Linear):
    def forward(self, x):
        return F.linear(x, self.weight * 2, self.bias)


@pytest.mark.parametrize(
    "module, shape",
    [
        (nn.BatchNorm2d(4, track_running_stats=False), (2, 4, 3, 3)),
        (_ScaledLinear(4, 4), (2, 4)),
    ],
)
def test_nodes_without_a_traced_owner_tensor_find_nothing(module, shape):
    # running_mean is None / the weight is computed in forward
    graph, _ = _nodes(module.train(), torch.randn(*shape))
    assert cp._get_prunable_nn_modules(module, {node: [0] for node in graph}) == {}
    last = graph[-1]
    search = cp._get_search_function_by_operation(last.operation)
    assert search(module, last.args, last.kwargs) is None


def test_registration_rules():
    def op():
        pass

    def search(model, args, kwargs, expected_module_types):
        return expected_module_types

    try:
        entry = cp._add_registry_search_function(op, [nn.Conv1d, nn.Linear])(search)
        assert entry.func is search
        assert cp._OPERATION_SEARCH_FUNCTION_REGISTRY[op] is entry
        assert entry(None, (), {}) == (nn.Conv1d, nn.Linear)
        with pytest.raises(ValueError, match=f'The operation "{op}" has already been registered'):
            cp._add_registry_search_function(op, nn.Linear)(search)
        # an unknown search function is called as it is by assembly
        node = _Node(operation=op, args=(), kwargs={})
        assert cp._get_prunable_nn_modules(None, {node: []}) == {node: (nn.Conv1d, nn.Linear)}
    finally:
        cp._OPERATION_SEARCH_FUNCTION_REGISTRY.pop(op, None)

    def keyword_only(model, args, kwargs, *, expected_module_types):
        return expected_module_types

    try:
        # the entry fixes the expected types as a keyword argument
        entry = cp._add_registry_search_function(op, nn.Linear)(keyword_only)
        assert entry(None, (), {}) == (nn.Linear,)
    finally:
        cp._OPERATION_SEARCH_FUNCTION_REGISTRY.pop(op, None)
    try:
        again = cp._add_registry_search_function(op, nn.Conv3d)(entry)
        assert again.func is keyword_only and again.expected_module_types == (nn.Conv3d,)
    finally:
        cp._OPERATION_SEARCH_FUNCTION_REGISTRY.pop(op, None)


class _Symmetric(nn.Module):
    def forward(self, weight):
        return (weight + weight.transpose(0, 1)) / 2


def _legacy(wrap):
    def apply(module):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)  # deprecated forms, still in use
            return wrap(module)

    return apply


class _Block(nn.Module):
    def __init__(self, wrap):
        super().__init__()
        self.conv = wrap(nn.Conv2d(6, 6, 3, padding=1))
        self.bn = nn.BatchNorm2d(6)

    def forward(self, x):
        return torch.relu(self.bn(self.conv(x)))


@pytest.mark.parametrize(
    "wrap",
    [
        nn.utils.parametrizations.weight_norm,
        nn.utils.parametrizations.spectral_norm,
        lambda m: nn.utils.parametrize.register_parametrization(m, "weight", _Symmetric()),
        _legacy(nn.utils.weight_norm),
        _legacy(nn.utils.spectral_norm),
    ],
    ids=["weight_norm", "spectral_norm", "parametrize", "old_weight_norm", "old_spectral_norm"],
)
def test_parametrized_weights_belong_to_their_module(wrap):
    model = nn.Sequential(nn.Conv2d(3, 6, 1), _Block(wrap), nn.Conv2d(6, 2, 1)).train()
    hooks = [(len(m._forward_hooks), len(m._forward_pre_hooks)) for m in model.modules()]
    plan = cp.get_cutplan(model, (torch.randn(2, 3, 5, 5),), {})
    found = {n.unique_name: name for n, name in plan.prunable_module_names_by_nodes.items()}
    assert found == {
        "conv2d_0": "0", "conv2d_1": "1.conv", "batch_norm_0": "1.bn", "conv2d_2": "2",
    }  # fmt: skip
    # the convolution is cut together with its norm
    group = next(nodes for nodes, _ in plan.prunable_groups if nodes[0].unique_name == "conv2d_1")
    assert [n.unique_name for n in group][:2] == ["conv2d_1", "batch_norm_0"]
    assert [(len(m._forward_hooks), len(m._forward_pre_hooks)) for m in model.modules()] == hooks


class _DropsConvEntry(nn.Module):
    """Its named_parameters() drops the conv2d search entry, as any model code could."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)

    def forward(self, x):
        return self.conv(x)

    def named_parameters(self, *args, **kwargs):
        cp._OPERATION_SEARCH_FUNCTION_REGISTRY.pop(F.conv2d, None)
        return super().named_parameters(*args, **kwargs)


def test_lookup_holds_the_search_entry_it_started_with():
    registry = cp._OPERATION_SEARCH_FUNCTION_REGISTRY
    order = list(registry)
    model = _DropsConvEntry()
    graph, _ = _nodes(model, torch.randn(1, 3, 2, 2))
    try:
        # the entry is referenced by the registry only: the model's call frees it
        assert cp._get_prunable_nn_modules(model, {graph[0]: [0]}) == {graph[0]: "conv"}
    finally:
        if F.conv2d not in registry:
            cp._add_registry_search_function(F.conv2d, nn.Conv2d)(cp._find_module_by_weight_tensor)
        entries = {op: registry[op] for op in order}
        registry.clear()
        registry.update(entries)


def test_lookup_index_names_a_non_tensor_member_as_get_tensor_uid_does():
    model = _Net().train()
    graph, _ = _nodes(model, torch.randn(2, 3, 4, 4))
    model.bn._buffers["planted"] = "not a tensor"  # past register_buffer's checks
    with pytest.raises(TypeError, match="get_tensor_uid expects a torch.Tensor, got str"):
        cp._get_prunable_nn_modules(model, {node: [0] for node in graph})

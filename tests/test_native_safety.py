"""The engine against model code that runs inside its calls.

A node's __hash__, a shape's iteration or a model method can run any Python
code while the native code works. These cases crashed, read freed memory or
overflowed (the sanitizer run of the suite reports the latter two), or left
the state corrupt; each must now fail cleanly or work.
"""

import gc
import weakref

import pytest
import torch
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning import cutplan as cp
from tavrix.pruning.engine import oprules as o
from tavrix.pruning.engine.oprules import PruneGraphParserState, PruningEngineRuntimeException


class HookedNode(NodeInfo):
    """A node whose __hash__ first runs ``on_hash`` (model code, as far as the engine knows)."""

    __slots__ = ("on_hash",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.on_hash = None

    def __hash__(self):
        if self.on_hash is not None:
            self.on_hash()
        return id(self) >> 4


def relu(shape=(2, 4), *args, cls=NodeInfo):
    return cls(torch.relu, "relu", args, result_shape=shape)


def recorded(state, labels, cls=NodeInfo):
    n = relu((2, len(labels)), cls=cls)
    o._add_node_output_channel_info(state, n, labels, True, 1)
    return n


def snapshot(state):
    return (
        state.next_ch_label,
        list(state.is_prunable.items()),
        list(state.channel_labels_by_nodes.items()),
        list(state.prune_dimension_by_nodes.items()),
    )


def test_label_view_copies_carriers_before_hashing_them():
    state = PruneGraphParserState()
    first = recorded(state, [0], cls=HookedNode)
    carriers = [first] + [recorded(state, [0]) for _ in range(4)]

    # reading label 0 hashes `first`, which records more carriers of label 0
    # (growing the native list that the read walks)
    def grow():
        first.on_hash = None
        for _ in range(8):
            recorded(state, [0])

    first.on_hash = grow
    assert state.nodes_by_channel_labels[0] == set(carriers)
    assert first.on_hash is None and len(state.nodes_by_channel_labels[0]) == 13


def test_a_node_hash_cannot_record_into_the_state_hashing_it():
    state = PruneGraphParserState()
    outer = relu(cls=HookedNode)
    inner = []
    outer.on_hash = lambda: inner.append(recorded(state, [10 + len(inner)]))
    with pytest.raises(PruningEngineRuntimeException, match="__hash__"):
        o._add_node_output_channel_info(state, outer, [0, 1], True, 1)
    outer.on_hash = None
    # nodes recorded before the clash read back their own labels; the outer
    # node is not recorded (it used to take the id of the node its hash recorded)
    assert inner and outer not in state.channel_labels_by_nodes
    expected = [[10 + i] for i in range(len(inner))]
    assert [state.channel_labels_by_nodes[n] for n in inner] == expected
    assert list(state.channel_labels_by_nodes) == inner


def test_concatenation_walks_a_copy_of_its_input_list():
    state = PruneGraphParserState()
    a = recorded(state, [0, 1], cls=HookedNode)
    b, c = recorded(state, [2, 3]), recorded(state, [4, 5])
    inputs = [a, b, c]
    a.on_hash = inputs.clear
    cat = NodeInfo(torch.cat, "cat", (inputs, 1), result_shape=(2, 6))
    o._cat_node_handler(state, cat)
    a.on_hash = None
    assert state.channel_labels_by_nodes[cat] == [0, 1, 2, 3, 4, 5]


def test_collecting_users_survives_hostile_arguments():
    # a node referenced only by an argument dict that its own hash clears
    kwargs = {}
    source = relu(cls=HookedNode)
    source.on_hash = kwargs.clear
    kwargs["x"] = source
    del source
    user = NodeInfo(torch.relu, "relu", (), kwargs)
    users = o._collect_node_users([user])
    assert [type(n) for n in users] == [HookedNode] and list(users.values()) == [[user]]

    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        o._collect_node_users([NodeInfo(torch.relu, "relu", (loop,))])


class ShortShape:
    """len() promises more items than iteration gives."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([5])


def test_broadcast_sizes_by_what_iteration_gives():
    assert o._broadcast_to(ShortShape(), 0, 4) == ((1, 1, 1, 5), 3)


def flatten(start_dim):
    src = NodeInfo(torch.relu, "relu", (), result_shape=(2, 8, 4, 4))
    return src, NodeInfo(torch.flatten, "flatten", (src, start_dim), result_shape=(2, 8, 4, 4))


def test_flatten_axis_arithmetic_does_not_overflow():
    state = PruneGraphParserState()
    src, node = flatten(2**63 - 1)  # (2**63 - 1) % 4 == 3: flattens the last axis alone
    o._add_node_output_channel_info(state, src, list(range(8)), True, 1)
    o._flatten_node_handler(state, node)
    assert state.prune_dimension_by_nodes[node] == 1


def prepared(state):
    """A state with one recorded node, and nodes for the handlers below."""
    src = recorded(state, list(range(4)))
    wide = TensorInfo((2, 2**62), torch.Tensor, 1)
    return {
        "flatten": NodeInfo(torch.flatten, "flatten", (src, 2**64), result_shape=(2, 4)),
        "reduce": NodeInfo(torch.sum, "sum", (src, 2**64), result_shape=(4,)),
        "conv": NodeInfo(
            torch.nn.functional.conv2d, "conv2d",
            (src, TensorInfo((4, 1, 1, 1), nn.Parameter, 2), None, 1, 0, 1, 2**64),
            result_shape=(2, 4),
        ),
        "cat": NodeInfo(torch.cat, "cat", ([src, wide, wide], 1), result_shape=(2, 4)),
    }  # fmt: skip


@pytest.mark.parametrize(
    "call",
    [
        lambda s, n: o._add_node_output_channel_info(s, relu(), [2**64], True, 1),
        lambda s, n: o._merge_labels(s, [0, -(2**70)]),
        lambda s, n: o._merge_label_groups(s, [[0], [2**64]]),
        lambda s, n: s.is_prunable.__setitem__(2**70, True),
        lambda s, n: o._generate_new_channel_labels(s, relu(), 2**64),
        lambda s, n: o._generate_new_channel_labels(s, relu((2, 2**64)), 1),
        lambda s, n: o._broadcast_to((1,), 0, 2**64),
        lambda s, n: cp._offset_with_spaces("x", 2**64),
        lambda s, n: o._flatten_node_handler(s, n["flatten"]),
        lambda s, n: o._unary_reduce_handler(s, n["reduce"]),
        lambda s, n: o._conv_node_handler(s, n["conv"]),
        lambda s, n: o._cat_node_handler(s, n["cat"]),
    ],
    ids=[
        "label",
        "merge",
        "merge_groups",
        "is_prunable",
        "prune_dim",
        "shape",
        "broadcast",
        "report_spaces",
        "flatten",
        "reduce",
        "conv_groups",
        "cat_sizes",
    ],
)
def test_integers_beyond_64_bits_raise_a_readable_overflow_error(call):
    state = PruneGraphParserState()
    nodes = prepared(state)
    before = snapshot(state)
    with pytest.raises(OverflowError, match="64-bit"):
        call(state, nodes)
    assert snapshot(state) == before


@pytest.mark.parametrize("channels", [2**31, 2**62])
def test_label_counter_moves_only_when_labels_are_handed_out(channels):
    state = PruneGraphParserState()
    recorded(state, [0, 1])
    o._generate_new_channel_labels(state, relu((2, 3)), 1)
    with pytest.raises(OverflowError, match="channels"):
        o._generate_new_channel_labels(state, relu((2, channels)), 1)
    assert state.next_ch_label == 3
    assert o._generate_new_channel_labels(state, relu((2, 2)), 1) == [3, 4]


def collected(make_cycle):
    """Whether the object make_cycle returns (held only by its cycle) is collected."""
    ref = weakref.ref(make_cycle())
    gc.collect()
    return ref() is None


def state_in_cycle():
    state = PruneGraphParserState()
    o._add_node_output_channel_info(state, relu((2, 1), state), [0], True, 1)
    return state


def view_in_cycle():
    state = PruneGraphParserState()
    view = state.channel_labels_by_nodes
    o._add_node_output_channel_info(state, relu((2, 1), view), [0], True, 1)
    return view


def search_entry_in_cycle():
    def search(model, args, kwargs, expected_module_types):
        return None

    op = object()
    search.entry = cp._add_registry_search_function(op, nn.Linear)(search)
    return cp._OPERATION_SEARCH_FUNCTION_REGISTRY.pop(op)


@pytest.mark.parametrize("make_cycle", [state_in_cycle, view_in_cycle, search_entry_in_cycle])
def test_native_objects_in_reference_cycles_are_collected(make_cycle):
    assert collected(make_cycle)

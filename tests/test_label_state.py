"""The parser state and the label operations every handler is built on."""

from collections.abc import Mapping

import pytest
import torch

from tavrix.flowscope import TraceTensor
from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.engine import oprules as o
from tavrix.pruning.engine.oprules import PruneGraphParserState, PruningEngineRuntimeException


def node(shape=(8, 4), *inputs):
    return NodeInfo(torch.relu, "relu", tuple(inputs), result_shape=shape)


def snapshot(state):
    return (
        state.next_ch_label,
        list(state.is_prunable.items()),
        [(k, v) for k, v in state.channel_labels_by_nodes.items()],
        [(k, set(v)) for k, v in state.nodes_by_channel_labels.items()],
        list(state.prune_dimension_by_nodes.items()),
    )


def recorded(state, shape=(8, 4), flags=True, dim=1):
    n = node(shape)
    labels = o._generate_new_channel_labels(state, n, dim)
    o._add_node_output_channel_info(state, n, labels, flags, dim)
    return n


@pytest.fixture
def state():
    return PruneGraphParserState()


def test_fresh_state_is_empty_and_maps_are_mappings(state):
    assert state.next_ch_label == 0
    for name in (
        "is_prunable",
        "channel_labels_by_nodes",
        "nodes_by_channel_labels",
        "prune_dimension_by_nodes",
    ):
        view = getattr(state, name)
        assert isinstance(view, Mapping)
        assert len(view) == 0 and view == {} and list(view) == []
    assert issubclass(PruningEngineRuntimeException, Exception)
    assert PruningEngineRuntimeException.__bases__ == (Exception,)


def test_generate_hands_out_consecutive_labels(state):
    assert o._generate_new_channel_labels(state, node((8, 16, 32, 32)), 1) == list(range(16))
    assert o._generate_new_channel_labels(
        pruning_state=state, node=node((8, 4)), prune_dimension=1
    ) == [16, 17, 18, 19]
    assert o._generate_new_channel_labels(state, node((2, 5)), -1) == list(range(20, 25))
    assert o._generate_new_channel_labels(state, node((2, 0)), 1) == []
    assert state.next_ch_label == 25
    assert len(state.is_prunable) == 0  # nothing is recorded


@pytest.mark.parametrize(
    "shape, dim, message",
    [
        (None, None, "prune_dimension is expected to be an integer value"),
        ((2, 5), 1.0, "prune_dimension is expected to be an integer value"),
        (None, 1, "node has no result shape"),
        ((2, 5), 2, "prune_dimension 2 is out of range"),
        ((2, 5), -3, "prune_dimension -3 is out of range"),
    ],
)
def test_generate_errors_leave_counter(state, shape, dim, message):
    recorded(state, (1, 3))
    with pytest.raises(PruningEngineRuntimeException, match=message):
        o._generate_new_channel_labels(state, node(shape), dim)
    assert state.next_ch_label == 3


def test_add_records_node_and_rejects_second_recording(state):
    n = node()
    o._add_node_output_channel_info(state, n, [0, 1, 2], True, 1)
    assert state.channel_labels_by_nodes[n] == [0, 1, 2]
    assert state.prune_dimension_by_nodes[n] == 1
    assert dict(state.is_prunable) == {0: True, 1: True, 2: True}
    assert all(state.nodes_by_channel_labels[label] == {n} for label in range(3))
    before = snapshot(state)
    with pytest.raises(
        PruningEngineRuntimeException, match="^Attempting to add node which was already added$"
    ):
        o._add_node_output_channel_info(state, n, [7], False, None)
    assert snapshot(state) == before


def test_add_with_empty_and_short_flag_lists(state):
    empty, short = node(), node()
    o._add_node_output_channel_info(state, empty, [], False, None)
    assert state.channel_labels_by_nodes[empty] == []
    assert state.prune_dimension_by_nodes[empty] is None
    assert len(state.is_prunable) == 0 and len(state.nodes_by_channel_labels) == 0
    o._add_node_output_channel_info(state, short, [4, 5, 6], [True, False], 0)
    assert state.channel_labels_by_nodes[short] == [4, 5, 6]
    assert dict(state.is_prunable) == {4: True, 5: False}
    assert list(state.nodes_by_channel_labels) == [4, 5]


def test_add_flag_overwrites_in_both_directions(state):
    a = recorded(state, flags=[False, True, True, True])
    b = node()
    o._add_node_output_channel_info(state, b, [0, 1], [True, False], 1)
    assert dict(state.is_prunable) == {0: True, 1: False, 2: True, 3: True}
    assert state.nodes_by_channel_labels[0] == {a, b}


@pytest.mark.parametrize("flags", [1, None, "yes"])
def test_add_rejects_flags_that_are_neither_bool_nor_list(state, flags):
    n = node()
    with pytest.raises(TypeError):
        o._add_node_output_channel_info(state, n, [0], flags, 1)
    assert n not in state.channel_labels_by_nodes


def test_keep_state_shares_labels_and_flags(state):
    src = recorded(state, flags=[True, False, True, True])
    dst, orphan = node(), node()
    o._node_keep_state(state, dst, src)
    assert state.channel_labels_by_nodes[dst] == [0, 1, 2, 3]
    assert state.prune_dimension_by_nodes[dst] == 1
    assert state.nodes_by_channel_labels[1] == {src, dst}
    # the shared list follows later merges of the source's labels
    other = recorded(state)
    o._merge_labels(state, [4, 0])
    assert state.channel_labels_by_nodes[dst] == [4, 1, 2, 3]
    assert state.nodes_by_channel_labels[4] == {src, dst, other}
    o._node_keep_state(state, orphan, 3.5)
    assert state.channel_labels_by_nodes[orphan] == []
    assert state.prune_dimension_by_nodes[orphan] is None


def test_mark_inputs_only_touches_recorded_inputs(state):
    a, b = recorded(state), recorded(state)
    unrecorded = node()
    consumer = node((8, 4), a, unrecorded)
    o._mark_node_inputs_as_non_prunable(state, consumer)
    assert [state.is_prunable[label] for label in range(8)] == [False] * 4 + [True] * 4
    assert b in state.channel_labels_by_nodes


@pytest.mark.parametrize(
    "flag_a, flag_b", [(True, True), (True, False), (False, True), (False, False)]
)
def test_merge_keeps_first_label_and_conjoins_flags(state, flag_a, flag_b):
    a = NodeInfo(torch.relu, "relu")
    b = NodeInfo(torch.relu, "relu")
    o._add_node_output_channel_info(state, a, [0, 2, 5], [True, flag_b, True], 1)
    o._add_node_output_channel_info(state, b, [5, 9], [flag_a, True], 1)
    assert o._merge_labels(state, [5, 2]) == 5
    assert state.channel_labels_by_nodes[a] == [0, 5, 5]
    assert state.channel_labels_by_nodes[b] == [5, 9]
    assert 2 not in state.is_prunable and 2 not in state.nodes_by_channel_labels
    assert state.nodes_by_channel_labels[5] == {a, b}
    assert state.is_prunable[5] is (flag_a and flag_b)
    # the survivor keeps its place in both maps
    assert list(state.is_prunable) == [0, 5, 9]
    assert list(state.nodes_by_channel_labels) == [0, 5, 9]


def test_merge_trivial_and_empty(state):
    recorded(state)
    before = snapshot(state)
    assert o._merge_labels(state, [3, 3]) == 3
    assert o._merge_labels(pruning_state=state, labels=[1]) == 1
    assert snapshot(state) == before
    with pytest.raises(
        PruningEngineRuntimeException, match="^Attempting to merge an empty list of labels$"
    ):
        o._merge_labels(state, [])


def test_merge_resolves_absorbed_and_repeated_labels(state):
    a, b, c = recorded(state), recorded(state), recorded(state)
    assert o._merge_labels(state, [0, 4, 4]) == 0
    # 4 is gone; naming it again reaches the label that absorbed it
    assert o._merge_labels(state, [8, 4]) == 8
    assert state.channel_labels_by_nodes[a][0] == 8
    assert state.channel_labels_by_nodes[b][0] == 8
    assert state.nodes_by_channel_labels[8] == {a, b, c}
    # an absorbed first label returns the live survivor
    assert o._merge_labels(state, [0, 1]) == 8
    assert 8 in state.nodes_by_channel_labels and 0 not in state.nodes_by_channel_labels


def test_merge_of_unknown_label_fails_without_change(state):
    recorded(state)
    before = snapshot(state)
    with pytest.raises(PruningEngineRuntimeException, match="unknown label 42"):
        o._merge_labels(state, [0, 1, 42])
    assert snapshot(state) == before


def test_merge_groups_position_by_position(state):
    a, b = recorded(state, (8, 2)), recorded(state, (8, 2), flags=[False, True])
    assert o._merge_label_groups(state, [[0, 1], [2, 3]]) == [0, 1]
    assert state.channel_labels_by_nodes[b] == [0, 1]
    assert dict(state.is_prunable) == {0: False, 1: True}
    assert state.nodes_by_channel_labels[0] == {a, b}


@pytest.mark.parametrize(
    "groups, text",
    [([[0, 1], [2]], "(2, 1)"), ([], "()"), ([[0], [1, 2], [3]], "(1, 2, 1)")],
)
def test_merge_groups_rejects_unequal_lengths(state, groups, text):
    recorded(state)
    before = snapshot(state)
    with pytest.raises(PruningEngineRuntimeException) as info:
        o._merge_label_groups(state, groups)
    assert str(info.value) == "Attempting to merge label groups of different sizes: " + text
    assert snapshot(state) == before


def test_merge_groups_checks_every_position_before_merging(state):
    recorded(state)
    before = snapshot(state)
    with pytest.raises(PruningEngineRuntimeException, match="unknown label 99"):
        o._merge_label_groups(state, [[0, 1], [2, 99]])
    assert snapshot(state) == before


def test_merge_groups_returns_live_survivors_when_positions_overlap(state):
    recorded(state, (8, 3))
    # position 1 absorbs the survivor of position 0
    result = o._merge_label_groups(state, [[0, 2], [1, 0]])
    assert result[0] == result[1] == 2
    assert all(label in state.nodes_by_channel_labels for label in result)
    assert list(state.nodes_by_channel_labels) == [2]


def test_absorbed_label_recorded_again_is_a_new_live_label(state):
    a, b = recorded(state, (8, 2)), recorded(state, (8, 2))
    o._merge_labels(state, [0, 2])
    c = node()
    o._add_node_output_channel_info(state, c, [2], False, 1)
    assert state.nodes_by_channel_labels[2] == {c}
    assert state.nodes_by_channel_labels[0] == {a, b}
    assert state.channel_labels_by_nodes[b] == [0, 3]
    assert list(state.is_prunable) == [0, 1, 3, 2]
    # merging the new 2 does not drag the old class along twice
    assert o._merge_labels(state, [2, 0]) == 2
    assert state.nodes_by_channel_labels[2] == {a, b, c}
    assert state.is_prunable[2] is False


def test_is_prunable_assignment_follows_dict_semantics(state):
    recorded(state, (8, 2))
    o._merge_labels(state, [0, 1])
    state.is_prunable[1] = False  # 1 was absorbed: a new key at the end
    state.is_prunable[0] = False
    assert dict(state.is_prunable) == {0: False, 1: False}
    assert list(state.is_prunable) == [0, 1]
    assert 1 not in state.nodes_by_channel_labels
    with pytest.raises(TypeError):
        state.is_prunable["0"] = True


def test_views_act_like_dicts(state):
    a = recorded(state, (8, 2))
    view = state.channel_labels_by_nodes
    assert view == {a: [0, 1]} and view != {a: [0]} and view != 3
    assert list(view.keys()) == [a] and list(view.values()) == [[0, 1]]
    assert dict(view.items()) == {a: [0, 1]}
    assert view.get("x") is None and view.get([1], 7) == 7 and [1] not in view
    with pytest.raises(KeyError):
        state.nodes_by_channel_labels[5]
    assert state.prune_dimension_by_nodes.get(a) == 1
    assert str(0) not in state.is_prunable


@pytest.mark.parametrize(
    "shape, dim, n, expected",
    [
        ((16, 1, 1), 0, 4, ((1, 16, 1, 1), 1)),
        ((5,), None, 3, ((1, 1, 5), None)),
        ((2, 3, 4), 2, 2, ((2, 3, 4), 2)),
        ((2, 3), 1, 2, ((2, 3), 1)),
    ],
)
def test_broadcast_to(shape, dim, n, expected):
    assert o._broadcast_to(shape, dim, n=n) == expected


def test_argument_reads():
    state = PruneGraphParserState()
    n = node((2, 3))
    param = TensorInfo((3,), torch.nn.Parameter, 1)
    model_input = TensorInfo((2, 3), TraceTensor, 2)
    for arg in (3, None, [1, 2], param):
        assert o._get_labels(state, arg) == [] and o._get_prune_dimension(state, arg) is None
    assert o._get_shape(n) == (2, 3) and o._get_shape(param) == (3,) and o._get_shape(3) is None
    assert o._get_shape(NodeInfo(torch.relu, "relu")) is None
    assert [o._is_trace_tensor(x) for x in (n, model_input, param, 3)] == [True, True, False, False]


_INT64 = (-(2**63), 2**63 - 1)


@pytest.mark.parametrize(
    "values",
    [
        [],
        [7],
        list(range(40, 48)),
        [3, 4, 5, 9, 10, 2, 2, 1, 0],
        [_INT64[1] - 1, _INT64[1], _INT64[0], _INT64[0] + 1, -1, 0],
    ],
)
def test_channel_labels_read_like_their_list(values):
    import copy
    import pickle

    labels = o.ChannelLabels(values)
    assert labels == values and values == labels and not labels != values
    assert labels != values + [0] and labels != tuple(values)
    assert (len(labels), bool(labels), repr(labels), labels.tolist()) == (
        len(values),
        bool(values),
        repr(values),
        values,
    )
    assert list(labels) == values and list(reversed(labels)) == values[::-1]
    for index in range(-len(values), len(values)):
        assert labels[index] == values[index]
    for piece in (slice(1, None), slice(None, None, -2), slice(-3, 100, 3)):
        assert labels[piece] == values[piece]
    with pytest.raises(IndexError):
        labels[len(values)]
    for probe in {*values, 11, 1.0, _INT64[1] + 1}:
        assert (probe in labels) == (probe in values)
        assert labels.count(probe) == values.count(probe)
    assert labels + [1] == values + [1] and [1] + labels == [1] + values
    assert (labels < [8], labels >= values) == (values < [8], True)
    again = pickle.loads(pickle.dumps(labels))
    assert type(again) is o.ChannelLabels and again == labels and again == values
    assert copy.deepcopy(labels) is labels
    with pytest.raises(TypeError):
        hash(labels)


def test_channel_labels_refuse_bad_input():
    with pytest.raises(TypeError, match="integers"):
        o.ChannelLabels([1, 2.0])
    with pytest.raises(OverflowError):
        o.ChannelLabels([2**64])
    for state in ((1,), (1, 0), (2**63 - 1, 2)):
        with pytest.raises(ValueError):
            o.ChannelLabels.__new__(o.ChannelLabels).__setstate__(state)


@pytest.mark.parametrize("seed", range(6))
def test_random_walk_keeps_carriers_and_groups_consistent(seed):
    # Runs of labels recorded whole, in slices, reversed and interleaved, merged position by
    # position and one by one: a label's carriers are the nodes that were given it, and the
    # groups split the live labels by exactly those carriers and the flags.
    import random

    rng = random.Random(seed)
    state, nodes = PruneGraphParserState(), []
    for _ in range(120):
        step = rng.random()
        lists = [state.channel_labels_by_nodes[n] for n in nodes]
        if step < 0.25 or not nodes:
            n = node((8, rng.choice([1, 3, 16, 40])))
            labels = o._generate_new_channel_labels(state, n, 1)
        elif step < 0.55:
            a, b = rng.choice(lists), rng.choice(lists)
            start = rng.randrange(len(a))
            labels = list(a[start : start + rng.randint(1, len(a))])
            if rng.random() < 0.3:
                labels.reverse()
            if rng.random() < 0.3:
                labels = [x for pair in zip(labels, b) for x in pair]
            n = node((8, len(labels)))
        elif step < 0.7:
            n = node()
            o._node_keep_state(state, n, rng.choice(nodes))
            nodes.append(n)
            continue
        elif step < 0.9:
            a, b = rng.choice(lists), rng.choice(lists)
            width = rng.randint(1, min(len(a), len(b)))
            o._merge_label_groups(state, [a[:width], b[-width:]])
            continue
        else:
            o._merge_labels(state, [rng.choice(x) for x in rng.sample(lists, min(3, len(lists)))])
            continue
        flags = [rng.random() < 0.8 for _ in labels] if rng.random() < 0.5 else True
        o._add_node_output_channel_info(state, n, labels, flags, 1)
        nodes.append(n)

    given = {}
    for n in nodes:
        for label in state.channel_labels_by_nodes[n]:
            given.setdefault(label, set()).add(n)
    assert {label: set(c) for label, c in state.nodes_by_channel_labels.items()} == given
    prunable, unprunable = state._derive_groups()
    seen = []
    for groups, flag in ((prunable, True), (unprunable, False)):
        for carriers, labels in groups:
            for label in labels:
                assert carriers == [n for n in nodes if n in given[label]]
                assert state.is_prunable[label] is flag
            seen += list(labels)
    assert sorted(seen) == sorted(given)


@pytest.mark.parametrize("seed", range(3))
def test_labels_named_out_of_order_read_as_dicts(seed):
    # Values named in any order, far apart and beyond the counter (kept hashed until the
    # counter grows), merged, and named again once absorbed: the maps read as the dicts
    # they stand for, in first-insertion order.
    import random

    rng = random.Random(seed)
    state = PruneGraphParserState()
    xs = rng.sample(range(40000, 130000), 800)
    x = node((8, len(xs)))
    o._add_node_output_channel_info(state, x, xs, True, 1)
    g = node((8, 40000))
    made = o._generate_new_channel_labels(state, g, 1)
    assert made == list(range(40000))
    o._add_node_output_channel_info(state, g, made, True, 1)
    taken = set(xs)
    ys = rng.sample([v for v in range(40000, 160000) if v not in taken], 300)
    y = node((8, len(ys)))
    o._add_node_output_channel_info(state, y, ys, True, 1)
    pairs = list(zip(xs[:100], ys[:100]))
    for a, b in pairs:
        assert o._merge_labels(state, [a, b]) == a
    again = [b for _, b in pairs][::-1]
    z = node((8, len(again)))
    o._add_node_output_channel_info(state, z, again, False, 1)

    into = {b: a for a, b in pairs}
    assert state.channel_labels_by_nodes[x] == xs
    assert state.channel_labels_by_nodes[g] == made
    assert state.channel_labels_by_nodes[y] == [into.get(v, v) for v in ys]
    assert state.channel_labels_by_nodes[z] == again
    assert list(state.is_prunable) == xs + made + ys[100:] + again
    assert [state.is_prunable[v] for v in (xs[0], ys[-1], again[0])] == [True, True, False]
    assert all(state.nodes_by_channel_labels[a] == {x, y} for a, _ in pairs)
    assert all(state.nodes_by_channel_labels[b] == {z} for b in again)
    assert state.nodes_by_channel_labels[ys[-1]] == {y}
    _, unprunable = state._derive_groups()
    assert [list(labels) for _, labels in unprunable] == [again]

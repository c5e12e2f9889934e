"""ModelCutplan and its text report."""

from types import SimpleNamespace

import pytest

from tavrix.pruning import cutplan as cp


def _node(name):
    # The report only reads unique_name.
    return SimpleNamespace(unique_name=name)


def _plan(prunable, unprunable=(), n_nodes=7):
    fields = dict(
        graph=[_node(f"n{i}") for i in range(n_nodes)],
        prunable_groups=list(prunable),
        unprunable_groups=list(unprunable),
        labels_by_nodes={},
        node_users={},
        prunable_module_names_by_nodes={},
        gate_container=None,
        gate_names_by_nodes={},
        prunable_group_gate_names=[],
        ops_and_gate_names=[],
    )
    return cp.ModelCutplan(**fields), fields


TWO_GROUPS = [
    ([_node("conv2d_0"), _node("relu_0")], list(range(16))),
    ([], [20, 22]),
]


def test_model_cutplan_is_a_plain_container_of_its_ten_arguments():
    plan, fields = _plan(TWO_GROUPS)
    assert cp.ModelCutplan.__bases__ == (object,)
    assert cp.ModelCutplan.__doc__ == "Container with model pruning-related information."
    assert list(vars(plan)) == list(fields)
    assert all(getattr(plan, key) is value for key, value in fields.items())
    positional = cp.ModelCutplan(*fields.values())
    assert all(getattr(positional, key) is value for key, value in fields.items())
    with pytest.raises(TypeError):
        cp.ModelCutplan(*list(fields.values())[:9])
    with pytest.raises(TypeError):
        cp.ModelCutplan(*fields.values(), None)


def test_levels_zero_and_one():
    plan, _ = _plan(TWO_GROUPS)
    short = "ModelCutplan(n_prunable_channels=18)"
    header = "ModelCutplan(n_prunable_channels=18, n_nodes=7, n_gates=2)"
    assert repr(plan) == plan.summary() == plan.summary(0) == plan.summary(-5) == short
    assert str(plan) == plan.summary(1) == plan.summary(level=1) == header
    assert plan.summary(7) == plan.summary(2)


def test_level_two_full_text():
    prunable = TWO_GROUPS
    unprunable = [([_node("linear_0")], [3, 4, 5, 6, 7, 8, 9]), ([_node("cat_0")], [1, 1])]
    plan, _ = _plan(prunable, unprunable)
    assert plan.summary(2) == (
        "ModelCutplan(n_prunable_channels=18, n_nodes=7, n_gates=2)\n"
        "Prunable groups:\n"
        "  Group(name=#0, n_labels=16, range=(0, 15))\n"
        "  Nodes:\n"
        "    conv2d_0\n"
        "    relu_0\n"
        "  Group(name=#1, n_labels=2, range=None)\n"
        "  Nodes:\n"
        "Unprunable groups:\n"
        "  Group(name=#0, n_labels=7, range=(3, 9))\n"
        "  Nodes:\n"
        "    linear_0\n"
        "  Group(name=#1, n_labels=2, range=None)\n"
        "  Nodes:\n"
        "    cat_0"
    )


@pytest.mark.parametrize(
    "prunable, unprunable, expected",
    [
        (
            [],
            [([_node("a")], [0])],
            "ModelCutplan(n_prunable_channels=0, n_nodes=7, n_gates=0)\nPrunable groups:\n\n"
            "Unprunable groups:\n  Group(name=#0, n_labels=1, range=(0, 0))\n  Nodes:\n    a",
        ),
        (
            [([_node("a")], [4, 5])],
            [],
            "ModelCutplan(n_prunable_channels=2, n_nodes=7, n_gates=1)\nPrunable groups:\n"
            "  Group(name=#0, n_labels=2, range=(4, 5))\n  Nodes:\n    a\nUnprunable groups:\n",
        ),
        # A group without labels reports no range instead of failing.
        (
            [([_node("a")], [])],
            [],
            "ModelCutplan(n_prunable_channels=0, n_nodes=7, n_gates=1)\nPrunable groups:\n"
            "  Group(name=#0, n_labels=0, range=None)\n  Nodes:\n    a\nUnprunable groups:\n",
        ),
    ],
)
def test_level_two_with_empty_parts(prunable, unprunable, expected):
    plan, _ = _plan(prunable, unprunable)
    assert plan.summary(2) == expected


@pytest.mark.parametrize(
    "indices, expected",
    [([], None), ([5], (5, 5)), ([3, 4, 5, 6, 7, 8, 9], (3, 9)), ([1, 3], None), ([2, 1], None)],
)
def test_get_range(indices, expected):
    assert cp._get_range(indices) == expected


@pytest.mark.parametrize(
    "message, spaces, expected",
    [
        ("a\n\nb", 2, "  a\n\n  b"),
        ("a\nb\n", 4, "    a\n    b\n"),
        ("a\nb", 0, "a\nb"),
        ("a\nb", -3, "a\nb"),
        ("", 2, ""),
    ],
)
def test_offset_with_spaces(message, spaces, expected):
    assert cp._offset_with_spaces(message, spaces=spaces) == expected
    assert cp._offset_with_spaces("x") == "  x"


def test_pruning_group_to_str_names_and_bad_input():
    group = ([_node("conv2d_3")], [7, 8])
    assert cp.pruning_group_to_str(None, group) == (
        "Group(name=None, n_labels=2, range=(7, 8))\nNodes:\n  conv2d_3"
    )
    assert cp.pruning_group_to_str(group_name="g", group=([], [1])).endswith("Nodes:")
    assert cp._groups_to_str([]) == ""
    with pytest.raises(TypeError, match="group_name"):
        cp.pruning_group_to_str(3, group)
    with pytest.raises(ValueError, match="too many values to unpack"):
        cp.pruning_group_to_str("g", ([], [1], []))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        cp.pruning_group_to_str("g", ([],))
    # the group is unpacked before the name is looked at
    with pytest.raises(ValueError, match="too many values to unpack"):
        cp.pruning_group_to_str(3, ([], [1], []))

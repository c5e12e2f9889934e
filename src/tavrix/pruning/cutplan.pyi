"""Pruning information: channel groups, gate placement and creation, owning sub-modules
and the text report of one analysed model call."""

from types import ModuleType
from typing import (
    AbstractSet,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Optional,
    Sequence,
    Set,
    Tuple,
    Type,
    Union,
)

import torch

from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.engine.ruleset import RuleRecord
from tavrix.pruning.recording import Provenance

__all__ = [
    "MODULE_TYPES",
    "ModelCutplan",
    "is_aggregate_node",
    "find_input_nodes",
    "find_candidate_nodes",
    "create_gate_container",
    "get_cutplan",
]

def configure(
    *,
    flowscope_model: Callable[..., Tuple[List[NodeInfo], List[NodeInfo]]],
    graph_parser: Callable[[], Any],
    record_provenance: Callable[..., None],
    node_class: type,
    tensor_info_class: type,
    picklable_operation: Callable[[Any], Any],
    channel_mix_ops: AbstractSet[Any],
    gates: ModuleType,
    are_indices_continuous: Callable[[Iterable[int]], bool],
    get_tensor_uid: Callable[[Any], int],
    get_submodule: Callable[[torch.nn.Module, str], torch.nn.Module],
    get_argument: Callable[..., Any],
) -> None:
    """Called once, by the package's wiring (a second call raises RuntimeError)."""

MODULE_TYPES = Union[
    Type[torch.nn.Module], Tuple[Type[torch.nn.Module], ...], List[Type[torch.nn.Module]]
]

_GroupPair = Tuple[List[NodeInfo], Sequence[int]]

class ModelCutplan:
    """Container with model pruning-related information."""

    graph: List[NodeInfo]
    prunable_groups: List[_GroupPair]
    unprunable_groups: List[_GroupPair]
    labels_by_nodes: Dict[NodeInfo, Sequence[int]]
    node_users: Dict[NodeInfo, List[NodeInfo]]
    prunable_module_names_by_nodes: Dict[NodeInfo, str]
    gate_container: torch.nn.ModuleDict
    gate_names_by_nodes: Dict[NodeInfo, str]
    prunable_group_gate_names: List[List[str]]
    ops_and_gate_names: List[Tuple[Any, str]]
    #: the rule set and prune axes of the walk that made the plan (None: a plan made by hand)
    rule_record: Optional[RuleRecord]
    #: id of every parameter and buffer of the analysed model -> its dotted name
    tensor_names: Optional[Dict[int, str]]
    #: why the unprunable groups are unprunable (None with provenance off)
    provenance: Optional[Provenance]

    def __init__(
        self,
        graph: List[NodeInfo],
        prunable_groups: List[_GroupPair],
        unprunable_groups: List[_GroupPair],
        labels_by_nodes: Dict[NodeInfo, Sequence[int]],
        node_users: Dict[NodeInfo, List[NodeInfo]],
        prunable_module_names_by_nodes: Dict[NodeInfo, str],
        gate_container: torch.nn.ModuleDict,
        gate_names_by_nodes: Dict[NodeInfo, str],
        prunable_group_gate_names: List[List[str]],
        ops_and_gate_names: List[Tuple[Any, str]],
        *,
        rule_record: Optional[RuleRecord] = None,
        tensor_names: Optional[Dict[int, str]] = None,
        provenance: Optional[Provenance] = None,
    ) -> None: ...
    def summary(self, level: int = 0) -> str: ...
    def __getstate__(self) -> Dict[str, Any]: ...

def pruning_group_to_str(group_name: Optional[str], group: _GroupPair) -> str: ...
def _groups_to_str(groups: Iterable[_GroupPair]) -> str: ...
def _get_range(indices: Sequence[int]) -> Optional[Tuple[int, int]]: ...
def _offset_with_spaces(message: str, spaces: int = 2) -> str: ...
def is_aggregate_node(node: NodeInfo) -> bool: ...
def find_input_nodes(group_nodes: List[NodeInfo], gate_index: int) -> List[NodeInfo]: ...
def find_candidate_nodes(
    group_nodes: List[NodeInfo], node_users: Dict[NodeInfo, List[NodeInfo]], gate_index: int
) -> Set[NodeInfo]: ...

class _SearchFunctionEntry:
    """A search function with its expected module types fixed."""

    @property
    def func(self) -> Callable[..., Optional[str]]: ...
    @property
    def expected_module_types(self) -> Tuple[Type[torch.nn.Module], ...]: ...
    def __call__(
        self,
        model: torch.nn.Module,
        args: Tuple[Any, ...],
        kwargs: Optional[Dict[str, Any]],
        expected_module_types: Optional[MODULE_TYPES] = None,
    ) -> Optional[str]: ...

_OPERATION_SEARCH_FUNCTION_REGISTRY: Dict[Any, _SearchFunctionEntry]

def _add_registry_search_function(
    operation: Any, expected_modules: MODULE_TYPES
) -> Callable[[Callable[..., Optional[str]]], _SearchFunctionEntry]: ...
def _get_search_function_by_operation(torch_op: Any) -> Optional[_SearchFunctionEntry]: ...

# Bound to the registry entries of torch.nn.functional.linear and batch_norm;
# expected_module_types, when given, replaces the entry's own.
_find_module_by_weight_tensor: _SearchFunctionEntry
_find_bn_module_by_running_mean_tensor: _SearchFunctionEntry

def _find_module_by_tensor_info(
    tensor_info: TensorInfo,
    model: torch.nn.Module,
    parameters: Iterable[Tuple[str, Union[torch.Tensor, torch.nn.Parameter]]],
    expected_module_types: MODULE_TYPES,
) -> Optional[str]: ...
def create_gate_container(
    labels_by_nodes: Dict[NodeInfo, Sequence[int]],
    prunable_groups: List[_GroupPair],
    node_users: Dict[NodeInfo, List[NodeInfo]],
    prune_dimension_by_nodes: Dict[NodeInfo, Optional[int]],
) -> Tuple[torch.nn.ModuleDict, Dict[NodeInfo, str], List[List[str]]]: ...
def get_cutplan(
    model: torch.nn.Module,
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    entry_point: Union[str, Callable[..., Any]] = "__call__",
) -> ModelCutplan: ...
def _make_groups_containing_output_unprunable(
    prunable_groups: List[_GroupPair],
    unprunable_groups: List[_GroupPair],
    graph_output_nodes: Iterable[NodeInfo],
) -> None: ...
def _get_prunable_nn_modules(
    model: torch.nn.Module, channel_labels_by_nodes: Dict[NodeInfo, Sequence[int]]
) -> Dict[NodeInfo, str]: ...

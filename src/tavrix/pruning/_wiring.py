"""Hands the extension modules below :mod:`tavrix.pruning` the Python objects they work with.

No extension imports one of the project's own modules: each one's ``configure(...)`` is called
here, once and by keyword, with what it works with. ``tavrix/pruning/__init__.py`` imports this
module, so it runs before anything below the package can be used, whichever module a process
imports first (``from tavrix.pruning.cutplan import get_cutplan`` included). None of the modules
imported here uses an extension while it loads.
"""

from __future__ import annotations

from tavrix.flowscope import TraceTensor, intercept, opkinds, tracing
from tavrix.flowscope.entrypoint import resolve_entry_point
from tavrix.flowscope.utils import get_tensor_uid
from tavrix.pruning import blockstate, cutplan, gate, gatecal, gatewire, recording, utils
from tavrix.pruning.engine import oprules, opsets
from tavrix.pruning.engine.graphwalk import PruneGraphParser
from tavrix.utils import common
from tavrix.utils.argpick import get_argument

# The label engine: the traced graph's classes, the catalogue's operation sets (its handler
# registry is filled from them) and the argument reader. The transformer rules hand it their
# matrix products themselves (configure(matmuls=...)).
oprules.configure(
    node_class=tracing.NodeInfo,
    tensor_info_class=tracing.TensorInfo,
    trace_tensor=TraceTensor,
    get_argument=get_argument,
    elementwise_ops=opkinds.ELEMENTWISE_OPS,
    channelwise_ops=opkinds.CHANNELWISE_OPS,
    unary_reduce_ops=opkinds.UNARY_REDUCE_OPS,
    dropout_ops=opkinds.DROPOUT_OPS,
    binary_elementwise_ops=opkinds.BINARY_ELEMENTWISE_OPS,
    flatten_ops=opkinds.get_torch_and_tensor_methods("flatten"),
    norm_ops=opsets.NORM_OPS,
    std_ops=opsets.STD_OPS,
    var_ops=opsets.VAR_OPS,
    dropout_train_default_ops=opsets.DROPOUT_TRAIN_DEFAULT_OPS,
)

# The analysis: the tracer, the graph walk, the provenance record, the gates.
cutplan.configure(
    flowscope_model=tracing.flowscope_model,
    graph_parser=PruneGraphParser,
    record_provenance=recording.record_provenance,
    node_class=tracing.NodeInfo,
    tensor_info_class=tracing.TensorInfo,
    picklable_operation=tracing.picklable_operation,
    channel_mix_ops=opsets.PRUNE_CHANNEL_MIX_OPS,
    gates=gate,
    are_indices_continuous=utils.are_indices_continuous,
    get_tensor_uid=get_tensor_uid,
    get_submodule=common.get_submodule,
    get_argument=get_argument,
)

# The calibrator: the analysis and the gate wiring its redirection calls, and what its block
# saves and restores.
gatecal.configure(
    get_cutplan=cutplan.get_cutplan,
    resolve_entry_point=resolve_entry_point,
    prepare_args_for_prune_calibration=gatewire.prepare_args_for_prune_calibration,
    gate_insertion_context=gatewire.gate_insertion_context,
    plain_outputs=gatewire.plain_outputs,
    buffer_snapshot=common.BufferSnapshot,
    copy_hooks=blockstate.CopyHooks,
    untrace_attributes=intercept.untrace_attributes,
)

#include "interop/pybind.hpp"

#include "oprules/channel_labels.hpp"
#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"

PYBIND11_MODULE(oprules, m) {
  m.doc() = "Channel-label engine: parser state, label operations and per-operation node handlers.";
  namespace o = tavrix::oprules;
  o::register_channel_labels(m);
  o::register_state(m);
  o::register_provenance(m);
  o::register_passthrough(m);
  o::register_conv_linear(m);
  o::register_binary(m);
  o::register_cat_flatten(m);
  o::register_reduce(m);
  o::register_shared_params(m);
  o::register_registry(m);
  o::register_extended_shapes(m);
  o::register_extended_layers(m);
  o::register_extended(m);
}

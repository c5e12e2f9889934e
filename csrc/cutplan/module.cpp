#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"

PYBIND11_MODULE(cutplan, m) {
  m.doc() =
      "Pruning information: channel groups, gate placement and creation, owning sub-modules "
      "and the text report of one analysed model call.";
  tavrix::cutplan::register_report(m);
  tavrix::cutplan::register_placement(m);
  tavrix::cutplan::register_lookup(m);
  tavrix::cutplan::register_container(m);
  tavrix::cutplan::register_assembly(m);
}

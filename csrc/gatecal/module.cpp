#include "interop/pybind.hpp"

#include "gatecal/gatecal.hpp"

PYBIND11_MODULE(gatecal, m) {
  m.doc() = "Calibration context: gates the model's calls and collects channel importance.";
  tavrix::gatecal::register_calibrator(m);
  tavrix::gatecal::register_entry_point(m);
}

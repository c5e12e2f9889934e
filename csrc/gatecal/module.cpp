#include "interop/pybind.hpp"

PYBIND11_MODULE(gatecal, m) {
  m.doc() = "tavrix gatecal";
}

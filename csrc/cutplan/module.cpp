#include "interop/pybind.hpp"

PYBIND11_MODULE(cutplan, m) {
  m.doc() = "tavrix cutplan";
}

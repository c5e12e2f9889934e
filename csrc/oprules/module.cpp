#include "interop/pybind.hpp"

PYBIND11_MODULE(oprules, m) {
  m.doc() = "tavrix oprules";
}

#include "interop/pybind.hpp"

#include "frames/frames.hpp"

PYBIND11_MODULE(frames, m) {
  m.doc() = "Where in a model's own code the operation being traced was called.";
  tavrix::frames::register_location(m);
}

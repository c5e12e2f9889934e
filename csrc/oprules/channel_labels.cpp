#include "interop/pybind.hpp"

#include "oprules/channel_labels.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

namespace tavrix::oprules {

// ---------------------------------------------------------------- storage

ChannelLabels::ChannelLabels(const int64_t* values, size_t n) {
  size_t i = 0;
  while (i < n) {
    size_t j = i + 1;
    while (j < n && values[j - 1] < std::numeric_limits<int64_t>::max() &&
           values[j] == values[j - 1] + 1) {
      ++j;
    }
    append_run(values[i], static_cast<int64_t>(j - i));
    i = j;
  }
}

void ChannelLabels::append_run(int64_t first, int64_t length) {
  const int64_t start = runs_.empty() ? 0 : runs_.back().end;
  runs_.push_back(Run{first, start + length});
}

int64_t ChannelLabels::at(size_t position) const {
  const auto pos = static_cast<int64_t>(position);
  auto run = std::upper_bound(runs_.begin(), runs_.end(), pos,
                              [](int64_t p, const Run& r) { return p < r.end; });
  const int64_t start = run == runs_.begin() ? 0 : std::prev(run)->end;
  return run->first + (pos - start);
}

bool ChannelLabels::operator<(const ChannelLabels& other) const {
  return std::lexicographical_compare(runs_.begin(), runs_.end(), other.runs_.begin(),
                                      other.runs_.end(), [](const Run& a, const Run& b) {
                                        return a.first != b.first ? a.first < b.first
                                                                  : a.end < b.end;
                                      });
}

bool ChannelLabels::operator==(const ChannelLabels& other) const {
  // Runs are maximal, so equal sequences have equal runs.
  return runs_.size() == other.runs_.size() &&
         std::equal(
             runs_.begin(), runs_.end(), other.runs_.begin(),
             [](const Run& a, const Run& b) { return a.first == b.first && a.end == b.end; });
}

std::vector<int64_t> ChannelLabels::pairs() const {
  std::vector<int64_t> flat;
  flat.reserve(2 * runs_.size());
  int64_t start = 0;
  for (const Run& run : runs_) {
    flat.push_back(run.first);
    flat.push_back(run.end - start);
    start = run.end;
  }
  return flat;
}

ChannelLabels ChannelLabels::from_pairs(const std::vector<int64_t>& flat) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (flat.size() % 2 != 0) {
    throw py::value_error("ChannelLabels state must hold (first, length) pairs");
  }
  ChannelLabels out;
  int64_t last_first = 0, last_length = 0;  // of the last run
  for (size_t i = 0; i < flat.size(); i += 2) {
    const int64_t first = flat[i];
    const int64_t length = flat[i + 1];
    const int64_t start = out.runs_.empty() ? 0 : out.runs_.back().end;
    if (length <= 0 || (first > 0 && length - 1 > kMax - first) || length > kMax - start) {
      throw py::value_error("ChannelLabels state holds an invalid run");
    }
    // Joined where the pairs did not keep runs maximal, so equality stays a run comparison.
    if (!out.runs_.empty() && last_first + (last_length - 1) < kMax &&
        last_first + last_length == first) {
      out.runs_.back().end += length;
      last_length += length;
    } else {
      out.append_run(first, length);
      last_first = first;
      last_length = length;
    }
  }
  return out;
}

// ---------------------------------------------------------------- Python

namespace {

const py::object& range_type() {
  return interop::cached([] { return interop::import_attr("builtins", "range"); });
}
const py::object& reversed_type() {
  return interop::cached([] { return interop::import_attr("builtins", "reversed"); });
}
const py::object& chain_type() {
  return interop::cached([] { return interop::import_attr("itertools", "chain"); });
}

py::int_ to_py(int64_t value) {
  PyObject* made = PyLong_FromLongLong(value);
  if (made == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(made);
}

py::list to_list(const ChannelLabels& labels) {
  py::list out(labels.size());
  Py_ssize_t k = 0;
  int64_t start = 0;
  for (const ChannelLabels::Run& run : labels.runs()) {
    for (int64_t i = 0; i < run.end - start; ++i) {
      PyObject* item = PyLong_FromLongLong(run.first + i);
      if (item == nullptr) throw py::error_already_set();
      PyList_SET_ITEM(out.ptr(), k++, item);
    }
    start = run.end;
  }
  return out;
}

// range objects for the runs, last run first when `backwards`.
py::list run_ranges(const ChannelLabels& labels, bool backwards) {
  std::vector<py::object> ranges;
  int64_t start = 0;
  for (const ChannelLabels::Run& run : labels.runs()) {
    // first + length may pass the 64-bit range by one: the stop is made in Python.
    py::int_ first = to_py(run.first);
    py::object stop = first + to_py(run.end - start);
    py::object range = range_type()(first, stop);
    ranges.push_back(backwards ? reversed_type()(range) : range);
    start = run.end;
  }
  if (backwards) std::reverse(ranges.begin(), ranges.end());
  py::list out;
  for (py::object& range : ranges) out.append(std::move(range));
  return out;
}

py::object iterate(const ChannelLabels& labels, bool backwards) {
  py::list ranges = run_ranges(labels, backwards);
  if (ranges.size() == 1) return py::iter(ranges[0]);
  return chain_type().attr("from_iterable")(ranges);
}

Py_ssize_t checked_index(const ChannelLabels& labels, py::handle index) {
  Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  const auto n = static_cast<Py_ssize_t>(labels.size());
  if (i < 0) i += n;
  if (i < 0 || i >= n) throw py::index_error("list index out of range");
  return i;
}

// An int label as int64, or false when `value` is no int that a label could equal.
bool as_label(py::handle value, int64_t& out) {
  if (!PyLong_Check(value.ptr())) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) return false;
  out = v;
  return true;
}

// Equal to the list `other` item by item, with the list's own comparison for items
// that are no ints (1.0 == 1).
bool equals_list(const ChannelLabels& labels, py::handle other) {
  const Py_ssize_t n = PyList_GET_SIZE(other.ptr());
  if (static_cast<size_t>(n) != labels.size()) return false;
  // Compared against a copy: an item's __eq__ may change the list.
  py::list items = py::reinterpret_steal<py::list>(PyList_GetSlice(other.ptr(), 0, n));
  if (!items) throw py::error_already_set();
  Py_ssize_t k = 0;
  int64_t start = 0;
  for (const ChannelLabels::Run& run : labels.runs()) {
    for (int64_t i = 0; i < run.end - start; ++i, ++k) {
      const int64_t label = run.first + i;
      py::handle item = PyList_GET_ITEM(items.ptr(), k);
      int64_t value = 0;
      if (PyLong_CheckExact(item.ptr()) && as_label(item, value)) {
        if (value != label) return false;
        continue;
      }
      const int same = PyObject_RichCompareBool(to_py(label).ptr(), item.ptr(), Py_EQ);
      if (same < 0) throw py::error_already_set();
      if (same == 0) return false;
    }
    start = run.end;
  }
  return true;
}

// Lists or ChannelLabels as plain lists; anything else is no sequence to compare with.
bool comparable(py::handle other) {
  return PyList_Check(other.ptr()) || py::isinstance<ChannelLabels>(other);
}

py::object as_list(py::handle value) {
  if (py::isinstance<ChannelLabels>(value)) return to_list(value.cast<const ChannelLabels&>());
  return py::reinterpret_borrow<py::object>(value);
}

py::object ordered(py::handle self, py::handle other, int op) {
  if (!comparable(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
  PyObject* result = PyObject_RichCompare(as_list(self).ptr(), as_list(other).ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace

py::object channel_labels(const std::vector<int64_t>& labels) {
  return py::cast(ChannelLabels(labels.data(), labels.size()));
}

py::object channel_labels(const core::ValueList& labels) {
  std::vector<int64_t> flat;
  flat.reserve(2 * labels.runs().size());
  for (const core::ValueList::Run& run : labels.runs()) {
    flat.push_back(run.first);
    flat.push_back(run.count);
  }
  return py::cast(ChannelLabels::from_pairs(flat));
}

py::object ChannelLabelsPool::get(const std::vector<int64_t>& labels) {
  ChannelLabels key(labels.data(), labels.size());
  auto found = made_.find(key);
  if (found != made_.end()) return found->second;
  py::object made = py::cast(key);
  made_.emplace(std::move(key), made);
  return made;
}

void register_channel_labels(py::module_& m) {
  auto cls = py::class_<ChannelLabels>(
      m, "ChannelLabels",
      "The channel labels of a node or group: an immutable sequence of ints kept as runs of "
      "consecutive labels. It reads and compares like the list of those ints.");
  cls.def(py::init([](py::iterable labels) {
            std::vector<int64_t> values;
            for (py::handle item : labels) {
              if (!PyLong_Check(item.ptr())) {
                throw py::type_error("channel labels must be integers, got " +
                                     interop::str(py::type::handle_of(item).attr("__name__")));
              }
              values.push_back(interop::to_int64(item, "a channel label"));
            }
            return ChannelLabels(values.data(), values.size());
          }),
          py::arg("labels") = py::tuple())
      .def("__len__", &ChannelLabels::size)
      .def("__bool__", [](const ChannelLabels& l) { return l.size() > 0; })
      .def(
          "__getitem__",
          [](const ChannelLabels& l, py::handle index) -> py::object {
            if (PySlice_Check(index.ptr())) {
              Py_ssize_t start = 0, stop = 0, step = 0;
              if (PySlice_Unpack(index.ptr(), &start, &stop, &step) < 0) {
                throw py::error_already_set();
              }
              const Py_ssize_t n =
                  PySlice_AdjustIndices(static_cast<Py_ssize_t>(l.size()), &start, &stop, step);
              py::list out(static_cast<size_t>(n));
              for (Py_ssize_t k = 0; k < n; ++k) {
                PyObject* item = PyLong_FromLongLong(l.at(static_cast<size_t>(start + k * step)));
                if (item == nullptr) throw py::error_already_set();
                PyList_SET_ITEM(out.ptr(), k, item);
              }
              return std::move(out);
            }
            return to_py(l.at(static_cast<size_t>(checked_index(l, index))));
          },
          py::arg("index"))
      .def("__iter__", [](const ChannelLabels& l) { return iterate(l, false); })
      .def("__reversed__", [](const ChannelLabels& l) { return iterate(l, true); })
      .def(
          "__contains__",
          [](py::object self, py::handle value) {
            const auto& l = self.cast<const ChannelLabels&>();
            int64_t label = 0;
            if (PyLong_CheckExact(value.ptr())) {
              if (!as_label(value, label)) return false;
              int64_t start = 0;
              for (const ChannelLabels::Run& run : l.runs()) {
                // unsigned: a run starting near the bottom of the range is more than
                // int64 away from a large label
                const auto distance =
                    static_cast<uint64_t>(label) - static_cast<uint64_t>(run.first);
                if (label >= run.first && distance < static_cast<uint64_t>(run.end - start)) {
                  return true;
                }
                start = run.end;
              }
              return false;
            }
            // anything else compares as a list's item would (1.0, an int subclass)
            const int found = PySequence_Contains(to_list(l).ptr(), value.ptr());
            if (found < 0) throw py::error_already_set();
            return found == 1;
          },
          py::arg("value"))
      .def("index",
           [](const ChannelLabels& l, py::args args) { return to_list(l).attr("index")(*args); })
      .def(
          "count",
          [](const ChannelLabels& l, py::handle value) { return to_list(l).attr("count")(value); },
          py::arg("value"));
  cls.def(
         "__eq__",
         [](py::object self, py::handle other) -> py::object {
           const auto& l = self.cast<const ChannelLabels&>();
           if (py::isinstance<ChannelLabels>(other)) {
             return py::bool_(l == other.cast<const ChannelLabels&>());
           }
           if (PyList_Check(other.ptr())) return py::bool_(equals_list(l, other));
           return py::reinterpret_borrow<py::object>(Py_NotImplemented);
         },
         py::arg("other"))
      .def(
          "__ne__",
          [](py::object self, py::handle other) -> py::object {
            py::object same = self.attr("__eq__")(other);
            if (same.ptr() == Py_NotImplemented) return same;
            return py::bool_(!same.cast<bool>());
          },
          py::arg("other"))
      .def(
          "__lt__", [](py::object s, py::handle o) { return ordered(s, o, Py_LT); },
          py::arg("other"))
      .def(
          "__le__", [](py::object s, py::handle o) { return ordered(s, o, Py_LE); },
          py::arg("other"))
      .def(
          "__gt__", [](py::object s, py::handle o) { return ordered(s, o, Py_GT); },
          py::arg("other"))
      .def(
          "__ge__", [](py::object s, py::handle o) { return ordered(s, o, Py_GE); },
          py::arg("other"))
      .def(
          "__add__",
          [](py::object self, py::handle other) -> py::object {
            if (!comparable(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return as_list(self) + as_list(other);
          },
          py::arg("other"))
      .def(
          "__radd__",
          [](py::object self, py::handle other) -> py::object {
            if (!comparable(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return as_list(other) + as_list(self);
          },
          py::arg("other"))
      .def("__repr__", [](const ChannelLabels& l) { return py::repr(to_list(l)); })
      .def("__copy__", [](py::object self) { return self; })
      .def(
          "__deepcopy__", [](py::object self, py::handle) { return self; }, py::arg("memo"))
      .def("__sizeof__",
           [](const ChannelLabels& l) {
             return sizeof(ChannelLabels) + l.runs().capacity() * sizeof(ChannelLabels::Run);
           })
      .def("tolist", &to_list, "The labels as a new list of ints.")
      .def(py::pickle([](const ChannelLabels& l) { return py::tuple(py::cast(l.pairs())); },
                      [](py::tuple state) {
                        return ChannelLabels::from_pairs(state.cast<std::vector<int64_t>>());
                      }));
  // immutable, but equal to lists, which are unhashable
  cls.attr("__hash__") = py::none();
  py::module_::import("collections.abc").attr("Sequence").attr("register")(cls);
}

}  // namespace tavrix::oprules

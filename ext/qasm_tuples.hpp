// Helpers the OpenQASM 2 and 3 readings share to build their Python
// entries without a Python-level call per entry.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "messages.hpp"

namespace vorn::ext {

// New reference, or nullptr with a Python error set.
inline PyObject* index_tuple(const std::vector<std::uint64_t>& values) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
    if (!v) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
  }
  return t;
}

inline PyObject* float_tuple(const std::vector<double>& values) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (!v) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
  }
  return t;
}

// Cyclic garbage collection paused while the entries are made: they cannot
// form cycles, and collections triggered by a few hundred thousand new
// tuples would rescan the growing list again and again.
struct GcPause {
  int was_enabled = PyGC_Disable();
  ~GcPause() {
    if (was_enabled) PyGC_Enable();
  }
};

// A file system path as the bytes os.fsencode gives (any bytes but NUL).
inline std::string path_bytes(nanobind::handle b) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(b.ptr()) || PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0)
    throw nanobind::type_error(messages::kPathBytes.data());
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace vorn::ext

// The Python Circuit instance and its type object; run.cpp reads the circuit
// it wraps, module.cpp registers the type.
#pragma once

#include "boundary.hpp"
#include "vorn/simulator/circuit.hpp"

namespace vorn::py {

struct CircuitObject {
  PyObject_HEAD
  vorn::sim::Circuit circuit;
  AccessCounter access;

  static constexpr const char* kClassName = "Circuit";
  static PyTypeObject* type();           // fatal form
  static PyTypeObject* type_or_null();   // module init form
  void destroy_fields() noexcept {
    circuit.~Circuit();
    access.~AccessCounter();
  }
};

}  // namespace vorn::py

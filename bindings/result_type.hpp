// The Python SimulationResult instance; run.cpp moves each run's data into a
// new one, module.cpp registers the type.
#pragma once

#include "boundary.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::py {

struct SimulationResultObject {
  PyObject_HEAD
  vorn::sim::RunResult result;  // snapshot + counts, never changed after the run
  AccessCounter access;

  static constexpr const char* kClassName = "SimulationResult";
  static PyTypeObject* type();          // fatal form
  static PyTypeObject* type_or_null();  // module init form
  void destroy_fields() noexcept {
    result.~RunResult();
    access.~AccessCounter();
  }
};

// A new SimulationResult owning `result` (moved in, not copied).
PyObject* wrap_result(vorn::sim::RunResult&& result);

}  // namespace vorn::py

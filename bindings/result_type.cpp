// The Python class SimulationResult: counts() as a fresh dict, statevector()
// and probabilities() as fresh NumPy arrays over private buffers. Instances
// are made only by run() (wrap_result).
#include "result_type.hpp"

#include <cstring>

#include "messages.hpp"
#include "numpy_api.hpp"
#include "slice_container.hpp"
#include "vorn/core/error.hpp"

namespace vorn::py {
namespace {

// Creation failures of dict/str/int are fatal; the pending error is printed first.
PyObject* created(PyObject* obj) {
  if (obj == nullptr) {
    PyErr_Print();
    vorn::fatal(text::kPythonApiFailed);
  }
  return obj;
}

// ---- Constructor: none from Python (no_constructor); wrap_result below ------------

// ---- Deallocation: dealloc_instance<SimulationResultObject> (boundary.hpp) --------

// ---- Methods ------------------------------------------------------------------------

// Keys come out in ascending bit-string order (the tally is ascending by
// outcome and fixed-width keys sort like their outcomes), so printed results
// are reproducible. Each key is written straight into a fresh ASCII string,
// once per distinct outcome.
PyObject* counts(PyObject* self, PyObject*) {
  return guarded([self] {
    Borrow<SimulationResultObject> result(self, Access::Shared);
    const vorn::sim::Tally& tally = result->result.tally;
    const std::uint64_t width = result->result.snapshot.n_qubits();
    Ref dict(created(_PyDict_NewPresized(static_cast<Py_ssize_t>(tally.size()))));
    for (const auto& [outcome, count] : tally) {
      Ref text(created(PyUnicode_New(static_cast<Py_ssize_t>(width), 127)));
      vorn::sim::write_outcome_key(outcome, width, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
      Ref number(created(PyLong_FromUnsignedLongLong(count)));
      if (PyDict_SetItem(dict.get(), text.get(), number.get()) < 0) throw PythonErrorSet{};
    }
    return dict.release();
  });
}

// A copy of the snapshot in a fresh buffer on every call, so arrays never
// share memory with the result or with each other.
PyObject* statevector(PyObject* self, PyObject*) {
  return guarded([self] {
    Borrow<SimulationResultObject> result(self, Access::Shared);
    numpy::ensure_api();
    const vorn::StateVector& snapshot = result->result.snapshot;
    auto buffer = naming_bytes_on_bad_alloc(snapshot.size() * sizeof(vorn::Complex), "the state vector copy",
                                            [&] { return vorn::Buffer<vorn::Complex>::uninitialized(snapshot.size()); });
    std::memcpy(buffer.data(), snapshot.data(), snapshot.size() * sizeof(vorn::Complex));
    void* data = buffer.data();
    return numpy::vector_over(make_slice_container(std::move(buffer)), data, snapshot.size(),
                              numpy::kComplex128, sizeof(vorn::Complex));
  });
}

PyObject* probabilities(PyObject* self, PyObject*) {
  return guarded([self] {
    Borrow<SimulationResultObject> result(self, Access::Shared);
    numpy::ensure_api();
    const vorn::StateVector& snapshot = result->result.snapshot;
    vorn::Buffer<double> buffer = naming_bytes_on_bad_alloc(snapshot.size() * sizeof(double), "the probability vector",
                                                            [&] { return snapshot.probabilities(); });
    void* data = buffer.data();
    std::uint64_t length = buffer.size();
    return numpy::vector_over(make_slice_container(std::move(buffer)), data, length, numpy::kFloat64,
                              sizeof(double));
  });
}

// ---- Method table ---------------------------------------------------------------------

PyMethodDef result_methods[] = {
    {"counts", counts, METH_NOARGS, text::kCountsDoc},
    {"statevector", statevector, METH_NOARGS, text::kStatevectorDoc},
    {"probabilities", probabilities, METH_NOARGS, text::kProbabilitiesDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Type spec --------------------------------------------------------------------------

PyType_Spec& result_spec() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SimulationResultObject>)},
      {Py_tp_doc, const_cast<char*>(text::kSimulationResultDoc)},
      {Py_tp_methods, result_methods},
      {0, nullptr},
  };
  static PyType_Spec spec{"builtins.SimulationResult", sizeof(SimulationResultObject), 0,
                          Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

TypeCell result_cell{SimulationResultObject::kClassName, result_spec};

}  // namespace

PyTypeObject* SimulationResultObject::type() { return result_cell.get(); }
PyTypeObject* SimulationResultObject::type_or_null() { return result_cell.get_or_null(); }

PyObject* wrap_result(vorn::sim::RunResult&& result) {
  return new_instance<SimulationResultObject>(SimulationResultObject::type(), [&](SimulationResultObject* self) {
    new (&self->result) vorn::sim::RunResult(std::move(result));
    new (&self->access) AccessCounter();
  });
}

}  // namespace vorn::py

// The Python class Circuit: constructor, deallocation, the 18 recording and
// query methods (the 15 gate methods generated from kGateTable), type spec.
// Registered by module.cpp; read by run.cpp.
#include "circuit_type.hpp"

#include <array>
#include <string>
#include <utility>

#include "messages.hpp"
#include "vorn/simulator/legacy_gates.hpp"

namespace vorn::py {
namespace {

// ---- Constructor ---------------------------------------------------------------

constexpr std::string_view kNewParams[] = {"n_qubits"};
constexpr ParamSpec kNewSpec{"Circuit.__new__", kNewParams, 1};

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound = bind_tuple(kNewSpec, args, kwargs);
    std::uint64_t n_qubits = to_index(bound[0], kNewParams[0]);
    return new_instance<CircuitObject>(type, [n_qubits](CircuitObject* self) {
      new (&self->circuit) vorn::sim::Circuit(n_qubits);
      new (&self->access) AccessCounter();
    });
  });
}

// ---- Deallocation: dealloc_instance<CircuitObject> (boundary.hpp) ----------------

// ---- Methods -----------------------------------------------------------------------

PyObject* num_qubits(PyObject* self, PyObject*) {
  return guarded([self] {
    Borrow<CircuitObject> circuit(self, Access::Shared);
    // Unsigned: n_qubits may exceed the signed 64-bit range.
    return checked(PyLong_FromUnsignedLongLong(circuit->circuit.n_qubits()));
  });
}

// Python parameter names of each gate method, in GateKind order: the angle
// (if any) first, then the qubit operands.
struct GateParams {
  std::array<std::string_view, 4> names;
  std::uint8_t count;
};
constexpr std::array<GateParams, kGateKindCount> kGateParams{{
    {{"qubit"}, 1},  {{"qubit"}, 1},  {{"qubit"}, 1},  {{"qubit"}, 1},  {{"qubit"}, 1},
    {{"qubit"}, 1},  {{"theta", "qubit"}, 2},  {{"theta", "qubit"}, 2},  {{"theta", "qubit"}, 2},
    {{"qubit"}, 1},  {{"control", "target"}, 2},  {{"qubit0", "qubit1"}, 2},  {{"qubit0", "qubit1"}, 2},
    {{"ctrl1", "ctrl2", "target"}, 3},  {{"control", "target1", "target2"}, 3},
}};
static_assert([] {
  for (std::size_t i = 0; i < kGateKindCount; ++i)
    if (kGateParams[i].count != kGateTable[i].n_qubits + (kGateTable[i].has_angle ? 1 : 0)) return false;
  return true;
}());

// Call names, docstrings and parameter descriptions of the gate methods,
// built once from the gate table. Constructed in place (never moved), so the
// specs' views into the strings stay valid.
struct GateMethodTexts {
  std::array<std::string, kGateKindCount> call_names;
  std::array<std::string, kGateKindCount> docs;
  std::array<ParamSpec, kGateKindCount> specs;

  GateMethodTexts() {
    for (std::size_t i = 0; i < kGateKindCount; ++i) {
      const GateInfo& gate = kGateTable[i];
      std::span<const std::string_view> params(kGateParams[i].names.data(), kGateParams[i].count);
      call_names[i] = "Circuit." + std::string(gate.name);
      docs[i] = std::string(gate.name) + "($self";
      for (std::string_view p : params) docs[i] += ", " + std::string(p);
      docs[i] += ")\n--\n\n";
      specs[i] = ParamSpec{call_names[i], params, params.size()};
    }
  }
};

const GateMethodTexts& gate_texts() {
  static const GateMethodTexts texts;
  return texts;
}

// Converts theta (if the gate has one) before the qubits: with two bad
// arguments the first parameter is the one reported.
PyObject* record_gate(std::size_t index, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const GateInfo& gate = kGateTable[index];
    const auto& names = kGateParams[index].names;
    BoundArgs bound = bind_vectorcall(gate_texts().specs[index], args, nargsf, kwnames);
    Borrow<CircuitObject> circuit(self, Access::Exclusive);
    std::size_t p = 0;
    double theta = 0.0;
    if (gate.has_angle) {
      theta = to_real(bound[p], names[p]);
      ++p;
    }
    std::array<std::uint64_t, 3> qubits{};
    for (std::size_t q = 0; q < gate.n_qubits; ++q, ++p) qubits[q] = to_index(bound[p], names[p]);
    circuit->circuit.add_gate(gate.kind, std::span(qubits.data(), gate.n_qubits), theta);
    Py_RETURN_NONE;
  });
}

template <std::size_t I>
PyObject* record_gate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return record_gate(I, self, args, nargsf, kwnames);
}

template <std::size_t... I>
constexpr auto make_gate_entries(std::index_sequence<I...>) {
  return std::array<PyCFunctionFastWithKeywords, sizeof...(I)>{&record_gate_entry<I>...};
}

constexpr auto kGateEntries = make_gate_entries(std::make_index_sequence<kGateKindCount>{});

constexpr std::string_view kMeasureParams[] = {"qubit", "cbit"};
constexpr ParamSpec kMeasureSpec{"Circuit.measure", kMeasureParams, 2};

PyObject* measure(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound = bind_vectorcall(kMeasureSpec, args, nargsf, kwnames);
    Borrow<CircuitObject> circuit(self, Access::Exclusive);
    std::uint64_t qubit = to_index(bound[0], kMeasureParams[0]);
    std::uint64_t cbit = to_index(bound[1], kMeasureParams[1]);
    circuit->circuit.measure(qubit, cbit);
    Py_RETURN_NONE;
  });
}

PyObject* measure_all(PyObject* self, PyObject*) {
  return guarded([self]() -> PyObject* {
    Borrow<CircuitObject> circuit(self, Access::Exclusive);
    circuit->circuit.measure_all();
    Py_RETURN_NONE;
  });
}

// ---- Method table ------------------------------------------------------------------

// num_qubits, the gates in table order, measure, measure_all, sentinel.
using MethodTable = std::array<PyMethodDef, kGateKindCount + 4>;

MethodTable& circuit_methods() {
  static MethodTable methods = [] {
    MethodTable table{};
    std::size_t m = 0;
    table[m++] = {"num_qubits", num_qubits, METH_NOARGS, text::kNumQubitsDoc};
    for (std::size_t i = 0; i < kGateKindCount; ++i) {
      table[m++] = {kGateTable[i].name.data(), as_method(kGateEntries[i]), METH_FASTCALL | METH_KEYWORDS,
                    gate_texts().docs[i].c_str()};
    }
    table[m++] = {"measure", as_method(measure), METH_FASTCALL | METH_KEYWORDS, text::kMeasureDoc};
    table[m++] = {"measure_all", measure_all, METH_NOARGS, text::kMeasureAllDoc};
    table[m] = {nullptr, nullptr, 0, nullptr};
    return table;
  }();
  return methods;
}

// ---- Type spec -----------------------------------------------------------------------

PyType_Spec& circuit_spec() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<CircuitObject>)},
      {Py_tp_doc, const_cast<char*>(text::kCircuitDoc)},
      {Py_tp_methods, circuit_methods().data()},
      {0, nullptr},
  };
  // No BASETYPE (not subclassable), no GC, no __dict__ or weakref slots.
  static PyType_Spec spec{"builtins.Circuit", sizeof(CircuitObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

TypeCell circuit_cell{CircuitObject::kClassName, circuit_spec};

}  // namespace

PyTypeObject* CircuitObject::type() { return circuit_cell.get(); }
PyTypeObject* CircuitObject::type_or_null() { return circuit_cell.get_or_null(); }

}  // namespace vorn::py

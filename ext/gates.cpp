// The standard gate table as Python data: the vorn package builds its gate
// methods, their docstrings and its converters' name maps from these rows.
#include <nanobind/nanobind.h>

#include <string_view>

#include "ext.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace nb = nanobind;

namespace vorn::ext {
namespace {

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

// A space-separated list as a tuple of str.
nb::tuple words(std::string_view s) {
  nb::list out;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t end = std::min(s.find(' ', i), s.size());
    if (end > i) out.append(text(s.substr(i, end - i)));
    i = end + 1;
  }
  return nb::tuple(out);
}

nb::list standard_gates() {
  nb::list rows;
  for (const sim::StandardGate& g : sim::standard_gates()) {
    nb::dict row;
    row["name"] = text(g.name);
    row["num_qubits"] = g.n_qubits;
    row["num_params"] = g.n_params;
    row["qubits"] = words(g.qubits);
    row["params"] = words(g.params);
    row["title"] = text(g.title);
    row["matrix"] = text(g.matrix);
    row["qiskit"] = words(g.qiskit);
    row["cirq"] = text(g.cirq);
    row["qelib1"] = text(g.qelib1);
    row["qasm2_definition"] = text(g.qasm2_definition);
    row["inverse"] = text(g.inverse);
    rows.append(row);
  }
  return rows;
}

}  // namespace

void register_gates(nb::module_& m) {
  m.def("standard_gates", &standard_gates,
        "The standard gate table, one dict per gate in table order: name, num_qubits (0: controls then "
        "target), num_params, qubits and params (operand and angle names), title, matrix (text), qiskit "
        "(class names), cirq, qelib1, qasm2_definition, inverse.");
}

}  // namespace vorn::ext

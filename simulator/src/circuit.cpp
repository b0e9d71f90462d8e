// Recording gates and measurements into a Circuit, with the one rule the
// model enforces: every qubit operand lies below n_qubits.
#include "vorn/simulator/circuit.hpp"

#include <string>

#include "vorn/core/error.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {

void Circuit::add_gate(GateKind kind, std::span<const std::uint64_t> qubits, double theta) {
  const GateInfo& info = gate_info(kind);
  // A wrong operand count is a caller bug (the bindings pass the table's count).
  if (qubits.size() != info.n_qubits) {
    vorn::fatal(messages::fill(messages::kOperandCount, info.name, info.n_qubits, qubits.size()));
  }
  // Operand order decides which index the message names: the first bad one.
  for (std::uint64_t q : qubits) {
    if (q >= n_qubits_) vorn::fatal(messages::qubit_out_of_range(q, n_qubits_));
  }
  GateOp op{.kind = kind, .theta = info.has_angle ? theta : 0.0, .qubits = {}, .n_qubits = info.n_qubits};
  for (std::size_t i = 0; i < qubits.size(); ++i) op.qubits[i] = qubits[i];
  operations_.emplace_back(op);
}

void Circuit::measure(std::uint64_t qubit, std::uint64_t cbit) {
  if (qubit >= n_qubits_) vorn::fatal(messages::qubit_out_of_range(qubit, n_qubits_));
  operations_.emplace_back(MeasureOp{qubit, cbit});
}

// Never fails, even on a zero-qubit circuit: there is no operand to check.
void Circuit::measure_all() { operations_.emplace_back(MeasureAllOp{}); }

}  // namespace vorn::sim

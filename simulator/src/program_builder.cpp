#include "vorn/simulator/program_builder.hpp"

#include <string>

#include "vorn/core/error.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

[[noreturn]] void refuse(std::string_view message) {
  throw ProgramError(ProgramError::Kind::Value, std::string(message));
}

}  // namespace

CompiledGate build_unitary(const MatrixView& matrix, std::span<const U> operands) {
  try {
    check_unitary_shape(operands.size(), matrix.shape);
    return compile_unitary(matrix.entries, operands);
  } catch (const FatalError& e) {
    if (e.kind() == FatalError::Kind::OutOfMemory) throw;
    refuse(e.message());
  }
}

Program build_program(const GateLists& lists) {
  if (lists.arity.size() != lists.names.size()) refuse(messages::kBuildNamesArity);
  Program program;
  program.n_qubits = lists.n_qubits;
  program.global_phase = lists.global_phase;
  program.samples = lists.samples;
  program.gates.reserve(lists.names.size());
  std::size_t next_qubit = 0, next_param = 0, next_matrix = 0;
  for (std::size_t g = 0; g < lists.names.size(); ++g) {
    const std::string& name = lists.names[g];
    const U k = lists.arity[g];
    if (k > lists.qubits.size() - next_qubit) refuse(messages::kBuildFewerQubits);
    const std::span<const U> operands = lists.qubits.subspan(next_qubit, k);
    next_qubit += k;
    for (U q : operands) {
      if (q >= lists.n_qubits) {
        throw ProgramError(ProgramError::Kind::Index,
                           messages::fill(messages::kBuildQubitOutOfRange, q, name, lists.n_qubits));
      }
    }
    if (name == "unitary") {
      if (next_matrix == lists.matrices.size()) refuse(messages::kBuildUnitaryWithoutMatrix);
      program.gates.push_back(build_unitary(lists.matrices[next_matrix++], operands));
      continue;
    }
    const StandardGate* row = find_standard_gate(name);
    if (row == nullptr) refuse(messages::fill(messages::kBuildUnknownGate, name));
    // mcx / mcp (row count 0) take the controls and the target: at least one operand.
    if (row->n_qubits != 0 ? k != row->n_qubits : k == 0) {
      refuse(messages::fill(messages::kBuildGateOperands, name,
                            row->n_qubits != 0 ? std::to_string(row->n_qubits) : "at least 1", k));
    }
    if (row->n_params > lists.params.size() - next_param) refuse(messages::kBuildFewerAngles);
    const std::span<const double> angles = lists.params.subspan(next_param, row->n_params);
    next_param += row->n_params;
    program.gates.push_back(row->build(angles, operands));
  }
  if (next_qubit != lists.qubits.size() || next_param != lists.params.size() ||
      next_matrix != lists.matrices.size()) {
    refuse(messages::kBuildLeftOver);
  }
  return program;
}

}  // namespace vorn::sim

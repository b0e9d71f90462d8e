// The run driver: fresh state, random stream, each gate to its kernel in
// list order, then whole-register sampling. Called by the Python run().
#include "vorn/simulator/engine.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/operations.hpp"

namespace vorn::sim {
namespace {

constexpr std::uint64_t kMaxQubits = 58;  // 16 * 2^59 bytes is no longer an object size

void apply_multi_qubit_gate(StateVector& state, const GateOp& gate) {
  const auto& q = gate.qubits;
  switch (gate.kind) {
    case GateKind::CX: {
      const Matrix2x2 x = matrix_2x2(GateKind::X, 0.0);
      apply_controlled_gate(state, x, q[0], q[1]);
      return;
    }
    case GateKind::CZ: {
      const Matrix4x4 cz = cz_matrix();
      apply_two_qubit_gate(state, cz, q[0], q[1]);
      return;
    }
    case GateKind::SWAP: {
      if (q[0] == q[1]) return;  // swapping a qubit with itself leaves the state exactly as it is
      const Matrix4x4 swap = swap_matrix();
      apply_two_qubit_gate(state, swap, q[0], q[1]);
      return;
    }
    case GateKind::CCX: {
      const Matrix2x2 x = matrix_2x2(GateKind::X, 0.0);
      apply_doubly_controlled_gate(state, x, q[0], q[1], q[2]);
      return;
    }
    case GateKind::CSWAP:
      apply_controlled_swap(state, q[0], q[1], q[2]);
      return;
    default:
      break;
  }
  vorn::fatal("no kernel for gate kind " + std::to_string(static_cast<unsigned>(gate.kind)));
}

bool has_measurement(const Circuit& circuit) {
  return std::ranges::any_of(circuit.operations(),
                             [](const Operation& op) { return !std::holds_alternative<GateOp>(op); });
}

}  // namespace

void apply_gate(StateVector& state, const GateOp& gate) {
  if (static_cast<std::size_t>(gate.kind) >= kGateKindCount) {
    vorn::fatal("unknown gate kind " + std::to_string(static_cast<unsigned>(gate.kind)));
  }
  // Operands are read by position; a short entry fails on the first missing one.
  const std::uint8_t needed = gate_info(gate.kind).n_qubits;
  if (gate.n_qubits < needed) vorn::index_out_of_range(gate.n_qubits, gate.n_qubits);
  if (is_single_qubit(gate.kind)) {
    const Matrix2x2 m = matrix_2x2(gate.kind, gate.theta);
    apply_single_qubit_gate(state, m, gate.qubits[0]);
    return;
  }
  apply_multi_qubit_gate(state, gate);
}

RunResult run_circuit(const Circuit& circuit, std::optional<std::uint64_t> seed, std::uint64_t shots) {
  const std::uint64_t n = circuit.n_qubits();
  if (n == 0) vorn::fatal(std::string(vorn::messages::kZeroQubits));
  if (n > kMaxQubits) vorn::fatal(std::string(vorn::messages::kCapacityOverflow));

  // Measurement entries only mark that the run samples; wherever they stand,
  // the gates after them are applied like all others and nothing collapses.
  const bool samples = shots >= 1 && has_measurement(circuit);

  // One check of the whole run's need before the first gate, so a long
  // simulation is never lost for want of the sampling vector at the end.
  std::uint64_t bytes = StateVector::bytes_for(n);
  if (samples) bytes += std::uint64_t{8} << n;  // running sums, one double per amplitude
  vorn::require_memory(bytes);

  StateVector state = StateVector::create(n);
  // Always made, even when nothing will be drawn: without a seed the run asks
  // the OS for entropy whatever `shots` is.
  RandomStream stream = seed ? RandomStream::from_seed_value(*seed) : RandomStream::from_entropy();

  for (const Operation& op : circuit.operations()) {
    if (const GateOp* gate = std::get_if<GateOp>(&op)) apply_gate(state, *gate);
  }

  // The state is moved into the result as the snapshot rather than copied:
  // nothing writes it after the last gate and sampling only reads it, so it is
  // the same data, and the move saves a 16*2^n copy and the memory it needs.
  RunResult result{std::move(state), {}};
  if (samples) result.counts = sample_counts(result.snapshot, stream, shots);
  return result;
}

}  // namespace vorn::sim

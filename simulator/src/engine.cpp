// The run driver: fresh state, random stream, the gates in list order (in
// cache-sized blocks where they fit), then whole-register sampling. Called by
// the Python run().
#include "vorn/simulator/engine.hpp"

#include "gate_dispatch.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/blocking.hpp"

namespace vorn::sim {
namespace {

constexpr std::uint64_t kMaxQubits = 58;  // 16 * 2^59 bytes is no longer an object size

struct StateKernels {
  StateVector& state;
  void single(const Matrix2x2& m, std::uint64_t t) { apply_single_qubit_gate(state, m, t); }
  void controlled(const Matrix2x2& m, std::uint64_t c, std::uint64_t t) { apply_controlled_gate(state, m, c, t); }
  void doubly(const Matrix2x2& m, std::uint64_t c1, std::uint64_t c2, std::uint64_t t) {
    apply_doubly_controlled_gate(state, m, c1, c2, t);
  }
  void two_qubit(const Matrix4x4& m, std::uint64_t q0, std::uint64_t q1) { apply_two_qubit_gate(state, m, q0, q1); }
  void cswap(std::uint64_t c, std::uint64_t t1, std::uint64_t t2) { apply_controlled_swap(state, c, t1, t2); }
};

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
  StateKernels kernels{state};
  detail::dispatch_gate(kernels, gate);
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

  // Runs of gates that fit a cache-sized block share one pass over memory.
  apply_operations(state, circuit.operations());

  // The state is moved into the result as the snapshot rather than copied:
  // nothing writes it after the last gate and sampling only reads it, so it is
  // the same data, and the move saves a 16*2^n copy and the memory it needs.
  RunResult result{std::move(state), {}};
  if (samples) result.counts = sample_counts(result.snapshot, stream, shots);
  return result;
}

}  // namespace vorn::sim

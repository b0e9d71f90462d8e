// Runs one circuit: gates in order on a fresh state, snapshot, then shots.
// Called by the Python run() with the interpreter lock released.
#pragma once

#include <cstdint>
#include <optional>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/measurement.hpp"

namespace vorn::sim {

struct RunResult {
  StateVector snapshot;
  Counts counts;
};

// Applies one gate entry to the state with its kernel.
void apply_gate(StateVector& state, const GateOp& gate);

RunResult run_circuit(const Circuit& circuit, std::optional<std::uint64_t> seed, std::uint64_t shots);

}  // namespace vorn::sim

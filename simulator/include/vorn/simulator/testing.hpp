// Reference paths that only the tests call (the engine runs compiled
// programs): vorn_python's gate entries applied one at a time or as a list.
// Kept out of the engine's public headers so that no caller mistakes them
// for an entry point. Defined in engine.cpp.
#pragma once

#include <span>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/circuit.hpp"

namespace vorn::sim {

// One vorn_python gate entry on the whole state (compiled, then applied); a
// short entry fails with the index-out-of-range error before anything is applied.
void apply_gate(StateVector& state, const GateOp& gate);

// vorn_python's gate entries, compiled (checked against the state's register)
// and applied as apply_gates does; measurements leave the state alone.
void apply_operations(StateVector& state, std::span<const Operation> ops, const BlockingParams& params = {});

}  // namespace vorn::sim

// Which kernel, with which matrix, each gate kind goes to: written once for the
// whole-state kernels and the block kernels. Used by engine.cpp and block_runner.cpp.
#pragma once

#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/gates.hpp"
#include "vorn/simulator/circuit.hpp"

namespace vorn::sim::detail {

// Kernels provides single, controlled, doubly, two_qubit and cswap with the
// operand order of the kernels in operations.hpp. The caller has checked the
// kind and the operand count.
template <class Kernels>
void dispatch_gate(Kernels& k, const GateOp& gate) {
  const auto& q = gate.qubits;
  if (is_single_qubit(gate.kind)) {
    k.single(matrix_2x2(gate.kind, gate.theta), q[0]);
    return;
  }
  switch (gate.kind) {
    case GateKind::CX:
      k.controlled(matrix_2x2(GateKind::X, 0.0), q[0], q[1]);
      return;
    case GateKind::CZ:
      k.two_qubit(cz_matrix(), q[0], q[1]);
      return;
    case GateKind::SWAP:
      if (q[0] == q[1]) return;  // swapping a qubit with itself leaves the state exactly as it is
      k.two_qubit(swap_matrix(), q[0], q[1]);
      return;
    case GateKind::CCX:
      k.doubly(matrix_2x2(GateKind::X, 0.0), q[0], q[1], q[2]);
      return;
    case GateKind::CSWAP:
      k.cswap(q[0], q[1], q[2]);
      return;
    default:
      break;
  }
  vorn::fatal("no kernel for gate kind " + std::to_string(static_cast<unsigned>(gate.kind)));
}

}  // namespace vorn::sim::detail

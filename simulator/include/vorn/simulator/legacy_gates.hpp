// vorn_python's gate set: one table of facts (name, operand count, angle)
// read by the circuit model, the compiler and the bindings, and the exact
// 2x2 / 4x4 matrices. It serves that module's fixed contract, so it lives
// here beside the circuit model that records it, not in core/: the kernels
// take matrices and know no gate names. (Namespace vorn, as before the move:
// every user keeps its spelling.)
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "vorn/core/matrix.hpp"

namespace vorn {

enum class GateKind : std::uint8_t { H, X, Y, Z, S, T, RX, RY, RZ, ID, CX, CZ, SWAP, CCX, CSWAP };

inline constexpr std::size_t kGateKindCount = 15;

struct GateInfo {
  GateKind kind;
  std::string_view name;
  std::uint8_t n_qubits;  // qubit operands, in recorded order
  bool has_angle;         // RX, RY, RZ take theta before the qubit
};

inline constexpr std::array<GateInfo, kGateKindCount> kGateTable{{
    {GateKind::H, "h", 1, false},
    {GateKind::X, "x", 1, false},
    {GateKind::Y, "y", 1, false},
    {GateKind::Z, "z", 1, false},
    {GateKind::S, "s", 1, false},
    {GateKind::T, "t", 1, false},
    {GateKind::RX, "rx", 1, true},
    {GateKind::RY, "ry", 1, true},
    {GateKind::RZ, "rz", 1, true},
    {GateKind::ID, "id", 1, false},
    {GateKind::CX, "cx", 2, false},
    {GateKind::CZ, "cz", 2, false},
    {GateKind::SWAP, "swap", 2, false},
    {GateKind::CCX, "ccx", 3, false},
    {GateKind::CSWAP, "cswap", 3, false},
}};

constexpr const GateInfo& gate_info(GateKind kind) { return kGateTable[static_cast<std::size_t>(kind)]; }

constexpr bool is_single_qubit(GateKind kind) { return static_cast<std::uint8_t>(kind) <= 9; }

static_assert([] {
  for (std::size_t i = 0; i < kGateKindCount; ++i) {
    const GateInfo& g = kGateTable[i];
    if (static_cast<std::size_t>(g.kind) != i) return false;
    if (is_single_qubit(g.kind) != (g.n_qubits == 1)) return false;
  }
  return true;
}());

// Exact matrix of a single-qubit kind; fails for CX..CSWAP.
Matrix2x2 matrix_2x2(GateKind kind, double theta);

Matrix4x4 cz_matrix();
Matrix4x4 swap_matrix();

}  // namespace vorn

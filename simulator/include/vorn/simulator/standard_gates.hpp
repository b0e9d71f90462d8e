// The standard gate library of the vorn package: one row per gate (Qiskit's
// name, qubit and parameter counts, and how it compiles: shape and matrix,
// global phase included, as Qiskit defines the gate). Also `unitary`.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/compiled.hpp"

namespace vorn::sim {

struct StandardGate {
  std::string_view name;   // Qiskit's method name: "h", "cx", "u", "mcx", ...
  std::uint8_t n_qubits;   // operand count; 0 for mcx / mcp (controls..., target: any count >= 1)
  std::uint8_t n_params;   // angles, before the qubits as in Qiskit
  // params has n_params values, qubits the operands in Qiskit's order. Throws
  // FatalError naming the gate when the counts are wrong, an angle is not
  // finite or a qubit is repeated; qubit ranges are validate()'s business.
  // mcx / mcp with no controls are X / P(lam) on the target, as in Qiskit.
  CompiledGate (*build)(std::span<const double> params, std::span<const std::uint64_t> qubits);
};

std::span<const StandardGate> standard_gates();

// nullptr when there is no such gate.
const StandardGate* find_standard_gate(std::string_view name);

// `matrix` is 2^k x 2^k row-major on `qubits` (qubits[0] = least significant
// bit of the row index, as Qiskit's UnitaryGate), 1 <= k <= kMaxGateTargets,
// kept as given. k = 1 compiles to Single, 2 to TwoQubit, more to Dense.
// Throws FatalError naming what is wrong: qubit count, repeated qubit, size,
// non-finite entry, tolerance, or "matrix is not unitary" (is_unitary).
CompiledGate compile_unitary(std::span<const Complex> matrix, std::span<const std::uint64_t> qubits,
                             double tolerance = 1e-10);

// |(U U^dagger - I)_rs| <= tolerance for every entry (the rows orthonormal;
// for a square matrix the same as U^dagger U = I). False for a wrong size,
// dim > 2^16 or any non-finite entry.
bool is_unitary(std::span<const Complex> matrix, std::uint64_t dim, double tolerance = 1e-10);

}  // namespace vorn::sim

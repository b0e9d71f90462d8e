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
  // params has n_params values, qubits the operands in Qiskit's order. The
  // caller has checked the counts; build validates the operands' distinctness.
  CompiledGate (*build)(std::span<const double> params, std::span<const std::uint64_t> qubits);
};

std::span<const StandardGate> standard_gates();

// nullptr when there is no such gate.
const StandardGate* find_standard_gate(std::string_view name);

// `matrix` is 2^k x 2^k row-major on `qubits` (qubits[0] = least significant
// bit of the row index, as Qiskit's UnitaryGate), 1 <= k <= kMaxGateTargets.
// Throws FatalError when the size does not match or it is not unitary to `tolerance`.
CompiledGate compile_unitary(std::span<const Complex> matrix, std::span<const std::uint64_t> qubits,
                             double tolerance = 1e-10);

// max |(U^dagger U - I)_rs| <= tolerance (false for any non-finite entry).
bool is_unitary(std::span<const Complex> matrix, std::uint64_t dim, double tolerance = 1e-10);

}  // namespace vorn::sim

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

// One row per gate. Everything that reads or writes gates derives from these
// rows: the vorn package's Circuit methods and their docstrings, its Qiskit,
// Cirq and OpenQASM 2 converters, the README's gate list (checked by a test).
// Text fields are plain ASCII; lists are space-separated.
struct StandardGate {
  std::string_view name;   // Qiskit's method name: "h", "cx", "u", "mcx", ...
  std::uint8_t n_qubits;   // operand count; 0 for mcx / mcp (controls..., target: any count >= 1)
  std::uint8_t n_params;   // angles, before the qubits as in Qiskit
  std::string_view qubits;  // operand names in order ("control_qubit target_qubit"); for
                            // mcx / mcp "control_qubits target_qubit" (a list, then one qubit)
  std::string_view params;  // angle names in order ("theta phi"); empty when none
  std::string_view title;   // what the gate is, in a few words
  std::string_view matrix;  // its matrix as text, operands in Qiskit's order (the first the
                            // least significant bit of the row index)
  std::string_view qiskit;  // class(es) of qiskit.circuit.library that are this gate; the
                            // first is what a circuit converts to, built as cls(*angles) (for
                            // mcx / mcp cls(*angles, number of controls))
  // Cirq's gate with the same matrix and global phase, or empty (converted as a
  // MatrixGate). Grammar: NAME (a cirq attribute), NAME**NUMBER, name(ANGLE)
  // (called with the angle), Name(ANGLE/pi) (called with exponent=angle/pi),
  // any of them followed by ".controlled" (controlled by every operand but
  // the last).
  std::string_view cirq;
  std::string_view qelib1;            // its name in qelib1.inc, or empty
  std::string_view qasm2_definition;  // outside qelib1: an OpenQASM 2 definition in qelib1
                                      // gates with the same matrix and phase
  // The inverse as a gate of this table, or empty (the adjoint matrix):
  // NAME[(ANGLE,...)][ OPERAND...], each ANGLE a sum of signed angle names and
  // pi ("-lam-pi"), the operands named in their new order when they move.
  std::string_view inverse;
  // params has n_params values, qubits the operands in Qiskit's order. Throws
  // FatalError naming the gate when the counts are wrong or a qubit is
  // repeated; qubit ranges are validate()'s business. Non-finite angles are
  // accepted (the matrix carries the NaN, as in vorn_python).
  // mcx / mcp with no controls are X / P(lam) on the target, as in Qiskit.
  CompiledGate (*build)(std::span<const double> params, std::span<const std::uint64_t> qubits);
};

std::span<const StandardGate> standard_gates();

// nullptr when there is no such gate.
const StandardGate* find_standard_gate(std::string_view name);

// The shape rule of `unitary`, the one place it is checked: 1 <= k <=
// kMaxGateTargets operands and a matrix of shape (2^k, 2^k). `shape` is the
// matrix's dimensions (any count, as an array has them). Throws FatalError
// naming what is wrong.
void check_unitary_shape(std::size_t k, std::span<const std::uint64_t> shape);

// `matrix` is 2^k x 2^k row-major on `qubits` (qubits[0] = least significant
// bit of the row index, as Qiskit's UnitaryGate), 1 <= k <= kMaxGateTargets,
// kept as given. A matrix with only zeros off its diagonal compiles to
// Diagonal (its diagonal entries); otherwise k = 1 compiles to Single, 2 to
// TwoQubit, more to Dense.
// Throws FatalError naming what is wrong: qubit count, repeated qubit, size,
// non-finite entry, tolerance, or "matrix is not unitary" (is_unitary).
CompiledGate compile_unitary(std::span<const Complex> matrix, std::span<const std::uint64_t> qubits,
                             double tolerance = 1e-10);

// |(U U^dagger - I)_rs| <= tolerance for every entry (the rows orthonormal;
// for a square matrix the same as U^dagger U = I). False for a wrong size,
// dim > 2^16 or any non-finite entry.
bool is_unitary(std::span<const Complex> matrix, std::uint64_t dim, double tolerance = 1e-10);

}  // namespace vorn::sim

// The compiled gate list: what a run executes. A circuit (vorn_python's, or
// the vorn package's instruction list) is turned once, at the start of a run,
// into validated entries that carry their kernel shape, their matrix (computed
// once), their operands and their control values. The engine and the block
// runner execute only this list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/legacy_gates.hpp"
#include "vorn/core/statevector.hpp"

namespace vorn::sim {

class Circuit;

enum class Shape : std::uint8_t {
  Single,            // 2x2 on targets[0]
  MultiControlled,   // 2x2 on targets[0], controls with values (cx: one control, value 1)
  DoublyControlled,  // 2x2; controls[0], controls[1], targets[0], repeated operands allowed (vorn_python's ccx)
  TwoQubit,          // 4x4 on targets[0] (local bit 0), targets[1]; with controls when any
  ControlledSwap,    // controls[0], targets[0], targets[1], repeated operands allowed (cswap)
  Diagonal,          // 2^k diagonal on targets, controls with values
  Dense,             // 2^k x 2^k row-major on targets, controls with values
};

struct CompiledGate {
  Shape shape = Shape::Single;
  std::vector<std::uint64_t> targets;   // bit j of the matrix's local index is targets[j]
  std::vector<std::uint64_t> controls;
  std::uint64_t control_values = ~std::uint64_t{0};  // bit i: the value controls[i] must have
  std::vector<Complex> matrix;  // 4, 16 or 4^k entries row-major; 2^k for Diagonal; empty for ControlledSwap
  // `matrix` with each entry rounded to single precision: filled by
  // round_to_single for a single-precision run, empty otherwise.
  std::vector<SingleComplex> single_matrix;

  // Every qubit the gate touches, as a mask.
  std::uint64_t qubit_mask() const noexcept;
  Matrix2x2 matrix_2x2() const noexcept;  // Single, MultiControlled, DoublyControlled
  Matrix4x4 matrix_4x4() const noexcept;  // TwoQubit
};

// Fills every entry's single_matrix (a single-precision run's gates: the
// matrices are rounded once, not per block).
void round_to_single(std::vector<CompiledGate>& gates);

// One run's work: the register, the gates in order, the global phase (the
// initial amplitude of |0...0> becomes e^(i phase); exactly 1 when the phase
// is 0) and whether final sampling happens.
struct Program {
  std::uint64_t n_qubits = 0;
  std::vector<CompiledGate> gates;
  double global_phase = 0.0;
  bool samples = false;
};

// Checks an entry made outside this file (shape, sizes, operands distinct and
// below n_qubits, except the shapes that keep vorn_python's repeated-operand
// meaning) and throws FatalError naming what is wrong.
void validate(const CompiledGate& gate, std::uint64_t n_qubits);

// One vorn_python gate kind with its operands (in recorded order), compiled:
// nullopt for a gate that leaves every state exactly as it is (cx(q, q),
// swap(q, q)). The vorn package's gates of the same names use this too, so
// both modules give the same bits for them.
std::optional<CompiledGate> compile_gate(GateKind kind, double theta, std::span<const std::uint64_t> qubits);

// vorn_python's circuit, compiled so that every gate gives the same bits as
// it always has (shapes chosen for that; repeated operands keep their meaning).
Program compile(const Circuit& circuit);

// Applies one compiled entry to the whole state with its kernel. A
// single-precision state takes the entry's single_matrix (round_to_single).
void apply_gate(StateVector& state, const CompiledGate& gate);
void apply_gate(SingleStateVector& state, const CompiledGate& gate);

// The same on a block of 2^n_local amplitudes whose operands were renamed to
// block-local positions.
void apply_gate_local(Complex* amp, std::uint64_t n_local, const CompiledGate& gate);
void apply_gate_local(SingleComplex* amp, std::uint64_t n_local, const CompiledGate& gate);

}  // namespace vorn::sim

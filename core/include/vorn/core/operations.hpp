// The gate kernels. Each updates the state in place: a plain loop on the
// calling thread below PARALLEL_THRESHOLD amplitudes, the process-wide pool
// from there on, with bit-identical results either way. Each is a template
// over the real type T, built for double (the default) and float (single
// precision: the same arithmetic on complex floats, matrices rounded to float
// by the caller); the matrix arguments do not take part in deducing T.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "vorn/core/matrix.hpp"
#include "vorn/core/statevector.hpp"

namespace vorn {

inline constexpr std::uint64_t PARALLEL_THRESHOLD = 8192;

template <class T>
using Matrix2x2Of = std::type_identity_t<BasicMatrix2x2<T>>;
template <class T>
using Matrix4x4Of = std::type_identity_t<BasicMatrix4x4<T>>;
template <class T>
using EntriesOf = std::type_identity_t<std::span<const BasicComplex<T>>>;

template <class T>
void apply_single_qubit_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t target);

template <class T>
void apply_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t control,
                           std::uint64_t target);

template <class T>
void apply_doubly_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t ctrl1,
                                  std::uint64_t ctrl2, std::uint64_t target);

template <class T>
void apply_two_qubit_gate(BasicStateVector<T>& state, const Matrix4x4Of<T>& matrix, std::uint64_t qubit0,
                          std::uint64_t qubit1);

template <class T>
void apply_controlled_swap(BasicStateVector<T>& state, std::uint64_t control, std::uint64_t target1,
                           std::uint64_t target2);

// ---- general gates --------------------------------------------------------
// Operands of one call are distinct and below n_qubits (the compiled gate list
// guarantees it; a bad operand still stops the call with the index-out-of-range
// error before any amplitude is touched). A target list's entry j is bit j of
// the matrix's local index (Qiskit's order: the first listed qubit is the least
// significant). Only amplitudes whose control bits equal the wanted values are
// read or written.

// Control qubits and the value each must have: bit i of `values` for qubits[i].
struct ControlSet {
  std::span<const std::uint64_t> qubits;
  std::uint64_t values = ~std::uint64_t{0};
};

// Largest target count of a dense or diagonal gate (a 2^10 x 2^10 matrix is 16 MiB).
inline constexpr std::uint64_t kMaxGateTargets = 10;

// Pairs (i, i | 1<<target), i with the target bit clear, updated exactly as
// apply_single_qubit_gate updates a pair.
template <class T>
void apply_multi_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, ControlSet controls,
                                 std::uint64_t target);

// Groups (b, b|q0, b|q1, b|q0|q1) updated exactly as apply_two_qubit_gate does.
template <class T>
void apply_controlled_two_qubit_gate(BasicStateVector<T>& state, const Matrix4x4Of<T>& matrix, ControlSet controls,
                                     std::uint64_t qubit0, std::uint64_t qubit1);

// amp[i] = diagonal[local(i)] * amp[i]: one complex product per touched amplitude.
// k = targets.size() <= kMaxGateTargets (0 allowed: one entry, a phase on the
// controlled amplitudes); a diagonal of other than 2^k entries, or more
// targets, fails the call before any amplitude is touched (as for dense).
template <class T>
void apply_diagonal_gate(BasicStateVector<T>& state, EntriesOf<T> diagonal, ControlSet controls,
                         std::span<const std::uint64_t> targets);

// A 2^k x 2^k row-major matrix on k targets: each new amplitude r is
// m[r][0]*a[0], then + m[r][s]*a[s] for s = 1, 2, ... (left to right).
template <class T>
void apply_dense_gate(BasicStateVector<T>& state, EntriesOf<T> matrix, ControlSet controls,
                      std::span<const std::uint64_t> targets);

// amp[i] = phase * amp[i] for every amplitude.
template <class T>
void apply_global_phase(BasicStateVector<T>& state, const std::type_identity_t<BasicComplex<T>>& phase);

}  // namespace vorn

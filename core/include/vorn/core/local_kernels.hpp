// The gate kernels on a raw span of 2^n_local amplitudes, always on the calling
// thread. Used by the engine's blocked execution, which applies a run of gates
// to one cache-sized block at a time.
#pragma once

#include <cstdint>
#include <span>

#include "vorn/core/complex.hpp"
#include "vorn/core/matrix.hpp"
#include "vorn/core/operations.hpp"

namespace vorn::local {

// Each has the arithmetic, pair order within a pair and meaning of repeated
// operands of the StateVector kernel of the same name (operations.hpp); only
// the pool is never used. Operands must lie below n_local (a bad one stops the
// call with the index-out-of-range error before any amplitude is touched).

template <class T>
void apply_single_qubit_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                             std::uint64_t target);

// A block gathered from the state: run r (2^low amplitudes) lies at
// state + offsets[r] and at buf + (r << low). These copy the block into buf,
// or out of it, and apply a single-qubit gate on block-local `target` on the
// way: the bits of the copy followed (gather) or preceded (scatter) by
// apply_single_qubit_gate on buf, with one pass instead of two. They return
// false, having touched nothing, where this machine has no such path.
template <class T>
bool gather_applying(BasicComplex<T>* buf, const BasicComplex<T>* state, const std::uint64_t* offsets, std::uint64_t runs,
                     std::uint64_t low, const Matrix2x2Of<T>& matrix, std::uint64_t target);
template <class T>
bool scatter_applying(BasicComplex<T>* state, BasicComplex<T>* buf, const std::uint64_t* offsets, std::uint64_t runs,
                      std::uint64_t low, const Matrix2x2Of<T>& matrix, std::uint64_t target);

template <class T>
void apply_controlled_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                           std::uint64_t control, std::uint64_t target);

template <class T>
void apply_doubly_controlled_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                                  std::uint64_t ctrl1, std::uint64_t ctrl2, std::uint64_t target);

template <class T>
void apply_two_qubit_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix4x4Of<T>& matrix,
                          std::uint64_t qubit0, std::uint64_t qubit1);

template <class T>
void apply_controlled_swap(BasicComplex<T>* amp, std::uint64_t n_local, std::uint64_t control,
                           std::uint64_t target1, std::uint64_t target2);

// The general gates of operations.hpp on a block.
template <class T>
void apply_multi_controlled_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                                 ControlSet controls, std::uint64_t target);
template <class T>
void apply_controlled_two_qubit_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix4x4Of<T>& matrix,
                                     ControlSet controls, std::uint64_t qubit0, std::uint64_t qubit1);
template <class T>
void apply_diagonal_gate(BasicComplex<T>* amp, std::uint64_t n_local, EntriesOf<T> diagonal,
                         ControlSet controls, std::span<const std::uint64_t> targets);
template <class T>
void apply_dense_gate(BasicComplex<T>* amp, std::uint64_t n_local, EntriesOf<T> matrix,
                      ControlSet controls, std::span<const std::uint64_t> targets);

}  // namespace vorn::local

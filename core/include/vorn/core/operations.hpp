// The gate kernels. Each updates the state in place: a plain loop on the
// calling thread below PARALLEL_THRESHOLD amplitudes, the process-wide pool
// from there on, with bit-identical results either way.
#pragma once

#include <cstdint>

#include "vorn/core/gates.hpp"
#include "vorn/core/statevector.hpp"

namespace vorn {

inline constexpr std::uint64_t PARALLEL_THRESHOLD = 8192;

void apply_single_qubit_gate(StateVector& state, const Matrix2x2& matrix, std::uint64_t target);

void apply_controlled_gate(StateVector& state, const Matrix2x2& matrix, std::uint64_t control,
                           std::uint64_t target);

void apply_doubly_controlled_gate(StateVector& state, const Matrix2x2& matrix, std::uint64_t ctrl1,
                                  std::uint64_t ctrl2, std::uint64_t target);

void apply_two_qubit_gate(StateVector& state, const Matrix4x4& matrix, std::uint64_t qubit0,
                          std::uint64_t qubit1);

void apply_controlled_swap(StateVector& state, std::uint64_t control, std::uint64_t target1,
                           std::uint64_t target2);

}  // namespace vorn

// The register's dense amplitude array (2^n interleaved complex doubles, or
// complex floats for a single-precision run).
// Created by the engine per run; changed in place by the gate kernels and the
// block runner (through data()), read by sampling and the bindings.
#pragma once

#include <cstdint>

#include "vorn/core/complex.hpp"
#include "vorn/core/memory.hpp"

namespace vorn {

// The largest register: 16 * 2^58 bytes is still an object size, 16 * 2^59
// (past 2^63 - 8) is not. The same bound holds for single precision.
inline constexpr std::uint64_t kMaxQubits = 58;

template <class T>
class BasicStateVector {
 public:
  using Amplitude = BasicComplex<T>;

  // |0...0> on n qubits. Fails for n = 0 and for n > kMaxQubits (core's own
  // texts; the engine checks both first), before allocating anything; then
  // checks the memory the process can get (out-of-memory error) and allocates
  // once. A failed allocation is an out-of-memory error naming the state
  // vector and its size.
  static BasicStateVector create(std::uint64_t n_qubits);

  // Bytes the amplitude array of n qubits needs (n <= kMaxQubits).
  static std::uint64_t bytes_for(std::uint64_t n_qubits) noexcept { return std::uint64_t{sizeof(Amplitude)} << n_qubits; }

  BasicStateVector(BasicStateVector&&) noexcept = default;
  BasicStateVector& operator=(BasicStateVector&&) noexcept = default;

  // Independent element-by-element duplicate (after a memory check).
  BasicStateVector copy() const;

  std::uint64_t n_qubits() const noexcept { return n_qubits_; }
  std::uint64_t size() const noexcept { return amplitudes_.size(); }
  Amplitude* data() noexcept { return amplitudes_.data(); }
  const Amplitude* data() const noexcept { return amplitudes_.data(); }
  Amplitude& operator[](std::uint64_t i) noexcept { return amplitudes_[i]; }
  const Amplitude& operator[](std::uint64_t i) const noexcept { return amplitudes_[i]; }

  // New array: element i = norm2(amplitude i) (in double for either
  // precision), ascending, on the calling thread, nothing normalised.
  // Memory-checked.
  Buffer<double> probabilities() const;

  // Gives the amplitude storage away (used to hand it to Python without a copy).
  Buffer<Amplitude> take_amplitudes() && noexcept { return std::move(amplitudes_); }

 private:
  BasicStateVector(Buffer<Amplitude> amplitudes, std::uint64_t n_qubits) noexcept
      : amplitudes_(std::move(amplitudes)), n_qubits_(n_qubits) {}

  Buffer<Amplitude> amplitudes_;
  std::uint64_t n_qubits_ = 0;
};

using StateVector = BasicStateVector<double>;
using SingleStateVector = BasicStateVector<float>;
extern template class BasicStateVector<double>;
extern template class BasicStateVector<float>;

}  // namespace vorn

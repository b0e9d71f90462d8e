// The register's dense amplitude array (2^n interleaved complex doubles).
// Created by the engine per run; changed in place by the gate kernels and the
// block runner (through data()), read by sampling and the bindings.
#pragma once

#include <cstdint>

#include "vorn/core/complex.hpp"
#include "vorn/core/memory.hpp"

namespace vorn {

// The largest register: 16 * 2^58 bytes is still an object size, 16 * 2^59
// (past 2^63 - 8) is not.
inline constexpr std::uint64_t kMaxQubits = 58;

class StateVector {
 public:
  // |0...0> on n qubits. Fails for n = 0 and for n > kMaxQubits (core's own
  // texts; the engine checks both first), before allocating anything; then
  // checks the memory the process can get (out-of-memory error) and allocates
  // once. A failed allocation is an out-of-memory error naming the state
  // vector and its size.
  static StateVector create(std::uint64_t n_qubits);

  // Bytes the amplitude array of n qubits needs (n <= kMaxQubits).
  static std::uint64_t bytes_for(std::uint64_t n_qubits) noexcept { return std::uint64_t{16} << n_qubits; }

  StateVector(StateVector&&) noexcept = default;
  StateVector& operator=(StateVector&&) noexcept = default;

  // Independent element-by-element duplicate (after a memory check).
  StateVector copy() const;

  std::uint64_t n_qubits() const noexcept { return n_qubits_; }
  std::uint64_t size() const noexcept { return amplitudes_.size(); }
  Complex* data() noexcept { return amplitudes_.data(); }
  const Complex* data() const noexcept { return amplitudes_.data(); }
  Complex& operator[](std::uint64_t i) noexcept { return amplitudes_[i]; }
  const Complex& operator[](std::uint64_t i) const noexcept { return amplitudes_[i]; }

  // New array: element i = re*re + im*im of amplitude i, ascending, on the
  // calling thread, nothing normalised. Memory-checked.
  Buffer<double> probabilities() const;

  // Gives the amplitude storage away (used to hand it to Python without a copy).
  Buffer<Complex> take_amplitudes() && noexcept { return std::move(amplitudes_); }

 private:
  StateVector(Buffer<Complex> amplitudes, std::uint64_t n_qubits) noexcept
      : amplitudes_(std::move(amplitudes)), n_qubits_(n_qubits) {}

  Buffer<Complex> amplitudes_;
  std::uint64_t n_qubits_ = 0;
};

}  // namespace vorn

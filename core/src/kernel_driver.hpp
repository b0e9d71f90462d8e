// Core-internal: where a kernel's items run (the pool from PARALLEL_THRESHOLD
// amplitudes on, else the calling thread) and the operand bound error. Shared
// by operations.cpp and general_kernels.cpp.
#pragma once

#include <cstdint>

#include "vorn/core/complex.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/core/parallel.hpp"

namespace vorn::detail {

// Smallest chunk worth a pool task, in base indices (pairs or groups).
inline constexpr std::uint64_t kMinGrain = 2048;

// An amplitude array (of either precision) and where its kernel's items run:
// on the pool, or all on the calling thread.
template <class T>
struct BasicSpan {
  BasicComplex<T>* amp;
  std::uint64_t size;
  bool parallel;
};
using Span = BasicSpan<double>;

inline bool takes_parallel_path(std::uint64_t size) { return size >= PARALLEL_THRESHOLD; }

// The index that a bounds check would reject for an operand >= n; saturated
// so that an operand of 64 or more never becomes an undefined shift.
inline std::uint64_t bit_or_saturate(std::uint64_t q) { return q < 64 ? std::uint64_t{1} << q : UINT64_MAX; }

// Runs body(begin, end) over [0, n_items): on the pool or on the calling
// thread, as the span says; either way with the default FP environment.
template <class T, class Body>
void run_items(const BasicSpan<T>& s, std::uint64_t n_items, std::uint64_t min_grain, Body&& body) {
  if (s.parallel) {
    parallel_for(n_items, min_grain, body);
  } else {
    DefaultFpEnv fp_env;
    body(std::uint64_t{0}, n_items);
  }
}

}  // namespace vorn::detail

// Core-internal: the per-pair/group arithmetic, the run primitives (scalar,
// AVX2, AVX-512) and the walk from dense base indices to runs. Used by
// operations.cpp and general_kernels.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

#include "vorn/core/complex.hpp"
#include "vorn/core/matrix.hpp"

namespace vorn::detail {

// The one pair update: read both, then write row 0 and row 1. With x == y
// (only in the degenerate-operand scans) the second write wins.
template <class T>
inline void update_pair(BasicComplex<T>* x, BasicComplex<T>* y, const BasicMatrix2x2<T>& m) noexcept {
  const BasicComplex<T> a = *x, b = *y;
  *x = cadd(cmul(m.m00, a), cmul(m.m01, b));
  *y = cadd(cmul(m.m10, a), cmul(m.m11, b));
}

// The 4x4 group update: all 16 products, accumulated left to right.
template <class T>
inline void update_group(BasicComplex<T>* g0, BasicComplex<T>* g1, BasicComplex<T>* g2, BasicComplex<T>* g3,
                         const BasicMatrix4x4<T>& m) noexcept {
  const BasicComplex<T> a[4] = {*g0, *g1, *g2, *g3};
  BasicComplex<T>* const out[4] = {g0, g1, g2, g3};
  for (int r = 0; r < 4; ++r) {
    BasicComplex<T> acc = cmul(m.at(r, 0), a[0]);
    acc = cadd(acc, cmul(m.at(r, 1), a[1]));
    acc = cadd(acc, cmul(m.at(r, 2), a[2]));
    acc = cadd(acc, cmul(m.at(r, 3), a[3]));
    *out[r] = acc;
  }
}

// Zero-bit insertion at sorted, distinct positions (< 63; up to 64 of them):
// base index k is spread over every other bit position, the positions come
// out 0. Consecutive k map to bases `stride` apart until k's low bits carry
// into the next position, so a range of k is walked as a few long runs.
class BaseWalk {
 public:
  static constexpr int kMaxPositions = 64;

  BaseWalk(std::array<std::uint64_t, 3> positions, int count) noexcept : BaseWalk(positions.data(), count) {}

  // `count` positions in any order (sorted here); the caller keeps them distinct.
  BaseWalk(const std::uint64_t* positions, int count) noexcept : count_(count) {
    std::copy(positions, positions + count_, pos_.begin());
    std::sort(pos_.begin(), pos_.begin() + count_);
    int z = 0;  // positions 0, 1, ..., z-1 are all taken
    while (z < count_ && pos_[static_cast<std::size_t>(z)] == static_cast<std::uint64_t>(z)) ++z;
    stride_ = std::uint64_t{1} << z;
    span_ = z < count_ ? std::uint64_t{1} << (pos_[static_cast<std::size_t>(z)] - static_cast<std::uint64_t>(z))
                       : 0;  // 0: runs never break
    // Bits a carry must pass over to reach the next run: the positions and
    // the in-run index bits below the first position that breaks runs.
    for (int p = 0; p < count_; ++p) skip_ |= std::uint64_t{1} << pos_[static_cast<std::size_t>(p)];
    positions_ = skip_;
    if (z < count_) skip_ |= (std::uint64_t{1} << pos_[static_cast<std::size_t>(z)]) - 1;
  }

  std::uint64_t spread(std::uint64_t k) const noexcept {
    for (int p = 0; p < count_; ++p) {
      const std::uint64_t s = pos_[static_cast<std::size_t>(p)];
      k = ((k >> s) << (s + 1)) | (k & ((std::uint64_t{1} << s) - 1));
    }
    return k;
  }

  // The positions as a mask (bit p set for position p).
  std::uint64_t positions() const noexcept { return positions_; }

  // Distance between the bases of consecutive k inside one run.
  std::uint64_t stride() const noexcept { return stride_; }

  // Base indices per whole run (runs start at multiples of it); 0 when runs never break.
  std::uint64_t span() const noexcept { return span_; }

  // How many base indices from k (below ke) form one run.
  std::uint64_t run_length(std::uint64_t k, std::uint64_t ke) const noexcept {
    const std::uint64_t len = ke - k;
    return span_ == 0 ? len : std::min(len, span_ - (k & (span_ - 1)));
  }

  // The first base of the run after the one holding `base`: one carry
  // instead of a fresh spread, which matters when runs are a few pairs long.
  std::uint64_t next_run(std::uint64_t base) const noexcept { return ((base | skip_) + 1) & ~skip_; }

  // Calls run(first, stride, len) for the runs that cover base indices [kb, ke).
  template <class Run>
  void walk(std::uint64_t kb, std::uint64_t ke, Run&& run) const {
    std::uint64_t base = spread(kb);
    for (std::uint64_t k = kb; k < ke; base = next_run(base)) {
      const std::uint64_t len = run_length(k, ke);
      run(base, stride_, len);
      k += len;
    }
  }

 private:
  std::array<std::uint64_t, kMaxPositions> pos_;  // the first count_ are set
  int count_;
  std::uint64_t stride_ = 1;
  std::uint64_t span_ = 0;
  std::uint64_t skip_ = 0;
  std::uint64_t positions_ = 0;
};

// The primitives (one set per instruction set, chosen at run time) process the
// base indices [kb, ke) of a walk; each base b = spread(k) | set_mask gives
//   pairs:  (b, b + tstep) updated with the 2x2 matrix
//   groups: (b, b + s0, b + s1, b + s0 + s1) updated with the 4x4 matrix
//     (controls' set bits come in through the amp pointer: amp + set_mask)
//   moved_single (may be null): a gathered block (run r of 2^low amplitudes
//     at state + offsets[r] and at buf + (r << low)) copied into buf
//     (gather) or out of it, with the 2x2 matrix applied on block-local
//     `target` on the way; false, touching nothing, where it has no path.
//   diagonal: amp[b + off[r]] = cmul(diag[r], amp[b + off[r]]) for r < dim
//   dense: the dim amplitudes a[s] = amp[b + off[s]] become
//     amp[b + off[r]] = m[r][0]*a[0] + m[r][1]*a[1] + ... (left to right),
//     m row-major dim x dim; update_group's order for dim 4
//   scale: amp[i] = cmul(c, amp[i]) for i in [ib, ie)
// T is the amplitude's real type: double (the default) or float (single
// precision, the same arithmetic rounded to float).
template <class T>
struct BasicRunPrimitives {
  using C = BasicComplex<T>;
  void (*pairs)(C* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                std::uint64_t tstep, const BasicMatrix2x2<T>& m);
  void (*groups)(C* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t s0,
                 std::uint64_t s1, const BasicMatrix4x4<T>& m);
  bool (*moved_single)(C* buf, C* state, const std::uint64_t* offsets, std::uint64_t runs, std::uint64_t low,
                       std::uint64_t target, const BasicMatrix2x2<T>& m, bool gather) = nullptr;
  void (*diagonal)(C* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                   const std::uint64_t* off, std::uint64_t dim, const C* diag) = nullptr;
  void (*dense)(C* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                const std::uint64_t* off, std::uint64_t dim, const C* m) = nullptr;
  void (*scale)(C* amp, std::uint64_t ib, std::uint64_t ie, const C& c) = nullptr;
};
using RunPrimitives = BasicRunPrimitives<double>;
using SingleRunPrimitives = BasicRunPrimitives<float>;

extern const RunPrimitives kScalarPrimitives;
// Null when the compiler cannot build the AVX2 variant.
extern const RunPrimitives* const kAvx2Primitives;
// Null likewise; used only where AVX2 is there too (it hands AVX2 the cases
// it does not take).
extern const RunPrimitives* const kAvx512Primitives;

// The single-precision sets, likewise (kernels_single.cpp): the vector ones
// hand the scalar set the cases they do not take.
extern const SingleRunPrimitives kSingleScalarPrimitives;
extern const SingleRunPrimitives* const kSingleAvx2Primitives;
extern const SingleRunPrimitives* const kSingleAvx512Primitives;

// The primitives of the active instruction set (vorn/core/isa.hpp; tests
// force each one there), for amplitudes of real type T.
const RunPrimitives& run_primitives();
const SingleRunPrimitives& single_run_primitives();
template <class T>
const BasicRunPrimitives<T>& primitives_of() {
  if constexpr (std::is_same_v<T, float>) {
    return single_run_primitives();
  } else {
    return run_primitives();
  }
}

}  // namespace vorn::detail

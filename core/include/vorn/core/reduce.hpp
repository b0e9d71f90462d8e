// The one summation order for every sum over a state: a fixed tree of
// power-of-two blocks that does not depend on the thread count, the pool's
// chunking or any cache blocking, so sums are bit-identical however they are
// computed (and the same tree can later be split across processes).
//
//   items   0 .. n-1, grouped into leaves of 2^12 consecutive items
//           (one shorter leaf when n < 2^12);
//   a leaf  eight lanes, lane k adding items k, k+8, k+16, ... in ascending
//           order starting from +0.0, then ((l0+l1)+(l2+l3))+((l4+l5)+(l6+l7));
//   leaves  a pairwise tree: at stride s = 1, 2, 4, ... leaf i (a multiple
//           of 2s) adds leaf i+s when it exists.
//
// Eight lanes let AVX2/AVX-512 code keep one lane per vector slot and still
// perform exactly the scalar additions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vorn/core/parallel.hpp"

namespace vorn {

inline constexpr unsigned kReduceLeafBits = 12;
inline constexpr std::uint64_t kReduceLeafItems = std::uint64_t{1} << kReduceLeafBits;
inline constexpr std::size_t kReduceLanes = 8;

inline std::uint64_t reduce_leaf_count(std::uint64_t n_items) noexcept {
  return (n_items + kReduceLeafItems - 1) >> kReduceLeafBits;
}

// A leaf's value from its eight lane sums (lanes[k] = lane k).
inline double combine_lanes(const double* lanes) noexcept {
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// The tree over `count` leaf values values[0], values[stride], ...; the
// values are overwritten. 0.0 when count is 0.
double combine_leaves(double* values, std::uint64_t count, std::size_t stride = 1) noexcept;

// The whole fixed-order sum of terms[0 .. n) on the calling thread: the
// reference every parallel or vectorised evaluation must match bit for bit.
double fixed_tree_sum(const double* terms, std::uint64_t n);

// Sums `width` quantities over n items: leaf(first, count, out) must write
// the width leaf values of items [first, first + count) to out[0 .. width)
// (each combined from its lanes). Leaves run on the pool, each into its own
// slot, then the tree combines them on the calling thread; result[c] is the
// total of quantity c.
template <class LeafFn>
void reduce_sum(std::uint64_t n_items, std::size_t width, LeafFn&& leaf, double* result) {
  const std::uint64_t leaves = reduce_leaf_count(n_items);
  std::vector<double> sums(leaves * width);
  auto body = [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t l = begin; l < end; ++l) {
      const std::uint64_t first = l << kReduceLeafBits;
      const std::uint64_t count = n_items - first < kReduceLeafItems ? n_items - first : kReduceLeafItems;
      leaf(first, count, sums.data() + l * width);
    }
  };
  parallel_for(leaves, body);
  for (std::size_t c = 0; c < width; ++c) result[c] = combine_leaves(sums.data() + c, leaves, width);
}

}  // namespace vorn

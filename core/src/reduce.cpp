// The fixed summation tree (see reduce.hpp): leaf combination and the
// sequential reference.
#include "vorn/core/reduce.hpp"

namespace vorn {

double combine_leaves(double* values, std::uint64_t count, std::size_t stride) noexcept {
  if (count == 0) return 0.0;
  for (std::uint64_t s = 1; s < count; s *= 2) {
    for (std::uint64_t i = 0; i + s < count; i += 2 * s) values[i * stride] = values[i * stride] + values[(i + s) * stride];
  }
  return values[0];
}

double fixed_tree_sum(const double* terms, std::uint64_t n) {
  const std::uint64_t leaves = reduce_leaf_count(n);
  std::vector<double> sums(leaves);
  for (std::uint64_t l = 0; l < leaves; ++l) {
    const std::uint64_t first = l << kReduceLeafBits;
    const std::uint64_t end = n - first < kReduceLeafItems ? n : first + kReduceLeafItems;
    double lanes[kReduceLanes] = {};
    for (std::uint64_t i = first; i < end; ++i) lanes[(i - first) % kReduceLanes] += terms[i];
    sums[l] = combine_lanes(lanes);
  }
  return combine_leaves(sums.data(), leaves);
}

}  // namespace vorn

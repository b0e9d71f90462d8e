// The fixed summation tree: the pool's parallel evaluation must give the
// bits of the sequential evaluation of the same tree, whatever the pool size
// (the suite runs with 1 and 2 threads), and the tree must have its shape.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "vorn/core/reduce.hpp"

namespace vorn {
namespace {

// Terms of wildly different sizes and signs: any change of order changes
// the rounded total, so bit equality really checks the order.
std::vector<double> awkward_terms(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> t(n);
  for (auto& v : t) v = std::ldexp(unit(rng), static_cast<int>(rng() % 80) - 40);
  return t;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Reduce, ParallelEqualsSequentialTreeBitForBit) {
  for (std::uint64_t n : {0ull, 1ull, 7ull, 9ull, 4095ull, 4096ull, 4097ull, 3 * 4096ull + 5, 1ull << 16, 1ull << 18}) {
    const std::vector<double> t = awkward_terms(n, n + 1);
    // Two quantities at once: the terms and their negated squares.
    double got[2];
    reduce_sum(
        n, 2,
        [&](std::uint64_t first, std::uint64_t count, double* out) {
          double a[kReduceLanes] = {}, b[kReduceLanes] = {};
          for (std::uint64_t i = 0; i < count; ++i) {
            a[i % kReduceLanes] += t[first + i];
            b[i % kReduceLanes] += -(t[first + i] * t[first + i]);
          }
          out[0] = combine_lanes(a);
          out[1] = combine_lanes(b);
        },
        got);
    std::vector<double> sq(n);
    for (std::uint64_t i = 0; i < n; ++i) sq[i] = -(t[i] * t[i]);
    EXPECT_TRUE(same_bits(got[0], fixed_tree_sum(t.data(), n))) << "n=" << n;
    EXPECT_TRUE(same_bits(got[1], fixed_tree_sum(sq.data(), n))) << "n=" << n;
  }
}

TEST(Reduce, OrderMattersForTheseTerms) {
  // Guards the test above: a plain left-to-right sum of the same terms differs.
  const std::vector<double> t = awkward_terms(1 << 16, 99);
  double plain = 0.0;
  for (double v : t) plain += v;
  EXPECT_FALSE(same_bits(plain, fixed_tree_sum(t.data(), t.size())));
}

TEST(Reduce, TreeShape) {
  // Leaves pair up (0+1), (2+3), then those: 2^53 + 1 rounds to 2^53 and
  // 1 - 2^53 is exact, so the tree gives 1 where left to right gives 0.
  double v[4] = {0x1p53, 1.0, 1.0, -0x1p53};
  EXPECT_EQ(combine_leaves(v, 4), 1.0);
  // Odd counts: the last leaf waits for the level where it has a partner:
  // ((a+b) + c) with c joined at stride 2.
  double w[3] = {0x1p53, 1.0, 1.0};
  EXPECT_EQ(combine_leaves(w, 3), 0x1p53);  // (2^53 + 1) = 2^53, + 1 = 2^53
  double empty[1] = {5.0};
  EXPECT_EQ(combine_leaves(empty, 0), 0.0);
  // Lanes: item i goes to lane i mod 8, lanes combine pairwise.
  std::vector<double> items(16, 0.0);
  items[0] = 0x1p53;
  items[1] = 1.0;  // lane 1
  items[9] = 1.0;  // lane 1 again: the lane holds 2, which 2^53 absorbs exactly
  EXPECT_EQ(fixed_tree_sum(items.data(), items.size()), 0x1p53 + 2.0);  // left to right: each 1 rounds away
}

}  // namespace
}  // namespace vorn

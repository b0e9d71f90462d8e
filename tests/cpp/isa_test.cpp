// The one instruction-set registry: what it offers, that forcing reaches the
// gate kernels, and that the machine's choice comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>

#include "kernel_reference.hpp"
#include "vorn/core/isa.hpp"

namespace vorn {
namespace {

TEST(Isa, RunnableSetsStartWithScalarAndWidenInOrder) {
  const std::vector<Isa> sets = runnable_isas();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), Isa::Scalar);
  EXPECT_TRUE(std::is_sorted(sets.begin(), sets.end()));
  EXPECT_EQ(std::adjacent_find(sets.begin(), sets.end()), sets.end());
  // Unforced, the machine runs its widest set.
  EXPECT_EQ(active_isa(), sets.back());
}

TEST(Isa, ForcingIsSeenAndUndone) {
  const Isa machine = active_isa();
  for (Isa isa : runnable_isas()) {
    ASSERT_TRUE(force_isa_for_testing(isa)) << isa_name(isa);
    EXPECT_EQ(active_isa(), isa) << isa_name(isa);
  }
  ASSERT_TRUE(force_isa_for_testing(std::nullopt));
  EXPECT_EQ(active_isa(), machine);
}

TEST(Isa, ASetTheMachineLacksIsRefusedAndChangesNothing) {
  const std::vector<Isa> sets = runnable_isas();
  for (Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512}) {
    if (std::find(sets.begin(), sets.end(), isa) != sets.end()) continue;
    ASSERT_TRUE(force_isa_for_testing(Isa::Scalar));
    EXPECT_FALSE(force_isa_for_testing(isa)) << isa_name(isa);
    EXPECT_EQ(active_isa(), Isa::Scalar);
  }
  force_isa_for_testing(std::nullopt);
}

// Each set reaches the gate kernels as its own primitives: a test that forces
// every path really runs every path.
TEST(Isa, EachSetSelectsItsOwnKernels) {
  std::set<const detail::RunPrimitives*> seen;
  for (const auto& [name, prim] : kernel_test::primitive_sets()) EXPECT_TRUE(seen.insert(prim).second) << name;
  EXPECT_EQ(seen.count(&detail::kScalarPrimitives), 1u);
}

}  // namespace
}  // namespace vorn

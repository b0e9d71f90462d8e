// Tests of the branching run: the exact binomial draw against the binomial
// distribution, the unbiased bounded draw, certain outcomes, replay past the
// live-state cap giving the same bits, and refused steps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "programs.hpp"
#include "vorn/simulator/branching.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

double binomial_pmf(U n, U k, double p) {
  return std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) + k * std::log(p) +
                  (n - k) * std::log1p(-p));
}

// Pearson's statistic of `draws` binomial draws against the pmf, over cells
// with at least 5 expected (the rest pooled).
double chi_square(U n, double w0, double w1, U draws, std::uint64_t seed, std::size_t* cells) {
  RandomStream stream = RandomStream::from_seed_value(seed);
  std::vector<U> seen(n + 1, 0);
  for (U i = 0; i < draws; ++i) {
    const U k = draw_binomial(stream, n, w0, w1);
    EXPECT_LE(k, n);
    ++seen[k];
  }
  const double p = w1 / (w0 + w1);
  double stat = 0.0, pooled_o = 0.0, pooled_e = 0.0;
  *cells = 0;
  for (U k = 0; k <= n; ++k) {
    const double e = binomial_pmf(n, k, p) * static_cast<double>(draws);
    if (e < 5.0) {
      pooled_o += static_cast<double>(seen[k]);
      pooled_e += e;
      continue;
    }
    stat += (static_cast<double>(seen[k]) - e) * (static_cast<double>(seen[k]) - e) / e;
    ++*cells;
  }
  if (pooled_e > 0.0) {
    stat += (pooled_o - pooled_e) * (pooled_o - pooled_e) / pooled_e;
    ++*cells;
  }
  return stat;
}

TEST(DrawBinomial, FollowsTheBinomialDistribution) {
  // (n, w0, w1): both tails, p above and below 1/2, n = 1, a skewed case.
  const struct {
    U n;
    double w0, w1;
  } cases[] = {{1, 0.3, 0.7}, {10, 0.5, 0.5}, {40, 0.9, 0.1}, {200, 0.2, 0.8}, {1000, 0.999, 0.001}, {5000, 1, 3}};
  for (const auto& c : cases) {
    std::size_t cells = 0;
    const double stat = chi_square(c.n, c.w0, c.w1, 40000, 17 + c.n, &cells);
    ASSERT_GE(cells, 2u);
    // The 1e-4 upper quantile of chi-square with k-1 degrees of freedom is
    // below (k-1) + 8 sqrt(2 (k-1)) + 20 for the cell counts here.
    const double dof = static_cast<double>(cells - 1);
    EXPECT_LT(stat, dof + 8.0 * std::sqrt(2.0 * dof) + 20.0) << "n=" << c.n << " p=" << c.w1 / (c.w0 + c.w1);
  }
}

TEST(DrawBinomial, CertainAndEmptyCasesDrawNothing) {
  RandomStream a = RandomStream::from_seed_value(1);
  RandomStream b = RandomStream::from_seed_value(1);
  EXPECT_EQ(draw_binomial(a, 100, 1.0, 0.0), 0u);
  EXPECT_EQ(draw_binomial(a, 100, 0.0, 2.0), 100u);
  EXPECT_EQ(draw_binomial(a, 0, 0.5, 0.5), 0u);
  EXPECT_EQ(a.draw_u64(), b.draw_u64());  // the stream was not read
  // A weight far below a double's resolution of the other: 0 every time.
  for (int i = 0; i < 100; ++i) EXPECT_EQ(draw_binomial(a, 1000, 1.0, 1e-300), 0u);
}

TEST(DrawBinomial, HugeCountsStayNearTheMean) {
  RandomStream stream = RandomStream::from_seed_value(3);
  const U n = U{1} << 40;
  for (int i = 0; i < 4; ++i) {
    const double k = static_cast<double>(draw_binomial(stream, n, 0.5, 0.5));
    const double sd = std::sqrt(static_cast<double>(n) * 0.25);
    EXPECT_LT(std::fabs(k - static_cast<double>(n) / 2), 8 * sd);
  }
}

TEST(DrawBelow, CoversTheRangeEvenly) {
  RandomStream stream = RandomStream::from_seed_value(5);
  std::vector<int> seen(7, 0);
  for (int i = 0; i < 70000; ++i) ++seen[draw_below(stream, 7)];
  for (int s : seen) EXPECT_NEAR(s, 10000, 500);
  EXPECT_EQ(draw_below(stream, 1), 0u);
  EXPECT_LT(draw_below(stream, ~U{0}), ~U{0});
}

using test_programs::program_of;

// ry on every qubit, measure each into its clbit, conditioned ry, reset, ry
// again, final measurements: many branches with uneven weights.
struct Sample {
  Program program;
  DynamicSteps steps;
};

Sample sample() {
  Sample s;
  s.program = program_of(4, {{"ry", {0}}, {"ry", {1}}, {"ry", {2}}, {"ry", {3}}, {"cx", {0, 1}}, {"ry", {2}},
                             {"h", {3}}, {"ry", {0}}});
  s.steps.n_clbits = 4;
  s.steps.steps = {
      {StepKind::Gates, 0, 4},
      {StepKind::Measure, 0, 0},
      {StepKind::Measure, 1, 1},
      {StepKind::JumpUnless, 5, 0, 0b11, 0b01},
      {StepKind::Gates, 4, 6},
      {StepKind::Reset, 2},
      {StepKind::Measure, 2, 2},
      {StepKind::Gates, 6, 8},
  };
  s.steps.final_measures = {{3, 3}, {0, 0}};
  return s;
}

TEST(RunDynamic, ReplayPastTheCapGivesTheSameBits) {
  const Sample s = sample();
  DynamicOptions free_run{.keep_shots = true};
  DynamicOptions capped{.keep_shots = true, .max_live_states = 1};
  const DynamicResult a = run_dynamic(s.program, s.steps, 42, 5000, nullptr, free_run);
  const DynamicResult b = run_dynamic(s.program, s.steps, 42, 5000, nullptr, capped);
  EXPECT_EQ(a.tally, b.tally);
  EXPECT_EQ(a.shots, b.shots);
  U total = 0;
  for (const auto& [value, count] : a.tally) {
    EXPECT_EQ(value & 0b100, 0u);  // clbit 2 reads the reset qubit: always 0
    total += count;
  }
  EXPECT_EQ(total, 5000u);
  EXPECT_GT(a.tally.size(), 4u);
  EXPECT_NE(run_dynamic(s.program, s.steps, 43, 5000).tally, a.tally);
}

TEST(RunDynamic, AnEvenSplitKeepsBothOutcomes) {
  // h, measure (then reset: dynamic) with two shots: half the draws split
  // them 1 + 1. The branch kept after a split takes outcome 0 (it once
  // compared the draw with its count after the split, and an even split
  // gave both sides outcome 1).
  Program p = program_of(1, {{"h", {0}}});
  DynamicSteps d;
  d.n_clbits = 1;
  d.steps = {{StepKind::Gates, 0, 1}, {StepKind::Measure, 0, 0}, {StepKind::Reset, 0}};
  int mixed = 0;
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const DynamicResult r = run_dynamic(p, d, seed, 2);
    U total = 0;
    for (const auto& [value, count] : r.tally) total += count;
    EXPECT_EQ(total, 2u);
    mixed += r.tally.size() == 2 ? 1 : 0;
  }
  EXPECT_GT(mixed, 8);  // 20 expected; none before the fix
}

TEST(RunDynamic, OneShotKeepsItsFinalStateAndZeroShotsRunNothing) {
  const Sample s = sample();
  const DynamicResult one = run_dynamic(s.program, s.steps, 1, 1, nullptr, DynamicOptions{.keep_state = true});
  ASSERT_TRUE(one.state.has_value());
  double norm = 0.0;
  for (U i = 0; i < one.state->size(); ++i) norm += norm2((*one.state)[i]);
  EXPECT_NEAR(norm, 1.0, 1e-12);
  const DynamicResult none = run_dynamic(s.program, s.steps, 1, 0, nullptr, DynamicOptions{.keep_shots = true});
  EXPECT_TRUE(none.tally.empty() && none.shots.empty() && !none.state);
}

TEST(RunDynamic, RefusesStepsThatDoNotFit) {
  const Sample good = sample();
  auto refused = [&](auto change) {
    Sample s = sample();
    change(s.steps);
    EXPECT_THROW(validate(s.program, s.steps), std::invalid_argument);
  };
  EXPECT_NO_THROW(validate(good.program, good.steps));
  refused([](DynamicSteps& d) { d.steps[1].a = 4; });                      // qubit out of range
  refused([](DynamicSteps& d) { d.steps[1].b = 4; });                      // clbit out of range
  refused([](DynamicSteps& d) { d.steps[0].b = 9; });                      // gates past the list
  refused([](DynamicSteps& d) { d.steps[3].a = 3; });                      // a jump backwards (a loop)
  refused([](DynamicSteps& d) { d.steps[3].a = 9; });                      // past the end
  refused([](DynamicSteps& d) { d.steps[3].value = 0b100; });              // value outside the mask
  refused([](DynamicSteps& d) { d.steps[3].mask = U{1} << 5; });          // mask past the clbits
  refused([](DynamicSteps& d) { d.final_measures.emplace_back(4, 0); });  // final qubit out of range
  refused([](DynamicSteps& d) { d.n_clbits = 65; });
  refused([](DynamicSteps& d) { d.steps[2].kind = static_cast<StepKind>(9); });
}

TEST(RunDynamic, RequiredMemoryCountsOneStatePerPossibleSplit) {
  const Sample s = sample();
  const U state = StateVector::bytes_for(4);
  const U base = dynamic_required_memory(s.program, s.steps, 100, {}, true);
  EXPECT_EQ(dynamic_required_memory(s.program, s.steps, 100) - base, 4 * state);  // four collapse steps
  EXPECT_EQ(dynamic_required_memory(s.program, s.steps, 3) - dynamic_required_memory(s.program, s.steps, 3, {}, true),
            2 * state);  // at most shots - 1
}

}  // namespace
}  // namespace vorn::sim

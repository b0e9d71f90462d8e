// Tests of the fusion pass over dynamic programs: each Gates step's fused
// gates act as its own gates (to rounding) and nothing is fused across a
// step; fused branching, trajectory and expectation runs agree with the
// unfused ones (states to 1e-12, counts equal where outcomes are certain).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "programs.hpp"
#include "vorn/simulator/dynamic_expval.hpp"
#include "vorn/simulator/passes.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using namespace test_programs;


double max_difference(const StateVector& a, const StateVector& b) {
  double d = 0.0;
  for (U i = 0; i < a.size(); ++i) d = std::max(d, std::hypot(a[i].re - b[i].re, a[i].im - b[i].im));
  return d;
}

// A layered program on 4 qubits cut by measurements, a reset and a condition.
Program layered() {
  std::vector<std::pair<const char*, std::vector<U>>> list;
  for (int layer = 0; layer < 4; ++layer) {
    for (U q = 0; q < 4; ++q) list.push_back({"ry", {q}});
    list.push_back({"cx", {0, 1}});
    list.push_back({"cx", {2, 3}});
    list.push_back({"rzz", {1, 2}});
  }
  return program_of(4, list, 0.6);
}

DynamicSteps layered_steps() {
  return {{gates(0, 7), measure(1, 0), gates(7, 14), reset(2), jump_unless(6, 1, 1), gates(14, 21),
           gates(21, 28), measure(0, 1)},
          {{3, 2}},
          3};
}

TEST(FuseDynamicSteps, EachStepKeepsItsOwnGatesAndNothingCrossesABoundary) {
  const Program p = layered();
  DynamicSteps d = layered_steps();
  const DynamicSteps before = d;
  const Program fused = fuse_dynamic_steps(p, d);
  ASSERT_EQ(d.steps.size(), before.steps.size());
  EXPECT_EQ(d.final_measures, before.final_measures);
  EXPECT_EQ(d.n_clbits, before.n_clbits);
  U next = 0;
  for (std::size_t s = 0; s < d.steps.size(); ++s) {
    const Step& got = d.steps[s];
    const Step& was = before.steps[s];
    ASSERT_EQ(got.kind, was.kind) << s;
    if (got.kind != StepKind::Gates) {
      EXPECT_TRUE(got.a == was.a && got.b == was.b && got.mask == was.mask && got.value == was.value) << s;
      continue;
    }
    // Fused ranges follow one another, each fewer gates than it was.
    EXPECT_EQ(got.a, next) << s;
    EXPECT_LT(got.b - got.a, was.b - was.a) << s;
    next = got.b;
    // The step's fused gates do what its own gates do, on a generic state.
    StateVector want = random_state(4, s + 1), have = want.copy();
    for (U g = was.a; g < was.b; ++g) apply_gate(want, p.gates[g]);
    for (U g = got.a; g < got.b; ++g) apply_gate(have, fused.gates[g]);
    EXPECT_LE(max_difference(want, have), 1e-12) << s;
  }
  EXPECT_EQ(next, fused.gates.size());
}

struct G {
  const char* name;
  std::vector<U> qubits;
  double angle = 0.0;
};

// A program of table gates, each with its own angle.
Program built(U n, const std::vector<G>& list) {
  Program p;
  p.n_qubits = n;
  for (const G& g : list) {
    const StandardGate* row = find_standard_gate(g.name);
    p.gates.push_back(row->build(std::vector<double>(row->n_params, g.angle), g.qubits));
  }
  return p;
}

// Weighed on its own small register, a step merges nothing (planning would
// cost more than merging saves): the run is the exact one.
TEST(FuseDynamicSteps, WeighedOnASmallRegisterNothingMerges) {
  const Program p = built(1, {{"ry", {0}, 0.3}, {"rx", {0}, 0.4}, {"ry", {0}, 0.5}, {"rx", {0}, 0.6}});
  DynamicSteps whole{{gates(0, 4)}, {}, 1};
  EXPECT_EQ(fuse_dynamic_steps(p, whole, kDefaultFusionQubits, p.n_qubits).gates.size(), 4u);
}

// ry rx ry rx on one qubit fuses into one gate; a measurement after the
// first two leaves one fused gate on each side of it.
TEST(FuseDynamicSteps, NeverFusesAcrossAMeasurement) {
  const Program p = built(1, {{"ry", {0}, 0.3}, {"rx", {0}, 0.4}, {"ry", {0}, 0.5}, {"rx", {0}, 0.6}});
  DynamicSteps whole{{gates(0, 4)}, {}, 1};
  EXPECT_EQ(fuse_dynamic_steps(p, whole).gates.size(), 1u);
  DynamicSteps apart{{gates(0, 2), measure(0, 0), gates(2, 4)}, {}, 1};
  const Program fused = fuse_dynamic_steps(p, apart);
  ASSERT_EQ(fused.gates.size(), 2u);
  EXPECT_EQ(apart.steps[0].a, 0u);
  EXPECT_EQ(apart.steps[0].b, 1u);
  EXPECT_EQ(apart.steps[2].a, 1u);
  EXPECT_EQ(apart.steps[2].b, 2u);
}

TEST(FuseDynamicSteps, RefusesAGatesStepOutOfRange) {
  const Program p = program_of(1, {{"h", {0}}});
  DynamicSteps d{{gates(0, 1), gates(1, 3)}, {}, 0};
  EXPECT_THROW(fuse_dynamic_steps(p, d), std::invalid_argument);
}

// Outcomes certain but for rounding (each rotation undone, weights 0 or 1
// to within 1e-30, far below what a draw can see): the same tally from the
// same seed; one shot's final state within 1e-12.
TEST(FuseDynamicSteps, FusedRunsAgreeWithUnfusedOnes) {
  std::vector<G> list;
  for (int r = 0; r < 3; ++r) {
    for (U q = 0; q < 4; ++q) {
      const double a = 0.3 + 0.2 * r + 0.1 * static_cast<double>(q);
      list.push_back({"ry", {q}, a});
      list.push_back({"rx", {q}, 1.1});
      list.push_back({"rx", {q}, -1.1});
      list.push_back({"ry", {q}, -a});
    }
    for (U q = 0; q < 4; ++q) list.push_back({"rzz", {q, (q + 1) % 4}, 0.9});  // phases only
    list.push_back({"x", {0}});
    list.push_back({"cx", {0, 1}});
    list.push_back({"cx", {1, 2}});
    list.push_back({"ccx", {0, 2, 3}});
  }
  const U per = list.size() / 3;
  const Program certain = built(4, list);
  const DynamicSteps steps{{gates(0, per), measure(3, 0), gates(per, 2 * per), reset(1), measure(0, 1),
                            jump_unless(7, 2, 0), gates(2 * per, 3 * per)},
                           {{0, 2}, {3, 3}},
                           4};
  DynamicSteps fused_steps = steps;
  const Program fused = fuse_dynamic_steps(certain, fused_steps);
  ASSERT_LT(fused.gates.size(), certain.gates.size() / 2);  // the undone rotations merge
  const DynamicResult want = run_dynamic(certain, steps, 11, 1000);
  EXPECT_EQ(want.tally.size(), 1u);
  EXPECT_EQ(run_dynamic(fused, fused_steps, 11, 1000).tally, want.tally);

  // Uneven outcomes: one shot's state, with its outcomes the same.
  const Program p = layered();
  DynamicSteps d = layered_steps();
  const Program fp = fuse_dynamic_steps(p, d);
  for (U seed : {1, 2, 3, 4}) {
    const DynamicResult a = run_dynamic(p, layered_steps(), seed, 1, nullptr, {.keep_state = true});
    const DynamicResult b = run_dynamic(fp, d, seed, 1, nullptr, {.keep_state = true});
    ASSERT_TRUE(a.state && b.state);
    EXPECT_EQ(a.tally, b.tally) << seed;
    EXPECT_LE(max_difference(*a.state, *b.state), 1e-12) << seed;
  }

  // Exact expectation values and trajectories (a mixture channel between steps).
  const U xs[] = {0b0101}, zs[] = {0b1010};
  const Complex cs[] = {{0.8, 0.0}};
  const PauliSumView h[] = {{xs, zs, cs}};
  const DynamicExpvalResult e = expval_dynamic(p, layered_steps(), h, nullptr, {.variance = true});
  const DynamicExpvalResult fe = expval_dynamic(fp, d, h, nullptr, {.variance = true});
  EXPECT_EQ(e.leaves, fe.leaves);
  EXPECT_NEAR(e.values[0].re, fe.values[0].re, 1e-12);
  EXPECT_NEAR(e.variances[0], fe.variances[0], 1e-12);

  NoiseSpec noise;
  noise.channels.push_back({ChannelKind::Mixture, {1}, {{{1, 0}, {0, 0}, {0, 0}, {1, 0}}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}},
                            {0.9, 0.1}});
  DynamicSteps noisy{{gates(0, 7), {StepKind::Channel, 0, 0, 0, 0}, gates(7, 28)}, {}, 0};
  DynamicSteps noisy_fused = noisy;
  const Program nf = fuse_dynamic_steps(p, noisy_fused);
  EXPECT_EQ(noisy_fused.steps[1].kind, StepKind::Channel);
  const TrajectoryExpvalResult t = expval_trajectories(p, noisy, noise, h, 9, 300);
  const TrajectoryExpvalResult ft = expval_trajectories(nf, noisy_fused, noise, h, 9, 300);
  EXPECT_EQ(t.distinct_paths, ft.distinct_paths);
  EXPECT_NEAR(t.means[0], ft.means[0], 1e-12);
}

}  // namespace
}  // namespace vorn::sim

// Tests of dynamic and noisy runs on complex64 states: the same outcomes as
// double where they are certain, states within float rounding of double,
// the same bits on every live-state cap and thread count, and the memory
// figure with half-size states.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "programs.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using namespace test_programs;

// Permutations only (every weight exactly 0 or 1 in either precision),
// with a measurement, a reset and a condition between them.
Program permutations() {
  return program_of(4, {{"x", {0}}, {"cx", {0, 1}}, {"ccx", {0, 1, 3}}, {"x", {2}}, {"cx", {2, 0}}, {"swap", {1, 2}}});
}
DynamicSteps permutation_steps() {
  return {{gates(0, 3), measure(3, 0), reset(1), jump_unless(5, 1, 1), gates(3, 6)}, {{0, 1}, {2, 2}}, 3};
}

// Rotations with uneven outcomes, on a register the pool splits.
Program rotations(U n) {
  std::vector<std::pair<const char*, std::vector<U>>> list;
  for (U q = 0; q < n; ++q) list.push_back({"ry", {q}});
  for (U q = 0; q + 1 < n; ++q) list.push_back({"cx", {q, q + 1}});
  for (U q = 0; q < n; ++q) list.push_back({"rx", {q}});
  return program_of(n, list, 0.8);
}
DynamicSteps rotation_steps(U n) {
  return {{gates(0, 2 * n - 1), measure(1, 0), reset(n - 1), jump_unless(5, 1, 0), gates(2 * n - 1, 3 * n - 1)},
          {{0, 1}},
          2};
}

bool same_bits(const SingleStateVector& a, const SingleStateVector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(SingleComplex)) == 0;
}

TEST(DynamicSinglePrecision, CertainOutcomesAreTheDoubleRunsOnes) {
  const Program p = permutations();
  const DynamicSteps d = permutation_steps();
  const DynamicOptions keep{.keep_shots = true};
  const DynamicResult want = run_dynamic(p, d, 3, 500, nullptr, keep);
  const SingleDynamicResult got = run_dynamic_single(p, d, 3, 500, nullptr, keep);
  EXPECT_EQ(got.tally, want.tally);
  EXPECT_EQ(got.shots, want.shots);
  // Noisy: a bit flip on qubit 2 (a mixture: its draws never read the state) before the last gates.
  NoiseSpec noise;
  noise.channels.push_back({ChannelKind::Mixture, {2}, {{{1, 0}, {0, 0}, {0, 0}, {1, 0}}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}},
                            {0.7, 0.3}});
  DynamicSteps noisy = d;
  noisy.steps.insert(noisy.steps.begin() + 4, Step{StepKind::Channel, 0, 0, 0, 0});
  noisy.steps[3].a = 6;  // the condition now skips past the channel and the gates
  const TrajectoryRunResult a = run_trajectories(p, noisy, noise, 8, 400);
  const TrajectoryRunResult b = run_trajectories(p, noisy, noise, 8, 400, nullptr, {.single_precision = true});
  EXPECT_GT(a.tally.size(), 1u);
  EXPECT_EQ(b.tally, a.tally);
  EXPECT_EQ(b.distinct_paths, a.distinct_paths);
  // Amplitude damping of qubit 0 (|1> here): Kraus weights read from the
  // float state, exact on a basis state.
  const double g = 0.3;
  noise.channels.push_back({ChannelKind::Kraus,
                            {0},
                            {{{1, 0}, {0, 0}, {0, 0}, {std::sqrt(1 - g), 0}}, {{0, 0}, {std::sqrt(g), 0}, {0, 0}, {0, 0}}},
                            {}});
  noisy.steps.insert(noisy.steps.begin() + 1, Step{StepKind::Channel, 1, 0, 0, 0});
  noisy.steps[4].a = 7;
  const TrajectoryRunResult c = run_trajectories(p, noisy, noise, 9, 400);
  const TrajectoryRunResult e = run_trajectories(p, noisy, noise, 9, 400, nullptr, {.single_precision = true});
  EXPECT_EQ(c.distinct_paths, 4u);  // damped or not, flipped or not
  EXPECT_EQ(e.distinct_paths, c.distinct_paths);
  EXPECT_EQ(e.tally, c.tally);
}

// One shot's state: complex64, within float rounding of the double run's
// (when both took the same outcomes, as they do for these seeds).
TEST(DynamicSinglePrecision, StatesAgreeWithDoubleWithinFloatRounding) {
  const U n = 5;
  const Program p = rotations(n);
  const DynamicSteps d = rotation_steps(n);
  const DynamicOptions keep{.keep_state = true};
  std::size_t compared = 0;
  for (U seed = 1; seed <= 6; ++seed) {
    const DynamicResult want = run_dynamic(p, d, seed, 1, nullptr, keep);
    const SingleDynamicResult got = run_dynamic_single(p, d, seed, 1, nullptr, keep);
    ASSERT_TRUE(want.state && got.state);
    if (got.tally != want.tally) continue;
    ++compared;
    double worst = 0.0;
    for (U i = 0; i < want.state->size(); ++i) {
      const SingleComplex f = (*got.state)[i];
      const Complex x = (*want.state)[i];
      worst = std::max(worst, std::hypot(static_cast<double>(f.re) - x.re, static_cast<double>(f.im) - x.im));
    }
    EXPECT_LE(worst, 1e-6) << seed;
    EXPECT_GT(worst, 0.0) << seed;  // float, not double, was run
  }
  EXPECT_GE(compared, 4u);
}

TEST(DynamicSinglePrecision, SameBitsOnEveryLiveStateCapAndThreadCount) {
  const U n = 14;
  const Program p = rotations(n);
  const DynamicSteps d = rotation_steps(n);
  std::vector<SingleDynamicResult> runs;
  for (std::size_t threads : {1, 2}) {
    for (U cap : {0, 1}) {
      const ThreadLimit limit(threads);
      runs.push_back(run_dynamic_single(p, d, 21, 1, nullptr, {.keep_state = true, .max_live_states = cap}));
      runs.push_back(run_dynamic_single(p, d, 22, 300, nullptr, {.keep_shots = true, .max_live_states = cap}));
    }
  }
  for (std::size_t i = 2; i < runs.size(); i += 2) {
    EXPECT_TRUE(same_bits(*runs[i].state, *runs[0].state)) << i;
    EXPECT_EQ(runs[i + 1].shots, runs[1].shots) << i;
  }
}

TEST(DynamicSinglePrecision, MemoryFigureCountsHalfSizeStates) {
  const U n = 20;
  const Program p = rotations(n);
  const DynamicSteps d = rotation_steps(n);
  const U dbl = dynamic_required_memory(p, d, 100, {});
  const U sgl = dynamic_required_memory(p, d, 100, {.single_precision = true});
  // Three states (the first, one per measurement or reset) and the gather
  // buffers, each half the size.
  Program gates_only;
  gates_only.n_qubits = n;
  const U buffers = required_memory(gates_only, 0) - StateVector::bytes_for(n);
  const U single_buffers = required_memory(gates_only, RunRequest{.single_precision = true}) - SingleStateVector::bytes_for(n);
  EXPECT_EQ(dbl - sgl, 3 * (StateVector::bytes_for(n) - SingleStateVector::bytes_for(n)) + (buffers - single_buffers));
}

}  // namespace
}  // namespace vorn::sim

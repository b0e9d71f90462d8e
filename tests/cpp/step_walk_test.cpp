// Tests of the walk every dynamic engine shares, through small policies of
// its own: branches taken depth first with the latest split first, replay
// past the live-state cap giving the same bits, Channel steps only for a
// policy that runs them, refused weights, the cap and progress.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "programs.hpp"
#include "vorn/simulator/step_walk.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using namespace test_programs;

bool same_state(const StateVector& a, const StateVector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

// Follows every measurement or reset outcome of weight above 0 and keeps
// each leaf's path, clbits and state.
struct Everything {
  struct Payload {};
  struct Leaf {
    std::vector<std::uint32_t> path;
    U clbits;
    StateVector state;
  };
  std::vector<Leaf> leaves;

  std::pair<double, double> outcome_weights(const StateVector& state, U qubit) const {
    return measure_weights(state, qubit);
  }
  std::uint32_t choose(WalkBranch<Payload>& branch, const Step& step, const std::vector<double>& w,
                       StepWalk<Everything>& walk) {
    if (w[0] > 0.0 && w[1] > 0.0) walk.split_off(branch, outcome_code(step, 1), {});
    return outcome_code(step, w[0] > 0.0 ? 0 : 1);
  }
  void finish(WalkBranch<Payload>& branch) { leaves.push_back({branch.path, branch.clbits, branch.state->copy()}); }
};

// Everything, and Channel steps: channel a with operators identity and X
// on qubit a, both taken.
struct WithChannels : Everything {
  std::vector<double> channel_weights(const StateVector&, const Step&) const { return {0.75, 0.25}; }
  void apply_channel(StateVector& state, const Step& step, std::uint32_t code, const std::vector<double>&) const {
    if (code == 1) apply_gate(state, find_standard_gate("x")->build({}, std::vector<U>{step.a}));
  }
  std::uint32_t choose(WalkBranch<Payload>& branch, const Step& step, const std::vector<double>& w,
                       StepWalk<WithChannels>& walk) {
    if (step.kind == StepKind::Channel) {
      walk.split_off(branch, 1, {});
      return 0;
    }
    if (w[0] > 0.0 && w[1] > 0.0) walk.split_off(branch, outcome_code(step, 1), {});
    return outcome_code(step, w[0] > 0.0 ? 0 : 1);
  }
};

template <class Policy>
Policy walk_all(const Program& p, const DynamicSteps& d, U cap, RunControl* control = nullptr,
                bool count_gates = false) {
  Policy policy;
  StepWalk<Policy> walk(p, d, policy, control, cap, count_gates);
  walk.walk({});
  return policy;
}

// h(0) h(1), measure both: the leaves in the order 00, 01, 10, 11 of the
// outcomes (the outcome-0 side first, the latest split first), each path's
// codes and clbits recorded as they were taken.
TEST(StepWalk, DepthFirstWithOutcomeZeroFirst) {
  const Program p = program_of(2, {{"h", {0}}, {"h", {1}}});
  const DynamicSteps d{{gates(0, 2), measure(0, 1), measure(1, 0)}, {}, 2};
  const Everything e = walk_all<Everything>(p, d, 10);
  ASSERT_EQ(e.leaves.size(), 4u);
  const std::vector<std::vector<std::uint32_t>> paths = {{0, 0}, {0, 3}, {3, 0}, {3, 3}};
  const U clbits[] = {0b00, 0b01, 0b10, 0b11};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(e.leaves[i].path, paths[i]) << i;
    EXPECT_EQ(e.leaves[i].clbits, clbits[i]) << i;
    // The state is the basis state the outcomes name, renormalised.
    const U index = (paths[i][0] ? 1 : 0) | (paths[i][1] ? 2 : 0);
    EXPECT_NEAR(e.leaves[i].state[index].re, 1.0, 1e-15) << i;
  }
}

// Every cap from 1 (each branch replayed from the start) up gives the same
// leaves, bit for bit, in the same order.
TEST(StepWalk, ReplayPastTheCapGivesTheSameBits) {
  const Program p = program_of(3, {{"ry", {0}}, {"rx", {1}}, {"cx", {0, 2}}, {"ry", {2}}, {"cry", {1, 2}}}, 0.9);
  const DynamicSteps d{{gates(0, 3), measure(0, 0), reset(2), gates(3, 4), jump_unless(6, 1, 1), gates(4, 5),
                        measure(2, 1), measure(1, 2)},
                       {},
                       3};
  const Everything want = walk_all<Everything>(p, d, 100);
  EXPECT_EQ(want.leaves.size(), 8u);  // the reset is certain: qubit 2 copies the measured qubit 0
  for (U cap : {1, 2, 3}) {
    const Everything got = walk_all<Everything>(p, d, cap);
    ASSERT_EQ(got.leaves.size(), want.leaves.size());
    for (std::size_t i = 0; i < got.leaves.size(); ++i) {
      EXPECT_EQ(got.leaves[i].path, want.leaves[i].path);
      EXPECT_TRUE(same_state(got.leaves[i].state, want.leaves[i].state)) << "cap " << cap << " leaf " << i;
    }
  }
}

TEST(StepWalk, ChannelStepsOnlyForAPolicyThatRunsThem) {
  const Program p = program_of(1, {{"h", {0}}});
  const Step channel{StepKind::Channel, 0, 0, 0, 0};
  const DynamicSteps d{{channel, gates(0, 1), measure(0, 0)}, {}, 1};
  // Identity or X on |0>, then h and a measurement: four leaves, the channel's code first in each path.
  const WithChannels w = walk_all<WithChannels>(p, d, 1);
  ASSERT_EQ(w.leaves.size(), 4u);
  EXPECT_EQ(w.leaves[0].path, (std::vector<std::uint32_t>{0, 0}));
  EXPECT_EQ(w.leaves[3].path, (std::vector<std::uint32_t>{1, 3}));
  try {
    walk_all<Everything>(p, d, 1);
    FAIL() << "no refusal";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "invalid dynamic step 0 (kind 5): operands out of range");
  }
}

TEST(StepWalk, WeightsThatAreNotFiniteAreRefused) {
  const Program p = program_of(1, {{"rx", {0}}}, std::nan(""));
  const DynamicSteps d{{gates(0, 1), measure(0, 0)}, {}, 1};
  EXPECT_THROW(walk_all<Everything>(p, d, 4), std::invalid_argument);
}

TEST(StepWalk, LiveStateCap) {
  EXPECT_EQ(live_state_cap(0, 0, 0, 16), 1u);
  EXPECT_EQ(live_state_cap(5, 3, 0, 16), 3u);
  EXPECT_EQ(live_state_cap(2, 10, 0, 16), 3u);
  EXPECT_EQ(live_state_cap(~U{0}, 7, 0, 16), 7u);
  const U state_bytes = StateVector::bytes_for(20);
  EXPECT_EQ(live_state_cap(~U{0}, 0, 0, state_bytes), 1 + spare_states(0, state_bytes));
}

// count_gates: every gate the walk applies (replays included) is counted;
// otherwise progress is left to the engine. A cancelled control stops it.
TEST(StepWalk, ProgressAndCancel) {
  const Program p = program_of(2, {{"h", {0}}, {"h", {1}}, {"x", {0}}});
  const DynamicSteps d{{gates(0, 2), measure(0, 0), measure(1, 1), gates(2, 3)}, {}, 2};
  RunControl counted;
  walk_all<Everything>(p, d, 1, &counted, true);
  EXPECT_EQ(counted.done(), 2u + 4u + 3u * 2u);  // the prefix, each leaf's x, three replays of the prefix
  RunControl quiet;
  walk_all<Everything>(p, d, 1, &quiet, false);
  EXPECT_EQ(quiet.done(), 0u);
  EXPECT_EQ(quiet.total(), 0u);
  RunControl cancelled;
  cancelled.cancel();
  EXPECT_THROW(walk_all<Everything>(p, d, 1, &cancelled, true), RunCancelled);
}

}  // namespace
}  // namespace vorn::sim

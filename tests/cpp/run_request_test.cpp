// The dynamic and trajectory engines' options read off a RunRequest: each
// field the engine serves carried, nothing else.
#include <gtest/gtest.h>

#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/run_request.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace vorn::sim {
namespace {

const RunRequest kEveryField{.seed = 7,
                             .shots = 90,
                             .keep_shots = true,
                             .require_finite = true,
                             .fusion_qubits = 3,
                             .single_precision = true,
                             .threads = 2,
                             .max_live_states = 5,
                             .batch = 11,
                             .keep_state = true};

TEST(RunRequest, DynamicOptionsCarryTheShotRecordStateAndLiveStateCap) {
  const DynamicOptions options = dynamic_options(kEveryField);
  EXPECT_TRUE(options.keep_shots);
  EXPECT_TRUE(options.keep_state);
  EXPECT_EQ(options.max_live_states, 5u);
  const DynamicOptions plain = dynamic_options(RunRequest{});
  EXPECT_FALSE(plain.keep_shots);
  EXPECT_FALSE(plain.keep_state);
  EXPECT_EQ(plain.max_live_states, 0u);
}

TEST(RunRequest, TrajectoryOptionsCarryTheShotRecordBatchAndLiveStateCap) {
  const TrajectoryOptions options = trajectory_options(kEveryField);
  EXPECT_TRUE(options.keep_shots);
  EXPECT_EQ(options.batch, 11u);
  EXPECT_EQ(options.max_live_states, 5u);
  const TrajectoryOptions plain = trajectory_options(RunRequest{});
  EXPECT_FALSE(plain.keep_shots);
  EXPECT_EQ(plain.batch, 0u);
  EXPECT_EQ(plain.max_live_states, 0u);
}

}  // namespace
}  // namespace vorn::sim

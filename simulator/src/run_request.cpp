// The views of a RunRequest the dynamic and trajectory engines take.
#include "vorn/simulator/run_request.hpp"

#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace vorn::sim {

DynamicOptions dynamic_options(const RunRequest& request) {
  return DynamicOptions{.keep_shots = request.keep_shots,
                        .keep_state = request.keep_state,
                        .max_live_states = request.max_live_states,
                        .single_precision = request.single_precision};
}

TrajectoryOptions trajectory_options(const RunRequest& request) {
  return TrajectoryOptions{
      .keep_shots = request.keep_shots,
      .batch = request.batch,
      .max_live_states = request.max_live_states,
      .single_precision = request.single_precision};
}

}  // namespace vorn::sim

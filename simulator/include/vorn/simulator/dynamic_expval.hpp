// Exact expectation values of dynamic circuits: the average over every
// measurement outcome of the observables at the end, each outcome weighted
// by its probability. The steps are walked depth first (outcome 0 first), a
// measurement or reset following each outcome of probability above 0 with
// the collapsed, renormalised state (the branching run's weights and
// collapse), so no randomness enters and the sums over the leaves go in one
// order whatever the thread count. Final measurements change no expectation
// and are ignored. Used by the vorn package's expval for circuits that
// measure in the middle, reset or condition.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/step_walk.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// The most measurement outcomes (leaves) a walk follows when not told.
inline constexpr std::uint64_t kDefaultMaxBranches = 4096;

struct DynamicExpvalOptions {
  bool variance = false;  // the variance of each observable over the mixture too (real coefficients)
  // The most leaves the walk may reach; past it std::invalid_argument before
  // any more is simulated. 0: kDefaultMaxBranches.
  std::uint64_t max_branches = 0;
  // The most states alive at once (0: by the memory available at the
  // start); past it a branch keeps only its outcomes and is replayed from
  // the start when its turn comes: the same bits, more time.
  std::uint64_t max_live_states = 0;
};

struct DynamicExpvalResult {
  std::vector<Complex> values;   // one per observable: sum over leaves of p * <H>
  std::vector<double> variances;  // with variance: sum p (var + (<H> - mean)^2), else empty
  std::uint64_t leaves = 0;      // outcome patterns followed to the end
};

// Throws std::invalid_argument for a Channel step, steps that do not fit the
// program (validate), a state whose probabilities are not finite, or more
// leaves than the cap. With a control: cancellable between steps and gates;
// progress counts gates applied (the total growing as branches appear) and
// the leaves of each evaluation.
DynamicExpvalResult expval_dynamic(const Program& program, const DynamicSteps& dynamic,
                                   std::span<const PauliSumView> observables, RunControl* control = nullptr,
                                   const DynamicExpvalOptions& options = {});

}  // namespace vorn::sim

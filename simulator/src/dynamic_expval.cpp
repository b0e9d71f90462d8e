// Exact expectation values of dynamic circuits (see dynamic_expval.hpp):
// the split policy of the walk over the measurement outcomes
// (step_walk.hpp) that follows every outcome, each leaf's values weighted by
// the probability of its outcomes.
#include "vorn/simulator/dynamic_expval.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// One leaf's values, kept until the walk ends so that the mixture's variance
// can be formed around its mean.
struct Leaf {
  double weight = 0.0;
  std::vector<Complex> values;
  std::vector<double> variances;
};

// The split policy (step_walk.hpp): a branch carries its probability, and
// at a measurement or reset every outcome of weight above 0 is followed.
class Enumerator {
 public:
  struct Payload {
    double weight = 1.0;
  };
  using Walk = StepWalk<Enumerator>;

  Enumerator(std::span<const PauliSumView> observables, RunControl* control, bool variance, U max_leaves)
      : observables_(observables), control_(control), variance_(variance), max_leaves_(max_leaves) {}

  std::pair<double, double> outcome_weights(const StateVector& state, U qubit) const {
    return measure_weights(state, qubit);
  }

  // Outcome 0 stays (when it can happen); outcome 1 leaves with its probability.
  std::uint32_t choose(WalkBranch<Payload>& branch, const Step& step, const std::vector<double>& w, Walk& walk) {
    DefaultFpEnv fp_env;
    const double w0 = w[0], w1 = w[1], total = w0 + w1;
    const int outcome = w0 > 0.0 ? 0 : 1;
    if (w0 > 0.0 && w1 > 0.0) {
      if (++paths_ > max_leaves_) {
        throw std::invalid_argument(messages::fill(messages::kDynamicExpvalBranches, max_leaves_));
      }
      walk.split_off(branch, outcome_code(step, 1), Payload{branch.payload.weight * (w1 / total)});
    }
    branch.payload.weight = branch.payload.weight * ((outcome ? w1 : w0) / total);
    return outcome_code(step, outcome);
  }

  void finish(WalkBranch<Payload>& branch) {
    const std::span<const Complex> psi(branch.state->data(), branch.state->size());
    const ObservableOptions options{.control = control_};
    Leaf leaf{branch.payload.weight, expectation_values(psi, observables_, options), {}};
    if (variance_) {
      std::vector<double> means(leaf.values.size());
      for (std::size_t o = 0; o < means.size(); ++o) means[o] = leaf.values[o].re;
      leaf.variances = variances(psi, observables_, means, options);
    }
    leaves_.push_back(std::move(leaf));
  }

  std::vector<Leaf>& leaves() noexcept { return leaves_; }

 private:
  std::span<const PauliSumView> observables_;
  RunControl* control_;
  bool variance_;
  U max_leaves_;
  U paths_ = 1;
  std::vector<Leaf> leaves_;
};

}  // namespace

DynamicExpvalResult expval_dynamic(const Program& program, const DynamicSteps& dynamic,
                                   std::span<const PauliSumView> observables, RunControl* control,
                                   const DynamicExpvalOptions& options) {
  check_register(program);
  const U n = program.n_qubits;
  for (std::size_t s = 0; s < dynamic.steps.size(); ++s) {
    if (dynamic.steps[s].kind == StepKind::Channel) {
      throw std::invalid_argument(messages::fill(messages::kDynamicExpvalChannel, s));
    }
  }
  validate(program, dynamic);
  const U max_leaves = options.max_branches != 0 ? options.max_branches : kDefaultMaxBranches;
  const U state_bytes = StateVector::bytes_for(n);
  Program gates_only;
  gates_only.n_qubits = n;
  const U base = required_memory(gates_only, 0);
  vorn::require_run_memory(state_bytes, base);
  // States beyond the first: one per open split at most (one per collapse
  // step on a path), as many as memory allows unless capped.
  const U collapses = static_cast<U>(std::count_if(dynamic.steps.begin(), dynamic.steps.end(),
                                                   [](const Step& s) { return is_choice(s.kind); }));
  const U cap = live_state_cap(std::min(collapses, max_leaves - 1), options.max_live_states, base, state_bytes);
  Enumerator enumerator(observables, control, options.variance, max_leaves);
  StepWalk<Enumerator> walk(program, dynamic, enumerator, control, cap, true);
  walk.walk(Enumerator::Payload{});
  // The bound counted both sides of every condition: the walk is done.
  if (control != nullptr) control->set_total(control->done());
  const std::vector<Leaf>& leaves = enumerator.leaves();

  // Sums over the leaves in the walk's order (depth first, outcome 0 first).
  DefaultFpEnv fp_env;
  const std::size_t count = observables.size();
  DynamicExpvalResult result;
  result.leaves = leaves.size();
  result.values.assign(count, Complex{0.0, 0.0});
  for (const Leaf& leaf : leaves) {
    for (std::size_t o = 0; o < count; ++o) {
      result.values[o] = {result.values[o].re + leaf.weight * leaf.values[o].re,
                          result.values[o].im + leaf.weight * leaf.values[o].im};
    }
  }
  if (options.variance) {
    // sum p <H^2> - mean^2 written as sum p (var + (<H> - mean)^2): the same
    // quantity, each term >= 0, so no cancellation below 0.
    result.variances.assign(count, 0.0);
    for (const Leaf& leaf : leaves) {
      for (std::size_t o = 0; o < count; ++o) {
        const double d = leaf.values[o].re - result.values[o].re;
        result.variances[o] += leaf.weight * (leaf.variances[o] + d * d);
      }
    }
  }
  return result;
}

}  // namespace vorn::sim

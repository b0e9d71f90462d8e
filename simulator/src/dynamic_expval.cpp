// Exact expectation values of dynamic circuits (see dynamic_expval.hpp):
// a depth-first walk over the measurement outcomes, each leaf's values
// weighted by the probability of its outcomes.
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

bool is_collapse(StepKind kind) { return kind == StepKind::Measure || kind == StepKind::Reset; }

// A branch of the walk: one pattern of outcomes so far, and its probability.
struct Branch {
  std::optional<StateVector> state;  // nullopt: replayed from `path` when its turn comes
  std::size_t pc = 0;
  U clbits = 0;
  double weight = 1.0;
  std::vector<std::uint8_t> path;  // the outcome of every measurement and reset passed
  int forced = -1;                 // the outcome the step at pc takes (a split's second side)
};

// One leaf's values, kept until the walk ends so that the mixture's variance
// can be formed around its mean.
struct Leaf {
  double weight = 0.0;
  std::vector<Complex> values;
  std::vector<double> variances;
};

class Walker {
 public:
  Walker(const Program& program, const DynamicSteps& dynamic, std::span<const PauliSumView> observables,
         RunControl* control, bool variance, U max_leaves, U live_cap)
      : program_(program), dynamic_(dynamic), observables_(observables), control_(control), variance_(variance),
        max_leaves_(max_leaves), live_cap_(live_cap), after_(dynamic.steps.size() + 1, 0) {
    for (std::size_t s = dynamic.steps.size(); s-- > 0;) {
      const Step& step = dynamic.steps[s];
      after_[s] = after_[s + 1] + (step.kind == StepKind::Gates ? step.b - step.a : 0);
    }
  }

  std::vector<Leaf> walk() {
    std::vector<Branch> stack;
    Branch root;
    root.state = initial_state(program_);
    stack.push_back(std::move(root));
    live_ = 1;
    pending_gates_ = after_[0];
    while (!stack.empty()) {
      Branch branch = std::move(stack.back());
      stack.pop_back();
      pending_gates_ -= after_[branch.pc];
      publish_total(branch.pc);
      if (!branch.state) {
        branch.state = replay(branch.path, branch.pc);
        ++live_;
      }
      advance(branch, stack);
      leaves_.push_back(evaluate(*branch.state, branch.weight));
      branch.state.reset();
      --live_;
    }
    // The bound counted both sides of every condition: the walk is done.
    if (control_ != nullptr) control_->set_total(control_->done());
    return std::move(leaves_);
  }

 private:
  // Progress total: gates done, plus those the running branch (at `pc`)
  // and the waiting ones may still apply.
  void publish_total(std::size_t pc) {
    if (control_ != nullptr) control_->set_total(control_->done() + pending_gates_ + after_[pc]);
  }

  std::pair<double, double> weights(const StateVector& state, U qubit) const {
    const auto [w0, w1] = measure_weights(state, qubit);
    if (!std::isfinite(w0) || !std::isfinite(w1) || !(w0 + w1 > 0.0)) {
      throw std::invalid_argument(std::string(messages::kNotSampleable));
    }
    return {w0, w1};
  }

  void record(U& clbits, const Step& step, int outcome) const {
    if (step.kind == StepKind::Measure) clbits = (clbits & ~(U{1} << step.b)) | (U{outcome == 1} << step.b);
  }

  void advance(Branch& branch, std::vector<Branch>& stack) {
    StateVector& state = *branch.state;
    while (branch.pc < dynamic_.steps.size()) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[branch.pc];
      if (step.kind == StepKind::Gates) {
        apply_gates_step(state, program_, step, control_);
      } else if (is_collapse(step.kind)) {
        const auto [w0, w1] = weights(state, step.a);
        int outcome = branch.forced;
        branch.forced = -1;
        if (outcome < 0) {
          // Outcomes of probability 0 are not followed.
          outcome = w0 > 0.0 ? 0 : 1;
          DefaultFpEnv fp_env;
          const double total = w0 + w1;
          if (w0 > 0.0 && w1 > 0.0) split(branch, branch.weight * (w1 / total), stack);
          branch.weight = branch.weight * ((outcome ? w1 : w0) / total);
        }
        collapse_qubit(state, step.a, outcome, outcome ? w1 : w0, step.kind == StepKind::Reset);
        record(branch.clbits, step, outcome);
        branch.path.push_back(static_cast<std::uint8_t>(outcome));
      } else {
        branch.pc = step_after_jump(dynamic_, branch.pc, branch.clbits);
        continue;
      }
      ++branch.pc;
    }
  }

  // The outcome-1 side leaves with its probability `weight`, walked after
  // the outcome-0 side's whole subtree.
  void split(const Branch& branch, double weight, std::vector<Branch>& stack) {
    if (++paths_ > max_leaves_) {
      throw std::invalid_argument(messages::fill(messages::kDynamicExpvalBranches, max_leaves_));
    }
    Branch other;
    other.pc = branch.pc;
    other.clbits = branch.clbits;
    other.weight = weight;
    other.path = branch.path;
    other.forced = 1;
    // Checked before allocating: past the cap the side keeps only its path.
    if (live_ < live_cap_) {
      other.state = branch.state->copy();
      ++live_;
    }
    pending_gates_ += after_[other.pc];
    publish_total(branch.pc);
    stack.push_back(std::move(other));
  }

  // The state at step `target` of the branch whose outcomes are `path`: the
  // same operations as when the branch was first walked, so the same bits.
  StateVector replay(const std::vector<std::uint8_t>& path, std::size_t target) {
    StateVector state = initial_state(program_);
    U clbits = 0;
    std::size_t next = 0, pc = 0;
    while (pc != target) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[pc];
      if (step.kind == StepKind::Gates) {
        pending_gates_ += step.b - step.a;  // work the first walk of this branch had already counted
        publish_total(target);
        apply_gates_step(state, program_, step, control_);
        pending_gates_ -= step.b - step.a;
      } else if (is_collapse(step.kind)) {
        const int outcome = path[next++];
        const auto [w0, w1] = weights(state, step.a);
        collapse_qubit(state, step.a, outcome, outcome ? w1 : w0, step.kind == StepKind::Reset);
        record(clbits, step, outcome);
      } else {
        pc = step_after_jump(dynamic_, pc, clbits);
        continue;
      }
      ++pc;
    }
    return state;
  }

  Leaf evaluate(const StateVector& state, double weight) const {
    const std::span<const Complex> psi(state.data(), state.size());
    const ObservableOptions options{.control = control_};
    Leaf leaf{weight, expectation_values(psi, observables_, options), {}};
    if (variance_) {
      std::vector<double> means(leaf.values.size());
      for (std::size_t o = 0; o < means.size(); ++o) means[o] = leaf.values[o].re;
      leaf.variances = variances(psi, observables_, means, options);
    }
    return leaf;
  }

  const Program& program_;
  const DynamicSteps& dynamic_;
  std::span<const PauliSumView> observables_;
  RunControl* control_;
  bool variance_;
  U max_leaves_;
  U live_cap_;
  std::vector<U> after_;  // gates of steps[pc ..], both sides of every condition
  U live_ = 0;
  U paths_ = 1;
  U pending_gates_ = 0;
  std::vector<Leaf> leaves_;
};

}  // namespace

DynamicExpvalResult expval_dynamic(const Program& program, const DynamicSteps& dynamic,
                                   std::span<const PauliSumView> observables, RunControl* control,
                                   const DynamicExpvalOptions& options) {
  const U n = program.n_qubits;
  if (n == 0) vorn::fatal(std::string(messages::kZeroQubits));
  if (n > vorn::kMaxQubits) vorn::fatal(std::string(messages::kCapacityOverflow));
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
                                                   [](const Step& s) { return is_collapse(s.kind); }));
  U extra = std::min(collapses, max_leaves - 1);
  if (options.max_live_states != 0) {
    extra = std::min(extra, options.max_live_states - 1);
  } else if (extra != 0) {
    extra = std::min(extra, spare_states(base, state_bytes));
  }
  Walker walker(program, dynamic, observables, control, options.variance, max_leaves, extra + 1);
  const std::vector<Leaf> leaves = walker.walk();

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

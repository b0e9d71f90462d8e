// The branching run of dynamic circuits (see branching.hpp): the split
// policy of the walk in step_walk.hpp.
#include "vorn/simulator/branching.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// A branch carries its shots: at a measurement or reset they split between
// the outcomes by one binomial draw from the run's stream, and a branch
// whose shots all went one way goes on alone. T: the state's precision.
template <class T>
class Brancher {
 public:
  struct Payload {
    U shots = 0;
  };
  using State = BasicStateVector<T>;
  using Walk = StepWalk<Brancher, T>;

  Brancher(const DynamicSteps& dynamic, RandomStream& stream, RunControl* control, const DynamicOptions& options)
      : dynamic_(dynamic), stream_(stream), control_(control), options_(options) {}

  std::pair<double, double> outcome_weights(const State& state, U qubit) const {
    return measure_weights(state, qubit);
  }

  std::uint32_t choose(WalkBranch<Payload, T>& branch, const Step& step, const std::vector<double>& w, Walk& walk) {
    const U shots = branch.payload.shots;
    const U ones = draw_binomial(stream_, shots, w[0], w[1], control_);
    // The outcome-1 side of a split leaves with its shots; this branch keeps the zeros'.
    if (ones != 0 && ones != shots) {
      walk.split_off(branch, outcome_code(step, 1), Payload{ones});
      branch.payload.shots -= ones;
      return outcome_code(step, 0);
    }
    return outcome_code(step, ones == shots ? 1 : 0);
  }

  void finish(WalkBranch<Payload, T>& branch) {
    const U shots = branch.payload.shots;
    if (dynamic_.final_measures.empty()) {
      tally_[branch.clbits] += shots;
      if (options_.keep_shots) shot_values_.insert(shot_values_.end(), shots, branch.clbits);
    } else {
      const State& state = *branch.state;
      if (!all_probabilities_finite(state)) throw std::invalid_argument(std::string(messages::kNotSampleable));
      if (options_.keep_shots) {
        const ShotRecord record = sample_shots(state, stream_, shots, control_);
        for (U outcome : record.outcomes) shot_values_.push_back(with_final(branch.clbits, outcome));
        for (const auto& [outcome, count] : record.tally) tally_[with_final(branch.clbits, outcome)] += count;
      } else {
        for (const auto& [outcome, count] : sample_tally(state, stream_, shots, control_)) {
          tally_[with_final(branch.clbits, outcome)] += count;
        }
      }
    }
    if (options_.keep_state) kept_state_ = std::move(branch.state);
  }

  BasicDynamicResult<T> result() {
    BasicDynamicResult<T> result;
    result.tally.assign(tally_.begin(), tally_.end());
    if (options_.keep_shots) {
      // Shot order is a seeded permutation (Fisher-Yates), not branch order.
      for (std::size_t i = shot_values_.size(); i > 1; --i) {
        std::swap(shot_values_[i - 1], shot_values_[draw_below(stream_, i)]);
      }
      result.shots = std::move(shot_values_);
    }
    result.state = std::move(kept_state_);
    return result;
  }

 private:
  U with_final(U clbits, U outcome) const {
    for (const auto& [qubit, clbit] : dynamic_.final_measures) {
      clbits = (clbits & ~(U{1} << clbit)) | (((outcome >> qubit) & 1) << clbit);
    }
    return clbits;
  }

  const DynamicSteps& dynamic_;
  RandomStream& stream_;
  RunControl* control_;
  const DynamicOptions& options_;
  std::map<U, U> tally_;
  std::vector<U> shot_values_;
  std::optional<State> kept_state_;
};

// Branch states beyond the first that a run can hold at once: one per
// pending split, at most one per collapse step on a path and per extra shot.
U extra_states(const DynamicSteps& dynamic, U shots) {
  const U steps = static_cast<U>(std::count_if(dynamic.steps.begin(), dynamic.steps.end(), [](const Step& s) {
    return s.kind == StepKind::Measure || s.kind == StepKind::Reset;
  }));
  return shots == 0 ? 0 : std::min(steps, shots - 1);
}

U saturating_add(U a, U b) { return b > ~U{0} - a ? ~U{0} : a + b; }

U saturating_mul(U a, U b) { return a != 0 && b > ~U{0} / a ? ~U{0} : a * b; }

}  // namespace

std::uint64_t dynamic_required_memory(const Program& program, const DynamicSteps& dynamic, std::uint64_t shots,
                                      const DynamicOptions& options, bool base) {
  const U n = program.n_qubits;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  // One state, the gather buffers (the gates' own figure, nothing sampled).
  Program gates_only;
  gates_only.n_qubits = n;
  U bytes = required_memory(gates_only, RunRequest{.shots = shots, .single_precision = options.single_precision});
  if (shots >= 1 && !dynamic.final_measures.empty()) bytes = saturating_add(bytes, sampling_bytes(n, shots));
  if (options.keep_shots) bytes = saturating_add(bytes, saturating_mul(shots, sizeof(U)));
  const U state_bytes = options.single_precision ? SingleStateVector::bytes_for(n) : StateVector::bytes_for(n);
  if (!base) bytes = saturating_add(bytes, saturating_mul(extra_states(dynamic, shots), state_bytes));
  return bytes;
}

namespace {

// run_dynamic's checks, stream and walk, for either precision (the gates
// already rounded for float).
template <class T>
BasicDynamicResult<T> run_checked(const Program& program, const DynamicSteps& dynamic,
                                  std::optional<std::uint64_t> seed, std::uint64_t shots, RunControl* control,
                                  const DynamicOptions& options) {
  check_register(program);
  validate(program, dynamic);
  const U state_bytes = BasicStateVector<T>::bytes_for(program.n_qubits);
  DynamicOptions sized = options;
  sized.single_precision = std::is_same_v<T, float>;
  const U base = dynamic_required_memory(program, dynamic, shots, sized, true);
  vorn::require_run_memory(state_bytes, base);
  RandomStream stream = seed ? RandomStream::from_seed_value(*seed) : RandomStream::from_entropy();
  if (shots == 0) return {};

  // Branch states beyond the first: what the memory allows (spare_states),
  // unless a cap was given. The results do not depend on it.
  const U cap = live_state_cap(extra_states(dynamic, shots), options.max_live_states, base, state_bytes);
  Brancher<T> brancher(dynamic, stream, control, options);
  StepWalk<Brancher<T>, T> walk(program, dynamic, brancher, control, cap, true);
  walk.walk(typename Brancher<T>::Payload{shots});
  return brancher.result();
}

}  // namespace

DynamicResult run_dynamic(const Program& program, const DynamicSteps& dynamic, std::optional<std::uint64_t> seed,
                          std::uint64_t shots, RunControl* control, const DynamicOptions& options) {
  return run_checked<double>(program, dynamic, seed, shots, control, options);
}

SingleDynamicResult run_dynamic_single(const Program& program, const DynamicSteps& dynamic,
                                       std::optional<std::uint64_t> seed, std::uint64_t shots, RunControl* control,
                                       const DynamicOptions& options) {
  Program rounded = program;
  round_to_single(rounded.gates);
  return run_checked<float>(rounded, dynamic, seed, shots, control, options);
}

std::uint64_t draw_binomial(RandomStream& stream, std::uint64_t n, double w0, double w1, const RunControl* control) {
  if (w1 == 0.0 || n == 0) return 0;
  if (w0 == 0.0) return n;
  DefaultFpEnv fp_env;
  // Count the less likely outcome: its weights fall off on both sides of
  // the mode within a few standard deviations.
  const bool count_zeros = w1 > w0;
  const double a = count_zeros ? w1 : w0;  // weight of the outcome not counted
  const double b = count_zeros ? w0 : w1;  // weight of the counted outcome
  const double p = b / (a + b);
  const double ratio = b / a;  // p / (1 - p)
  const double nd = static_cast<double>(n);
  double mode_d = std::floor((nd + 1.0) * p);
  U mode = mode_d >= nd ? n : static_cast<U>(mode_d);
  // Weights relative to the mode's 1, by the pmf's ratios: right
  // w(k+1) = w(k) (n-k)/(k+1) p/q, left w(k-1) = w(k) k/(n-k+1) q/p. A side
  // ends where a weight drops under 2^-80 (the mode's share of the total is
  // at least 1/(n+1), so what is left out is far below a double's resolution).
  constexpr double kNegligible = 0x1p-80;
  constexpr U kCheckEvery = U{1} << 20;
  // visit(k, w) for the mode, then rightwards, then leftwards; stops early when visit returns true.
  auto walk = [&](auto&& visit) -> bool {
    if (visit(mode, 1.0)) return true;
    double w = 1.0;
    for (U k = mode; k < n;) {
      w = w * (static_cast<double>(n - k) / static_cast<double>(k + 1)) * ratio;
      ++k;
      if (w < kNegligible) break;
      if (visit(k, w)) return true;
      if (control != nullptr && k % kCheckEvery == 0) control->check();
    }
    w = 1.0;
    for (U k = mode; k > 0;) {
      w = w * (static_cast<double>(k) / static_cast<double>(n - k + 1)) / ratio;
      --k;
      if (w < kNegligible) break;
      if (visit(k, w)) return true;
      if (control != nullptr && k % kCheckEvery == 0) control->check();
    }
    return false;
  };
  double total = 0.0;
  walk([&](U, double w) {
    total += w;
    return false;
  });
  const double target = stream.draw_unit_double() * total;
  double sum = 0.0;
  U drawn = mode;
  walk([&](U k, double w) {
    sum += w;
    drawn = k;  // the last one visited when rounding leaves the target unreached
    return target < sum;
  });
  return count_zeros ? n - drawn : drawn;
}

std::uint64_t draw_below(RandomStream& stream, std::uint64_t bound) {
  // Rejects the top partial copy of [0, bound) so every residue is equally likely.
  const U limit = ~U{0} - (~U{0} % bound + 1) % bound;
  for (;;) {
    const U v = stream.draw_u64();
    if (v <= limit) return v % bound;
  }
}

}  // namespace vorn::sim

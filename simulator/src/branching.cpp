// The branching run of dynamic circuits (see branching.hpp).
#include "vorn/simulator/branching.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

[[noreturn]] void invalid(std::string text) { throw std::invalid_argument(std::move(text)); }

bool is_collapse(StepKind kind) { return kind == StepKind::Measure || kind == StepKind::Reset; }

// Gates of steps[pc ..] (both sides of every condition: an upper bound).
std::vector<U> gates_after(const DynamicSteps& dynamic) {
  std::vector<U> after(dynamic.steps.size() + 1, 0);
  for (std::size_t s = dynamic.steps.size(); s-- > 0;) {
    const Step& step = dynamic.steps[s];
    after[s] = after[s + 1] + (step.kind == StepKind::Gates ? step.b - step.a : 0);
  }
  return after;
}

struct Branch {
  std::optional<StateVector> state;  // nullopt: to be recomputed from `path`
  U shots = 0;
  U clbits = 0;
  std::size_t pc = 0;
  std::vector<std::uint8_t> path;  // the outcome of every measurement and reset passed
  int forced = -1;                 // the outcome the step at pc must take (a split's second side)
};

class Runner {
 public:
  Runner(const Program& program, const DynamicSteps& dynamic, RandomStream& stream, RunControl* control,
         const DynamicOptions& options, U live_cap)
      : program_(program), dynamic_(dynamic), stream_(stream), control_(control), options_(options),
        live_cap_(live_cap), after_(gates_after(dynamic)) {}

  DynamicResult run(U shots) {
    std::vector<Branch> stack;
    Branch root;
    root.state = fresh_state();
    root.shots = shots;
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
      finish(branch);
      branch.state.reset();
      --live_;
    }
    DynamicResult result;
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
  StateVector fresh_state() const { return initial_state(program_); }

  // Progress total: gates done, plus those the running branch (at `pc`)
  // and the waiting ones may still apply.
  void publish_total(std::size_t pc) {
    if (control_ != nullptr) control_->set_total(control_->done() + pending_gates_ + after_[pc]);
  }

  void apply(StateVector& state, const Step& step) { apply_gates_step(state, program_, step, control_); }

  // The classical steps: the next step a branch with these clbits takes.
  std::size_t jump(std::size_t pc, U clbits) const { return step_after_jump(dynamic_, pc, clbits); }

  std::pair<double, double> weights(const StateVector& state, U qubit) const {
    const auto [w0, w1] = measure_weights(state, qubit);
    if (!std::isfinite(w0) || !std::isfinite(w1) || !(w0 + w1 > 0.0)) {
      throw std::invalid_argument(std::string(messages::kNotSampleable));
    }
    return {w0, w1};
  }

  // The state at step `target` of the branch whose outcomes are `path`: the
  // same operations as when the branch was first run, so the same bits.
  StateVector replay(const std::vector<std::uint8_t>& path, std::size_t target) {
    StateVector state = fresh_state();
    U clbits = 0;
    std::size_t next = 0;
    std::size_t pc = 0;
    while (pc != target) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[pc];
      if (step.kind == StepKind::Gates) {
        pending_gates_ += step.b - step.a;  // work the first run of this branch had already counted
        publish_total(target);
        apply(state, step);
        pending_gates_ -= step.b - step.a;
      } else if (is_collapse(step.kind)) {
        const int outcome = path[next++];
        const auto w = weights(state, step.a);
        collapse_qubit(state, step.a, outcome, outcome ? w.second : w.first, step.kind == StepKind::Reset);
        if (step.kind == StepKind::Measure) {
          clbits = (clbits & ~(U{1} << step.b)) | (static_cast<U>(outcome) << step.b);
        }
      } else {
        pc = jump(pc, clbits);
        continue;
      }
      ++pc;
    }
    return state;
  }

  void advance(Branch& branch, std::vector<Branch>& stack) {
    StateVector& state = *branch.state;
    while (branch.pc < dynamic_.steps.size()) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[branch.pc];
      if (step.kind == StepKind::Gates) {
        apply(state, step);
      } else if (is_collapse(step.kind)) {
        const auto [w0, w1] = weights(state, step.a);
        int outcome = branch.forced;
        branch.forced = -1;
        if (outcome < 0) {
          const U ones = draw_binomial(stream_, branch.shots, w0, w1, control_);
          // Decided before a split, which leaves this branch the zeros' count.
          outcome = ones == branch.shots ? 1 : 0;
          if (ones != 0 && ones != branch.shots) split(branch, ones, stack);
        }
        collapse_qubit(state, step.a, outcome, outcome ? w1 : w0, step.kind == StepKind::Reset);
        if (step.kind == StepKind::Measure) {
          branch.clbits = (branch.clbits & ~(U{1} << step.b)) | (U{static_cast<unsigned>(outcome)} << step.b);
        }
        branch.path.push_back(static_cast<std::uint8_t>(outcome));
      } else {
        branch.pc = jump(branch.pc, branch.clbits);
        continue;
      }
      ++branch.pc;
    }
  }

  // The outcome-1 side of a split leaves with `ones` shots; this branch keeps the rest.
  void split(Branch& branch, U ones, std::vector<Branch>& stack) {
    Branch other;
    other.shots = ones;
    other.clbits = branch.clbits;
    other.pc = branch.pc;
    other.path = branch.path;
    other.forced = 1;
    // Checked before allocating: past the cap the side keeps only its path.
    if (live_ < live_cap_) {
      other.state = branch.state->copy();
      ++live_;
    }
    branch.shots -= ones;
    pending_gates_ += after_[other.pc];
    publish_total(branch.pc);
    stack.push_back(std::move(other));
  }

  U with_final(U clbits, U outcome) const {
    for (const auto& [qubit, clbit] : dynamic_.final_measures) {
      clbits = (clbits & ~(U{1} << clbit)) | (((outcome >> qubit) & 1) << clbit);
    }
    return clbits;
  }

  void finish(Branch& branch) {
    const U shots = branch.shots;
    if (dynamic_.final_measures.empty()) {
      tally_[branch.clbits] += shots;
      if (options_.keep_shots) shot_values_.insert(shot_values_.end(), shots, branch.clbits);
    } else {
      const StateVector& state = *branch.state;
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

  const Program& program_;
  const DynamicSteps& dynamic_;
  RandomStream& stream_;
  RunControl* control_;
  const DynamicOptions& options_;
  U live_cap_;
  std::vector<U> after_;
  U live_ = 0;
  U pending_gates_ = 0;  // gates the waiting branches may still apply
  std::map<U, U> tally_;
  std::vector<U> shot_values_;
  std::optional<StateVector> kept_state_;
};

// Measurements and resets a shot can pass (each can split its branch once).
U collapse_steps(const DynamicSteps& dynamic) {
  return static_cast<U>(std::count_if(dynamic.steps.begin(), dynamic.steps.end(),
                                      [](const Step& s) { return is_collapse(s.kind); }));
}

// Branch states beyond the first that a run can hold at once: one per
// pending split, at most one per collapse step on a path and per extra shot.
U extra_states(const DynamicSteps& dynamic, U shots) {
  const U steps = collapse_steps(dynamic);
  return shots == 0 ? 0 : std::min(steps, shots - 1);
}

U saturating_add(U a, U b) { return b > ~U{0} - a ? ~U{0} : a + b; }

U saturating_mul(U a, U b) { return a != 0 && b > ~U{0} / a ? ~U{0} : a * b; }

}  // namespace

// A lane skips the other half's items, which would add +0.0 and change nothing.
std::pair<double, double> measure_weights(const StateVector& state, std::uint64_t qubit) {
  const Complex* amp = state.data();
  const U bit = U{1} << qubit;
  auto leaf = [&](U first, U count, double* out) {
    double lanes0[kReduceLanes] = {};
    double lanes1[kReduceLanes] = {};
    for (U i = 0; i < count; ++i) {
      const U index = first + i;
      const double t = norm2(amp[index]);
      if (index & bit) {
        lanes1[i % kReduceLanes] += t;
      } else {
        lanes0[i % kReduceLanes] += t;
      }
    }
    out[0] = combine_lanes(lanes0);
    out[1] = combine_lanes(lanes1);
  };
  double sums[2];
  reduce_sum(state.size(), 2, leaf, sums);
  return {sums[0], sums[1]};
}

void collapse_qubit(StateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset) {
  DefaultFpEnv fp_env;
  const double scale = 1.0 / std::sqrt(weight);
  Complex* amp = state.data();
  const U bit = U{1} << qubit;
  const U low = bit - 1;
  auto body = [&](U begin, U end) {
    for (U p = begin; p < end; ++p) {
      const U i0 = ((p & ~low) << 1) | (p & low);
      const U i1 = i0 | bit;
      const Complex kept = outcome == 0 ? amp[i0] : amp[i1];
      const Complex scaled{kept.re * scale, kept.im * scale};
      if (outcome == 1 && !reset) {
        amp[i1] = scaled;
        amp[i0] = Complex{0.0, 0.0};
      } else {
        amp[i0] = scaled;
        amp[i1] = Complex{0.0, 0.0};
      }
    }
  };
  parallel_for(state.size() >> 1, U{1} << 12, body);
}

StateVector initial_state(const Program& program) {
  StateVector state = StateVector::create(program.n_qubits);
  if (program.global_phase != 0.0) {
    DefaultFpEnv fp_env;
    state[0] = Complex{std::cos(program.global_phase), std::sin(program.global_phase)};
  }
  return state;
}

std::size_t step_after_jump(const DynamicSteps& dynamic, std::size_t pc, std::uint64_t clbits) {
  const Step& step = dynamic.steps[pc];
  if (step.kind == StepKind::Jump) return step.a;
  return (clbits & step.mask) == step.value ? pc + 1 : step.a;
}

void apply_gates_step(StateVector& state, const Program& program, const Step& step, RunControl* control) {
  const std::span<const CompiledGate> gates(program.gates.data() + step.a, step.b - step.a);
  apply_gates(state, gates, BlockingParams{}, control);
}

void validate(const Program& program, const DynamicSteps& dynamic) {
  const U n = program.n_qubits;
  if (dynamic.n_clbits > kMaxDynamicClbits) {
    invalid(messages::fill(messages::kDynamicClbits, dynamic.n_clbits, kMaxDynamicClbits));
  }
  const U clbit_mask = lowest_bits(dynamic.n_clbits);
  const std::size_t count = dynamic.steps.size();
  for (std::size_t s = 0; s < count; ++s) {
    const Step& step = dynamic.steps[s];
    bool ok = true;
    switch (step.kind) {
      case StepKind::Gates:
        ok = step.a <= step.b && step.b <= program.gates.size();
        break;
      case StepKind::Measure:
        ok = step.a < n && step.b < dynamic.n_clbits;
        break;
      case StepKind::Reset:
        ok = step.a < n;
        break;
      case StepKind::JumpUnless:
        ok = (step.mask & ~clbit_mask) == 0 && (step.value & ~step.mask) == 0 && step.a > s && step.a <= count;
        break;
      case StepKind::Jump:
        ok = step.a > s && step.a <= count;
        break;
      default:
        ok = false;
    }
    if (!ok) invalid(messages::fill(messages::kInvalidStep, s, static_cast<unsigned>(step.kind)));
  }
  for (const auto& [qubit, clbit] : dynamic.final_measures) {
    if (qubit >= n || clbit >= dynamic.n_clbits) invalid(messages::fill(messages::kInvalidFinalMeasure, qubit, clbit));
  }
}

std::uint64_t dynamic_required_memory(const Program& program, const DynamicSteps& dynamic, std::uint64_t shots,
                                      const DynamicOptions& options, bool base) {
  const U n = program.n_qubits;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  // One state, the gather buffers (the gates' own figure, nothing sampled).
  Program gates_only;
  gates_only.n_qubits = n;
  U bytes = required_memory(gates_only, shots);
  if (shots >= 1 && !dynamic.final_measures.empty()) bytes = saturating_add(bytes, sampling_bytes(n, shots));
  if (options.keep_shots) bytes = saturating_add(bytes, saturating_mul(shots, sizeof(U)));
  if (!base) bytes = saturating_add(bytes, saturating_mul(extra_states(dynamic, shots), StateVector::bytes_for(n)));
  return bytes;
}

DynamicResult run_dynamic(const Program& program, const DynamicSteps& dynamic, std::optional<std::uint64_t> seed,
                          std::uint64_t shots, RunControl* control, const DynamicOptions& options) {
  const U n = program.n_qubits;
  if (n == 0) vorn::fatal(std::string(messages::kZeroQubits));
  if (n > vorn::kMaxQubits) vorn::fatal(std::string(messages::kCapacityOverflow));
  validate(program, dynamic);
  const U state_bytes = StateVector::bytes_for(n);
  const U base = dynamic_required_memory(program, dynamic, shots, options, true);
  vorn::require_run_memory(state_bytes, base);
  RandomStream stream = seed ? RandomStream::from_seed_value(*seed) : RandomStream::from_entropy();
  if (shots == 0) return {};

  // Branch states beyond the first: what the memory allows (spare_states),
  // unless a cap was given. The results do not depend on it.
  U extra = extra_states(dynamic, shots);
  if (options.max_live_states != 0) {
    extra = std::min(extra, options.max_live_states - 1);
  } else if (extra != 0) {
    extra = std::min(extra, spare_states(base, state_bytes));
  }
  Runner runner(program, dynamic, stream, control, options, extra + 1);
  return runner.run(shots);
}

std::uint64_t spare_states(std::uint64_t base, std::uint64_t state_bytes) {
  U room = std::numeric_limits<U>::max();
  if (const auto available = vorn::available_memory_bytes()) room = std::min(room, *available);
  if (const auto address = vorn::address_space_room()) room = std::min(room, *address);
  const U spare = room > base ? (room - base) / 2 : 0;
  return spare / state_bytes;
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

// The one layer every engine of dynamic programs runs on: the steps
// (gates, measurements, resets, conditions, noise channels), the start
// state, one collapse, and one depth-first walk over the branches a program
// splits into, with a cap on the states alive at once (a branch past it
// keeps only its choices and is replayed from the start when its turn
// comes: the same operations, so the same bits). An engine adds only its
// split policy: which choice a branch takes at a measurement, reset or
// channel, which branches leave it there, and what happens at a leaf. The
// branching run (branching.hpp), the noisy trajectories (trajectories.hpp)
// and the exact expectation values (dynamic_expval.hpp) are such policies.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

enum class StepKind : std::uint8_t {
  Gates,       // program.gates[a .. b) in order
  Measure,     // qubit a into clbit b (the state collapses)
  Reset,       // qubit a to |0>: measured, then flipped when 1; no clbit written
  JumpUnless,  // to step a unless (clbits & mask) == value
  Jump,        // to step a
  Channel,     // noise channel a (trajectories.hpp's runs only; the other engines refuse it)
};

// One step of a dynamic program. Jumps only go forward, so a run passes
// every step at most once.
struct Step {
  StepKind kind = StepKind::Gates;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::uint64_t mask = 0;
  std::uint64_t value = 0;
};

// What a dynamic run executes besides the program's gates.
struct DynamicSteps {
  std::vector<Step> steps;
  // (qubit, clbit) in circuit order: measurements nothing acts on afterwards,
  // drawn from each branch's final state as a run draws its final
  // measurements (a later pair writing the same clbit wins).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> final_measures;
  std::uint64_t n_clbits = 0;  // at most 64: clbit c is bit c of a shot's value
};

inline constexpr std::uint64_t kMaxDynamicClbits = 64;

// Throws std::invalid_argument naming the first step, final measurement or
// count that does not fit the program (Channel steps included: only the
// noisy run, which checks them against its channels, takes them).
void validate(const Program& program, const DynamicSteps& dynamic);

// The register every walk needs: 1 to kMaxQubits qubits (FatalError otherwise).
void check_register(const Program& program);

// Each piece below comes in both precisions: T = float runs a complex64
// state (run_single_program's conventions: the program's gates rounded to
// float once, up front, by round_to_single; weights summed in double from
// the float amplitudes).

// The start state: |0...0> times e^(i global phase) (cos and sin rounded to T).
template <class T = double>
BasicStateVector<T> initial_state(const Program& program);
// The step a Jump or JumpUnless at pc leads a branch with these clbits to.
std::size_t step_after_jump(const DynamicSteps& dynamic, std::size_t pc, std::uint64_t clbits);
// A Gates step's gates applied in order (counted and cancellable with a control).
void apply_gates_step(StateVector& state, const Program& program, const Step& step, RunControl* control = nullptr);
void apply_gates_step(SingleStateVector& state, const Program& program, const Step& step,
                      RunControl* control = nullptr);

// Weights of outcomes 0 and 1 of `qubit`: the sums of |amplitude|^2 over the
// indices with the bit 0 and 1, each by the fixed reduction tree.
std::pair<double, double> measure_weights(const StateVector& state, std::uint64_t qubit);
std::pair<double, double> measure_weights(const SingleStateVector& state, std::uint64_t qubit);
// The collapse: keeps the part of the state where `qubit` reads `outcome`,
// scaled by 1/sqrt(weight); with `reset` that part moves to the qubit's |0>
// half. (A float amplitude is scaled in double and rounded once.)
void collapse_qubit(StateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset);
void collapse_qubit(SingleStateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset);

// Extra states a run whose own needs are `base` bytes may keep: as many as
// half the room left after the base allows (the rest stays for the
// allocator and the process). Results never depend on it.
std::uint64_t spare_states(std::uint64_t base, std::uint64_t state_bytes);

// The most states a walk keeps alive at once: one, plus at most `wanted`
// more, and no more than max_live_states in all when it is given (else what
// spare_states allows).
std::uint64_t live_state_cap(std::uint64_t wanted, std::uint64_t max_live_states, std::uint64_t base,
                             std::uint64_t state_bytes);

// Steps at which a branch takes one of several choices.
inline bool is_choice(StepKind kind) {
  return kind == StepKind::Measure || kind == StepKind::Reset || kind == StepKind::Channel;
}

// A choice's code: a Channel's operator, a Reset's outcome, a Measure's
// 2 * outcome + the bit it records (which a readout error may flip).
inline int outcome_of(const Step& step, std::uint32_t code) {
  return static_cast<int>(step.kind == StepKind::Measure ? code >> 1 : code);
}
// The code of a measurement or reset outcome recorded as it is.
inline std::uint32_t outcome_code(const Step& step, int outcome) {
  return static_cast<std::uint32_t>(step.kind == StepKind::Measure ? 3 * outcome : outcome);
}

// A branch of a walk: one pattern of choices so far, and the policy's own data.
template <class Payload, class T = double>
struct WalkBranch {
  std::optional<BasicStateVector<T>> state;  // nullopt: replayed from `path` when its turn comes
  std::size_t pc = 0;
  std::uint64_t clbits = 0;
  std::vector<std::uint32_t> path;  // the code of every choice step passed
  std::int64_t forced = -1;         // the code the step at pc takes (a branch split off there)
  Payload payload{};
};

// The walk, on states of precision T. Policy provides (State: BasicStateVector<T>):
//   using Payload = ...;  (what a branch carries: shots, trajectories, a probability)
//   std::pair<double, double> outcome_weights(const State&, std::uint64_t qubit);
//   std::uint32_t choose(WalkBranch<Payload, T>&, const Step&, const std::vector<double>& weights, StepWalk&);
//     the code this branch takes at a choice step it was not sent down; it may
//     send others down other codes with split_off first
//   void finish(WalkBranch<Payload, T>&);  a leaf (it may take the state)
// and, to run Channel steps:
//   std::vector<double> channel_weights(const State&, const Step&);
//   void apply_channel(State&, const Step&, std::uint32_t code, const std::vector<double>& weights);
// Branches are walked depth first: a branch runs to its leaf, then the
// branch split off last is taken up, so a policy that draws from one
// stream reads it in one order however the walk is capped or threaded.
template <class Policy, class T = double>
class StepWalk {
 public:
  using Payload = typename Policy::Payload;
  using State = BasicStateVector<T>;
  using Branch = WalkBranch<Payload, T>;

  // count_gates: progress counts the gates applied, the total growing as
  // branches appear; otherwise the control is only checked.
  StepWalk(const Program& program, const DynamicSteps& dynamic, Policy& policy, RunControl* control,
           std::uint64_t live_cap, bool count_gates)
      : program_(program), dynamic_(dynamic), policy_(policy), control_(control), live_cap_(live_cap),
        count_gates_(count_gates), after_(dynamic.steps.size() + 1, 0) {
    for (std::size_t s = dynamic.steps.size(); s-- > 0;) {
      const Step& step = dynamic.steps[s];
      after_[s] = after_[s + 1] + (step.kind == StepKind::Gates ? step.b - step.a : 0);
    }
  }

  void walk(Payload root_payload) {
    Branch root;
    root.state = initial_state<T>(program_);
    root.payload = std::move(root_payload);
    stack_.push_back(std::move(root));
    live_ = 1;
    pending_gates_ = after_[0];
    while (!stack_.empty()) {
      Branch branch = std::move(stack_.back());
      stack_.pop_back();
      pending_gates_ -= after_[branch.pc];
      publish_total(branch.pc);
      if (!branch.state) {
        branch.state = replay(branch.path, branch.pc);
        ++live_;
      }
      advance(branch);
      policy_.finish(branch);
      branch.state.reset();
      --live_;
    }
  }

  // From the policy's choose: a branch that leaves `from` at its step with
  // `code`, taken up after `from` ends. It gets a copy of the state while
  // the cap allows (checked before allocating), else only its path.
  void split_off(const Branch& from, std::uint32_t code, Payload payload) {
    Branch other;
    other.pc = from.pc;
    other.clbits = from.clbits;
    other.path = from.path;
    other.forced = code;
    other.payload = std::move(payload);
    if (live_ < live_cap_) {
      other.state = from.state->copy();
      ++live_;
    }
    pending_gates_ += after_[other.pc];
    publish_total(from.pc);
    stack_.push_back(std::move(other));
  }

 private:
  // Progress total: gates done, plus those the running branch (at `pc`)
  // and the waiting ones may still apply (both sides of every condition).
  void publish_total(std::size_t pc) {
    if (count_gates_ && control_ != nullptr) control_->set_total(control_->done() + pending_gates_ + after_[pc]);
  }

  void apply_gates(State& state, const Step& step) {
    apply_gates_step(state, program_, step, count_gates_ ? control_ : nullptr);
  }

  // The weights of a choice step's outcomes or operators at this state;
  // refused unless they add up to a finite, positive total.
  // (validate keeps Channel steps from a policy that does not run them.)
  std::vector<double> weights(const State& state, const Step& step, std::size_t pc) {
    std::vector<double> w;
    if (step.kind == StepKind::Channel) {
      if constexpr (requires { policy_.channel_weights(state, step); }) {
        w = policy_.channel_weights(state, step);
      } else {
        throw std::invalid_argument(messages::fill(messages::kInvalidStep, pc, static_cast<unsigned>(step.kind)));
      }
    } else {
      const auto [w0, w1] = policy_.outcome_weights(state, step.a);
      w = {w0, w1};
    }
    double total = 0.0;
    for (double x : w) total += x;
    if (!std::isfinite(total) || !(total > 0.0)) throw std::invalid_argument(std::string(messages::kNotSampleable));
    return w;
  }

  void apply_choice(State& state, const Step& step, std::uint32_t code, const std::vector<double>& w,
                    std::uint64_t& clbits) {
    if (step.kind == StepKind::Channel) {
      if constexpr (requires { policy_.apply_channel(state, step, code, w); }) policy_.apply_channel(state, step, code, w);
      return;
    }
    const int outcome = outcome_of(step, code);
    collapse_qubit(state, step.a, outcome, w[static_cast<std::size_t>(outcome)], step.kind == StepKind::Reset);
    if (step.kind == StepKind::Measure) {
      clbits = (clbits & ~(std::uint64_t{1} << step.b)) | (std::uint64_t{code & 1u} << step.b);
    }
  }

  void advance(Branch& branch) {
    State& state = *branch.state;
    while (branch.pc < dynamic_.steps.size()) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[branch.pc];
      if (step.kind == StepKind::Gates) {
        apply_gates(state, step);
      } else if (!is_choice(step.kind)) {
        branch.pc = step_after_jump(dynamic_, branch.pc, branch.clbits);
        continue;
      } else {
        const std::vector<double> w = weights(state, step, branch.pc);
        std::uint32_t code = 0;
        if (branch.forced >= 0) {
          code = static_cast<std::uint32_t>(branch.forced);
          branch.forced = -1;
        } else {
          code = policy_.choose(branch, step, w, *this);
        }
        apply_choice(state, step, code, w, branch.clbits);
        branch.path.push_back(code);
      }
      ++branch.pc;
    }
  }

  // The state at step `target` of the branch whose codes are `path`.
  State replay(const std::vector<std::uint32_t>& path, std::size_t target) {
    State state = initial_state<T>(program_);
    std::uint64_t clbits = 0;
    std::size_t next = 0, pc = 0;
    while (pc != target) {
      if (control_ != nullptr) control_->check();
      const Step& step = dynamic_.steps[pc];
      if (step.kind == StepKind::Gates) {
        pending_gates_ += step.b - step.a;  // work the first walk of this branch had already counted
        publish_total(target);
        apply_gates(state, step);
        pending_gates_ -= step.b - step.a;
      } else if (!is_choice(step.kind)) {
        pc = step_after_jump(dynamic_, pc, clbits);
        continue;
      } else {
        apply_choice(state, step, path[next++], weights(state, step, pc), clbits);
      }
      ++pc;
    }
    return state;
  }

  const Program& program_;
  const DynamicSteps& dynamic_;
  Policy& policy_;
  RunControl* control_;
  std::uint64_t live_cap_;
  bool count_gates_;
  std::vector<std::uint64_t> after_;  // gates of steps[pc ..], both sides of every condition
  std::vector<Branch> stack_;
  std::uint64_t live_ = 0;
  std::uint64_t pending_gates_ = 0;  // gates the waiting branches may still apply
};

}  // namespace vorn::sim

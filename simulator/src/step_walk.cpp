// The layer every engine of dynamic programs shares (see step_walk.hpp).
#include "vorn/simulator/step_walk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

[[noreturn]] void invalid(std::string text) { throw std::invalid_argument(std::move(text)); }

}  // namespace

void check_register(const Program& program) {
  if (program.n_qubits == 0) vorn::fatal(std::string(messages::kZeroQubits));
  if (program.n_qubits > vorn::kMaxQubits) vorn::fatal(std::string(messages::kCapacityOverflow));
}

template <class T>
BasicStateVector<T> initial_state(const Program& program) {
  BasicStateVector<T> state = BasicStateVector<T>::create(program.n_qubits);
  if (program.global_phase != 0.0) {
    DefaultFpEnv fp_env;
    state[0] = BasicComplex<T>{static_cast<T>(std::cos(program.global_phase)),
                               static_cast<T>(std::sin(program.global_phase))};
  }
  return state;
}
template StateVector initial_state<double>(const Program&);
template SingleStateVector initial_state<float>(const Program&);

std::size_t step_after_jump(const DynamicSteps& dynamic, std::size_t pc, std::uint64_t clbits) {
  const Step& step = dynamic.steps[pc];
  if (step.kind == StepKind::Jump) return step.a;
  return (clbits & step.mask) == step.value ? pc + 1 : step.a;
}

void apply_gates_step(StateVector& state, const Program& program, const Step& step, RunControl* control) {
  const std::span<const CompiledGate> gates(program.gates.data() + step.a, step.b - step.a);
  apply_gates(state, gates, BlockingParams{}, control);
}

void apply_gates_step(SingleStateVector& state, const Program& program, const Step& step, RunControl* control) {
  const std::span<const CompiledGate> gates(program.gates.data() + step.a, step.b - step.a);
  apply_gates(state, gates, single_precision_blocking(), control);
}

namespace {

// A lane skips the other half's items, which would add +0.0 and change nothing.
template <class T>
std::pair<double, double> half_weights(const BasicStateVector<T>& state, std::uint64_t qubit) {
  const BasicComplex<T>* amp = state.data();
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

template <class T>
void collapse(BasicStateVector<T>& state, std::uint64_t qubit, int outcome, double weight, bool reset) {
  DefaultFpEnv fp_env;
  const double scale = 1.0 / std::sqrt(weight);
  BasicComplex<T>* amp = state.data();
  const U bit = U{1} << qubit;
  const U low = bit - 1;
  auto body = [&](U begin, U end) {
    for (U p = begin; p < end; ++p) {
      const U i0 = ((p & ~low) << 1) | (p & low);
      const U i1 = i0 | bit;
      const BasicComplex<T> kept = outcome == 0 ? amp[i0] : amp[i1];
      const BasicComplex<T> scaled{static_cast<T>(kept.re * scale), static_cast<T>(kept.im * scale)};
      if (outcome == 1 && !reset) {
        amp[i1] = scaled;
        amp[i0] = BasicComplex<T>{0, 0};
      } else {
        amp[i0] = scaled;
        amp[i1] = BasicComplex<T>{0, 0};
      }
    }
  };
  parallel_for(state.size() >> 1, U{1} << 12, body);
}

}  // namespace

std::pair<double, double> measure_weights(const StateVector& state, std::uint64_t qubit) {
  return half_weights(state, qubit);
}
std::pair<double, double> measure_weights(const SingleStateVector& state, std::uint64_t qubit) {
  return half_weights(state, qubit);
}

void collapse_qubit(StateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset) {
  collapse(state, qubit, outcome, weight, reset);
}
void collapse_qubit(SingleStateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset) {
  collapse(state, qubit, outcome, weight, reset);
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

std::uint64_t spare_states(std::uint64_t base, std::uint64_t state_bytes) {
  U room = std::numeric_limits<U>::max();
  if (const auto available = vorn::available_memory_bytes()) room = std::min(room, *available);
  if (const auto address = vorn::address_space_room()) room = std::min(room, *address);
  const U spare = room > base ? (room - base) / 2 : 0;
  return spare / state_bytes;
}

std::uint64_t live_state_cap(std::uint64_t wanted, std::uint64_t max_live_states, std::uint64_t base,
                             std::uint64_t state_bytes) {
  U extra = wanted;
  if (max_live_states != 0) {
    extra = std::min(extra, max_live_states - 1);
  } else if (extra != 0) {
    extra = std::min(extra, spare_states(base, state_bytes));
  }
  return extra + 1;
}

}  // namespace vorn::sim

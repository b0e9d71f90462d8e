// Dynamic circuits through vorn._ext: the Python side flattens conditions
// into steps (five integers each) and hands them over with the compiled
// gates; the branching run happens here with the interpreter lock released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "polled.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/dynamic_expval.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
constexpr std::size_t kStepWords = 5;

// (state, clbit values, counts, shots): the one shot's final state when
// keep_state and shots == 1 (else empty; complex64 with `single`), the
// tally, and every shot's clbit value when keep_shots.
std::variant<RunArrays, SingleRunArrays> run_dynamic(
    const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals, U n_clbits,
    std::optional<U> seed, U shots, bool keep_shots, bool keep_state, const nb::object& poll, std::size_t threads,
    U max_live_states, bool fusion, bool single) {
  refuse_beyond_qubit_limit(program, single);
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, fusion);
  const sim::Program& run = fused ? *fused : program;
  const sim::DynamicOptions options{
      .keep_shots = keep_shots, .keep_state = keep_state, .max_live_states = max_live_states};
  auto arrays = [](auto&& result) {
    using State = decltype(std::move(*result.state).take_amplitudes());
    State state;
    if (result.state) state = std::move(*result.state).take_amplitudes();
    return run_arrays(std::move(state), result.tally, std::move(result.shots));
  };
  if (single) {
    return arrays(run_polled(
        [&](sim::RunControl& control) {
          return sim::run_dynamic_single(run, dynamic, seed, shots, &control, options);
        },
        poll, threads));
  }
  return arrays(run_polled(
      [&](sim::RunControl& control) { return sim::run_dynamic(run, dynamic, seed, shots, &control, options); },
      poll, threads));
}

U dynamic_required_memory(const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals,
                          U n_clbits, U shots, bool keep_shots, bool fusion, bool single) {
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, fusion);
  return sim::dynamic_required_memory(fused ? *fused : program, dynamic, shots,
                                      sim::DynamicOptions{.keep_shots = keep_shots, .single_precision = single});
}

// (values, variances): the exact expectation over the measurement outcomes
// of each observable (terms offsets[o] .. offsets[o + 1] of the three
// arrays), and with `variance` its variance over the mixture (else empty).
std::tuple<Array1D<std::complex<double>>, Array1D<double>> expval_dynamic(
    const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals, U n_clbits,
    const In1D<U>& x_masks, const In1D<U>& z_masks, const In1D<std::complex<double>>& coeffs, const In1D<U>& offsets,
    bool variance, const nb::object& poll, std::size_t threads, U max_branches, bool fusion) {
  refuse_beyond_qubit_limit(program);
  // Channel steps pass here so that the engine can say why it refuses them.
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits, true);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, fusion);
  const std::vector<sim::PauliSumView> views = pauli_views(x_masks, z_masks, coeffs, offsets);
  const sim::DynamicExpvalOptions options{.variance = variance, .max_branches = max_branches};
  sim::DynamicExpvalResult result = run_polled(
      [&](sim::RunControl& control) {
        return sim::expval_dynamic(fused ? *fused : program, dynamic, views, &control, options);
      },
      poll, threads);
  std::vector<std::complex<double>> values(result.values.size());
  for (std::size_t o = 0; o < values.size(); ++o) values[o] = {result.values[o].re, result.values[o].im};
  return {adopt(std::move(values)), adopt(std::move(result.variances))};
}

}  // namespace

// steps: (kind, a, b, mask, value) per step, flat; finals: (qubit, clbit) pairs, flat.
sim::DynamicSteps make_steps(const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals,
                             U n_clbits, bool channels) {
  if (steps.size() % kStepWords != 0 || finals.size() % 2 != 0) {
    value_error(messages::kStepWords);
  }
  sim::DynamicSteps dynamic;
  dynamic.n_clbits = n_clbits;
  dynamic.steps.reserve(steps.size() / kStepWords);
  for (std::size_t i = 0; i < steps.size(); i += kStepWords) {
    const auto last = channels ? sim::StepKind::Channel : sim::StepKind::Jump;
    if (steps[i] > static_cast<U>(last)) value_error(messages::kStepKind);
    dynamic.steps.push_back(sim::Step{static_cast<sim::StepKind>(steps[i]), steps[i + 1], steps[i + 2], steps[i + 3],
                                      steps[i + 4]});
  }
  for (std::size_t i = 0; i < finals.size(); i += 2) dynamic.final_measures.emplace_back(finals[i], finals[i + 1]);
  if (!channels) sim::validate(program, dynamic);  // a noisy run checks them with its channels
  return dynamic;
}

void register_dynamic(nb::module_& m) {
  m.def("run_dynamic", &run_dynamic, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a, "seed"_a.none(), "shots"_a,
        "keep_shots"_a = false, "keep_state"_a = false, "poll"_a = nb::none(), "threads"_a = 0,
        "max_live_states"_a = 0, "fusion"_a = false, "single"_a = false,
        "Runs a Program with dynamic steps (kind, a, b, mask, value flat; kinds 0 gates [a, b), 1 measure a->b, "
        "2 reset a, 3 jump to a unless clbits & mask == value, 4 jump to a) and final (qubit, clbit) pairs; "
        "fusion: the gates of each gates step fused (never across a step); single: a complex64 state "
        "(returned as complex64); returns (state, clbit values, counts, shot values).");
  m.def("expval_dynamic", &expval_dynamic, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a, "x_masks"_a,
        "z_masks"_a, "coeffs"_a, "offsets"_a, "variance"_a, "poll"_a = nb::none(), "threads"_a = 0,
        "max_branches"_a = 0, "fusion"_a = false,
        "Exact expectation values of Pauli sums (as expval's arrays) over every measurement outcome of a Program "
        "with dynamic steps (as run_dynamic's; final pairs ignored), each outcome weighted by its probability; "
        "more than max_branches outcomes (0: 4096) raise ValueError. Returns (values, variances; empty unless "
        "variance).");
  m.def("dynamic_required_memory", &dynamic_required_memory, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a,
        "shots"_a, "keep_shots"_a = false, "fusion"_a = false, "single"_a = false,
        "Bytes a dynamic run needs at its peak with every branch state kept.");
}

}  // namespace vorn::ext

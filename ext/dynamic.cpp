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
    const sim::RunRequest& request, const nb::object& poll) {
  refuse_beyond_qubit_limit(program, request.single_precision);
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, request.fusion_qubits != 0);
  const sim::Program& run = fused ? *fused : program;
  const sim::DynamicOptions options = sim::dynamic_options(request);
  const std::optional<U> seed = request.seed;
  const U shots = request.shots;
  auto arrays = [](auto&& result) {
    using State = decltype(std::move(*result.state).take_amplitudes());
    State state;
    if (result.state) state = std::move(*result.state).take_amplitudes();
    return run_arrays(std::move(state), result.tally, std::move(result.shots));
  };
  if (request.single_precision) {
    return arrays(run_polled(
        [&](sim::RunControl& control) {
          return sim::run_dynamic_single(run, dynamic, seed, shots, &control, options);
        },
        poll, request));
  }
  return arrays(run_polled(
      [&](sim::RunControl& control) { return sim::run_dynamic(run, dynamic, seed, shots, &control, options); },
      poll, request));
}

U dynamic_required_memory(const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals,
                          U n_clbits, const sim::RunRequest& request) {
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, request.fusion_qubits != 0);
  return sim::dynamic_required_memory(fused ? *fused : program, dynamic, request.shots,
                                      sim::dynamic_options(request));
}

// (values, variances): the exact expectation over the measurement outcomes
// of each observable (terms offsets[o] .. offsets[o + 1] of the three
// arrays), and with `variance` its variance over the mixture (else empty).
std::tuple<Array1D<std::complex<double>>, Array1D<double>> expval_dynamic(
    const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals, U n_clbits,
    const In1D<U>& x_masks, const In1D<U>& z_masks, const In1D<std::complex<double>>& coeffs, const In1D<U>& offsets,
    bool variance, const sim::RunRequest& request, const nb::object& poll, U max_branches) {
  refuse_beyond_qubit_limit(program);
  // Channel steps pass here so that the engine can say why it refuses them.
  sim::DynamicSteps dynamic = make_steps(program, steps, finals, n_clbits, true);
  const std::optional<sim::Program> fused = fused_steps(program, dynamic, request.fusion_qubits != 0);
  const std::vector<sim::PauliSumView> views = pauli_views(x_masks, z_masks, coeffs, offsets);
  const sim::DynamicExpvalOptions options{.variance = variance, .max_branches = max_branches};
  sim::DynamicExpvalResult result = run_polled(
      [&](sim::RunControl& control) {
        return sim::expval_dynamic(fused ? *fused : program, dynamic, views, &control, options);
      },
      poll, request);
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
  m.def("run_dynamic", &run_dynamic, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a, "request"_a,
        "poll"_a = nb::none(),
        "Runs a Program with dynamic steps (kind, a, b, mask, value flat; kinds as STEP_KINDS: gates [a, b), "
        "measure a->b, reset a, jump to a unless clbits & mask == value, jump to a) and final (qubit, clbit) "
        "pairs, as the RunRequest asks (seed, shots, keep_shots, keep_state, max_live_states, threads; "
        "fusion_qubits: the gates of each gates step fused, never across a step; single_precision: a complex64 "
        "state, returned as complex64); returns (state, clbit values, counts, shot values).");
  m.def("expval_dynamic", &expval_dynamic, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a, "x_masks"_a,
        "z_masks"_a, "coeffs"_a, "offsets"_a, "variance"_a, "request"_a, "poll"_a = nb::none(),
        "max_branches"_a = 0,
        "Exact expectation values of Pauli sums (as expval's arrays) over every measurement outcome of a Program "
        "with dynamic steps (as run_dynamic's; final pairs ignored), each outcome weighted by its probability; "
        "more than max_branches outcomes (0: 4096) raise ValueError. Returns (values, variances; empty unless "
        "variance).");
  m.def("dynamic_required_memory", &dynamic_required_memory, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a,
        "request"_a, "Bytes a dynamic run as the RunRequest asks needs at its peak with every branch state kept.");
}

}  // namespace vorn::ext

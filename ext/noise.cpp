// Noisy runs through vorn._ext: the Python side flattens the circuit into
// dynamic steps with Channel steps where the noise model puts errors, and
// the channels into flat arrays; the trajectories run here with the
// interpreter lock released (polled.hpp).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "polled.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;

[[noreturn]] void bad_arrays() { value_error(messages::kChannelArrays); }

// Channel c: kinds[c] (0 mixture, 1 Kraus) on qubit_counts[c] qubits taken
// in turn from `qubits`, with operator_counts[c] operators taken in turn from
// `matrices` (each 4^m entries, row-major) and as many `probabilities`
// (read for mixtures). Readout error r: readout_qubits[r] with
// readout_probabilities[4r .. 4r + 4) = P(record j | outcome i) at 2i + j.
sim::NoiseSpec make_noise(const std::vector<U>& kinds, const std::vector<U>& qubit_counts,
                          const std::vector<U>& qubits, const std::vector<U>& operator_counts,
                          const In1D<std::complex<double>>& matrices, const std::vector<double>& probabilities,
                          const std::vector<U>& readout_qubits, const std::vector<double>& readout_probabilities) {
  const std::size_t channels = kinds.size();
  if (qubit_counts.size() != channels || operator_counts.size() != channels ||
      readout_probabilities.size() != 4 * readout_qubits.size()) {
    bad_arrays();
  }
  const auto* entries = reinterpret_cast<const Complex*>(matrices.data());
  const std::size_t n_entries = matrices.shape(0);
  std::size_t next_qubit = 0, next_entry = 0, next_probability = 0;
  sim::NoiseSpec noise;
  for (std::size_t c = 0; c < channels; ++c) {
    sim::NoiseChannel channel;
    if (kinds[c] > 1 || qubit_counts[c] > 2 || next_qubit + qubit_counts[c] > qubits.size()) bad_arrays();
    channel.kind = kinds[c] == 0 ? sim::ChannelKind::Mixture : sim::ChannelKind::Kraus;
    channel.qubits.assign(qubits.begin() + next_qubit, qubits.begin() + next_qubit + qubit_counts[c]);
    next_qubit += qubit_counts[c];
    const std::size_t size = std::size_t{1} << (2 * qubit_counts[c]);
    for (U k = 0; k < operator_counts[c]; ++k) {
      if (next_entry + size > n_entries || next_probability >= probabilities.size()) bad_arrays();
      channel.operators.emplace_back(entries + next_entry, entries + next_entry + size);
      next_entry += size;
      if (channel.kind == sim::ChannelKind::Mixture) channel.probabilities.push_back(probabilities[next_probability]);
      ++next_probability;
    }
    noise.channels.push_back(std::move(channel));
  }
  if (next_qubit != qubits.size() || next_entry != n_entries || next_probability != probabilities.size()) bad_arrays();
  for (std::size_t r = 0; r < readout_qubits.size(); ++r) {
    sim::ReadoutError error;
    error.qubit = readout_qubits[r];
    for (int i = 0; i < 4; ++i) error.p[i] = readout_probabilities[4 * r + i];
    noise.readout.push_back(error);
  }
  return noise;
}

struct NoisyArguments {
  sim::DynamicSteps steps;
  sim::NoiseSpec noise;
};

using NoiseArrays = std::tuple<std::vector<U>, std::vector<U>, std::vector<U>, std::vector<U>,
                               In1D<std::complex<double>>, std::vector<double>, std::vector<U>, std::vector<double>>;

NoisyArguments make_arguments(const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals,
                              U n_clbits, const NoiseArrays& arrays) {
  NoisyArguments out{make_steps(program, steps, finals, n_clbits, true),
                     std::apply([](const auto&... a) { return make_noise(a...); }, arrays)};
  sim::validate(program, out.steps, out.noise);
  return out;
}

template <class T>
using NoisyArrays = std::tuple<Array1D<std::complex<T>>, Array1D<U>, Array1D<U>, Array1D<U>, U>;

// (state: empty, complex64 with `single`; clbit values, counts, shot values,
// distinct paths simulated).
std::variant<NoisyArrays<double>, NoisyArrays<float>> run_noisy(
    const sim::Program& program, const std::vector<U>& steps, const std::vector<U>& finals, U n_clbits,
    const NoiseArrays& noise, const sim::RunRequest& request, const nb::object& poll) {
  const bool single = request.single_precision;
  refuse_beyond_qubit_limit(program, single);
  NoisyArguments args = make_arguments(program, steps, finals, n_clbits, noise);
  const std::optional<sim::Program> fused = fused_steps(program, args.steps, request.fusion_qubits != 0);
  const sim::TrajectoryOptions options = sim::trajectory_options(request);
  sim::TrajectoryRunResult result = run_polled(
      [&](sim::RunControl& control) {
        return sim::run_trajectories(fused ? *fused : program, args.steps, args.noise, request.seed, request.shots,
                                     &control, options);
      },
      poll, request);
  auto pack = [&](auto&& empty) -> std::variant<NoisyArrays<double>, NoisyArrays<float>> {
    auto [state, values, counts, shot_values] = run_arrays(std::move(empty), result.tally, std::move(result.shots));
    return std::make_tuple(std::move(state), std::move(values), std::move(counts), std::move(shot_values),
                           result.distinct_paths);
  };
  if (single) return pack(Buffer<SingleComplex>{});
  return pack(Buffer<Complex>{});
}

// (means, standard errors, distinct paths simulated), one entry per observable.
std::tuple<std::vector<double>, std::vector<double>, U> expval_noisy(
    const sim::Program& program, const std::vector<U>& steps, U n_clbits, const NoiseArrays& noise,
    const In1D<U>& x_masks, const In1D<U>& z_masks, const In1D<std::complex<double>>& coeffs,
    const In1D<U>& offsets, U trajectories, const sim::RunRequest& request, const nb::object& poll) {
  refuse_beyond_qubit_limit(program);
  NoisyArguments args = make_arguments(program, steps, {}, n_clbits, noise);
  const std::optional<sim::Program> fused = fused_steps(program, args.steps, request.fusion_qubits != 0);
  const std::vector<sim::PauliSumView> views = pauli_views(x_masks, z_masks, coeffs, offsets);
  const sim::TrajectoryOptions options{.batch = request.batch};
  sim::TrajectoryExpvalResult result = run_polled(
      [&](sim::RunControl& control) {
        return sim::expval_trajectories(fused ? *fused : program, args.steps, args.noise, views, request.seed,
                                        trajectories, &control, options);
      },
      poll, request);
  return {std::move(result.means), std::move(result.standard_errors), result.distinct_paths};
}

}  // namespace

void register_noise(nb::module_& m) {
  m.def("run_noisy", &run_noisy, "program"_a, "steps"_a, "finals"_a, "num_clbits"_a, "noise"_a, "request"_a,
        "poll"_a = nb::none(),
        "Runs shots trajectories of a Program with dynamic steps (kind 5: noise channel a) and noise arrays "
        "(kinds, qubit counts, qubits, operator counts, matrices, probabilities, readout qubits, readout "
        "probabilities), as the RunRequest asks (seed, shots, keep_shots, batch, max_live_states, threads; "
        "fusion_qubits: the gates of each gates step fused, never across a step or channel; single_precision: "
        "complex64 states (the empty state comes back complex64); returns (empty state, clbit values, counts, "
        "shot values, distinct paths).");
  m.def("expval_noisy", &expval_noisy, "program"_a, "steps"_a, "num_clbits"_a, "noise"_a, "x_masks"_a, "z_masks"_a,
        "coeffs"_a, "offsets"_a, "trajectories"_a, "request"_a, "poll"_a = nb::none(),
        "Mean over trajectories (seed, batch, fusion_qubits and threads from the RunRequest) of each observable's expectation value, with its standard error; returns "
        "(means, standard errors, distinct paths).");
}

}  // namespace vorn::ext

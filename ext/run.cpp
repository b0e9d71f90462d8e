// Running a compiled program with the interpreter lock released, and handing
// its results to NumPy without copying the state.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "polled.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/run_request.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;

// (state, outcomes, counts, shots): the state after the gates, the sampled
// whole-register outcomes (qubit q = bit q) with how often each was drawn,
// and each shot's outcome in shot order when keep_shots (else empty). The
// state is complex64 when the request asks for single precision.
nb::object run_program(const sim::Program& program, const sim::RunRequest& request, const nb::object& poll) {
  refuse_beyond_qubit_limit(program, request.single_precision);
  if (request.single_precision) {
    return nb::cast(run_arrays(run_polled(
        [&](sim::RunControl& control) { return sim::run_single_program(program, request, &control); }, poll,
        request)));
  }
  return nb::cast(run_arrays(run_polled(
      [&](sim::RunControl& control) { return sim::run_program(program, request, &control); }, poll, request)));
}

}  // namespace

void refuse_beyond_qubit_limit(const sim::Program& program, bool single) {
  if (program.n_qubits > kMaxQubits) {
    // 16 bytes an amplitude (2^4), 8 in single precision.
    const U log2_bytes = program.n_qubits + (single ? 3 : 4);
    PyErr_SetString(PyExc_MemoryError,
                    messages::fill(messages::kStateTooLarge, program.n_qubits, log2_bytes).c_str());
    throw nb::python_error();
  }
}

RunArrays run_arrays(Buffer<Complex>&& state, const sim::Tally& tally, std::vector<U>&& shots) {
  std::vector<U> outcomes, counts;
  outcomes.reserve(tally.size());
  counts.reserve(tally.size());
  for (const auto& [outcome, count] : tally) {
    outcomes.push_back(outcome);
    counts.push_back(count);
  }
  return {adopt<Complex, std::complex<double>>(std::move(state)), adopt(std::move(outcomes)),
          adopt(std::move(counts)), adopt(std::move(shots))};
}

SingleRunArrays run_arrays(Buffer<SingleComplex>&& state, const sim::Tally& tally, std::vector<U>&& shots) {
  auto [ignored, outcomes, counts, shot_outcomes] = run_arrays(Buffer<Complex>{}, tally, std::move(shots));
  return {adopt<SingleComplex, std::complex<float>>(std::move(state)), outcomes, counts, shot_outcomes};
}

RunArrays run_arrays(sim::ProgramResult&& result) {
  return run_arrays(std::move(result.snapshot).take_amplitudes(), result.tally, std::move(result.shots));
}

SingleRunArrays run_arrays(sim::SingleProgramResult&& result) {
  return run_arrays(std::move(result.snapshot).take_amplitudes(), result.tally, std::move(result.shots));
}

namespace {

template <class T>
using StateArg = nb::ndarray<const std::complex<T>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// re*re + im*im per amplitude, the operations vorn_python's probabilities
// use; for complex64, the same in double from the float parts (norm2).
template <class T>
Array1D<double> probabilities(const StateArg<T>& state) {
  const std::size_t n = state.shape(0);
  Buffer<double> out = Buffer<double>::uninitialized(n);
  const auto* amp = reinterpret_cast<const BasicComplex<T>*>(state.data());
  {
    nb::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < n; ++i) out[i] = norm2(amp[i]);
  }
  return adopt(std::move(out));
}

}  // namespace

void register_run(nb::module_& m) {
  m.def("run_program", &run_program, "program"_a, "request"_a, "poll"_a = nb::none(),
        "Runs a Program as the RunRequest asks (seed, shots, keep_shots, require_finite, fusion_qubits, "
        "single_precision, threads) with the interpreter lock released, Ctrl-C and poll(done, total) checked "
        "every 50 ms; returns (state, outcomes, counts, shot outcomes), the state complex64 in single precision.");
  m.def("pool_threads", &pool_thread_count, "Threads of the worker pool (RAYON_NUM_THREADS, else the processors).");
  m.def("probabilities", &probabilities<double>, "state"_a, "re*re + im*im of each amplitude, as float64.");
  m.def("probabilities", &probabilities<float>, "state"_a, "re*re + im*im of each complex64 amplitude, in float64.");
}

}  // namespace vorn::ext

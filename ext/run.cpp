// Running a compiled program with the interpreter lock released, and handing
// its results to NumPy without copying the state.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ext.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/engine.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
template <class T>
using Array1D = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// The array takes the buffer over: its capsule frees it when NumPy is done.
template <class T, class Element = T>
Array1D<Element> adopt(Buffer<T>&& buffer) {
  const std::size_t n = buffer.size();
  std::unique_ptr<T, void (*)(T*)> owned(buffer.release_ownership(), &Buffer<T>::free_raw);
  nb::capsule owner(owned.get(), [](void* p) noexcept { Buffer<T>::free_raw(static_cast<T*>(p)); });
  return Array1D<Element>(reinterpret_cast<Element*>(owned.release()), {n}, owner);
}

Array1D<U> adopt(std::vector<U>&& values) {
  auto owned = std::make_unique<std::vector<U>>(std::move(values));
  nb::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<std::vector<U>*>(p); });
  std::vector<U>* v = owned.release();
  return Array1D<U>(v->data(), {v->size()}, owner);
}

// (state, outcomes, counts): the state after the gates, and the sampled
// whole-register outcomes (qubit q = bit q) with how often each was drawn.
std::tuple<Array1D<std::complex<double>>, Array1D<U>, Array1D<U>> run_program(const sim::Program& program,
                                                                             std::optional<U> seed, U shots) {
  // Past the core's qubit limit no state can exist: refused as out of memory,
  // before anything is allocated.
  if (program.n_qubits > kMaxQubits) {
    PyErr_SetString(PyExc_MemoryError,
                    ("a state of " + std::to_string(program.n_qubits) + " qubits needs 2^" +
                     std::to_string(program.n_qubits + 4) + " bytes")
                        .c_str());
    throw nb::python_error();
  }
  std::optional<sim::ProgramResult> result;
  {
    nb::gil_scoped_release unlocked;
    result.emplace(sim::run_program(program, seed, shots));
  }
  std::vector<U> outcomes, counts;
  outcomes.reserve(result->tally.size());
  counts.reserve(result->tally.size());
  for (const auto& [outcome, count] : result->tally) {
    outcomes.push_back(outcome);
    counts.push_back(count);
  }
  auto state = adopt<Complex, std::complex<double>>(std::move(result->snapshot).take_amplitudes());
  return {std::move(state), adopt(std::move(outcomes)), adopt(std::move(counts))};
}

using StateArg = nb::ndarray<const std::complex<double>, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// re*re + im*im per amplitude, the operations vorn_python's probabilities use.
Array1D<double> probabilities(const StateArg& state) {
  const std::size_t n = state.shape(0);
  Buffer<double> out = Buffer<double>::uninitialized(n);
  const auto* amp = reinterpret_cast<const Complex*>(state.data());
  {
    nb::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < n; ++i) out[i] = amp[i].re * amp[i].re + amp[i].im * amp[i].im;
  }
  return adopt(std::move(out));
}

}  // namespace

void register_run(nb::module_& m) {
  m.def("run_program", &run_program, "program"_a, "seed"_a.none(), "shots"_a,
        "Runs a Program (interpreter lock released); returns (state, outcomes, counts).");
  m.def("probabilities", &probabilities, "state"_a, "re*re + im*im of each amplitude, as float64.");
}

}  // namespace vorn::ext

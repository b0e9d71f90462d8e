// The observable kinds Python can make (PauliSums, from the concatenated
// terms of all observables) behind vorn._ext.Observables, and expval: their
// values (and variances) on a state read in place, without the interpreter
// lock, on a thread of its own that Ctrl-C and the Python poll can cancel
// between leaves of the reduction (polled.hpp).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "polled.hpp"
#include "vorn/simulator/observables.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;

// Returns (expectation values, variances; empty unless asked). T: the
// state's precision (a complex64 state is read in double, sums in double).
template <class T>
std::tuple<Array1D<std::complex<double>>, Array1D<double>> expval(const In1D<std::complex<T>>& state,
                                                                  const sim::Observables& observables,
                                                                  bool variance, const sim::RunRequest& request,
                                                                  const nb::object& poll) {
  const std::span<const BasicComplex<T>> psi(reinterpret_cast<const BasicComplex<T>*>(state.data()), state.shape(0));
  auto [ev, var] = run_polled(
      [&](sim::RunControl& control) {
        const sim::ObservableOptions options{.control = &control};
        std::pair<std::vector<Complex>, std::vector<double>> out;
        out.first = observables.expectations(psi, options);
        if (variance) {
          std::vector<double> means(out.first.size());
          for (std::size_t o = 0; o < out.first.size(); ++o) means[o] = out.first[o].re;
          out.second = observables.variances(psi, means, options);
        }
        return out;
      },
      poll, request);
  std::vector<std::complex<double>> values(ev.size());
  for (std::size_t o = 0; o < ev.size(); ++o) values[o] = {ev[o].re, ev[o].im};
  return {adopt(std::move(values)), adopt(std::move(var))};
}

}  // namespace

void register_observables(nb::module_& m) {
  nb::class_<sim::Observables>(m, "Observables",
                               "What expval, sweep_expval and adjoint_gradients measure (made by a kind: PauliSums).")
      .def("__len__", &sim::Observables::size)
      .def_prop_ro(
          "hermitian", [](const sim::Observables& o) { return !o.non_hermitian().has_value(); },
          "Every observable Hermitian (what variances and gradients need).");
  nb::class_<sim::PauliSums, sim::Observables>(m, "PauliSums", "Sums of Pauli strings, the terms copied in.")
      .def(
          "__init__",
          [](sim::PauliSums* self, const In1D<U>& x_masks, const In1D<U>& z_masks,
             const In1D<std::complex<double>>& coeffs, const In1D<U>& offsets) {
            new (self) sim::PauliSums(pauli_views(x_masks, z_masks, coeffs, offsets));
          },
          "x_masks"_a, "z_masks"_a, "coeffs"_a, "offsets"_a,
          "Observable o is the sum of coeffs[t] * P(x_masks[t], z_masks[t]) over t from offsets[o] to "
          "offsets[o + 1].");
  m.def("expval", &expval<double>, "state"_a, "observables"_a, "variance"_a, "request"_a, "poll"_a = nb::none(),
        "Expectation values of observables on a state read in place (interpreter lock released, Ctrl-C and "
        "poll(leaves done, leaves total) checked every 50 ms, at most request.threads threads, 0 for the "
        "pool's size; the state's dtype, not the request, decides its precision); returns (values, variances).");
  m.def("expval", &expval<float>, "state"_a, "observables"_a, "variance"_a, "request"_a, "poll"_a = nb::none(),
        "The same on a complex64 state (read in double, sums in double).");
}

}  // namespace vorn::ext

// Expectation values (and variances) of Pauli sums on a state vector read in
// place: the vorn package checks the arguments and concatenates the terms of
// all observables; this runs the engine's evaluation without the interpreter
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
// Observable o has the terms offsets[o] .. offsets[o + 1] of the three arrays.
// Returns (expectation values, variances; empty unless asked). T: the
// state's precision (a complex64 state is read in double, sums in double).
template <class T>
std::tuple<Array1D<std::complex<double>>, Array1D<double>> expval(const In1D<std::complex<T>>& state,
                                                             const In1D<U>& x_masks, const In1D<U>& z_masks,
                                                             const In1D<std::complex<double>>& coeffs,
                                                             const In1D<U>& offsets, bool variance,
                                                             const sim::RunRequest& request,
                                                             const nb::object& poll) {
  const std::vector<sim::PauliSumView> views = pauli_views(x_masks, z_masks, coeffs, offsets);
  const std::span<const BasicComplex<T>> psi(reinterpret_cast<const BasicComplex<T>*>(state.data()), state.shape(0));
  auto [ev, var] = run_polled(
      [&](sim::RunControl& control) {
        const sim::ObservableOptions options{.control = &control};
        std::pair<std::vector<Complex>, std::vector<double>> out;
        out.first = sim::expectation_values(psi, views, options);
        if (variance) {
          std::vector<double> means(out.first.size());
          for (std::size_t o = 0; o < out.first.size(); ++o) means[o] = out.first[o].re;
          out.second = sim::variances(psi, views, means, options);
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
  m.def("expval", &expval<double>, "state"_a, "x_masks"_a, "z_masks"_a, "coeffs"_a, "offsets"_a, "variance"_a,
        "request"_a, "poll"_a = nb::none(),
        "Expectation values of Pauli sums on a state read in place (interpreter lock released, Ctrl-C and "
        "poll(leaves done, leaves total) checked every 50 ms, at most request.threads threads, 0 for the "
        "pool's size; the state's dtype, not the request, decides its precision); returns (values, variances).");
  m.def("expval", &expval<float>, "state"_a, "x_masks"_a, "z_masks"_a, "coeffs"_a, "offsets"_a, "variance"_a,
        "request"_a, "poll"_a = nb::none(), "The same on a complex64 state (read in double, sums in double).");
}

}  // namespace vorn::ext

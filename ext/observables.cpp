// Expectation values (and variances) of Pauli sums on a state vector read in
// place: the vorn package checks the arguments and concatenates the terms of
// all observables; this runs the engine's evaluation without the interpreter lock.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "vorn/simulator/observables.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
// Observable o has the terms offsets[o] .. offsets[o + 1] of the three arrays.
// Returns (expectation values, variances; empty unless asked).
std::tuple<Array1D<std::complex<double>>, Array1D<double>> expval(const In1D<std::complex<double>>& state,
                                                             const In1D<U>& x_masks, const In1D<U>& z_masks,
                                                             const In1D<std::complex<double>>& coeffs,
                                                             const In1D<U>& offsets, bool variance) {
  const std::vector<sim::PauliSumView> views = pauli_views(x_masks, z_masks, coeffs, offsets);
  const std::span<const Complex> psi(reinterpret_cast<const Complex*>(state.data()), state.shape(0));
  std::vector<Complex> ev;
  std::vector<double> var;
  {
    nb::gil_scoped_release unlocked;
    ev = sim::expectation_values(psi, views);
    if (variance) {
      std::vector<double> means(ev.size());
      for (std::size_t o = 0; o < ev.size(); ++o) means[o] = ev[o].re;
      var = sim::variances(psi, views, means);
    }
  }
  std::vector<std::complex<double>> values(ev.size());
  for (std::size_t o = 0; o < ev.size(); ++o) values[o] = {ev[o].re, ev[o].im};
  return {adopt(std::move(values)), adopt(std::move(var))};
}

}  // namespace

void register_observables(nb::module_& m) {
  m.def("expval", &expval, "state"_a, "x_masks"_a, "z_masks"_a, "coeffs"_a, "offsets"_a, "variance"_a,
        "Expectation values of Pauli sums on a state read in place (interpreter lock released); "
        "returns (values, variances).");
}

}  // namespace vorn::ext

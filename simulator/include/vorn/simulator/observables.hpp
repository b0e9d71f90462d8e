// Expectation values and variances of sums of Pauli strings on a state read
// in place. A string is a pair of n-bit masks: bit q of x flips qubit q, bit q
// of z gives it a phase, both set is Y:  P(x, z) = i^{|x&z|} X^x Z^z.
// Every sum over the state goes through the fixed tree of reduce.hpp, so the
// results are bit-identical on every vector path, thread count and tiling.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// One observable: sum over t of coeffs[t] * P(x_masks[t], z_masks[t]).
// The three spans have the same length (0 is the empty sum).
struct PauliSumView {
  std::span<const std::uint64_t> x_masks;
  std::span<const std::uint64_t> z_masks;
  std::span<const Complex> coeffs;
};

// Knobs that change the speed, never the bits (tests set them to prove it).
// The vector kernels follow the one instruction-set choice (vorn/core/isa.hpp).
struct ObservableOptions {
  unsigned tile_bits = 0;  // 0: sized for the cache; clamped to [13, n]
  // When given: checked between leaves of the reduction (never inside a
  // kernel's loop), RunCancelled once cancelled; progress counts leaves, each
  // evaluation adding its own leaves to the total as it starts.
  RunControl* control = nullptr;
};

// <psi|P|psi> of each Pauli string (x_masks[s], z_masks[s]) (always real).
// Each distinct string is evaluated once; strings with the same x share one
// pass over the state. The state has 2^n amplitudes (n >= 1); masks < 2^n.
std::vector<double> pauli_expectations(std::span<const Complex> state, std::span<const std::uint64_t> x_masks,
                                       std::span<const std::uint64_t> z_masks, const ObservableOptions& options = {});

// <psi|H|psi> of each observable: sum over its terms, in term order, of
// coeff * <P>, each part of the coefficient scaled by the real <P>.
std::vector<Complex> expectation_values(std::span<const Complex> state, std::span<const PauliSumView> observables,
                                        const ObservableOptions& options = {});
// The same on a single-precision state: each amplitude read in double
// (exactly), the double arithmetic and fixed tree from there on; the scalar
// kernel on every instruction set.
std::vector<Complex> expectation_values(std::span<const SingleComplex> state,
                                        std::span<const PauliSumView> observables,
                                        const ObservableOptions& options = {});

// Each observable's sum over its terms, in term order, of coeff * <P>, the
// <P> of all observables' terms concatenated in `values` (what
// expectation_values does after the strings are evaluated; the distributed
// evaluation shares it).
std::vector<Complex> sum_terms(std::span<const PauliSumView> observables, std::span<const double> values);

// || (H - mean) psi ||^2 of each observable (its variance for a normalised
// state and mean = <H>), without a copy of the state: (H - mean) psi is
// formed one leaf of output amplitudes at a time, terms in term order.
// Coefficients must be real (imaginary part exactly 0).
std::vector<double> variances(std::span<const Complex> state, std::span<const PauliSumView> observables,
                              std::span<const double> means, const ObservableOptions& options = {});
std::vector<double> variances(std::span<const SingleComplex> state, std::span<const PauliSumView> observables,
                              std::span<const double> means, const ObservableOptions& options = {});

}  // namespace vorn::sim

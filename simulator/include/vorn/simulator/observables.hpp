// Expectation values and variances of sums of Pauli strings on a state read
// in place. A string is a pair of n-bit masks: bit q of x flips qubit q, bit q
// of z gives it a phase, both set is Y:  P(x, z) = i^{|x&z|} X^x Z^z.
// Every sum over the state goes through the fixed tree of reduce.hpp, so the
// results are bit-identical on every vector path, thread count and tiling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/observable.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// One observable: sum over t of coeffs[t] * P(x_masks[t], z_masks[t]).
// The three spans have the same length (0 is the empty sum).
struct PauliSumView {
  std::span<const std::uint64_t> x_masks;
  std::span<const std::uint64_t> z_masks;
  std::span<const Complex> coeffs;
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

// out = H psi for one Pauli sum (terms in order for each amplitude).
void apply_pauli_sum(const StateVector& psi, const PauliSumView& h, StateVector& out);

// Sums of Pauli strings as Observables: the functions above behind the
// engines' one interface. Holds its own copy of the terms.
class PauliSums final : public Observables {
 public:
  explicit PauliSums(std::span<const PauliSumView> observables);
  PauliSums(const PauliSums& other) : PauliSums(other.views()) {}
  PauliSums(PauliSums&&) noexcept = default;  // the vectors keep their buffers, so the views stay valid
  PauliSums& operator=(const PauliSums&) = delete;
  PauliSums& operator=(PauliSums&&) = delete;

  std::span<const PauliSumView> views() const { return views_; }

  std::size_t size() const override { return views_.size(); }
  // Real coefficients: the first complex one is named (term t of observable o).
  std::optional<std::string> non_hermitian() const override;
  std::vector<Complex> expectations(std::span<const Complex> state,
                                    const ObservableOptions& options = {}) const override;
  std::vector<Complex> expectations(std::span<const SingleComplex> state,
                                    const ObservableOptions& options = {}) const override;
  std::vector<double> variances(std::span<const Complex> state, std::span<const double> means,
                                const ObservableOptions& options = {}) const override;
  std::vector<double> variances(std::span<const SingleComplex> state, std::span<const double> means,
                                const ObservableOptions& options = {}) const override;
  void apply(std::size_t o, const StateVector& psi, StateVector& out) const override;
  PauliStrings strings() const override;
  std::vector<Complex> from_strings(std::span<const double> values) const override;

 private:
  std::vector<std::uint64_t> x_;
  std::vector<std::uint64_t> z_;
  std::vector<Complex> coeffs_;
  std::vector<PauliSumView> views_;
};

}  // namespace vorn::sim

// What the engines measure, behind one interface: a run's expectation values
// and variances, the adjoint gradients' H|psi>, and the strings the
// distributed state evaluates leaf by leaf all go through Observables, so a
// new kind of observable is one implementation of it (beside PauliSums,
// observables.hpp) plus its conversion at the call boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// Knobs that change the speed, never the bits (tests set them to prove it).
// The vector kernels follow the one instruction-set choice (vorn/core/isa.hpp).
struct ObservableOptions {
  unsigned tile_bits = 0;  // 0: sized for the cache; clamped to [13, n]
  // When given: checked between leaves of the reduction (never inside a
  // kernel's loop), RunCancelled once cancelled; progress counts leaves, each
  // evaluation adding its own leaves to the total as it starts.
  RunControl* control = nullptr;
};

// Pauli strings P(x, z) = i^{|x&z|} X^x Z^z, one (x_masks[s], z_masks[s]) each.
struct PauliStrings {
  std::vector<std::uint64_t> x_masks;
  std::vector<std::uint64_t> z_masks;
};

// A list of observables H_0 .. H_{size-1} on one register. Every sum over
// the state goes through the fixed tree of reduce.hpp, so each result is the
// same bits on every vector path, thread count and tiling. Malformed input
// (an operator wider than the state, mismatched lengths) is a FatalError
// naming the observable.
class Observables {
 public:
  virtual ~Observables() = default;

  virtual std::size_t size() const = 0;

  // Empty when every H_o is Hermitian (what a variance, a gradient and a
  // trajectory mean need); else the reason, naming the first that is not.
  virtual std::optional<std::string> non_hermitian() const = 0;

  // <psi|H_o|psi> of each; a complex64 state is read in double, exactly.
  virtual std::vector<Complex> expectations(std::span<const Complex> state,
                                            const ObservableOptions& options = {}) const = 0;
  virtual std::vector<Complex> expectations(std::span<const SingleComplex> state,
                                            const ObservableOptions& options = {}) const = 0;

  // || (H_o - means[o]) psi ||^2 of each (the variance for a normalised state
  // and means[o] = <H_o>); Hermitian observables only.
  virtual std::vector<double> variances(std::span<const Complex> state, std::span<const double> means,
                                        const ObservableOptions& options = {}) const = 0;
  virtual std::vector<double> variances(std::span<const SingleComplex> state, std::span<const double> means,
                                        const ObservableOptions& options = {}) const = 0;

  // out = H_o psi (out has psi's size; the adjoint method's lambda).
  virtual void apply(std::size_t o, const StateVector& psi, StateVector& out) const = 0;

  // The distributed state evaluates Pauli strings leaf by leaf across ranks:
  // the strings these observables need, and each H_o's value from the
  // strings' values (in strings() order).
  virtual PauliStrings strings() const = 0;
  virtual std::vector<Complex> from_strings(std::span<const double> values) const = 0;
};

}  // namespace vorn::sim

// Adjoint-method gradients (Jones and Gacon, arXiv:2009.02823): one forward
// pass, then back through the inverse gates carrying lambda = H|psi> per
// observable; each parameterised angle slot contributes 2 Re <lambda| dU psi>.
//
// dU/dtheta comes from the gate's own row: every entry of a table gate's
// matrix is a trigonometric polynomial in an angle with frequencies in
// {0, +-1/2, +-1}, so the derivative is an exact fixed combination of the
// row's matrix at the four angles theta + pi/2, 3pi/2, 5pi/2, 7pi/2 (the
// general parameter-shift rule of degree 2 in theta/2), theta first reduced
// to the row's period in that angle (4 pi when an entry has frequency 1/2,
// else 2 pi), so that the shifts survive at any finite angle. No gate needs a
// generator of its own; controlled gates get their projector by zeroing the
// amplitudes their controls leave alone (backward_step).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/parametric.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// The inverse entry: the conjugate transpose of the matrix (conjugate of a diagonal).
CompiledGate adjoint_gate(const CompiledGate& gate);

// d/d angles[slot] of the row's entry, as an entry of the same shape (its
// identity block, where controls are not met, is not part of it: see
// backward_step).
CompiledGate derivative_gate(const StandardGate& row, std::span<const double> angles, std::size_t slot,
                             std::span<const std::uint64_t> operands);

// One step back through a parameterised gate, in one pass over the states:
// psi <- inverse psi, then for each derivative entry D_s (same shape as the
// gate) and each lambda: Re <lambda_o| D_s psi> (D_s restricted to the
// amplitudes whose controls are met: the rest of D_s psi is 0), then lambda_o
// <- inverse lambda_o. Sums go through the fixed tree of reduce.hpp over the
// groups of amplitudes the gate mixes; returns them slot-major (s * lambdas + o).
std::vector<double> backward_step(StateVector& psi, const CompiledGate& inverse,
                                  std::span<const CompiledGate> derivatives, std::span<StateVector* const> lambdas);

struct Gradients {
  std::vector<Complex> values;   // bindings x observables, as expval gives them
  std::vector<double> jacobian;  // bindings x observables x n_params
};

// The states a gradient holds per task: two plus one per observable of a batch.
std::uint64_t gradient_memory(const ParametricProgram& pp, std::size_t bindings, std::size_t observables,
                              SweepMode mode = SweepMode::Auto);

// Values and d value / d parameter of each observable at each binding.
// Observables go in batches of what memory allows (all at once when it does);
// MemoryError (FatalError OutOfMemory) naming the figure when not even one fits.
// Coefficients must be real (Hermitian sums). Runs of gates on the qubits
// below the cache-sized block go back block by block (one pass over memory
// per run); the bits are those of the gate-by-gate sweep.
Gradients adjoint_gradients(const ParametricProgram& pp, std::span<const double> values, std::size_t bindings,
                            const Observables& observables, RunControl* control,
                            SweepMode mode = SweepMode::Auto);

}  // namespace vorn::sim

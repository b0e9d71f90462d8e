// Parameterised programs: a program compiled once, with, per gate, which angle
// slots depend on which parameters (an affine expression each). A binding
// rebuilds only those gates, with their row's own build function, so each
// binding's program is the one compiling the bound circuit gives. Sweeps run
// one program per binding: side by side (one state per task on the pool) for
// small registers, one after another with parallel kernels for large ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/run_control.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {

// sum over k of coeffs[k] * values[params[k]], left to right, then plus the
// constant when has_constant (a bare parameter is its value, -0.0 and NaN
// included). The vorn package's ParameterExpression.value has this order.
struct AffineAngle {
  std::vector<std::uint32_t> params;
  std::vector<double> coeffs;
  double constant = 0.0;
  bool has_constant = false;

  double value(std::span<const double> values) const noexcept;
};

// Gate `gate` of the program, made by `row` from `angles` (the fixed ones;
// slot s of `slots` replaces angles[slot[s]] by its expression's value).
struct ParametricGate {
  std::size_t gate = 0;
  const StandardGate* row = nullptr;
  std::vector<std::uint64_t> operands;
  std::vector<double> angles;
  std::vector<std::uint32_t> slot;
  std::vector<AffineAngle> expression;
};

struct ParametricProgram {
  Program program;  // the parameterised gates as built with their placeholder angles
  std::vector<ParametricGate> gates;  // ascending by gate index
  std::optional<AffineAngle> global_phase;  // kept as Python keeps it: value mod 2 pi
  std::size_t n_params = 0;
};

// Python's float x % y (the sign of y), as the vorn package keeps a global phase.
double python_mod(double x, double y) noexcept;

// `out` (a copy of pp.program) with every parameterised gate rebuilt for
// `values` (n_params of them) and the global phase set.
void bind(const ParametricProgram& pp, std::span<const double> values, Program& out);

// The angles of parameterised gate `pg` for `values`.
std::vector<double> bound_angles(const ParametricGate& pg, std::span<const double> values);

// How a sweep places its bindings (tests force each).
enum class SweepMode { Auto, SideBySide, OneAfterAnother };

// Registers up to this many qubits run bindings side by side under Auto.
inline constexpr std::uint64_t kSideBySideQubits = 14;

bool side_by_side(SweepMode mode, std::uint64_t n_qubits, std::size_t bindings) noexcept;

// Both binding-major (bindings x observables); variances empty unless asked for.
struct SweepExpectations {
  std::vector<Complex> values;
  std::vector<double> variances;
};

// values holds `bindings` rows of n_params. Expectation values (and with
// `variance` the variances about their real parts, real coefficients only),
// each as expectation_values and variances on the bound program's state give
// them; request.fusion_qubits fuses each bound program first, as run_program
// does, and request.single_precision runs it on a complex64 state, as
// run_single_program does (the float overloads of the evaluation then read
// it). Seed, shots and the shot record are not read: nothing is drawn.
SweepExpectations sweep_expectations(const ParametricProgram& pp, std::span<const double> values,
                                     std::size_t bindings, const Observables& observables,
                                     const RunRequest& request = {}, RunControl* control = nullptr,
                                     SweepMode mode = SweepMode::Auto, bool variance = false);

// The seed binding `index` of a sweep with `seed` runs with: the first two
// words of the ChaCha12 block `index` of seed's key (a nonce of its own, so no
// run's stream shares it).
std::uint64_t binding_seed(std::uint64_t seed, std::uint64_t index);

// One run per binding, binding b as run_program(bound program, request with
// seed binding_seed(seed, b)) runs it (request.fusion_qubits included); with
// no seed, `seed` is drawn from OS entropy once for the whole sweep.
std::vector<ProgramResult> sweep_runs(const ParametricProgram& pp, std::span<const double> values,
                                      std::size_t bindings, const RunRequest& request, RunControl* control,
                                      SweepMode mode = SweepMode::Auto);
// The same with each binding as run_single_program runs its bound program.
std::vector<SingleProgramResult> sweep_runs_single(const ParametricProgram& pp, std::span<const double> values,
                                                   std::size_t bindings, const RunRequest& request,
                                                   RunControl* control, SweepMode mode = SweepMode::Auto);

// Bytes a sweep with this request's shots and shot record holds at its peak:
// one run's figure per task at once (one per task side by side, one after
// another) plus, with keep_states, every binding's state; complex64 states
// when request.single_precision.
std::uint64_t sweep_memory(const ParametricProgram& pp, std::size_t bindings, const RunRequest& request,
                           bool keep_states, SweepMode mode = SweepMode::Auto);

}  // namespace vorn::sim

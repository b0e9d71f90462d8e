// Binding parameterised programs and running sweeps over many bindings.
#include "vorn/simulator/parametric.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/sweep.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// The ChaCha12 nonce of binding seeds ("sweep" in ASCII): runs use nonce 0.
constexpr U kSweepNonce = 0x7065657773ull;

}  // namespace

std::size_t sweep_tasks(SweepMode mode, const ParametricProgram& pp, std::size_t bindings) {
  if (!side_by_side(mode, pp.program.n_qubits, bindings)) return 1;
  return std::min<std::size_t>(bindings, pool_thread_count());
}

double AffineAngle::value(std::span<const double> values) const noexcept {
  double total = 0.0;
  for (std::size_t k = 0; k < params.size(); ++k) {
    const double x = coeffs[k] * values[params[k]];
    total = k == 0 ? x : total + x;
  }
  if (has_constant) total = params.empty() ? constant : total + constant;
  return total;
}

double python_mod(double x, double y) noexcept {
  double mod = std::fmod(x, y);
  if (mod != 0.0) {
    if ((y < 0) != (mod < 0)) mod += y;
  } else {
    mod = std::copysign(0.0, y);
  }
  return mod;
}

std::vector<double> bound_angles(const ParametricGate& pg, std::span<const double> values) {
  std::vector<double> angles = pg.angles;
  for (std::size_t s = 0; s < pg.slot.size(); ++s) angles[pg.slot[s]] = pg.expression[s].value(values);
  return angles;
}

void check_sweep_values(const ParametricProgram& pp, std::size_t values, std::size_t bindings) {
  if (values != bindings * pp.n_params) vorn::fatal(messages::fill(messages::kSweepValues, values, bindings, pp.n_params));
}

void bind(const ParametricProgram& pp, std::span<const double> values, Program& out) {
  check_sweep_values(pp, values.size(), 1);
  for (const ParametricGate& pg : pp.gates) {
    out.gates[pg.gate] = pg.row->build(bound_angles(pg, values), pg.operands);
  }
  if (pp.global_phase) out.global_phase = python_mod(pp.global_phase->value(values), 2 * 3.141592653589793);
}

bool side_by_side(SweepMode mode, U n_qubits, std::size_t bindings) noexcept {
  switch (mode) {
    case SweepMode::SideBySide:
      return true;
    case SweepMode::OneAfterAnother:
      return false;
    case SweepMode::Auto:
      break;
  }
  return bindings > 1 && n_qubits <= kSideBySideQubits;
}

std::uint64_t binding_seed(std::uint64_t seed, std::uint64_t index) {
  const RandomStream keyed = RandomStream::from_seed_value(seed);
  std::uint32_t block[16];
  RandomStream::block(keyed.key(), index, kSweepNonce, block);
  return U{block[0]} | U{block[1]} << 32;
}

std::uint64_t sweep_memory(const ParametricProgram& pp, std::size_t bindings, const RunRequest& options,
                           bool keep_states, SweepMode mode) {
  const U n = pp.program.n_qubits;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  const U state = options.single_precision ? SingleStateVector::bytes_for(n) : StateVector::bytes_for(n);
  const U one_run = required_memory(pp.program, options);
  // A run's peak per task at once, plus the states and outcomes the results
  // keep (one run's figure each, less its sampler); saturating.
  const long double total = static_cast<long double>(sweep_tasks(mode, pp, bindings)) * one_run +
                            (keep_states ? static_cast<long double>(bindings) * state : 0.0L);
  return total >= 1.8e19L ? ~U{0} : static_cast<U>(total);
}

namespace {

// The run of one bound program on a state of real type T, as run_program
// (double) or run_single_program (float) runs it after its checks.
template <class T>
BasicProgramResult<T> run_bound(const Program& program, RandomStream& stream, const RunRequest& request,
                                RunControl* control) {
  if constexpr (std::is_same_v<T, float>) {
    return run_checked_single_program(program, stream, request, control);
  } else {
    return run_checked_program(program, stream, request, control);
  }
}

template <class T>
void expectations(const ParametricProgram& pp, std::span<const double> values, std::size_t bindings,
                  const Observables& observables, RunControl* control, SweepMode mode,
                  const RunRequest& options, bool variance, SweepExpectations& out) {
  const std::size_t width = observables.size();
  for_each_binding(pp, values, bindings, pp.program.gates.size(), control, mode, [&](std::size_t b, const Program& program) {
    RandomStream unused = RandomStream::from_seed_value(0);
    BasicProgramResult<T> run = run_bound<T>(program, unused, options, control);
    const std::span<const BasicComplex<T>> psi(run.snapshot.data(), run.snapshot.size());
    const std::vector<Complex> e = observables.expectations(psi);
    std::copy(e.begin(), e.end(), out.values.begin() + static_cast<std::ptrdiff_t>(b * width));
    if (!variance) return;
    std::vector<double> means(width);
    for (std::size_t o = 0; o < width; ++o) means[o] = e[o].re;
    const std::vector<double> v = observables.variances(psi, means);
    std::copy(v.begin(), v.end(), out.variances.begin() + static_cast<std::ptrdiff_t>(b * width));
  });
}

template <class T>
std::vector<BasicProgramResult<T>> runs(const ParametricProgram& pp, std::span<const double> values,
                                        std::size_t bindings, const RunRequest& options, RunControl* control,
                                        SweepMode mode) {
  RunRequest sized = options;
  sized.single_precision = std::is_same_v<T, float>;
  vorn::require_memory(sweep_memory(pp, bindings, sized, true, mode));
  const U seed = options.seed ? *options.seed : RandomStream::from_entropy().draw_u64();
  std::vector<std::optional<BasicProgramResult<T>>> results(bindings);
  for_each_binding(pp, values, bindings, pp.program.gates.size(), control, mode, [&](std::size_t b, const Program& program) {
    RandomStream stream = RandomStream::from_seed_value(binding_seed(seed, b));
    results[b].emplace(run_bound<T>(program, stream, options, control));
  });
  std::vector<BasicProgramResult<T>> out;
  out.reserve(bindings);
  for (auto& r : results) out.push_back(std::move(*r));
  return out;
}

}  // namespace

SweepExpectations sweep_expectations(const ParametricProgram& pp, std::span<const double> values,
                                     std::size_t bindings, const Observables& observables,
                                     const RunRequest& options, RunControl* control, SweepMode mode, bool variance) {
  RunRequest unsampled = options;
  unsampled.shots = 0;
  unsampled.keep_shots = false;
  vorn::require_memory(sweep_memory(pp, bindings, unsampled, false, mode));
  SweepExpectations out;
  out.values.resize(bindings * observables.size());
  if (variance) out.variances.resize(bindings * observables.size());
  if (options.single_precision) {
    expectations<float>(pp, values, bindings, observables, control, mode, unsampled, variance, out);
  } else {
    expectations<double>(pp, values, bindings, observables, control, mode, unsampled, variance, out);
  }
  return out;
}

std::vector<ProgramResult> sweep_runs(const ParametricProgram& pp, std::span<const double> values,
                                      std::size_t bindings, const RunRequest& request, RunControl* control,
                                      SweepMode mode) {
  return runs<double>(pp, values, bindings, request, control, mode);
}

std::vector<SingleProgramResult> sweep_runs_single(const ParametricProgram& pp, std::span<const double> values,
                                                   std::size_t bindings, const RunRequest& request,
                                                   RunControl* control, SweepMode mode) {
  return runs<float>(pp, values, bindings, request, control, mode);
}

}  // namespace vorn::sim

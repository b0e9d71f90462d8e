// Adjoint-method gradients of parameterised programs (see adjoint.hpp).
#include "vorn/simulator/adjoint.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/sweep.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// Amplitudes per task of the element-wise loops below.
constexpr U kGrain = U{1} << 12;

constexpr double kPi = 3.141592653589793;
// The shift rule's weights for theta + pi/2, 3pi/2, 5pi/2, 7pi/2:
// (2 + sqrt 2)/8, -(2 - sqrt 2)/8, (2 - sqrt 2)/8, -(2 + sqrt 2)/8.
constexpr double kWide = 0.42677669529663688;
constexpr double kNarrow = 0.073223304703363121;
constexpr double kShiftWeights[4] = {kWide, -kNarrow, kNarrow, -kWide};

Complex conj(const Complex& z) { return {z.re, -z.im}; }

// Bit mask of the controls and the values they must have.
std::pair<U, U> control_condition(const CompiledGate& g) {
  U mask = 0, want = 0;
  for (std::size_t k = 0; k < g.controls.size(); ++k) {
    mask |= U{1} << g.controls[k];
    if ((g.control_values >> k) & 1) want |= U{1} << g.controls[k];
  }
  return {mask, want};
}

// i^k for k mod 4.
Complex i_power(unsigned k) {
  switch (k & 3) {
    case 0:
      return {1.0, 0.0};
    case 1:
      return {0.0, 1.0};
    case 2:
      return {-1.0, 0.0};
    default:
      return {0.0, -1.0};
  }
}

}  // namespace

CompiledGate adjoint_gate(const CompiledGate& gate) {
  CompiledGate out = gate;
  if (gate.shape == Shape::ControlledSwap) return out;
  if (gate.shape == Shape::Diagonal) {
    for (Complex& z : out.matrix) z = conj(z);
    return out;
  }
  const auto dim = static_cast<std::size_t>(std::lround(std::sqrt(static_cast<double>(gate.matrix.size()))));
  for (std::size_t r = 0; r < dim; ++r)
    for (std::size_t c = 0; c < dim; ++c) out.matrix[r * dim + c] = conj(gate.matrix[c * dim + r]);
  return out;
}

CompiledGate derivative_gate(const StandardGate& row, std::span<const double> angles, std::size_t slot,
                             std::span<const U> operands) {
  DefaultFpEnv fp_env;
  std::vector<double> shifted(angles.begin(), angles.end());
  CompiledGate out;
  for (int m = 0; m < 4; ++m) {
    shifted[slot] = angles[slot] + (2 * m + 1) * (kPi / 2);
    const CompiledGate g = row.build(shifted, operands);
    if (m == 0) {
      out = g;
      for (Complex& z : out.matrix) z = {0.0, 0.0};
    } else if (g.shape != out.shape || g.targets != out.targets || g.controls != out.controls ||
               g.control_values != out.control_values || g.matrix.size() != out.matrix.size()) {
      vorn::fatal(messages::fill(messages::kShiftedShape, row.name));
    }
    const double w = kShiftWeights[m];
    for (std::size_t k = 0; k < out.matrix.size(); ++k) {
      out.matrix[k] = {out.matrix[k].re + w * g.matrix[k].re, out.matrix[k].im + w * g.matrix[k].im};
    }
  }
  return out;
}

std::vector<double> derivative_dots(const StateVector& psi, const CompiledGate& d,
                                    std::span<const StateVector* const> lambdas) {
  if (d.shape == Shape::ControlledSwap) vorn::fatal(messages::fill(messages::kShiftedShape, "cswap"));
  const bool diagonal = d.shape == Shape::Diagonal;
  const std::size_t k = diagonal || d.shape == Shape::Dense ? d.targets.size()
                        : d.shape == Shape::TwoQubit        ? 2
                                                            : 1;
  const U dim = U{1} << k;
  std::vector<U> offset(dim, 0);
  for (U l = 0; l < dim; ++l)
    for (std::size_t j = 0; j < k; ++j)
      if ((l >> j) & 1) offset[l] |= U{1} << d.targets[j];
  std::vector<U> positions(d.targets.begin(), d.targets.begin() + static_cast<std::ptrdiff_t>(k));
  std::sort(positions.begin(), positions.end());
  const auto [mask, want] = control_condition(d);
  const Complex* p = psi.data();
  const std::size_t count = lambdas.size();
  // Item g is the group of amplitudes whose target bits run over all values and
  // whose other bits spell g; a group whose controls are not met adds 0.
  auto leaf = [&](U first, U len, double* result) {
    std::vector<double> lanes(count * kReduceLanes, 0.0);
    std::vector<Complex> image(dim);
    for (U g = first; g < first + len; ++g) {
      U base = g;
      for (U pos : positions) base = ((base >> pos) << (pos + 1)) | (base & ((U{1} << pos) - 1));
      if ((base & mask) != want) continue;
      for (U r = 0; r < dim; ++r) {
        if (diagonal) {
          image[r] = cmul(d.matrix[r], p[base | offset[r]]);
          continue;
        }
        Complex acc{0.0, 0.0};
        for (U c = 0; c < dim; ++c) {
          const Complex t = cmul(d.matrix[r * dim + c], p[base | offset[c]]);
          acc = {acc.re + t.re, acc.im + t.im};
        }
        image[r] = acc;
      }
      for (std::size_t o = 0; o < count; ++o) {
        const Complex* l = lambdas[o]->data();
        double sum = 0.0;
        for (U r = 0; r < dim; ++r) {
          const Complex& a = l[base | offset[r]];
          sum += a.re * image[r].re + a.im * image[r].im;
        }
        lanes[o * kReduceLanes + (g - first) % kReduceLanes] += sum;
      }
    }
    for (std::size_t o = 0; o < count; ++o) result[o] = combine_lanes(lanes.data() + o * kReduceLanes);
  };
  std::vector<double> out(count);
  reduce_sum(psi.size() >> k, count, leaf, out.data());
  return out;
}

void apply_pauli_sum(const StateVector& psi, const PauliSumView& h, StateVector& out) {
  const Complex* src = psi.data();
  Complex* dst = out.data();
  const std::size_t terms = h.x_masks.size();
  std::vector<Complex> phase(terms);
  for (std::size_t t = 0; t < terms; ++t) {
    phase[t] = cmul(h.coeffs[t], i_power(static_cast<unsigned>(std::popcount(h.x_masks[t] & h.z_masks[t]))));
  }
  auto body = [&](U b, U e) {
    for (U i = b; i < e; ++i) {
      Complex sum{0.0, 0.0};
      for (std::size_t t = 0; t < terms; ++t) {
        const U j = i ^ h.x_masks[t];
        const Complex v = cmul(phase[t], src[j]);
        sum = (std::popcount(h.z_masks[t] & j) & 1) ? Complex{sum.re - v.re, sum.im - v.im}
                                                     : Complex{sum.re + v.re, sum.im + v.im};
      }
      dst[i] = sum;
    }
  };
  parallel_for(psi.size(), kGrain, body);
}

std::uint64_t gradient_memory(const ParametricProgram& pp, std::size_t bindings, std::size_t observables,
                              SweepMode mode) {
  const U n = pp.program.n_qubits;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  const long double states = static_cast<long double>(sweep_tasks(mode, pp, bindings)) * (2.0L + observables);
  const long double total = states * StateVector::bytes_for(n);
  return total >= 1.8e19L ? ~U{0} : static_cast<U>(total);
}

Gradients adjoint_gradients(const ParametricProgram& pp, std::span<const double> values, std::size_t bindings,
                            std::span<const PauliSumView> observables, RunControl* control, SweepMode mode) {
  const std::size_t n_obs = observables.size();
  const std::size_t width = pp.n_params;
  const U n = pp.program.n_qubits;
  const U state_bytes = StateVector::bytes_for(n);
  const std::size_t tasks = sweep_tasks(mode, pp, bindings);
  // As many observables at once as memory allows, at least one.
  std::size_t batch = std::max<std::size_t>(n_obs, 1);
  if (const std::optional<U> room = vorn::available_memory_bytes()) {
    const U per_task = *room / std::max<U>(state_bytes * tasks, 1);
    batch = per_task < 3 ? 0 : std::min<std::size_t>(batch, per_task - 2);
  }
  if (batch == 0) {
    throw FatalError(messages::fill(messages::kGradientMemory, gradient_memory(pp, bindings, 1, mode), 1),
                     std::source_location::current(), FatalError::Kind::OutOfMemory);
  }
  vorn::require_memory(gradient_memory(pp, bindings, std::min(batch, n_obs), mode));
  const std::size_t batches = n_obs == 0 ? 0 : (n_obs + batch - 1) / batch;

  // Which parameterised gate (if any) each gate is.
  std::vector<std::size_t> parametric(pp.program.gates.size(), pp.gates.size());
  for (std::size_t k = 0; k < pp.gates.size(); ++k) parametric[pp.gates[k].gate] = k;

  Gradients out;
  out.values.assign(bindings * n_obs, Complex{0.0, 0.0});
  out.jacobian.assign(bindings * n_obs * width, 0.0);
  const U gates = pp.program.gates.size();
  for_each_binding(pp, values, bindings, 1 + 2 * gates * batches, control, mode,
                   [&](std::size_t b, const Program& program) {
    const std::span<const double> x = values.subspan(b * width, width);
    RandomStream unused = RandomStream::from_seed_value(0);
    for (std::size_t first = 0; first < n_obs; first += batch) {
      const std::size_t count = std::min(batch, n_obs - first);
      StateVector psi = std::move(run_checked_program(program, unused, 0, control).snapshot);
      if (first == 0) {
        const std::vector<Complex> e =
            expectation_values(std::span<const Complex>(psi.data(), psi.size()), observables);
        std::copy(e.begin(), e.end(), out.values.begin() + static_cast<std::ptrdiff_t>(b * n_obs));
        if (control != nullptr) control->advance(1);
      }
      std::vector<StateVector> lambda;
      lambda.reserve(count);
      for (std::size_t o = 0; o < count; ++o) {
        lambda.push_back(StateVector::create(n));
        apply_pauli_sum(psi, observables[first + o], lambda.back());
      }
      std::vector<const StateVector*> lambda_ptrs;
      for (const StateVector& l : lambda) lambda_ptrs.push_back(&l);
      for (U g = gates; g-- > 0;) {
        if (control != nullptr) control->check();
        const CompiledGate inverse = adjoint_gate(program.gates[g]);
        apply_gate(psi, inverse);
        if (parametric[g] != pp.gates.size()) {
          const ParametricGate& pg = pp.gates[parametric[g]];
          const std::vector<double> angles = bound_angles(pg, x);
          for (std::size_t s = 0; s < pg.slot.size(); ++s) {
            const AffineAngle& expr = pg.expression[s];
            if (expr.params.empty()) continue;
            // Re <lambda_o | dU psi> for every observable of the batch, through the fixed tree.
            const std::vector<double> dots =
                derivative_dots(psi, derivative_gate(*pg.row, angles, pg.slot[s], pg.operands), lambda_ptrs);
            for (std::size_t o = 0; o < count; ++o) {
              double* row = out.jacobian.data() + (b * n_obs + first + o) * width;
              for (std::size_t k = 0; k < expr.params.size(); ++k) row[expr.params[k]] += expr.coeffs[k] * (2 * dots[o]);
            }
          }
        }
        for (StateVector& l : lambda) apply_gate(l, inverse);
        if (control != nullptr) control->advance(1);
      }
    }
    if (n_obs == 0 && control != nullptr) control->advance(1);
  });
  return out;
}

}  // namespace vorn::sim

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

std::vector<double> backward_step(StateVector& psi, const CompiledGate& inverse,
                                  std::span<const CompiledGate> derivatives, std::span<StateVector* const> lambdas) {
  const CompiledGate& g = inverse;
  if (g.shape == Shape::ControlledSwap) vorn::fatal(messages::fill(messages::kShiftedShape, "cswap"));
  for (const CompiledGate& d : derivatives) {
    if (d.shape != g.shape || d.targets != g.targets || d.controls != g.controls ||
        d.control_values != g.control_values || d.matrix.size() != g.matrix.size()) {
      vorn::fatal(messages::fill(messages::kShiftedShape, "derivative"));
    }
  }
  const bool diagonal = g.shape == Shape::Diagonal;
  const std::size_t k = diagonal || g.shape == Shape::Dense ? g.targets.size()
                        : g.shape == Shape::TwoQubit        ? 2
                                                            : 1;
  const U dim = U{1} << k;
  std::vector<U> offset(dim, 0);
  for (U l = 0; l < dim; ++l)
    for (std::size_t j = 0; j < k; ++j)
      if ((l >> j) & 1) offset[l] |= U{1} << g.targets[j];
  std::vector<U> positions(g.targets.begin(), g.targets.begin() + static_cast<std::ptrdiff_t>(k));
  std::sort(positions.begin(), positions.end());
  const auto [mask, want] = control_condition(g);
  const std::size_t slots = derivatives.size(), count = lambdas.size(), width = slots * count;
  // out = m in (m: dim x dim row-major, or its diagonal).
  auto times = [&](const std::vector<Complex>& m, const Complex* in, Complex* out) {
    for (U r = 0; r < dim; ++r) {
      if (diagonal) {
        out[r] = cmul(m[r], in[r]);
        continue;
      }
      Complex acc{0.0, 0.0};
      for (U c = 0; c < dim; ++c) {
        const Complex t = cmul(m[r * dim + c], in[c]);
        acc = {acc.re + t.re, acc.im + t.im};
      }
      out[r] = acc;
    }
  };
  // Item i is the group of amplitudes whose target bits run over all values
  // and whose other bits spell i. A group whose controls are not met is left
  // as it is (the identity block) and adds 0.
  auto leaf = [&](U first, U len, double* result) {
    std::vector<double> lanes(width * kReduceLanes, 0.0);
    std::vector<Complex> in(dim), back(dim), image(dim * slots);
    for (U i = first; i < first + len; ++i) {
      U base = i;
      for (U pos : positions) base = ((base >> pos) << (pos + 1)) | (base & ((U{1} << pos) - 1));
      if ((base & mask) != want) continue;
      Complex* p = psi.data();
      for (U r = 0; r < dim; ++r) in[r] = p[base | offset[r]];
      times(g.matrix, in.data(), back.data());
      for (U r = 0; r < dim; ++r) p[base | offset[r]] = back[r];
      for (std::size_t s = 0; s < slots; ++s) times(derivatives[s].matrix, back.data(), image.data() + s * dim);
      for (std::size_t o = 0; o < count; ++o) {
        Complex* l = lambdas[o]->data();
        for (U r = 0; r < dim; ++r) in[r] = l[base | offset[r]];
        for (std::size_t s = 0; s < slots; ++s) {
          double sum = 0.0;
          for (U r = 0; r < dim; ++r) sum += in[r].re * image[s * dim + r].re + in[r].im * image[s * dim + r].im;
          lanes[(s * count + o) * kReduceLanes + (i - first) % kReduceLanes] += sum;
        }
        times(g.matrix, in.data(), back.data());
        for (U r = 0; r < dim; ++r) l[base | offset[r]] = back[r];
      }
    }
    for (std::size_t w = 0; w < width; ++w) result[w] = combine_lanes(lanes.data() + w * kReduceLanes);
  };
  std::vector<double> out(width);
  if (k == 1) {
    // The common case (one target): the same arithmetic, written out for 2x2.
    const U pos = positions[0], low = (U{1} << pos) - 1, step = U{1} << pos;
    // (m a) for a pair, as `times` computes it: a diagonal, or 2x2 row-major.
    auto times2 = [diagonal](const Complex* m, Complex a0, Complex a1) {
      if (diagonal) return std::pair{cmul(m[0], a0), cmul(m[1], a1)};
      const Complex t00 = cmul(m[0], a0), t01 = cmul(m[1], a1), t10 = cmul(m[2], a0), t11 = cmul(m[3], a1);
      return std::pair{Complex{(0.0 + t00.re) + t01.re, (0.0 + t00.im) + t01.im},
                       Complex{(0.0 + t10.re) + t11.re, (0.0 + t10.im) + t11.im}};
    };
    auto leaf1 = [&](U first, U len, double* result) {
      std::vector<double> lanes(width * kReduceLanes, 0.0);
      const Complex* m = g.matrix.data();
      Complex* p = psi.data();
      for (U i = first; i < first + len; ++i) {
        const U i0 = ((i >> pos) << (pos + 1)) | (i & low), i1 = i0 | step;
        if ((i0 & mask) != want) continue;
        const auto [b0, b1] = times2(m, p[i0], p[i1]);
        p[i0] = b0;
        p[i1] = b1;
        for (std::size_t s = 0; s < slots; ++s) {
          const auto [d0, d1] = times2(derivatives[s].matrix.data(), b0, b1);
          for (std::size_t o = 0; o < count; ++o) {
            const Complex* l = lambdas[o]->data();
            const double sum = (0.0 + (l[i0].re * d0.re + l[i0].im * d0.im)) + (l[i1].re * d1.re + l[i1].im * d1.im);
            lanes[(s * count + o) * kReduceLanes + (i - first) % kReduceLanes] += sum;
          }
        }
        for (std::size_t o = 0; o < count; ++o) {
          Complex* l = lambdas[o]->data();
          const auto [c0, c1] = times2(m, l[i0], l[i1]);
          l[i0] = c0;
          l[i1] = c1;
        }
      }
      for (std::size_t w = 0; w < width; ++w) result[w] = combine_lanes(lanes.data() + w * kReduceLanes);
    };
    reduce_sum(psi.size() >> 1, width, leaf1, out.data());
    return out;
  }
  reduce_sum(psi.size() >> k, width, leaf, out.data());
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
  // Terms in order for each amplitude; a chunk takes one term at a time, so
  // each term reads one run of the state instead of all terms at once.
  auto body = [&](U b, U e) {
    for (U i = b; i < e; ++i) dst[i] = {0.0, 0.0};
    for (std::size_t t = 0; t < terms; ++t) {
      const U x = h.x_masks[t], z = h.z_masks[t];
      const Complex f = phase[t];
      for (U i = b; i < e; ++i) {
        const U j = i ^ x;
        const Complex v = cmul(f, src[j]);
        Complex& sum = dst[i];
        sum = (std::popcount(z & j) & 1) ? Complex{sum.re - v.re, sum.im - v.im} : Complex{sum.re + v.re, sum.im + v.im};
      }
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
      std::vector<StateVector*> lambda_ptrs;
      for (StateVector& l : lambda) lambda_ptrs.push_back(&l);
      for (U g = gates; g-- > 0;) {
        if (control != nullptr) control->check();
        const CompiledGate inverse = adjoint_gate(program.gates[g]);
        if (parametric[g] == pp.gates.size()) {
          apply_gate(psi, inverse);
          for (StateVector& l : lambda) apply_gate(l, inverse);
        } else {
          // One pass: psi and the lambdas back through the gate, and
          // Re <lambda_o | dU/d(slot) psi> for each differentiated slot.
          const ParametricGate& pg = pp.gates[parametric[g]];
          const std::vector<double> angles = bound_angles(pg, x);
          std::vector<CompiledGate> derivatives;
          std::vector<std::size_t> slots;
          for (std::size_t s = 0; s < pg.slot.size(); ++s) {
            if (pg.expression[s].params.empty()) continue;
            derivatives.push_back(derivative_gate(*pg.row, angles, pg.slot[s], pg.operands));
            slots.push_back(s);
          }
          const std::vector<double> dots = backward_step(psi, inverse, derivatives, lambda_ptrs);
          for (std::size_t j = 0; j < slots.size(); ++j) {
            const AffineAngle& expr = pg.expression[slots[j]];
            for (std::size_t o = 0; o < count; ++o) {
              double* row = out.jacobian.data() + (b * n_obs + first + o) * width;
              const double d = 2 * dots[j * count + o];
              for (std::size_t t = 0; t < expr.params.size(); ++t) row[expr.params[t]] += expr.coeffs[t] * d;
            }
          }
        }
        if (control != nullptr) control->advance(1);
      }
    }
    if (n_obs == 0 && control != nullptr) control->advance(1);
  });
  return out;
}

}  // namespace vorn::sim

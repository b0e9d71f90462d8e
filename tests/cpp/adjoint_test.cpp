// Tests of the adjoint sweep's fast paths against plain references written
// here, bit for bit: the one-target backward step (items side by side in
// vectors of every instruction set, or one at a time) against a scalar loop
// over the fixed tree, and the sweep that goes back block by block against a
// gate-by-gate sweep built from the public pieces, for every parameterised
// row of the gate table, every instruction set and 1 or 2 threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/core/isa.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/adjoint.hpp"
#include "vorn/simulator/parametric.hpp"
#include "vorn/simulator/run_control.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

StateVector random_state(U n, U seed) {
  StateVector s = StateVector::create(n);
  U x = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<double>(x >> 11) / 9007199254740992.0 - 0.5;
  };
  for (U i = 0; i < s.size(); ++i) s[i] = {next(), next()};
  return s;
}

// Gives the machine its own instruction-set choice back when a test ends.
struct IsaReset {
  ~IsaReset() { force_isa_for_testing(std::nullopt); }
};

// Every instruction set this machine runs, with a pool of 1 and of 2 threads.
std::vector<std::pair<Isa, std::size_t>> isas_and_threads() {
  std::vector<std::pair<Isa, std::size_t>> out;
  for (Isa isa : runnable_isas())
    for (std::size_t threads : {1, 2}) out.emplace_back(isa, threads);
  return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_state(const StateVector& a, const StateVector& b, const char* what) {
  ASSERT_EQ(a.size(), b.size());
  for (U i = 0; i < a.size(); ++i) {
    ASSERT_TRUE(same_bits(a[i].re, b[i].re) && same_bits(a[i].im, b[i].im)) << what << " amplitude " << i;
  }
}

// m a for a pair: a diagonal or 2x2 row-major, each row summed from +0.0.
std::pair<Complex, Complex> times2(const CompiledGate& g, Complex a0, Complex a1) {
  const Complex* m = g.matrix.data();
  if (g.shape == Shape::Diagonal) return {cmul(m[0], a0), cmul(m[1], a1)};
  const Complex t00 = cmul(m[0], a0), t01 = cmul(m[1], a1), t10 = cmul(m[2], a0), t11 = cmul(m[3], a1);
  return {Complex{(0.0 + t00.re) + t01.re, (0.0 + t00.im) + t01.im},
          Complex{(0.0 + t10.re) + t11.re, (0.0 + t10.im) + t11.im}};
}

// The step for one target, one item at a time: psi and lambda back through
// the gate, the item's term Re <lambda| D psi> (0 where the controls are not
// met), summed by the fixed tree.
double reference_step(StateVector& psi, StateVector& lambda, const CompiledGate& inverse, const CompiledGate& d) {
  const U pos = inverse.targets[0], items = psi.size() >> 1;
  U mask = 0, want = 0;
  for (std::size_t k = 0; k < inverse.controls.size(); ++k) {
    mask |= U{1} << inverse.controls[k];
    if ((inverse.control_values >> k) & 1) want |= U{1} << inverse.controls[k];
  }
  std::vector<double> terms(items, 0.0);
  for (U i = 0; i < items; ++i) {
    const U i0 = ((i >> pos) << (pos + 1)) | (i & ((U{1} << pos) - 1)), i1 = i0 | (U{1} << pos);
    if ((i0 & mask) != want) continue;
    const auto [b0, b1] = times2(inverse, psi[i0], psi[i1]);
    psi[i0] = b0;
    psi[i1] = b1;
    const auto [d0, d1] = times2(d, b0, b1);
    const Complex l0 = lambda[i0], l1 = lambda[i1];
    terms[i] = (0.0 + (l0.re * d0.re + l0.im * d0.im)) + (l1.re * d1.re + l1.im * d1.im);
    const auto [c0, c1] = times2(inverse, l0, l1);
    lambda[i0] = c0;
    lambda[i1] = c1;
  }
  return fixed_tree_sum(terms.data(), items);
}

TEST(AdjointStep, OneTargetMatchesTheScalarReferenceBitForBit) {
  const IsaReset reset;
  // ry (2x2), rz (diagonal), cry (controlled: one item at a time), on the
  // lowest, a middle and the highest qubit; 2 qubits give a leaf shorter
  // than the eight lanes, 14 more than one leaf.
  struct Case {
    const char* row;
    std::vector<U> operands;
    U n;
  };
  const std::vector<Case> cases = {{"ry", {0}, 6},  {"ry", {3}, 6},     {"ry", {5}, 6},     {"rz", {0}, 6},
                                   {"rz", {4}, 6},  {"ry", {1}, 2},     {"cry", {2, 0}, 6}, {"cry", {0, 5}, 6},
                                   {"ry", {7}, 14}, {"rz", {13}, 14},   {"crz", {1, 3}, 14}};
  for (const Case& c : cases) {
    const StandardGate* row = find_standard_gate(c.row);
    ASSERT_NE(row, nullptr) << c.row;
    const std::vector<double> angles = {0.83};
    const CompiledGate inverse = adjoint_gate(row->build(angles, c.operands));
    const CompiledGate d = derivative_gate(*row, angles, 0, c.operands);
    for (const auto& [isa, threads] : isas_and_threads()) {
      ASSERT_TRUE(force_isa_for_testing(isa));
      const ThreadLimit limit(threads);
      StateVector psi = random_state(c.n, 1), lambda = random_state(c.n, 2);
      StateVector psi_ref = random_state(c.n, 1), lambda_ref = random_state(c.n, 2);
      StateVector* lambdas[] = {&lambda};
      const std::vector<double> dots = backward_step(psi, inverse, std::span(&d, 1), lambdas);
      const double want = reference_step(psi_ref, lambda_ref, inverse, d);
      ASSERT_EQ(dots.size(), 1u);
      EXPECT_TRUE(same_bits(dots[0], want)) << c.row << " on " << c.operands[0] << ": " << dots[0] << " vs " << want;
      expect_same_state(psi, psi_ref, c.row);
      expect_same_state(lambda, lambda_ref, c.row);
    }
  }
}

// A program of every parameterised row (each angle its own parameter), with
// cx and h between them: most gates on qubits below 15 (runs that go back
// block by block), some with an operand on the top qubit (gate by gate).
ParametricProgram every_row_program(U n) {
  ParametricProgram pp;
  pp.program.n_qubits = n;
  const StandardGate* cx = find_standard_gate("cx");
  const StandardGate* h = find_standard_gate("h");
  std::uint32_t next = 0;
  std::size_t placed = 0;
  for (const StandardGate& row : standard_gates()) {
    if (row.n_params == 0) continue;
    const U k = row.n_qubits == 0 ? 3 : row.n_qubits;
    const U first = (placed * 5) % (15 - k);
    std::vector<U> q(k);
    for (U i = 0; i < k; ++i) q[i] = first + i;
    if (placed % 4 == 3) q.back() = n - 1;
    std::vector<double> angles(row.n_params, 0.0);
    ParametricGate pg{pp.program.gates.size(), &row, q, angles, {}, {}};
    for (std::uint32_t s = 0; s < row.n_params; ++s) {
      pg.slot.push_back(s);
      pg.expression.push_back(AffineAngle{{next++}, {1.0}, 0.0, false});
    }
    pp.program.gates.push_back(row.build(angles, q));
    pp.gates.push_back(pg);
    const std::vector<U> pair = {first + 1, first}, one = {(placed * 3) % n};
    pp.program.gates.push_back(cx->build({}, pair));
    pp.program.gates.push_back(h->build({}, one));
    ++placed;
  }
  pp.n_params = next;
  return pp;
}


// The row's matrix as a trigonometric polynomial in theta/2 of degree 2 (the
// table's frequencies), from five builds at small angles: entry k is
// c0 + c1 cos(t/2) + s1 sin(t/2) + c2 cos t + s2 sin t (complex coefficients).
struct TrigEntries {
  std::vector<Complex> c0, c1, s1, c2, s2;
};

TrigEntries trig_entries(const StandardGate& row, std::vector<double> angles, std::size_t slot,
                         const std::vector<U>& q) {
  constexpr double kTwoPi = 6.283185307179586;
  std::vector<std::vector<Complex>> samples;
  for (int j = 0; j < 5; ++j) {
    angles[slot] = 2 * kTwoPi * j / 5;  // t/2 = 2 pi j / 5
    samples.push_back(row.build(angles, q).matrix);
  }
  TrigEntries out;
  for (std::size_t k = 0; k < samples[0].size(); ++k) {
    Complex a0{}, a1{}, b1{}, a2{}, b2{};
    for (int j = 0; j < 5; ++j) {
      const double u = kTwoPi * j / 5;
      const Complex v = samples[j][k];
      a0 = {a0.re + v.re / 5, a0.im + v.im / 5};
      a1 = {a1.re + 2 * v.re * std::cos(u) / 5, a1.im + 2 * v.im * std::cos(u) / 5};
      b1 = {b1.re + 2 * v.re * std::sin(u) / 5, b1.im + 2 * v.im * std::sin(u) / 5};
      a2 = {a2.re + 2 * v.re * std::cos(2 * u) / 5, a2.im + 2 * v.im * std::cos(2 * u) / 5};
      b2 = {b2.re + 2 * v.re * std::sin(2 * u) / 5, b2.im + 2 * v.im * std::sin(2 * u) / 5};
    }
    out.c0.push_back(a0), out.c1.push_back(a1), out.s1.push_back(b1), out.c2.push_back(a2), out.s2.push_back(b2);
  }
  return out;
}

// Every parameterised row and slot: the derivative entry at angles far beyond
// a period is the analytic one, d/dt of the polynomial evaluated with libm's
// sin and cos of the double t/2 and t (both exact reductions), to 1e-12; an
// ordinary angle agrees too (the polynomial is the row).
TEST(AdjointDerivative, LargeAnglesGiveTheAnalyticDerivativeForEveryRow) {
  std::size_t checked = 0;
  for (const StandardGate& row : standard_gates()) {
    if (row.n_params == 0) continue;
    const U k = row.n_qubits == 0 ? 3 : row.n_qubits;
    std::vector<U> q(k);
    for (U i = 0; i < k; ++i) q[i] = k - 1 - i;
    for (std::size_t slot = 0; slot < row.n_params; ++slot) {
      std::vector<double> angles(row.n_params);
      for (std::size_t j = 0; j < angles.size(); ++j) angles[j] = 0.4 + 0.3 * static_cast<double>(j);
      const TrigEntries e = trig_entries(row, angles, slot, q);
      for (double t : {0.9, -4.0, 9.5, 1e3, 1e12, -1e12, 1e16, -3e16, 1e300, -1.7e308}) {
        angles[slot] = t;
        const CompiledGate d = derivative_gate(row, angles, slot, q);
        ASSERT_EQ(d.matrix.size(), e.c0.size());
        const double ch = std::cos(t / 2), sh = std::sin(t / 2), c = std::cos(t), s = std::sin(t);
        for (std::size_t i = 0; i < d.matrix.size(); ++i) {
          const double re = -e.c1[i].re * sh / 2 + e.s1[i].re * ch / 2 - e.c2[i].re * s + e.s2[i].re * c;
          const double im = -e.c1[i].im * sh / 2 + e.s1[i].im * ch / 2 - e.c2[i].im * s + e.s2[i].im * c;
          EXPECT_NEAR(d.matrix[i].re, re, 1e-12) << row.name << " slot " << slot << " at " << t << " entry " << i;
          EXPECT_NEAR(d.matrix[i].im, im, 1e-12) << row.name << " slot " << slot << " at " << t << " entry " << i;
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 300u);
}

// Non-finite angles keep giving NaN derivatives (nothing to reduce).
TEST(AdjointDerivative, NonFiniteAnglesStayNaN) {
  const StandardGate* rx = find_standard_gate("rx");
  const std::vector<U> q = {0};
  for (double t : {INFINITY, -INFINITY, NAN}) {
    const double angles[] = {t};
    const CompiledGate d = derivative_gate(*rx, angles, 0, q);
    EXPECT_TRUE(std::isnan(d.matrix[0].re)) << t;
  }
}

// Through the whole sweep: ry(a) rx(d) on qubit 0, h on qubit 1, then
// rzz(b) and cp(c): each gradient against its closed form at huge angles,
// and the values the bits of the sweep's own expectation values (the
// forward pass is untouched).
TEST(AdjointSweep, HugeAnglesGiveTheAnalyticGradient) {
  ParametricProgram pp;
  pp.program.n_qubits = 2;
  const std::vector<U> q0 = {0}, q1 = {1}, both = {0, 1};
  auto place = [&](const char* name, const std::vector<U>& q, std::uint32_t param) {
    const StandardGate* row = find_standard_gate(name);
    const std::vector<double> zero(row->n_params, 0.0);
    if (row->n_params != 0) {
      pp.gates.push_back(
          ParametricGate{pp.program.gates.size(), row, q, zero, {0}, {AffineAngle{{param}, {1.0}, 0.0, false}}});
    }
    pp.program.gates.push_back(row->build(zero, q));
  };
  place("ry", q0, 0);
  place("rx", q0, 3);
  place("h", q1, 0);
  place("rzz", both, 1);
  place("cp", both, 2);
  pp.n_params = 4;
  // Z0, and X1.
  const std::vector<U> x_z0 = {0}, z_z0 = {1}, x_x1 = {2}, z_x1 = {0};
  const std::vector<Complex> one = {{1.0, 0.0}};
  const PauliSumView obs[] = {{x_z0, z_z0, one}, {x_x1, z_x1, one}};
  for (double big : {1e12, 1e16, -1e16, 1e300}) {
    const std::vector<double> x = {big, 0.7 * big, big / 3, 0.3 * big};
    const Gradients g = adjoint_gradients(pp, x, 1, obs, nullptr);
    const std::vector<Complex> e = sweep_expectations(pp, x, 1, obs, nullptr).values;
    ASSERT_EQ(g.values.size(), 2u);
    for (std::size_t o = 0; o < 2; ++o) {
      EXPECT_TRUE(same_bits(g.values[o].re, e[o].re) && same_bits(g.values[o].im, e[o].im)) << big;
    }
    // The diagonal gates leave Z0 alone: <Z0> = cos a cos d. Qubit 1's
    // relative phase is b when qubit 0 is 0 and c - b when it is 1, so
    // <X1> = p0 cos b + p1 cos(c - b), p0 = (1 + cos a cos d) / 2. c - b in
    // closed form (the double difference of huge angles would round).
    const double ca = std::cos(x[0]), sa = std::sin(x[0]), cb = std::cos(x[1]), sb = std::sin(x[1]);
    const double cc = std::cos(x[2]), sc = std::sin(x[2]), cd = std::cos(x[3]), sd = std::sin(x[3]);
    const double cos_cb = cc * cb + sc * sb, sin_cb = sc * cb - cc * sb;
    const double p0 = (1 + ca * cd) / 2, p1 = (1 - ca * cd) / 2;
    const double want[8] = {-sa * cd, 0.0, 0.0, -ca * sd,
                            (cb - cos_cb) * (-sa * cd) / 2, -p0 * sb + p1 * sin_cb, -p1 * sin_cb,
                            (cb - cos_cb) * (-ca * sd) / 2};
    ASSERT_EQ(g.jacobian.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_NEAR(g.jacobian[i], want[i], 1e-12) << big << " entry " << i;
  }
}

// The sweep gate by gate from the public pieces, as the adjoint method reads.
std::vector<double> reference_sweep(const ParametricProgram& pp, std::span<const double> x,
                                    std::span<const PauliSumView> observables) {
  Program program = pp.program;
  sim::bind(pp, x, program);
  StateVector psi = StateVector::create(program.n_qubits);
  for (const CompiledGate& g : program.gates) apply_gate(psi, g);
  std::vector<StateVector> lambda;
  std::vector<StateVector*> ptrs;
  for (const PauliSumView& h : observables) {
    lambda.push_back(StateVector::create(program.n_qubits));
    apply_pauli_sum(psi, h, lambda.back());
  }
  for (StateVector& l : lambda) ptrs.push_back(&l);
  std::vector<double> jac(observables.size() * pp.n_params, 0.0);
  std::size_t next = pp.gates.size();
  for (std::size_t g = program.gates.size(); g-- > 0;) {
    const CompiledGate inverse = adjoint_gate(program.gates[g]);
    if (next == 0 || pp.gates[next - 1].gate != g) {
      apply_gate(psi, inverse);
      for (StateVector& l : lambda) apply_gate(l, inverse);
      continue;
    }
    const ParametricGate& pg = pp.gates[--next];
    const std::vector<double> angles = bound_angles(pg, x);
    std::vector<CompiledGate> derivatives;
    for (std::size_t s = 0; s < pg.slot.size(); ++s) {
      derivatives.push_back(derivative_gate(*pg.row, angles, pg.slot[s], pg.operands));
    }
    const std::vector<double> dots = backward_step(psi, inverse, derivatives, ptrs);
    for (std::size_t s = 0; s < pg.slot.size(); ++s)
      for (std::size_t o = 0; o < observables.size(); ++o)
        jac[o * pp.n_params + pg.expression[s].params[0]] += 1.0 * (2 * dots[s * observables.size() + o]);
  }
  return jac;
}

TEST(AdjointSweep, BlockByBlockMatchesGateByGateForEveryRow) {
  const IsaReset reset;
  const U n = 16;
  const ParametricProgram pp = every_row_program(n);
  ASSERT_GT(pp.n_params, 10u);
  std::vector<double> x(pp.n_params);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.37 * static_cast<double>(i) - 1.9;
  // Z0 Z15 + 0.5 X3 Y14, and -0.8 Y0 X15.
  const std::vector<U> x1 = {0, U{1} << 3 | U{1} << 14}, z1 = {1 | U{1} << 15, U{1} << 14}, x2 = {1 | U{1} << 15},
                       z2 = {1};
  const std::vector<Complex> c1 = {{1.0, 0.0}, {0.5, 0.0}}, c2 = {{-0.8, 0.0}};
  const std::vector<PauliSumView> both = {PauliSumView{x1, z1, c1}, PauliSumView{x2, z2, c2}};
  for (std::size_t count : {1, 2}) {
    const std::span<const PauliSumView> obs(both.data(), count);
    const std::vector<double> want = reference_sweep(pp, x, obs);
    for (const auto& [isa, threads] : isas_and_threads()) {
      ASSERT_TRUE(force_isa_for_testing(isa));
      const ThreadLimit limit(threads);
      const Gradients got = adjoint_gradients(pp, x, 1, obs, nullptr);
      ASSERT_EQ(got.jacobian.size(), want.size());
      for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_TRUE(same_bits(got.jacobian[i], want[i]))
            << "observables " << count << " " << isa_name(isa) << " threads " << threads << " entry " << i << ": "
            << got.jacobian[i]
            << " vs " << want[i];
      }
    }
  }
}

// With a control the blocked sweep keeps its bits and counts every gate of
// its runs; a cancelled control stops it.
TEST(AdjointSweep, ControlCountsEveryGateAndCancels) {
  const ParametricProgram pp = every_row_program(16);
  const std::vector<double> x(pp.n_params, 0.3);
  const std::vector<U> xs = {U{1} << 15}, zs = {1};
  const std::vector<Complex> cs = {{0.7, 0.0}};
  const PauliSumView h[] = {{xs, zs, cs}};
  const Gradients plain = adjoint_gradients(pp, x, 1, h, nullptr);
  RunControl control;
  const Gradients watched = adjoint_gradients(pp, x, 1, h, &control);
  ASSERT_EQ(watched.jacobian.size(), plain.jacobian.size());
  for (std::size_t i = 0; i < plain.jacobian.size(); ++i) {
    EXPECT_TRUE(same_bits(watched.jacobian[i], plain.jacobian[i])) << i;
  }
  EXPECT_EQ(control.done(), control.total());
  EXPECT_EQ(control.total(), 1 + 2 * pp.program.gates.size());
  RunControl cancelled;
  cancelled.cancel();
  EXPECT_THROW(adjoint_gradients(pp, x, 1, h, &cancelled), RunCancelled);
}

}  // namespace
}  // namespace vorn::sim

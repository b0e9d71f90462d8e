// Tests of parameterised programs and the adjoint pieces: the affine angle's
// order of operations, Python's float modulo, binding seeds, binding against
// building, and for every parameterised row the derivative entry (against a
// central difference of the row's matrix, controls' projector included) and the adjoint entry (U U^dagger = I).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/adjoint.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/parametric.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using C = std::complex<double>;

// The full matrix of an entry on qubits 0..k-1 (column c = the entry applied to |c>).
std::vector<C> full_matrix(const CompiledGate& g, U k) {
  const U dim = U{1} << k;
  std::vector<C> m(dim * dim);
  for (U col = 0; col < dim; ++col) {
    StateVector s = StateVector::create(k);
    s[0] = {0.0, 0.0};
    s[col] = {1.0, 0.0};
    apply_gate(s, g);
    for (U r = 0; r < dim; ++r) m[r * dim + col] = {s[r].re, s[r].im};
  }
  return m;
}

std::vector<U> operands_for(const StandardGate& row) { return row.n_qubits == 0 ? std::vector<U>{0, 1, 2} : [&] {
  std::vector<U> q(row.n_qubits);
  for (U i = 0; i < q.size(); ++i) q[i] = i;
  return q;
}(); }

TEST(AffineAngle, TermsLeftToRightThenTheConstant) {
  const std::vector<double> x = {-0.0, 0.1, 0.2};
  AffineAngle bare{{0}, {1.0}, 0.0, false};
  EXPECT_TRUE(std::signbit(bare.value(x)));  // a bare parameter keeps -0.0
  AffineAngle e{{1, 2}, {3.0, -0.5}, 0.7, true};
  EXPECT_EQ(e.value(x), (3.0 * 0.1 + -0.5 * 0.2) + 0.7);
  AffineAngle nan{{1}, {1.0}, std::numeric_limits<double>::quiet_NaN(), true};
  EXPECT_TRUE(std::isnan(nan.value(x)));
}

TEST(PythonMod, MatchesPythonsFloatModulo) {
  const double two_pi = 2 * 3.141592653589793;
  EXPECT_EQ(python_mod(-1.0, two_pi), two_pi - 1.0);
  EXPECT_EQ(python_mod(7.0, two_pi), std::fmod(7.0, two_pi));
  EXPECT_FALSE(std::signbit(python_mod(-0.0, two_pi)));  // Python: -0.0 % 2pi == 0.0
  EXPECT_FALSE(std::signbit(python_mod(-two_pi, two_pi)));
  EXPECT_TRUE(std::isnan(python_mod(std::numeric_limits<double>::infinity(), two_pi)));
}

TEST(BindingSeed, DependsOnSeedAndIndexOnly) {
  std::set<U> seen;
  for (U seed : {0ull, 1ull, ~0ull})
    for (U b = 0; b < 50; ++b) seen.insert(binding_seed(seed, b));
  EXPECT_EQ(seen.size(), 150u);
  EXPECT_EQ(binding_seed(7, 3), binding_seed(7, 3));
}

TEST(Bind, RebuildsExactlyWhatTheRowBuilds) {
  const StandardGate* u = find_standard_gate("u");
  ParametricProgram pp;
  pp.program.n_qubits = 1;
  const std::vector<U> q = {0};
  pp.program.gates.push_back(u->build(std::vector<double>{0.0, 0.0, 0.0}, q));
  ParametricGate pg{0, u, q, {0.0, 0.5, 0.0}, {0, 2}, {AffineAngle{{0}, {2.0}, 0.1, true}, AffineAngle{{1}, {1.0}, 0.0, false}}};
  pp.gates.push_back(pg);
  pp.global_phase = AffineAngle{{1}, {-1.0}, 0.0, false};
  pp.n_params = 2;
  Program out = pp.program;
  const std::vector<double> x = {0.3, 0.9};
  sim::bind(pp, std::span<const double>(x), out);  // (unqualified, ADL would find std::bind)
  const CompiledGate direct = u->build(std::vector<double>{2.0 * 0.3 + 0.1, 0.5, 0.9}, q);
  ASSERT_EQ(out.gates[0].matrix.size(), direct.matrix.size());
  for (std::size_t i = 0; i < direct.matrix.size(); ++i) {
    EXPECT_EQ(out.gates[0].matrix[i].re, direct.matrix[i].re);
    EXPECT_EQ(out.gates[0].matrix[i].im, direct.matrix[i].im);
  }
  EXPECT_EQ(out.global_phase, python_mod(-0.9, 2 * 3.141592653589793));
}

TEST(Adjoint, EveryParameterisedRowDifferentiatesAndInverts) {
  for (const StandardGate& row : standard_gates()) {
    if (row.n_params == 0) continue;
    const std::vector<U> q = operands_for(row);
    const U k = q.size();
    std::vector<double> angles = {0.7, -1.3, 0.4, 2.1};
    angles.resize(row.n_params);
    const CompiledGate g = row.build(angles, q);
    // U U^dagger = I through the kernels.
    const std::vector<C> m = full_matrix(g, k), inv = full_matrix(adjoint_gate(g), k);
    const U dim = U{1} << k;
    for (U r = 0; r < dim; ++r)
      for (U c = 0; c < dim; ++c) {
        C sum = 0;
        for (U j = 0; j < dim; ++j) sum += inv[r * dim + j] * m[j * dim + c];
        EXPECT_NEAR(std::abs(sum - C(r == c ? 1.0 : 0.0)), 0.0, 1e-14) << row.name;
      }
    for (std::size_t s = 0; s < row.n_params; ++s) {
      const CompiledGate d = derivative_gate(row, angles, s, q);
      // D with the controls' projector, entry by entry: Re <e_r| D e_c> and Re <i e_r| D e_c>.
      std::vector<C> dm(dim * dim);
      for (U col = 0; col < dim; ++col) {
        StateVector basis = StateVector::create(k);
        basis[0] = {0.0, 0.0};
        basis[col] = {1.0, 0.0};
        for (U r = 0; r < dim; ++r) {
          StateVector re = StateVector::create(k), im = StateVector::create(k);
          re[0] = im[0] = {0.0, 0.0};
          re[r] = {1.0, 0.0};
          im[r] = {0.0, 1.0};
          StateVector* both[] = {&re, &im};
          CompiledGate identity = d;  // the step's inverse: here the identity, so only D is seen
          for (std::size_t e = 0; e < identity.matrix.size(); ++e) identity.matrix[e] = {0.0, 0.0};
          if (identity.shape == Shape::Diagonal) {
            for (Complex& z : identity.matrix) z = {1.0, 0.0};
          } else {
            const auto side = static_cast<std::size_t>(std::lround(std::sqrt(identity.matrix.size())));
            for (std::size_t e = 0; e < side; ++e) identity.matrix[e * side + e] = {1.0, 0.0};
          }
          const std::vector<double> dots = backward_step(basis, identity, std::span(&d, 1), both);
          dm[r * dim + col] = {dots[0], dots[1]};
        }
      }
      std::vector<double> plus = angles, minus = angles;
      plus[s] += 1e-6;
      minus[s] -= 1e-6;
      const std::vector<C> mp = full_matrix(row.build(plus, q), k), mm = full_matrix(row.build(minus, q), k);
      for (U i = 0; i < dim * dim; ++i) {
        EXPECT_NEAR(std::abs(dm[i] - (mp[i] - mm[i]) / 2e-6), 0.0, 1e-9) << row.name << " slot " << s << " entry " << i;
      }
    }
  }
}

TEST(Adjoint, PauliSumAppliedAsAMatrix) {
  // H = 0.5 Y(x)X on qubits (0, 1) with a Z on qubit 2: x = 0b011, z = 0b101.
  const std::vector<U> x = {0b011}, z = {0b101};
  const std::vector<Complex> c = {{0.5, 0.0}};
  const PauliSumView h{x, z, c};
  StateVector psi = StateVector::create(3), out = StateVector::create(3);
  for (U i = 0; i < 8; ++i) psi[i] = {0.1 * i, -0.05 * i + 0.2};
  apply_pauli_sum(psi, h, out);
  const C Y[2][2] = {{0, C(0, -1)}, {C(0, 1), 0}}, X[2][2] = {{0, 1}, {1, 0}}, Z[2][2] = {{1, 0}, {0, -1}};
  for (U r = 0; r < 8; ++r) {
    C sum = 0;
    for (U col = 0; col < 8; ++col) {
      const C e = Y[r & 1][col & 1] * X[(r >> 1) & 1][(col >> 1) & 1] * Z[(r >> 2) & 1][(col >> 2) & 1];
      sum += 0.5 * e * C(psi[col].re, psi[col].im);
    }
    EXPECT_NEAR(std::abs(sum - C(out[r].re, out[r].im)), 0.0, 1e-15) << r;
  }
}

}  // namespace
}  // namespace vorn::sim

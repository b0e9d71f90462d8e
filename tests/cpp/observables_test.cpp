// Pauli expectation values and variances against a reference that applies
// each string as a product of 2x2 Pauli matrices, and bit identity of every
// vector path and tiling with the sequential evaluation of the fixed tree.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <random>
#include <vector>

#include "every_isa.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/observables.hpp"

namespace vorn::sim {
namespace {

using C = std::complex<double>;

std::vector<Complex> random_state(unsigned n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<Complex> s(std::size_t{1} << n);
  double norm = 0.0;
  for (auto& a : s) a = {normal(rng), normal(rng)}, norm += a.re * a.re + a.im * a.im;
  for (auto& a : s) a = {a.re / std::sqrt(norm), a.im / std::sqrt(norm)};
  return s;
}

// P psi with P the tensor product of I, X, Y, Z read from the mask bits.
std::vector<C> apply_string(const std::vector<Complex>& psi, std::uint64_t x, std::uint64_t z, unsigned n) {
  std::vector<C> v(psi.size());
  for (std::size_t i = 0; i < psi.size(); ++i) v[i] = C(psi[i].re, psi[i].im);
  const C I(0, 1);
  for (unsigned q = 0; q < n; ++q) {
    const bool xq = (x >> q) & 1, zq = (z >> q) & 1;
    C m[2][2] = {{1, 0}, {0, 1}};
    if (xq && zq) m[0][0] = 0, m[0][1] = -I, m[1][0] = I, m[1][1] = 0;  // Y
    else if (xq) m[0][0] = 0, m[0][1] = 1, m[1][0] = 1, m[1][1] = 0;    // X
    else if (zq) m[1][1] = -1;                                          // Z
    const std::size_t bit = std::size_t{1} << q;
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i & bit) continue;
      const C a = v[i], b = v[i | bit];
      v[i] = m[0][0] * a + m[0][1] * b;
      v[i | bit] = m[1][0] * a + m[1][1] * b;
    }
  }
  return v;
}

C inner(const std::vector<Complex>& psi, const std::vector<C>& phi) {
  C s = 0;
  for (std::size_t i = 0; i < psi.size(); ++i) s += std::conj(C(psi[i].re, psi[i].im)) * phi[i];
  return s;
}

// The sequential evaluation of one string through the fixed tree: the bits
// every path must produce. The two products of each item are summed apart.
double tree_reference(const std::vector<Complex>& psi, std::uint64_t x, std::uint64_t z) {
  std::vector<double> first, second;
  const int k = std::popcount(x & z);
  const unsigned h = x == 0 ? 64 : 63 - std::countl_zero(x);
  for (std::size_t i = 0; i < psi.size(); ++i) {
    if (h < 64 && ((i >> h) & 1)) continue;  // ascending i with bit h clear = ascending representatives
    const Complex a = psi[i], b = psi[i ^ x];
    const double sign = std::popcount(i & z) % 2 ? -1.0 : 1.0;
    first.push_back(sign * (k % 2 ? a.re * b.im : a.re * b.re));
    second.push_back(sign * (k % 2 ? a.im * b.re : a.im * b.im));
  }
  const double s1 = fixed_tree_sum(first.data(), first.size()), s2 = fixed_tree_sum(second.data(), second.size());
  if (x == 0) return s1 + s2;
  const double t = k % 2 ? s1 - s2 : s1 + s2;
  return (k & 3) < 2 ? t + t : -(t + t);
}

struct Strings {
  std::vector<std::uint64_t> x, z;
};

// Random strings plus the awkward ones: identity, x = 0, every x below 8
// (not whole blocks), all Y, a top-qubit flip, and several z per x.
Strings some_strings(unsigned n, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::uint64_t all = n == 64 ? ~0ull : (std::uint64_t{1} << n) - 1;
  Strings s;
  auto add = [&](std::uint64_t x, std::uint64_t z) { s.x.push_back(x & all), s.z.push_back(z & all); };
  add(0, 0);
  add(0, rng());
  add(all, all);
  add(std::uint64_t{1} << (n - 1), rng());
  for (std::uint64_t x = 1; x < 8; ++x) add(x, rng());
  const std::uint64_t shared = rng();
  for (int k = 0; k < 4; ++k) add(shared, rng());
  add(shared, s.z.back());  // a duplicate string
  while (s.x.size() < count) add(rng(), rng());
  return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(PauliExpectations, MatchMatrixReference) {
  for (unsigned n : {1u, 2u, 3u, 4u, 9u, 14u}) {
    const std::vector<Complex> psi = random_state(n, n);
    const Strings s = some_strings(n, 40, 100 + n);
    const std::vector<double> got = pauli_expectations(psi, s.x, s.z);
    for (std::size_t t = 0; t < s.x.size(); ++t) {
      const C ref = inner(psi, apply_string(psi, s.x[t], s.z[t], n));
      ASSERT_NEAR(ref.imag(), 0.0, 1e-12);  // Hermitian: guards the reference itself
      EXPECT_NEAR(got[t], ref.real(), 1e-12) << "n=" << n << " x=" << s.x[t] << " z=" << s.z[t];
    }
  }
}

TEST(PauliExpectations, EveryPathAndTilingGivesTheTreeBits) {
  for (unsigned n : {3u, 12u, 15u, 16u}) {
    const std::vector<Complex> psi = random_state(n, 7 * n);
    const Strings s = some_strings(n, 60, n);
    std::vector<double> ref;
    for (std::size_t t = 0; t < s.x.size(); ++t) ref.push_back(tree_reference(psi, s.x[t], s.z[t]));
    isa_test::for_each_isa([&](Isa) {
      for (unsigned tile : {0u, 13u, 14u, 16u}) {
        const std::vector<double> got = pauli_expectations(psi, s.x, s.z, {tile});
        for (std::size_t t = 0; t < s.x.size(); ++t) {
          ASSERT_TRUE(same_bits(got[t], ref[t])) << "n=" << n << " tile=" << tile << " x=" << s.x[t]
                                                 << " z=" << s.z[t];
        }
      }
    });
  }
}

TEST(ExpectationValues, ComplexCoefficientsNaNAndTheEmptySum) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Complex> psi = random_state(4, 9);
  const std::vector<std::uint64_t> x = {0, 3, 12}, z = {5, 1, 12};
  const std::vector<Complex> with_nan = {{1.0, 0.0}, {nan, 0.0}, {0.5, 0.0}}, cplx = {{1.0, -2.0}, {2.0, 0.5}, {0.0, 3.0}};
  const PauliSumView obs[] = {{x, z, with_nan}, {x, z, cplx}, {{}, {}, {}}};
  std::vector<Complex> got = expectation_values(psi, obs);
  EXPECT_TRUE(std::isnan(got[0].re));
  C ref = 0;  // the other observables are untouched
  for (std::size_t t = 0; t < x.size(); ++t) ref += C(cplx[t].re, cplx[t].im) * inner(psi, apply_string(psi, x[t], z[t], 4));
  EXPECT_NEAR(got[1].re, ref.real(), 1e-12);
  EXPECT_NEAR(got[1].im, ref.imag(), 1e-12);
  EXPECT_EQ(got[2].re, 0.0);
  EXPECT_EQ(got[2].im, 0.0);
  // A NaN amplitude reaches every string that reads it.
  psi[6].im = nan;
  for (double v : pauli_expectations(psi, x, z)) EXPECT_TRUE(std::isnan(v));
}

TEST(Variances, MatchReferenceAndVanishOnEigenstates) {
  for (unsigned n : {1u, 2u, 7u, 13u}) {  // below and above blocks of eight outputs, two leaves
    const std::vector<Complex> psi = random_state(n, 11 + n);
    const Strings s = some_strings(n, 25, 12);
    std::mt19937_64 rng(13);
    std::normal_distribution<double> normal;
    std::vector<Complex> c;
    for (std::size_t t = 0; t < s.x.size(); ++t) c.push_back({normal(rng), 0.0});
    const PauliSumView obs[] = {{s.x, s.z, c}, {{}, {}, {}}};
    const std::vector<Complex> e = expectation_values(psi, obs);
    const double means[] = {e[0].re, e[1].re};
    const std::vector<double> var = variances(psi, obs, means);
    std::vector<C> h(psi.size(), 0.0);
    for (std::size_t t = 0; t < s.x.size(); ++t) {
      const std::vector<C> p = apply_string(psi, s.x[t], s.z[t], n);
      for (std::size_t i = 0; i < h.size(); ++i) h[i] += c[t].re * p[i];
    }
    double ref = 0.0;
    for (std::size_t i = 0; i < h.size(); ++i) ref += std::norm(h[i] - means[0] * C(psi[i].re, psi[i].im));
    EXPECT_NEAR(var[0], ref, 1e-10) << "n=" << n;
    // Every instruction set gives the machine's choice's bits.
    isa_test::for_each_isa([&](Isa) {
      EXPECT_TRUE(same_bits(variances(psi, obs, means)[0], var[0])) << "n=" << n;
      const std::vector<Complex> forced = expectation_values(psi, obs);
      EXPECT_TRUE(same_bits(forced[0].re, e[0].re) && same_bits(forced[0].im, e[0].im)) << "n=" << n;
    });
    EXPECT_GT(var[0], 0.01) << "n=" << n;
    EXPECT_EQ(var[1], 0.0);
  }
  const unsigned n = 7;

  // |0...0> is an eigenstate of every Z string: the variance is exactly 0.
  std::vector<Complex> zero(std::size_t{1} << n, Complex{0.0, 0.0});
  zero[0] = {1.0, 0.0};
  const std::vector<std::uint64_t> zx = {0, 0, 0}, zz = {1, 6, 127};
  const std::vector<Complex> zc = {{0.3, 0.0}, {-1.5, 0.0}, {2.0, 0.0}};
  const PauliSumView zobs[] = {{zx, zz, zc}};
  const double zmean[] = {expectation_values(zero, zobs)[0].re};
  EXPECT_EQ(zmean[0], 0.3 - 1.5 + 2.0);
  EXPECT_EQ(variances(zero, zobs, zmean)[0], 0.0);
}

// A control that is not cancelled changes no bit and counts every leaf; a
// cancelled one stops both evaluations at their first leaf.
TEST(Observables, ControlCountsLeavesAndCancelsBetweenThem) {
  const unsigned n = 16;
  const std::vector<Complex> psi = random_state(n, 21);
  const Strings s = some_strings(n, 40, 22);
  std::vector<Complex> coeffs(s.x.size());
  for (std::size_t t = 0; t < coeffs.size(); ++t) coeffs[t] = {0.25 * static_cast<double>(t % 7) - 0.5, 0.0};
  const PauliSumView obs[] = {{s.x, s.z, coeffs}};
  const std::vector<Complex> plain = expectation_values(psi, obs);
  const double mean[] = {plain[0].re};
  const std::vector<double> plain_var = variances(psi, obs, mean);

  RunControl control;
  const ObservableOptions watched{.control = &control};
  const std::vector<Complex> got = expectation_values(psi, obs, watched);
  const std::vector<double> got_var = variances(psi, obs, mean, watched);
  EXPECT_TRUE(same_bits(got[0].re, plain[0].re) && same_bits(got[0].im, plain[0].im));
  EXPECT_TRUE(same_bits(got_var[0], plain_var[0]));
  EXPECT_GT(control.total(), reduce_leaf_count(psi.size()));
  EXPECT_EQ(control.done(), control.total());

  RunControl cancelled;
  cancelled.cancel();
  const ObservableOptions stopped{.control = &cancelled};
  EXPECT_THROW(expectation_values(psi, obs, stopped), RunCancelled);
  EXPECT_THROW(variances(psi, obs, mean, stopped), RunCancelled);
  EXPECT_EQ(cancelled.done(), 0u);
}

TEST(Observables, BadInputIsRejectedWithAReason) {
  const std::vector<Complex> psi = random_state(3, 1);
  const std::vector<std::uint64_t> ok = {1}, high = {8};
  const std::vector<Complex> real = {{1.0, 0.0}}, cplx = {{1.0, 0.5}};
  auto message = [](auto&& f) {
    try {
      f();
    } catch (const FatalError& e) {
      return e.message();
    }
    return std::string("no error");
  };
  EXPECT_NE(message([&] { pauli_expectations(std::span(psi).first(6), ok, ok); }).find("state length 6"), std::string::npos);
  EXPECT_NE(message([&] { pauli_expectations(psi, high, ok); }).find("x mask 8"), std::string::npos);
  const PauliSumView short_coeffs[] = {{ok, ok, {}}};
  EXPECT_NE(message([&] { expectation_values(psi, short_coeffs); }).find("lengths 1, 1 and 0"), std::string::npos);
  const PauliSumView complex_obs[] = {{ok, ok, cplx}};
  const double mean[] = {0.0};
  EXPECT_NE(message([&] { variances(psi, complex_obs, mean); }).find("real coefficients"), std::string::npos);
  const PauliSumView real_obs[] = {{ok, ok, real}};
  EXPECT_NE(message([&] { variances(psi, real_obs, {}); }).find("means"), std::string::npos);
}

bool same_bits(std::span<const Complex> a, std::span<const Complex> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}
bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// PauliSums through the Observables interface gives the Pauli functions'
// bits, from its own copy of the terms (the caller's arrays are overwritten
// and the first owner destroyed before it is read).
TEST(PauliSums, ServeTheInterfaceWithTheFunctionsBitsFromTheirOwnCopy) {
  const unsigned n = 5;
  const std::vector<Complex> psi = random_state(n, 7);
  std::vector<SingleComplex> single(psi.size());
  for (std::size_t i = 0; i < psi.size(); ++i) {
    single[i] = {static_cast<float>(psi[i].re), static_cast<float>(psi[i].im)};
  }
  std::vector<std::uint64_t> x = {0, 0b00011, 0b10100, 0b00011, 0}, z = {0b00001, 0b00010, 0b10100, 0b01000, 0};
  std::vector<Complex> c = {{0.5, 0.0}, {-1.25, 0.0}, {0.75, 0.0}, {2.0, 0.0}, {0.25, 0.0}};
  const std::vector<PauliSumView> views = {{std::span(x).first(3), std::span(z).first(3), std::span(c).first(3)},
                                           {std::span(x).last(2), std::span(z).last(2), std::span(c).last(2)}};
  const std::vector<Complex> e = expectation_values(psi, views);
  const std::vector<Complex> e_single = expectation_values(std::span<const SingleComplex>(single), views);
  const std::vector<double> means = {e[0].re, e[1].re};
  const std::vector<double> v = variances(psi, views, means);
  const std::vector<double> v_single = variances(std::span<const SingleComplex>(single), views, means);
  StateVector state = StateVector::create(n);
  std::memcpy(state.data(), psi.data(), psi.size() * sizeof(Complex));
  std::vector<StateVector> applied;
  for (const PauliSumView& h : views) {
    applied.push_back(StateVector::create(n));
    apply_pauli_sum(state, h, applied.back());
  }

  std::optional<PauliSums> first(std::in_place, views);
  const PauliSums copy(*first);
  first.reset();
  std::fill(x.begin(), x.end(), 0b11111);
  std::fill(c.begin(), c.end(), Complex{9.0, 0.0});
  const Observables& obs = copy;

  ASSERT_EQ(obs.size(), 2u);
  EXPECT_FALSE(obs.non_hermitian().has_value());
  EXPECT_TRUE(same_bits(obs.expectations(psi), e));
  EXPECT_TRUE(same_bits(obs.expectations(std::span<const SingleComplex>(single)), e_single));
  EXPECT_TRUE(same_bits(obs.variances(psi, means), v));
  EXPECT_TRUE(same_bits(obs.variances(std::span<const SingleComplex>(single), means), v_single));
  for (std::size_t o = 0; o < 2; ++o) {
    StateVector out = StateVector::create(n);
    obs.apply(o, state, out);
    EXPECT_EQ(std::memcmp(out.data(), applied[o].data(), psi.size() * sizeof(Complex)), 0) << o;
  }
  const PauliStrings strings = obs.strings();
  EXPECT_EQ(strings.x_masks, (std::vector<std::uint64_t>{0, 0b00011, 0b10100, 0b00011, 0}));
  EXPECT_EQ(strings.z_masks, z);
  EXPECT_TRUE(same_bits(obs.from_strings(pauli_expectations(psi, strings.x_masks, strings.z_masks)), e));
}

TEST(PauliSums, NameTheFirstComplexCoefficientAndRefuseMalformedInput) {
  const std::vector<std::uint64_t> masks = {1, 0};
  const std::vector<Complex> real = {{1.0, -0.0}, {2.0, 0.0}};
  const std::vector<Complex> nan_imag = {{1.0, 0.0}, {2.0, std::numeric_limits<double>::quiet_NaN()}};
  const std::vector<Complex> half = {{1.0, 0.5}, {2.0, 0.0}};
  const PauliSumView hermitian[] = {{masks, masks, real}};
  EXPECT_FALSE(PauliSums(hermitian).non_hermitian().has_value());  // -0.0 is a real part's sign, not imaginary
  const PauliSumView with_nan[] = {{masks, masks, real}, {masks, masks, nan_imag}};
  const std::optional<std::string> why = PauliSums(with_nan).non_hermitian();
  ASSERT_TRUE(why.has_value());
  EXPECT_NE(why->find("term 1 of observable 1 has an imaginary component"), std::string::npos) << *why;
  const PauliSumView with_half[] = {{masks, masks, half}, {masks, masks, nan_imag}};
  EXPECT_NE(PauliSums(with_half).non_hermitian()->find("term 0 of observable 0 has an imaginary component 0.5"),
            std::string::npos);

  const PauliSumView short_coeffs[] = {{masks, masks, std::span(real).first(1)}};
  try {
    PauliSums sums(short_coeffs);
    ADD_FAILURE() << "mismatched lengths accepted";
  } catch (const FatalError& e) {
    EXPECT_NE(e.message().find("lengths 2, 2 and 1"), std::string::npos) << e.message();
  }
  const PauliSums sums(hermitian);
  const double one_value[] = {1.0};
  try {
    sums.from_strings(one_value);
    ADD_FAILURE() << "one value for two strings accepted";
  } catch (const FatalError& e) {
    EXPECT_NE(e.message().find("1 string values given for 2 Pauli strings"), std::string::npos) << e.message();
  }
}

}  // namespace
}  // namespace vorn::sim

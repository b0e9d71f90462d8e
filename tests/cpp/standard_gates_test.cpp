// Tests of the standard gate library. Each gate is compiled and applied by
// the kernels to every basis state (its full matrix), then checked for
// unitarity, shape, call checks, identities between gates and against the
// defining formulas; and `unitary`'s acceptance and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "every_isa.hpp"
#include "kernel_reference.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using C = std::complex<double>;
using Mat = std::vector<C>;  // square, row-major
constexpr double kPi = std::numbers::pi;
constexpr double kUlps = 4.5e-16;  // two ulps of 1: t*t has 2*kS*kS = 1 + 2^-52

// f must throw FatalError with `text` in its message.
void expect_fatal(const std::function<void()>& f, const std::string& text) {
  try {
    f();
  } catch (const FatalError& e) {
    EXPECT_NE(e.message().find(text), std::string::npos) << e.message();
    return;
  }
  ADD_FAILURE() << "no FatalError; expected one with: " << text;
}

CompiledGate make(std::string_view name, std::vector<double> p, std::vector<U> q) {
  return find_standard_gate(name)->build(p, q);
}

// Column j = the gate applied by the kernels to |j> on n qubits.
Mat full(const CompiledGate& g, U n) {
  validate(g, n);
  const U dim = U{1} << n;
  Mat m(dim * dim);
  for (U j = 0; j < dim; ++j) {
    StateVector s = StateVector::create(n);
    s[0] = {0.0, 0.0};
    s[j] = {1.0, 0.0};
    apply_gate(s, g);
    for (U r = 0; r < dim; ++r) m[r * dim + j] = {s[r].re, s[r].im};
  }
  return m;
}
Mat full(std::string_view name, std::vector<double> p, std::vector<U> q, U n) { return full(make(name, p, q), n); }

U dim(const Mat& a) { return static_cast<U>(std::lround(std::sqrt(a.size()))); }
Mat mul(const Mat& a, const Mat& b) {
  const U d = dim(a);
  Mat c(d * d);
  for (U i = 0; i < d; ++i)
    for (U k = 0; k < d; ++k)
      for (U j = 0; j < d; ++j) c[i * d + j] += a[i * d + k] * b[k * d + j];
  return c;
}
Mat kron(const Mat& hi, const Mat& lo) {  // hi on the upper qubits (Qiskit's q1 (x) q0)
  const U a = dim(hi), b = dim(lo), d = a * b;
  Mat c(d * d);
  for (U i = 0; i < d; ++i)
    for (U j = 0; j < d; ++j) c[i * d + j] = hi[(i / b) * a + j / b] * lo[(i % b) * b + j % b];
  return c;
}
Mat lin(C x, const Mat& a, C y, const Mat& b) {
  Mat c(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) c[i] = x * a[i] + y * b[i];
  return c;
}
double diff(const Mat& a, const Mat& b) {
  double d = a.size() == b.size() ? 0.0 : INFINITY;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}
std::vector<Complex> to_vorn(const Mat& a) {
  std::vector<Complex> v;
  for (C z : a) v.push_back({z.real(), z.imag()});
  return v;
}

const Mat kI2{1, 0, 0, 1}, kX{0, 1, 1, 0}, kY{0, C(0, -1), C(0, 1), 0}, kZ{1, 0, 0, -1}, kI4 = kron(kI2, kI2);
U operands(const StandardGate& g) { return g.n_qubits == 0 ? 3 : g.n_qubits; }  // mcx / mcp: 2 controls

TEST(StandardGates, EveryRowIsUnitaryAndChecksItsCall) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> angle(-7.0, 7.0);
  for (const StandardGate& g : standard_gates()) {
    SCOPED_TRACE(std::string(g.name));
    const U n = operands(g);
    std::vector<double> p(g.n_params);
    std::vector<U> q;
    for (U i = 0; i < n; ++i) q.push_back(n - 1 - i);  // reversed, so operand order matters
    for (int trial = 0; trial < 3; ++trial) {
      for (double& a : p) a = angle(rng);
      EXPECT_TRUE(is_unitary(to_vorn(full(g.build(p, q), n)), U{1} << n, 1e-14));
    }
    std::vector<double> more = p;
    more.push_back(0.5);
    expect_fatal([&] { g.build(more, q); }, " takes ");
    if (g.n_qubits != 0) {
      std::vector<U> extra = q;
      extra.push_back(n);
      expect_fatal([&] { g.build(p, extra); }, " takes ");
    }
    if (n >= 2) {
      std::vector<U> repeated = q;
      repeated.back() = q[0];
      expect_fatal([&] { g.build(p, repeated); }, "qubit " + std::to_string(q[0]) + " is used twice");
    }
    if (!p.empty()) {
      // Accepted, and the NaN reaches the matrix rather than vanishing.
      p.back() = NAN;
      const CompiledGate nan_gate = g.build(p, q);
      EXPECT_TRUE(std::any_of(nan_gate.matrix.begin(), nan_gate.matrix.end(),
                              [](const Complex& z) { return std::isnan(z.re) || std::isnan(z.im); }))
          << g.name;
    }
  }
  expect_fatal([] { make("mcx", {}, {}); }, "at least 1 qubit");
}

TEST(StandardGates, ShapesAndOperandPlacement) {
  const std::pair<Shape, std::vector<std::string_view>> groups[] = {
      {Shape::Single, {"id", "x", "y", "z", "h", "s", "t", "sx", "sxdg", "r", "rx", "ry", "rz", "u", "u2", "u3"}},
      {Shape::Diagonal, {"sdg", "tdg", "p", "u1", "cz", "cs", "csdg", "cp", "crz", "cu1", "rzz", "ccz", "mcp"}},
      {Shape::MultiControlled, {"cx", "cy", "ch", "csx", "crx", "cry", "cu", "cu3", "mcx"}},
      {Shape::TwoQubit, {"swap", "iswap", "dcx", "ecr", "rxx", "ryy", "rzx", "xx_plus_yy", "xx_minus_yy"}},
      {Shape::DoublyControlled, {"ccx"}}, {Shape::ControlledSwap, {"cswap"}}, {Shape::Dense, {"rccx"}}};
  std::size_t listed = 0;
  for (const auto& [shape, names] : groups) {
    for (std::string_view name : names) {
      ++listed;
      SCOPED_TRACE(std::string(name));
      const StandardGate* g = find_standard_gate(name);
      ASSERT_NE(g, nullptr);
      std::vector<U> q{5, 3, 8};
      q.resize(operands(*g));
      const CompiledGate c = g->build(std::vector<double>(g->n_params, 0.3), q);
      EXPECT_EQ(c.shape, shape);
      if (shape == Shape::MultiControlled || (shape == Shape::Diagonal && name != "rzz")) {
        EXPECT_EQ(c.targets, std::vector<U>{q.back()});  // controls first, as in Qiskit
        EXPECT_EQ(c.controls, std::vector<U>(q.begin(), q.end() - 1));
      }
    }
  }
  EXPECT_EQ(listed, standard_gates().size());
}

TEST(StandardGates, VornPythonGatesCompileToTheSameEntries) {
  for (const GateInfo& info : kGateTable) {
    SCOPED_TRACE(std::string(info.name));
    if (info.kind == GateKind::CZ) continue;  // on the diagonal path (CzIsVornPythonsCzOnTheDiagonalPath)
    std::vector<U> q{2, 0, 1};
    q.resize(info.n_qubits);
    const CompiledGate a = make(info.name, std::vector<double>(info.has_angle ? 1 : 0, 2.75), q);
    const CompiledGate b = *compile_gate(info.kind, 2.75, q);
    EXPECT_TRUE(a.shape == b.shape && a.targets == b.targets && a.controls == b.controls &&
                a.control_values == b.control_values && a.matrix.size() == b.matrix.size());
    const std::size_t bytes = b.matrix.size() * sizeof(Complex);  // 0 for cswap (no matrix)
    EXPECT_TRUE(bytes == 0 || std::memcmp(a.matrix.data(), b.matrix.data(), bytes) == 0);
  }
}

TEST(StandardGates, IdentitiesBetweenGatesAndWithTheirFormulas) {
  const double th = 1.234, ph = -0.567, la = 2.891, ga = 0.45, c = std::cos(th / 2), s = std::sin(th / 2);
  auto g1 = [](std::string_view n, std::vector<double> p = {}) { return full(n, p, {0}, 1); };
  auto g2 = [](std::string_view n, std::vector<double> p = {}) { return full(n, p, {0, 1}, 2); };
  auto g3 = [](std::string_view n, std::vector<double> p = {}) { return full(n, p, {0, 1, 2}, 3); };
  const C e_phi = std::polar(1.0, ph), e_lam = std::polar(1.0, la), mi(0, -1);
  const Mat u_doc{c, -e_lam * s, e_phi * s, e_phi * e_lam * c}, p0{1, 0, 0, 0}, p1{0, 0, 0, 1};
  // exp(-i th/4 h) for h = XX +- YY (h^2 = 4 on its support), conjugated by RZ(beta) on q0 / q1.
  auto rot = [&](const Mat& h) { return lin(1.0, lin(1.0, kI4, (c - 1.0) / 4.0, mul(h, h)), mi * s / 2.0, h); };
  const Mat rz0 = kron(kI2, g1("rz", {ph})), rz0m = kron(kI2, g1("rz", {-ph}));
  const Mat rz1 = kron(g1("rz", {ph}), kI2), rz1m = kron(g1("rz", {-ph}), kI2);
  const Mat rccx = g3("rccx"), cu_doc = lin(1.0, kron(kI2, p0), std::polar(1.0, ga), kron(u_doc, p1));
  const struct {
    const char* what;
    Mat got, want;
    double tol;
  } cases[] = {
      {"s s = z", mul(g1("s"), g1("s")), g1("z"), 0},
      {"t t = s", mul(g1("t"), g1("t")), g1("s"), kUlps},
      {"sx sx = x", mul(g1("sx"), g1("sx")), g1("x"), 0},
      {"sdg s = I", mul(g1("sdg"), g1("s")), kI2, 0},
      {"tdg t = I", mul(g1("tdg"), g1("t")), kI2, kUlps},
      {"sxdg sx = I", mul(g1("sxdg"), g1("sx")), kI2, 0},
      {"u formula", g1("u", {th, ph, la}), u_doc, 1e-15},
      {"u3 = u", g1("u3", {th, ph, la}), g1("u", {th, ph, la}), 0},
      {"u2 = u(pi/2)", g1("u2", {ph, la}), g1("u", {kPi / 2, ph, la}), 1e-15},
      {"u1 = p", g1("u1", {la}), g1("p", {la}), 0},
      {"r(th, 0) = rx", g1("r", {th, 0.0}), g1("rx", {th}), 0},
      {"r(th, pi/2) = ry", g1("r", {th, kPi / 2}), g1("ry", {th}), kUlps},
      {"rz = e^(-i th/2) p", g1("rz", {th}), lin(std::polar(1.0, -th / 2), g1("p", {th}), 0.0, kI2), kUlps},
      {"cu formula", g2("cu", {th, ph, la, ga}), cu_doc, 1e-15},
      {"cu(gamma 0) = cu3", g2("cu", {th, ph, la, 0.0}), g2("cu3", {th, ph, la}), 0},
      {"cs = cp(pi/2)", g2("cs"), g2("cp", {kPi / 2}), kUlps},
      {"rxx formula", g2("rxx", {th}), lin(c, kI4, mi * s, kron(kX, kX)), kUlps},
      {"ryy formula", g2("ryy", {th}), lin(c, kI4, mi * s, kron(kY, kY)), kUlps},
      {"rzz formula", g2("rzz", {th}), lin(c, kI4, mi * s, kron(kZ, kZ)), kUlps},
      {"rzx formula", g2("rzx", {th}), lin(c, kI4, mi * s, kron(kX, kZ)), kUlps},
      {"xx_plus_yy formula", g2("xx_plus_yy", {th, ph}),
       mul(rz0m, mul(rot(lin(1.0, kron(kX, kX), 1.0, kron(kY, kY))), rz0)), 1e-15},
      {"xx_minus_yy formula", g2("xx_minus_yy", {th, ph}),
       mul(rz1, mul(rot(lin(1.0, kron(kX, kX), -1.0, kron(kY, kY))), rz1m)), 1e-15},
      {"iswap = xx_plus_yy(-pi)", g2("iswap"), g2("xx_plus_yy", {-kPi, 0.0}), kUlps},
      {"dcx = cx(1,0) cx(0,1)", g2("dcx"), mul(full("cx", {}, {1, 0}, 2), g2("cx")), 0},
      {"ecr = (IX - XY)/sqrt2", g2("ecr"), lin(M_SQRT1_2, kron(kI2, kX), -M_SQRT1_2, kron(kX, kY)), kUlps},
      {"ccz = mcp(pi)", g3("ccz"), g3("mcp", {kPi}), kUlps},
      {"mcx(2 controls) = ccx", full("mcx", {}, {2, 0, 1}, 3), full("ccx", {}, {2, 0, 1}, 3), 0},
      {"mcx(1 control) = cx", full("mcx", {}, {1, 0}, 2), full("cx", {}, {1, 0}, 2), 0},
      {"mcx(no control) = x", full("mcx", {}, {1}, 2), full("x", {}, {1}, 2), 0},
      {"mcp(no control) = p", full("mcp", {la}, {1}, 2), full("p", {la}, {1}, 2), 0},
      {"rccx rccx = I", mul(rccx, rccx), kron(kI2, kI4), 0},
  };
  for (const auto& x : cases) EXPECT_LE(diff(x.got, x.want), x.tol) << x.what;
  // rccx is ccx up to relative phases.
  const Mat ccx = g3("ccx");
  for (std::size_t i = 0; i < ccx.size(); ++i) EXPECT_EQ(std::abs(rccx[i]), std::abs(ccx[i])) << i;
  // Controlled gates: the base gate on q1 where the control q0 is 1, the identity elsewhere.
  const std::pair<const char*, const char*> controlled[] = {
      {"cx", "x"}, {"cy", "y"}, {"cz", "z"}, {"ch", "h"}, {"cs", "s"}, {"csdg", "sdg"}, {"csx", "sx"},
      {"cp", "p"}, {"crx", "rx"}, {"cry", "ry"}, {"crz", "rz"}, {"cu1", "u1"}, {"cu3", "u3"}};
  for (const auto& [cname, base] : controlled) {
    const double angles[] = {th, ph, la};
    const std::vector<double> p(angles, angles + find_standard_gate(cname)->n_params);
    EXPECT_EQ(g2(cname, p), lin(1.0, kron(kI2, p0), 1.0, kron(g1(base, p), p1))) << cname;
  }
}

// A caller's flush-to-zero / denormals-are-zero setting does not reach the
// matrices: a subnormal angle gives the same bits either way.
TEST(StandardGates, MatricesIgnoreTheCallersFpMode) {
  const std::vector<double> tiny{1e-310, 3e-310, -2e-310};
  const CompiledGate plain = make("u", tiny, {0});
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);  // FTZ, DAZ
  const CompiledGate flushed = make("u", tiny, {0});
  _mm_setcsr(saved);
  EXPECT_EQ(std::memcmp(plain.matrix.data(), flushed.matrix.data(), 4 * sizeof(Complex)), 0);
  EXPECT_NE(plain.matrix[2].re, 0.0);  // cos(phi) sin(theta/2): subnormal, kept
}

TEST(StandardGates, ManyControlsInAnyOrder) {
  const std::vector<U> q{6, 1, 7, 0, 4, 2, 5, 3};  // seven controls, target 3
  const Mat mcx = full("mcx", {}, q, 8), mcp = full("mcp", {0.4}, q, 8);
  const U controls = 0xF7, d = 256;
  for (U j = 0; j < d; ++j) {
    const bool on = (j & controls) == controls;
    EXPECT_EQ(mcx[(on ? j ^ 8 : j) * d + j], C(1.0)) << j;
    EXPECT_EQ(mcp[j * d + j], on && (j & 8) ? std::polar(1.0, 0.4) : C(1.0)) << j;
  }
}

TEST(StandardGates, UnitaryAcceptsUnitariesAndNamesWhatIsWrong) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  auto random_unitary = [&](U d) {  // Gram-Schmidt on the rows of a random matrix (QR's Q)
    Mat m(d * d);
    for (C& z : m) z = {normal(rng), normal(rng)};
    for (U r = 0; r < d; ++r) {
      for (U k = 0; k < r; ++k) {
        C dot = 0;
        for (U i = 0; i < d; ++i) dot += std::conj(m[k * d + i]) * m[r * d + i];
        for (U i = 0; i < d; ++i) m[r * d + i] -= dot * m[k * d + i];
      }
      double norm = 0;
      for (U i = 0; i < d; ++i) norm += std::norm(m[r * d + i]);
      for (U i = 0; i < d; ++i) m[r * d + i] /= std::sqrt(norm);
    }
    return m;
  };
  const Shape shapes[] = {Shape::Single, Shape::TwoQubit, Shape::Dense};
  const std::vector<U> q012{0, 1, 2};
  for (U k = 1; k <= 3; ++k) {
    const Mat u = random_unitary(U{1} << k);
    const CompiledGate g = compile_unitary(to_vorn(u), std::span(q012).first(k));
    EXPECT_EQ(g.shape, shapes[k - 1]);
    EXPECT_LE(diff(full(g, k), u), 1e-15);
  }
  // qubits[0] is bit 0 of the row index: on (1, 0) the matrix is seen through swaps.
  const Mat u4 = random_unitary(4), swap = full("swap", {}, {0, 1}, 2);
  EXPECT_LE(diff(full(compile_unitary(to_vorn(u4), std::vector<U>{1, 0}), 2), mul(swap, mul(u4, swap))), 1e-15);
  const std::vector<Complex> u2 = to_vorn(u4);
  const std::vector<U> q01{0, 1};
  std::vector<Complex> bad = u2;
  bad[5].re += 1e-6;
  EXPECT_FALSE(is_unitary(bad, 4));
  expect_fatal([&] { compile_unitary(bad, q01); }, "matrix is not unitary");
  EXPECT_NO_THROW(compile_unitary(bad, q01, 1e-5));
  bad = u2;
  bad[2].im = NAN;
  EXPECT_FALSE(is_unitary(bad, 4, INFINITY));
  expect_fatal([&] { compile_unitary(bad, q01); }, "(0, 2) is not finite");
  expect_fatal([&] { compile_unitary(std::span(u2).first(9), q01); },
               "expected a 4x4 matrix for 2 qubit(s), got 9 entries");
  EXPECT_FALSE(is_unitary(u2, 3));
  const std::vector<Complex> unit_rows_not_orthogonal{{1, 0}, {0, 0}, {1, 0}, {0, 0}};
  const std::vector<Complex> orthogonal_rows_not_unit{{0, 0}, {1.5, 0}, {0, 0.5}, {0, 0}};
  EXPECT_FALSE(is_unitary(unit_rows_not_orthogonal, 2, 0.5));
  EXPECT_FALSE(is_unitary(orthogonal_rows_not_unit, 2, 0.5));
  expect_fatal([&] { compile_unitary(u2, std::vector<U>{3, 3}); }, "qubit 3 is used twice");
  expect_fatal([&] { compile_unitary(u2, std::vector<U>(11, 0)); }, "11 qubits");
  expect_fatal([&] { compile_unitary(u2, std::vector<U>{}); }, "0 qubits");
}

// ---- the diagonal path --------------------------------------------------------

// Random amplitudes of every kind the kernels must keep exact (signed zeros,
// subnormals, huge values), all finite.
std::vector<Complex> random_amplitudes(std::mt19937_64& rng, U n) {
  std::vector<Complex> a(U{1} << n);
  for (Complex& z : a) z = kernel_test::random_complex(rng);
  return a;
}

// Huge parts are scaled into float's range for a single-precision state, so
// it stays finite too.
template <class T>
BasicStateVector<T> state_of(const std::vector<Complex>& amplitudes, U n) {
  auto part = [](double x) { return static_cast<T>(std::is_same_v<T, float> && std::fabs(x) > 1e30 ? x * 1e-270 : x); };
  BasicStateVector<T> s = BasicStateVector<T>::create(n);
  for (U i = 0; i < s.size(); ++i) s[i] = {part(amplitudes[i].re), part(amplitudes[i].im)};
  return s;
}

template <class T>
BasicComplex<T> entry_of(const CompiledGate& g, U r) {
  if constexpr (std::is_same_v<T, float>) {
    return g.single_matrix[r];
  } else {
    return g.matrix[r];
  }
}

// What a diagonal gate means: amplitude i, where every control has its
// value, times the entry its target bits pick (one complex product);
// nothing else touched.
template <class T>
void reference_diagonal(BasicStateVector<T>& s, const CompiledGate& g) {
  for (U i = 0; i < s.size(); ++i) {
    bool met = true;
    for (std::size_t c = 0; c < g.controls.size(); ++c) met &= (i >> g.controls[c] & 1) == (g.control_values >> c & 1);
    if (!met) continue;
    U r = 0;
    for (std::size_t t = 0; t < g.targets.size(); ++t) r |= (i >> g.targets[t] & 1) << t;
    const BasicComplex<T> d = entry_of<T>(g, r), x = s[i];
    s[i] = {d.re * x.re - d.im * x.im, d.re * x.im + d.im * x.re};
  }
}

template <class T>
bool same_bits(const BasicStateVector<T>& a, const BasicStateVector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(BasicComplex<T>)) == 0;
}

// Whether a row's matrix has nothing off its diagonal, read from what the
// kernels do to the basis states (so a row compiled any way is judged by
// its matrix, not by its shape).
bool acts_diagonally(const StandardGate& row, U n_operands) {
  std::vector<U> q(n_operands);
  for (U i = 0; i < n_operands; ++i) q[i] = i;
  const Mat m = full(row.build(std::vector<double>(row.n_params, 0.9), q), n_operands);
  const U d = U{1} << n_operands;
  for (U r = 0; r < d; ++r)
    for (U c = 0; c < d; ++c)
      if (r != c && m[r * d + c] != C(0.0)) return false;
  return true;
}

TEST(StandardGates, EveryDiagonalRowRunsOnTheDiagonalPath) {
  // vorn_python's one-qubit gates keep its compiled entries (and so its
  // bits); every other row with a diagonal matrix takes the diagonal kernel.
  const std::vector<std::string_view> vorn_pythons = {"id", "z", "s", "t", "rz"};
  std::size_t diagonal_rows = 0;
  for (const StandardGate& row : standard_gates()) {
    SCOPED_TRACE(std::string(row.name));
    if (!acts_diagonally(row, operands(row))) continue;
    ++diagonal_rows;
    const std::vector<U> q{4, 1, 6};
    const CompiledGate g = row.build(std::vector<double>(row.n_params, 0.9), std::span(q).first(operands(row)));
    const bool kept = std::find(vorn_pythons.begin(), vorn_pythons.end(), row.name) != vorn_pythons.end();
    EXPECT_EQ(g.shape, kept ? Shape::Single : Shape::Diagonal);
  }
  EXPECT_EQ(diagonal_rows, 5u + 13u);  // the five above and sdg tdg p u1 cz cs csdg cp crz cu1 rzz ccz mcp
}

TEST(StandardGates, DiagonalRowsGiveTheDiagonalArithmeticOnEveryIsaAndPath) {
  // 14 qubits take the pool; the blocked runner with 9-qubit blocks splits
  // the gates whose operands lie outside a block. Double and single precision.
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> angle(-7.0, 7.0);
  const U n = 14;
  BlockingParams small;
  small.max_block_qubits = 9;
  small.min_low_qubits = 3;
  small.cache_resident_qubits = 0;
  small.gather_min_gates = 2;
  const std::vector<std::vector<U>> placements = {{0, 1, 2, 3}, {13, 0, 7, 12}, {5, 12, 3, 9}, {11, 13, 10, 1}};
  const std::vector<U> probe{0, 1, 2};
  for (const StandardGate& row : standard_gates()) {
    if (row.build(std::vector<double>(row.n_params, 0.9), std::span(probe).first(operands(row))).shape !=
        Shape::Diagonal)
      continue;
    for (const std::vector<U>& where : placements) {
      SCOPED_TRACE(std::string(row.name) + " on " + std::to_string(where[0]) + "," + std::to_string(where[1]));
      // mcp with one to three controls.
      const U k = row.n_qubits == 0 ? 2 + rng() % 3 : row.n_qubits;
      std::vector<double> p(row.n_params);
      for (double& x : p) x = angle(rng);
      std::vector<CompiledGate> g{row.build(p, std::span(where).first(k))};
      round_to_single(g);
      const std::vector<Complex> amplitudes = random_amplitudes(rng, n);
      StateVector want = state_of<double>(amplitudes, n);
      reference_diagonal(want, g[0]);
      // A second diagonal gate after it makes a run the blocked runner takes.
      const CompiledGate after = make("cp", {angle(rng)}, {12, 2});
      StateVector want_run = want.copy();
      reference_diagonal(want_run, after);
      SingleStateVector want_single = state_of<float>(amplitudes, n);
      reference_diagonal(want_single, g[0]);
      isa_test::for_each_isa([&](Isa) {
        StateVector whole = state_of<double>(amplitudes, n), blocked = whole.copy();
        apply_gate(whole, g[0]);
        const std::vector<CompiledGate> run = {g[0], after};
        apply_gates(blocked, run, small);
        EXPECT_TRUE(same_bits(whole, want));
        EXPECT_TRUE(same_bits(blocked, want_run));
        SingleStateVector single = state_of<float>(amplitudes, n);
        apply_gate(single, g[0]);
        EXPECT_TRUE(same_bits(single, want_single));
      });
    }
  }
}

TEST(StandardGates, CzIsVornPythonsCzOnTheDiagonalPath) {
  // vorn_python's cz is a 4x4 with all 16 products formed; here one product
  // on the control-1 half. For finite amplitudes the values agree exactly
  // and every part that is not zero has the same bits; a zero part may come
  // out with the other sign (the zero products vorn_python adds in).
  std::mt19937_64 rng(5);
  const U n = 13;
  for (const std::vector<U>& q : {std::vector<U>{0, 1}, std::vector<U>{12, 3}, std::vector<U>{4, 9}}) {
    const CompiledGate cz = make("cz", {}, q), old = *compile_gate(GateKind::CZ, 0.0, q);
    ASSERT_EQ(old.shape, Shape::TwoQubit);
    const std::vector<Complex> amplitudes = random_amplitudes(rng, n);
    StateVector a = state_of<double>(amplitudes, n), b = a.copy();
    apply_gate(a, cz);
    apply_gate(b, old);
    std::size_t zero_signs_differ = 0;
    for (U i = 0; i < a.size(); ++i) {
      for (const auto& [x, y] : {std::pair{a[i].re, b[i].re}, std::pair{a[i].im, b[i].im}}) {
        ASSERT_EQ(x, y) << i;
        if (std::signbit(x) != std::signbit(y)) {
          ASSERT_EQ(x, 0.0) << i;
          ++zero_signs_differ;
        }
      }
      // The |11> amplitude is negated, the others kept, as values.
      const bool both = (i >> q[0] & 1) && (i >> q[1] & 1);
      EXPECT_EQ(a[i].re, both ? -amplitudes[i].re : amplitudes[i].re) << i;
      EXPECT_EQ(a[i].im, both ? -amplitudes[i].im : amplitudes[i].im) << i;
    }
    // The random states hold signed zeros, so the difference shows (what
    // the comparison above allows is not vacuous).
    EXPECT_GT(zero_signs_differ, 0u);
  }
}

TEST(StandardGates, DiagonalUnitariesRunOnTheDiagonalPath) {
  // A unitary with nothing but zeros (of either sign) off its diagonal is a
  // Diagonal entry of its diagonal; on finite states it gives the dense
  // kernel's values, and every part that is not zero has the same bits.
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  const U n = 13;
  const std::vector<U> where{9, 0, 4, 12, 7};
  for (U k = 1; k <= 5; ++k) {
    SCOPED_TRACE(k);
    const U d = U{1} << k;
    std::vector<Complex> m(d * d, Complex{0.0, 0.0});
    for (U r = 0; r < d; ++r) {
      const double a = angle(rng);
      m[r * d + r] = {std::cos(a), std::sin(a)};
      for (U c = 0; c < d; ++c)
        if (c != r && rng() % 2) m[r * d + c] = {-0.0, rng() % 2 ? -0.0 : 0.0};
    }
    m[0] = {1.0, 0.0};  // an exact 1 and -1 among them, as controlled gates have
    m[d * d - 1] = {-1.0, 0.0};
    const std::span<const U> q = std::span(where).first(k);
    const CompiledGate g = compile_unitary(m, q);
    ASSERT_EQ(g.shape, Shape::Diagonal);
    ASSERT_EQ(g.targets, std::vector<U>(q.begin(), q.end()));
    for (U r = 0; r < d; ++r) EXPECT_EQ(std::memcmp(&g.matrix[r], &m[r * d + r], sizeof(Complex)), 0) << r;
    const CompiledGate dense{k == 1 ? Shape::Single : k == 2 ? Shape::TwoQubit : Shape::Dense,
                             {q.begin(), q.end()}, {}, ~U{0}, m};
    const std::vector<Complex> amplitudes = random_amplitudes(rng, n);
    StateVector a = state_of<double>(amplitudes, n), b = a.copy();
    apply_gate(a, g);
    apply_gate(b, dense);
    for (U i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].re, b[i].re) << i;
      ASSERT_EQ(a[i].im, b[i].im) << i;
      if (a[i].re != 0.0) {
        ASSERT_EQ(std::signbit(a[i].re), std::signbit(b[i].re)) << i;
      }
      if (a[i].im != 0.0) {
        ASSERT_EQ(std::signbit(a[i].im), std::signbit(b[i].im)) << i;
      }
    }
  }
  // One entry off the diagonal that is not zero keeps it dense.
  std::vector<Complex> near(16, Complex{0.0, 0.0});
  for (U r = 0; r < 4; ++r) near[r * 5] = {1.0, 0.0};
  near[1] = {1e-300, 0.0};
  EXPECT_EQ(compile_unitary(near, std::vector<U>{0, 1}, 1e-10).shape, Shape::TwoQubit);
}

}  // namespace
}  // namespace vorn::sim

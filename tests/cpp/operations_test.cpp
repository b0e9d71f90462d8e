// Tests of the five kernels, bit for bit against a pair-by-pair reference on both
// sides of the parallel threshold; repeated and bad operands; a caller's FTZ/DAZ.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "../../core/src/kernel_runs.hpp"
#include "kernel_reference.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/legacy_gates.hpp"

namespace vorn {
namespace {

using Amps = std::vector<Complex>;
using U = std::uint64_t;

// ---- reference: the sequential rules, one pair/group at a time ----------
using kernel_test::add;
using kernel_test::mul;

void ref_pair(Amps& a, U i, U j, const Matrix2x2& m) {
  const Complex x = a[i], y = a[j];
  a[i] = add(mul(m.m00, x), mul(m.m01, y));
  a[j] = add(mul(m.m10, x), mul(m.m11, y));
}
void ref_single(Amps& a, const Matrix2x2& m, U q) {
  const U step = U{1} << q, block = step << 1;
  for (U b = 0; b < a.size(); b += block)
    for (U i = b; i < b + step; ++i) ref_pair(a, i, i + step, m);
}
void ref_controlled(Amps& a, const Matrix2x2& m, U c, U t) {
  for (U i = 0; i < a.size(); ++i)
    if ((i >> c & 1) && !(i >> t & 1)) ref_pair(a, i, i | U{1} << t, m);
}
void ref_doubly(Amps& a, const Matrix2x2& m, U c1, U c2, U t) {
  const U want = U{1} << c1 | U{1} << c2, mask = want | U{1} << t;
  for (U i = 0; i < a.size(); ++i)
    if ((i & mask) == want) ref_pair(a, i, i | U{1} << t, m);
}
void ref_two(Amps& a, const Matrix4x4& m, U q0, U q1) {
  const U b0 = U{1} << q0, b1 = U{1} << q1;
  for (U i = 0; i < a.size(); ++i) {
    if (i & (b0 | b1)) continue;
    const U g[4] = {i, i | b0, i | b1, i | b0 | b1};
    const Complex x[4] = {a[g[0]], a[g[1]], a[g[2]], a[g[3]]};
    for (int r = 0; r < 4; ++r) {
      Complex acc = mul(m.at(r, 0), x[0]);
      for (int s = 1; s < 4; ++s) acc = add(acc, mul(m.at(r, s), x[s]));
      a[g[r]] = acc;
    }
  }
}
void ref_cswap(Amps& a, U c, U t1, U t2) {
  const U cm = U{1} << c, m1 = U{1} << t1, m2 = U{1} << t2;
  for (U i = 0; i < a.size(); ++i)
    if ((i & cm) && (i & m2) && !(i & m1)) std::swap(a[i], a[(i | m1) & ~m2]);
}

// ---- inputs ----------------------------------------------------------------
using kernel_test::random_complex;

StateVector random_state(U n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  StateVector s = StateVector::create(n);
  for (U i = 0; i < s.size(); ++i) s[i] = random_complex(rng);
  return s;
}
Amps amps_of(const StateVector& s) { return Amps(s.data(), s.data() + s.size()); }

Matrix2x2 random_matrix2(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  return {random_complex(rng), random_complex(rng), random_complex(rng), random_complex(rng)};
}
Matrix4x4 random_matrix4(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Matrix4x4 m;
  for (Complex& c : m.m) c = random_complex(rng);
  return m;
}

testing::AssertionResult same_bits(const StateVector& got, const Amps& want) {
  if (got.size() != want.size()) return testing::AssertionFailure() << "size differs";
  if (std::memcmp(got.data(), want.data(), want.size() * sizeof(Complex)) == 0)
    return testing::AssertionSuccess();
  for (U i = 0; i < want.size(); ++i)
    if (std::memcmp(&got[i], &want[i], sizeof(Complex)) != 0)
      return testing::AssertionFailure() << "first difference at index " << i << ": (" << got[i].re
                                         << ", " << got[i].im << ") vs (" << want[i].re << ", "
                                         << want[i].im << ")";
  return testing::AssertionFailure();
}

// Low, second-lowest, middle, second-highest and highest operand positions.
std::vector<U> positions(U n) { return {0, 1, n / 2, n - 2, n - 1}; }

class KernelVsReference : public testing::TestWithParam<U> {};

TEST_P(KernelVsReference, SingleQubit) {
  const U n = GetParam();
  for (U q : positions(n)) {
    for (const Matrix2x2& m : {random_matrix2(q), matrix_2x2(GateKind::H, 0), matrix_2x2(GateKind::Y, 0)}) {
      StateVector s = random_state(n, 100 + q);
      Amps want = amps_of(s);
      apply_single_qubit_gate(s, m, q);
      ref_single(want, m, q);
      ASSERT_TRUE(same_bits(s, want)) << "n=" << n << " q=" << q;
    }
  }
}

TEST_P(KernelVsReference, Controlled) {
  const U n = GetParam();
  const Matrix2x2 x = matrix_2x2(GateKind::X, 0);
  for (U c : positions(n)) {
    for (U t : positions(n)) {
      if (c == t) continue;
      for (const Matrix2x2& m : {random_matrix2(c * 64 + t), x}) {
        StateVector s = random_state(n, 200 + c * 64 + t);
        Amps want = amps_of(s);
        apply_controlled_gate(s, m, c, t);
        ref_controlled(want, m, c, t);
        ASSERT_TRUE(same_bits(s, want)) << "n=" << n << " c=" << c << " t=" << t;
      }
    }
  }
}

TEST_P(KernelVsReference, DoublyControlled) {
  const U n = GetParam();
  for (U c1 : positions(n))
    for (U c2 : positions(n))
      for (U t : positions(n)) {
        if (c1 == c2 || c1 == t || c2 == t) continue;
        const Matrix2x2 m = random_matrix2(c1 * 4096 + c2 * 64 + t);
        StateVector s = random_state(n, 300 + c1 * 4096 + c2 * 64 + t);
        Amps want = amps_of(s);
        apply_doubly_controlled_gate(s, m, c1, c2, t);
        ref_doubly(want, m, c1, c2, t);
        ASSERT_TRUE(same_bits(s, want)) << "n=" << n << " " << c1 << "," << c2 << "," << t;
      }
}

TEST_P(KernelVsReference, TwoQubit) {
  const U n = GetParam();
  for (U q0 : positions(n)) {
    for (U q1 : positions(n)) {
      if (q0 == q1) continue;
      for (const Matrix4x4& m : {random_matrix4(q0 * 64 + q1), cz_matrix(), swap_matrix()}) {
        StateVector s = random_state(n, 400 + q0 * 64 + q1);
        Amps want = amps_of(s);
        apply_two_qubit_gate(s, m, q0, q1);
        ref_two(want, m, q0, q1);
        ASSERT_TRUE(same_bits(s, want)) << "n=" << n << " q0=" << q0 << " q1=" << q1;
      }
    }
  }
}

TEST_P(KernelVsReference, ControlledSwap) {
  const U n = GetParam();
  for (U c : positions(n))
    for (U t1 : positions(n))
      for (U t2 : positions(n)) {
        if (c == t1 || c == t2 || t1 == t2) continue;
        StateVector s = random_state(n, 500 + c * 4096 + t1 * 64 + t2);
        Amps want = amps_of(s);
        apply_controlled_swap(s, c, t1, t2);
        ref_cswap(want, c, t1, t2);
        ASSERT_TRUE(same_bits(s, want)) << "n=" << n << " " << c << "," << t1 << "," << t2;
      }
}

// Repeated operands: the result is the plain scan's, on both paths.
TEST_P(KernelVsReference, RepeatedOperandsFollowTheScan) {
  const U n = GetParam();
  const Matrix2x2 x = matrix_2x2(GateKind::X, 0);
  for (U a : positions(n)) {
    for (U b : positions(n)) {
      const U triples[4][3] = {{a, a, b}, {a, b, a}, {b, a, a}, {a, a, a}};
      for (const auto& op : triples) {
        for (const Matrix2x2& m : {x, random_matrix2(a * 64 + b)}) {
          StateVector s = random_state(n, 600 + a * 64 + b);
          Amps want = amps_of(s);
          apply_doubly_controlled_gate(s, m, op[0], op[1], op[2]);
          ref_doubly(want, m, op[0], op[1], op[2]);
          ASSERT_TRUE(same_bits(s, want)) << "ccx " << op[0] << "," << op[1] << "," << op[2];
        }
        StateVector s = random_state(n, 700 + a * 64 + b);
        Amps want = amps_of(s);
        apply_controlled_swap(s, op[0], op[1], op[2]);
        ref_cswap(want, op[0], op[1], op[2]);
        ASSERT_TRUE(same_bits(s, want)) << "cswap " << op[0] << "," << op[1] << "," << op[2];
      }
    }
    // cx(c, c) leaves every bit as it was.
    StateVector s = random_state(n, 800 + a);
    const Amps before = amps_of(s);
    apply_controlled_gate(s, random_matrix2(a), a, a);
    ASSERT_TRUE(same_bits(s, before)) << "cx " << a;
    // A two-qubit gate on one qubit is its [[m00, m03], [m30, m33]] corner.
    const Matrix4x4 m4 = random_matrix4(900 + a);
    Amps want = amps_of(s);
    apply_two_qubit_gate(s, m4, a, a);
    ref_single(want, Matrix2x2{m4.at(0, 0), m4.at(0, 3), m4.at(3, 0), m4.at(3, 3)}, a);
    ASSERT_TRUE(same_bits(s, want)) << "two-qubit " << a << "," << a;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, KernelVsReference, testing::Values(12, 13, 14, 16));

// The same repeated-operand gate on 12 and 13 qubits (sequential and pool
// paths) acts identically on the shared lower half.
TEST(RepeatedOperands, TwelveAndThirteenQubitsAgree) {
  const Matrix2x2 x = matrix_2x2(GateKind::X, 0);
  const U ops[][3] = {{3, 3, 7}, {3, 7, 3}, {7, 3, 3}, {5, 5, 5}, {0, 11, 0}, {11, 0, 11}};
  for (const auto& op : ops) {
    for (int kernel = 0; kernel < 3; ++kernel) {
      StateVector small = random_state(12, 42);
      StateVector big = StateVector::create(13);
      big[0] = {0.0, 0.0};
      std::memcpy(big.data(), small.data(), small.size() * sizeof(Complex));
      for (StateVector* s : {&small, &big}) {
        if (kernel == 0) apply_doubly_controlled_gate(*s, x, op[0], op[1], op[2]);
        if (kernel == 1) apply_controlled_swap(*s, op[0], op[1], op[2]);
        if (kernel == 2) apply_two_qubit_gate(*s, cz_matrix(), op[0], op[0]);
      }
      ASSERT_EQ(std::memcmp(small.data(), big.data(), small.size() * sizeof(Complex)), 0)
          << "kernel " << kernel << " ops " << op[0] << "," << op[1] << "," << op[2];
      for (U i = small.size(); i < big.size(); ++i) ASSERT_TRUE(big[i].re == 0.0 && big[i].im == 0.0);
    }
  }
}

TEST(RepeatedOperands, CzOnOneQubitActsAsZ) {
  for (U n : {12u, 13u}) {
    StateVector a = random_state(n, 5), b = random_state(n, 5);
    apply_two_qubit_gate(a, cz_matrix(), 4, 4);
    apply_single_qubit_gate(b, matrix_2x2(GateKind::Z, 0), 4);
    for (U i = 0; i < a.size(); ++i) {
      ASSERT_EQ(a[i].re, b[i].re) << i;
      ASSERT_EQ(a[i].im, b[i].im) << i;
    }
  }
}

// ---- what the gates do, checked on labelled amplitudes ----------------------
// amp[i] = (i, -i) makes every moved amplitude identifiable.
StateVector labelled(U n) {
  StateVector s = StateVector::create(n);
  for (U i = 0; i < s.size(); ++i) s[i] = {double(i), -double(i)};
  return s;
}
void expect_moved_from(const StateVector& s, auto source, const char* what) {
  for (U i = 0; i < s.size(); ++i) {
    const double from = double(source(i));
    ASSERT_EQ(s[i].re, from) << what << " index " << i;
    ASSERT_EQ(s[i].im, -from) << what << " index " << i;
  }
}

TEST(GateMeaning, PermutationsAndPhases) {
  const Matrix2x2 x = matrix_2x2(GateKind::X, 0);
  for (U n : {12u, 13u}) {
    for (auto [p, q, r] : {std::array<U, 3>{0, 5, n - 1}, {n - 1, 0, 5}, {5, n - 1, 0}}) {
      auto bit = [](U i, U k) { return (i >> k) & 1; };
      auto flip = [](U i, U k) { return i ^ (U{1} << k); };
      StateVector s = labelled(n);
      apply_single_qubit_gate(s, x, p);
      expect_moved_from(s, [&](U i) { return flip(i, p); }, "x");
      s = labelled(n);
      apply_controlled_gate(s, x, p, q);
      expect_moved_from(s, [&](U i) { return bit(i, p) ? flip(i, q) : i; }, "cx");
      s = labelled(n);
      apply_doubly_controlled_gate(s, x, p, q, r);
      expect_moved_from(s, [&](U i) { return bit(i, p) && bit(i, q) ? flip(i, r) : i; }, "ccx");
      s = labelled(n);
      apply_two_qubit_gate(s, swap_matrix(), p, q);
      expect_moved_from(s, [&](U i) { return bit(i, p) != bit(i, q) ? flip(flip(i, p), q) : i; }, "swap");
      s = labelled(n);
      apply_controlled_swap(s, p, q, r);
      expect_moved_from(
          s, [&](U i) { return bit(i, p) && bit(i, q) != bit(i, r) ? flip(flip(i, q), r) : i; }, "cswap");
      s = labelled(n);
      apply_two_qubit_gate(s, cz_matrix(), p, q);
      for (U i = 0; i < s.size(); ++i) {
        const double sign = bit(i, p) && bit(i, q) ? -1.0 : 1.0;
        ASSERT_EQ(s[i].re, sign * double(i));
      }
    }
  }
}

TEST(GateMeaning, HadamardOnThirteenQubits) {
  StateVector s = StateVector::create(13);
  apply_single_qubit_gate(s, matrix_2x2(GateKind::H, 0), 0);
  const double sq = std::bit_cast<double>(U{0x3FE6A09E667F3BCD});
  EXPECT_EQ(std::bit_cast<U>(s[0].re), std::bit_cast<U>(sq));
  EXPECT_EQ(std::bit_cast<U>(s[1].re), std::bit_cast<U>(sq));
  EXPECT_EQ(std::bit_cast<U>(s[0].im) | std::bit_cast<U>(s[1].im), 0u);
  for (U i = 2; i < s.size(); ++i) ASSERT_EQ(std::bit_cast<U>(s[i].re) | std::bit_cast<U>(s[i].im), 0u);
}

TEST(GateMeaning, TwoQubitGateOnOneQubitRegisterDoesNothing) {
  StateVector s = random_state(1, 9);
  const Amps before = amps_of(s);
  apply_two_qubit_gate(s, random_matrix4(1), 0, 1);
  EXPECT_TRUE(same_bits(s, before));
}

// ---- operands outside the register ------------------------------------------
std::string failure_of(auto call) {
  try {
    call();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no failure";
}

TEST(BadOperands, FailBeforeTouchingTheState) {
  const Matrix2x2 h = matrix_2x2(GateKind::H, 0);
  for (U n : {12u, 13u}) {
    const bool pool = n >= 13;
    StateVector s = random_state(n, 11);
    const Amps before = amps_of(s);
    const std::string oob = "index out of bounds: the len is " + std::to_string(s.size());
    for (U bad : {n, n + 1, U{63}, U{64}, U{1000}}) {
      const std::string single = failure_of([&] { apply_single_qubit_gate(s, h, bad); });
      if (pool) EXPECT_EQ(single, "mid > len");
      else EXPECT_EQ(single.rfind(oob, 0), 0u) << single;
      EXPECT_EQ(failure_of([&] { apply_controlled_gate(s, h, 0, bad); }).rfind(oob, 0), 0u);
      EXPECT_EQ(failure_of([&] { apply_controlled_gate(s, h, bad, 0); }).rfind(oob, 0), 0u);
      EXPECT_EQ(failure_of([&] { apply_doubly_controlled_gate(s, h, 0, 1, bad); }).rfind(oob, 0), 0u);
      EXPECT_EQ(failure_of([&] { apply_doubly_controlled_gate(s, h, bad, bad, 1); }).rfind(oob, 0), 0u);
      EXPECT_EQ(failure_of([&] { apply_two_qubit_gate(s, cz_matrix(), bad, 0); }).rfind(oob, 0), 0u);
      EXPECT_EQ(failure_of([&] { apply_controlled_swap(s, 0, bad, 1); }).rfind(oob, 0), 0u);
    }
    EXPECT_EQ(failure_of([&] { apply_single_qubit_gate(s, h, 12 + pool); }),
              pool ? "mid > len" : oob + " but the index is 4096");
    ASSERT_TRUE(same_bits(s, before));
  }
}

// ---- both instruction sets, walked in odd chunk boundaries -------------------
// The kernels above run with the primitives this machine picks; here every
// available set is driven directly, with chunks that cut runs in the middle.
void in_chunks(U n_items, auto chunk) {
  U cuts[] = {0, 1, 4, 7, 40, 41, n_items / 2 + 3, n_items};
  for (U& c : cuts) c = std::min(c, n_items);
  std::sort(std::begin(cuts), std::end(cuts));
  for (std::size_t c = 0; c + 1 < std::size(cuts); ++c) chunk(cuts[c], cuts[c + 1]);
}

TEST(RunPrimitives, EverySetMatchesTheReference) {
  const U n = 9;
  const std::vector<U> pos{0, 1, 2, 4, 7, 8};
  for (const auto& [name, prim] : kernel_test::primitive_sets()) {
    SCOPED_TRACE(name);
    for (U a : pos) {
      const Matrix2x2 m = random_matrix2(a);
      // Shapes the vector paths treat apart: entries of one column sharing
      // their imaginary part or their whole value (products shared), and a
      // NaN imaginary part.
      Matrix2x2 same_col0 = random_matrix2(a + 100);
      same_col0.m10 = same_col0.m00;
      Matrix2x2 same_im0 = random_matrix2(a + 300);
      same_im0.m10.im = same_im0.m00.im;
      Matrix2x2 same_im1 = random_matrix2(a + 400);
      same_im1.m11.im = same_im1.m01.im;
      Matrix2x2 nan_im = random_matrix2(a + 200);
      nan_im.m01.im = -std::numeric_limits<double>::quiet_NaN();
      const Matrix2x2 shapes[] = {m, same_col0, same_im0, same_im1, nan_im, matrix_2x2(GateKind::H, 0),
                                  matrix_2x2(GateKind::X, 0), matrix_2x2(GateKind::RY, 0.3)};
      StateVector s = random_state(n, a);
      Amps want;
      const detail::BaseWalk w1({a, 0, 0}, 1);
      for (const Matrix2x2& m1 : shapes) {
        s = random_state(n, a);
        want = amps_of(s);
        in_chunks(s.size() / 2, [&](U kb, U ke) { prim->pairs(s.data(), w1, kb, ke, 0, U{1} << a, m1); });
        ref_single(want, m1, a);
        ASSERT_TRUE(same_bits(s, want)) << "single " << a;
      }
      for (U b : pos) {
        if (a == b) continue;
        const detail::BaseWalk w2({a, b, 0}, 2);
        for (const Matrix2x2& m1 : shapes) {
          s = random_state(n, a * 16 + b);
          want = amps_of(s);
          in_chunks(s.size() / 4, [&](U kb, U ke) { prim->pairs(s.data(), w2, kb, ke, U{1} << a, U{1} << b, m1); });
          ref_controlled(want, m1, a, b);
          ASSERT_TRUE(same_bits(s, want)) << "controlled " << a << "," << b;
        }
        const Matrix4x4 m4 = random_matrix4(a * 16 + b);
        s = random_state(n, a * 16 + b);
        want = amps_of(s);
        in_chunks(s.size() / 4, [&](U kb, U ke) { prim->groups(s.data(), w2, kb, ke, U{1} << a, U{1} << b, m4); });
        ref_two(want, m4, a, b);
        ASSERT_TRUE(same_bits(s, want)) << "two-qubit " << a << "," << b;
        for (U c : pos) {
          if (c == a || c == b) continue;
          s = random_state(n, a * 256 + b * 16 + c);
          want = amps_of(s);
          const detail::BaseWalk w3({a, b, c}, 3);
          in_chunks(s.size() / 8, [&](U kb, U ke) {
            prim->pairs(s.data(), w3, kb, ke, U{1} << a | U{1} << b, U{1} << c, m);
          });
          ref_doubly(want, m, a, b, c);
          ASSERT_TRUE(same_bits(s, want)) << "doubly " << a << "," << b << "," << c;
        }
      }
    }
  }
}

// ---- floating-point environment -------------------------------------------
TEST(FpEnvironment, CallerFlushToZeroDoesNotChangeResults) {
  const Matrix2x2 h = matrix_2x2(GateKind::H, 0);
  const Matrix4x4 m4 = random_matrix4(77);
  for (U n : {12u, 13u}) {
    StateVector s = StateVector::create(n);
    for (U i = 0; i < s.size(); ++i) s[i] = {double(i + 1) * 1e-310, -double(i % 7) * 3e-309};
    Amps want = amps_of(s);
    ref_single(want, h, 1);
    ref_controlled(want, h, 0, n - 1);
    ref_two(want, m4, 2, 0);

    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040);  // FTZ and DAZ, as some libraries leave them
    apply_single_qubit_gate(s, h, 1);
    apply_controlled_gate(s, h, 0, n - 1);
    apply_two_qubit_gate(s, m4, 2, 0);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after & 0x8040, 0x8040u) << "caller's control word not restored";
    EXPECT_TRUE(same_bits(s, want)) << "n=" << n;
  }
}

}  // namespace
}  // namespace vorn

// Tests of the gate matrices: every entry's bit pattern (signed zeros too),
// the rotation edge cases, and the refusal of multi-qubit kinds.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "vorn/core/error.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/legacy_gates.hpp"

namespace vorn {
namespace {

constexpr std::uint64_t kSBits = 0x3FE6A09E667F3BCD;
constexpr std::uint64_t kP0 = 0x0000000000000000;  // +0.0
constexpr std::uint64_t kN0 = 0x8000000000000000;  // -0.0
constexpr std::uint64_t kP1 = 0x3FF0000000000000;  // 1.0
constexpr std::uint64_t kN1 = 0xBFF0000000000000;  // -1.0
constexpr std::uint64_t kNS = kSBits | kN0;        // -s

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

struct Expected {
  GateKind kind;
  std::uint64_t e[8];  // m00.re, m00.im, m01.re, ..., m11.im
};

TEST(Matrix2x2, FixedMatricesMatchEveryBit) {
  const Expected table[] = {
      {GateKind::H, {kSBits, kP0, kSBits, kP0, kSBits, kP0, kNS, kN0}},
      {GateKind::X, {kP0, kP0, kP1, kP0, kP1, kP0, kP0, kP0}},
      {GateKind::Y, {kP0, kP0, kN0, kN1, kP0, kP1, kP0, kP0}},
      {GateKind::Z, {kP1, kP0, kP0, kP0, kP0, kP0, kN1, kN0}},
      {GateKind::S, {kP1, kP0, kP0, kP0, kP0, kP0, kP0, kP1}},
      {GateKind::T, {kP1, kP0, kP0, kP0, kP0, kP0, kSBits, kSBits}},
      {GateKind::ID, {kP1, kP0, kP0, kP0, kP0, kP0, kP1, kP0}},
  };
  for (const Expected& x : table) {
    const Matrix2x2 m = matrix_2x2(x.kind, 123.0);  // theta ignored
    const double got[8] = {m.m00.re, m.m00.im, m.m01.re, m.m01.im,
                           m.m10.re, m.m10.im, m.m11.re, m.m11.im};
    for (int k = 0; k < 8; ++k)
      EXPECT_EQ(bits(got[k]), x.e[k]) << "kind " << int(x.kind) << " entry " << k;
  }
  // The constant is the correctly rounded 1/sqrt(2), one ulp above 1/sqrt(2.0).
  EXPECT_EQ(bits(std::sqrt(0.5)), kSBits);
  EXPECT_NE(bits(1.0 / std::sqrt(2.0)), kSBits);
}

TEST(Matrix2x2, RotationsAtSpecialAngles) {
  // RX(pi): cs = cos(pi/2) is a tiny positive number, sn exactly 1.
  const Matrix2x2 rx = matrix_2x2(GateKind::RX, std::numbers::pi);
  EXPECT_GT(rx.m00.re, 0.0);
  EXPECT_LT(rx.m00.re, 1e-15);
  EXPECT_EQ(bits(rx.m00.re), bits(rx.m11.re));
  EXPECT_EQ(bits(rx.m01.re), kP0);
  EXPECT_EQ(bits(rx.m01.im), kN1);
  EXPECT_EQ(bits(rx.m10.im), kN1);
  EXPECT_EQ(bits(rx.m00.im), kP0);

  // RZ(0): sin(-0.0) = -0.0 in m00, +0.0 in m11.
  const Matrix2x2 rz = matrix_2x2(GateKind::RZ, 0.0);
  EXPECT_EQ(bits(rz.m00.re), kP1);
  EXPECT_EQ(bits(rz.m00.im), kN0);
  EXPECT_EQ(bits(rz.m11.re), kP1);
  EXPECT_EQ(bits(rz.m11.im), kP0);
  EXPECT_EQ(bits(rz.m01.re) | bits(rz.m01.im) | bits(rz.m10.re) | bits(rz.m10.im), kP0);

  // RY(0): m01 = (-0.0, -0.0), m10 = (+0.0, +0.0).
  const Matrix2x2 ry = matrix_2x2(GateKind::RY, 0.0);
  EXPECT_EQ(bits(ry.m01.re), kN0);
  EXPECT_EQ(bits(ry.m01.im), kN0);
  EXPECT_EQ(bits(ry.m10.re), kP0);
  EXPECT_EQ(bits(ry.m10.im), kP0);
  EXPECT_EQ(bits(ry.m00.re), kP1);
}

TEST(Matrix2x2, NonFiniteAnglesGiveNanEntries) {
  for (double theta : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_TRUE(std::isnan(matrix_2x2(GateKind::RX, theta).m00.re));
    EXPECT_TRUE(std::isnan(matrix_2x2(GateKind::RY, theta).m10.re));
    EXPECT_TRUE(std::isnan(matrix_2x2(GateKind::RZ, theta).m11.im));
  }
}

TEST(Matrix2x2, MultiQubitKindsAreRefused) {
  for (GateKind k : {GateKind::CX, GateKind::CZ, GateKind::SWAP, GateKind::CCX, GateKind::CSWAP}) {
    try {
      matrix_2x2(k, 0.0);
      ADD_FAILURE() << "kind " << int(k) << " accepted";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.message(), "matrix_2x2는 단일 큐비트 게이트에만 사용 가능");
      EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
    }
  }
}

TEST(Matrix4x4, CzAndSwapEntries) {
  const Matrix4x4 cz = cz_matrix(), sw = swap_matrix();
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      const double want_cz = r == c ? (r == 3 ? -1.0 : 1.0) : 0.0;
      const bool swapped = (r == 1 && c == 2) || (r == 2 && c == 1);
      const double want_sw = ((r == c && r != 1 && r != 2) || swapped) ? 1.0 : 0.0;
      EXPECT_EQ(bits(cz.at(r, c).re), bits(want_cz)) << r << c;
      EXPECT_EQ(bits(sw.at(r, c).re), bits(want_sw)) << r << c;
      EXPECT_EQ(bits(cz.at(r, c).im), kP0);
      EXPECT_EQ(bits(sw.at(r, c).im), kP0);
    }
  }
}

// Small circuits whose exact amplitudes follow from the fixed arithmetic.
TEST(Matrix2x2, ExactResultsOnFreshStates) {
  auto fresh = [] { return StateVector::create(1); };
  {
    auto s = fresh();  // H twice: s*s + s*s = 1 + 2^-52, nothing renormalised
    apply_single_qubit_gate(s, matrix_2x2(GateKind::H, 0), 0);
    apply_single_qubit_gate(s, matrix_2x2(GateKind::H, 0), 0);
    EXPECT_EQ(s[0].re, 1.0 + 0x1p-52);
    EXPECT_EQ(bits(s[0].im), kP0);
    EXPECT_EQ(bits(s[1].re), kP0);
    EXPECT_EQ(bits(s[1].im), kP0);
    auto p = s.probabilities();
    EXPECT_EQ(p[0], 1.0 + 0x1p-51);
    EXPECT_EQ(bits(p[1]), kP0);
  }
  {
    auto s = fresh();  // X then Z: amplitude 1 = (-1.0, +0.0)
    apply_single_qubit_gate(s, matrix_2x2(GateKind::X, 0), 0);
    apply_single_qubit_gate(s, matrix_2x2(GateKind::Z, 0), 0);
    EXPECT_EQ(bits(s[1].re), kN1);
    EXPECT_EQ(bits(s[1].im), kP0);
  }
  {
    auto s = fresh();  // Y: amplitude 0 = (0, 0), amplitude 1 = (0, 1)
    apply_single_qubit_gate(s, matrix_2x2(GateKind::Y, 0), 0);
    EXPECT_EQ(bits(s[0].re) | bits(s[0].im), kP0);
    EXPECT_EQ(bits(s[1].re), kP0);
    EXPECT_EQ(bits(s[1].im), kP1);
  }
  {
    auto s = fresh();  // RX(pi): (cs, +0.0) and (+0.0, -1.0)
    const Matrix2x2 rx = matrix_2x2(GateKind::RX, std::numbers::pi);
    apply_single_qubit_gate(s, rx, 0);
    EXPECT_EQ(bits(s[0].re), bits(rx.m00.re));
    EXPECT_EQ(bits(s[0].im), kP0);
    EXPECT_EQ(bits(s[1].re), kP0);
    EXPECT_EQ(bits(s[1].im), kN1);
  }
}

TEST(Matrix2x2, RzDiffersFromSByAGlobalPhaseOnly) {
  auto a = StateVector::create(1), b = StateVector::create(1);
  for (auto* s : {&a, &b}) apply_single_qubit_gate(*s, matrix_2x2(GateKind::H, 0), 0);
  apply_single_qubit_gate(a, matrix_2x2(GateKind::RZ, std::numbers::pi / 2), 0);
  apply_single_qubit_gate(b, matrix_2x2(GateKind::S, 0), 0);
  EXPECT_NE(bits(a[0].im), bits(b[0].im));
  const auto pa = a.probabilities(), pb = b.probabilities();
  for (int i = 0; i < 2; ++i) EXPECT_NEAR(pa[i], pb[i], 1e-15);
}

}  // namespace
}  // namespace vorn

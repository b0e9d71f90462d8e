// Tests of the general kernels (any controls, controlled 4x4, diagonal, dense
// k-qubit, global phase): bit for bit against a naive reference on every
// instruction-set path, below and above the parallel threshold, on the state
// and on a block; the fixed kernels' bits where the gates coincide; special
// values; bad operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "../../core/src/kernel_runs.hpp"
#include "every_isa.hpp"
#include "kernel_reference.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/legacy_gates.hpp"

namespace vorn {
namespace {

using Amps = std::vector<Complex>;
using U = std::uint64_t;
using Qubits = std::vector<U>;

// ---- reference: every index scanned, one group at a time --------------------
using kernel_test::add;
using kernel_test::mul;

struct Controls {
  Qubits qubits;
  U values = ~U{0};
  ControlSet set() const { return {qubits, values}; }
};

// Index i of the group's local state r: base with bit targets[j] = bit j of r.
U member(U base, const Qubits& targets, U r) {
  for (std::size_t j = 0; j < targets.size(); ++j)
    if (r >> j & 1) base |= U{1} << targets[j];
  return base;
}

// Whether `i` is a group base: target bits clear, each control as wanted.
bool is_base(U i, const Controls& c, const Qubits& targets) {
  for (U t : targets)
    if (i >> t & 1) return false;
  for (std::size_t k = 0; k < c.qubits.size(); ++k)
    if ((i >> c.qubits[k] & 1) != (c.values >> k & 1)) return false;
  return true;
}

void ref_dense(Amps& a, const Amps& m, const Controls& c, const Qubits& targets) {
  const U dim = U{1} << targets.size();
  Amps in(dim);
  for (U b = 0; b < a.size(); ++b) {
    if (!is_base(b, c, targets)) continue;
    for (U s = 0; s < dim; ++s) in[s] = a[member(b, targets, s)];
    for (U r = 0; r < dim; ++r) {
      Complex acc = mul(m[r * dim], in[0]);
      for (U s = 1; s < dim; ++s) acc = add(acc, mul(m[r * dim + s], in[s]));
      a[member(b, targets, r)] = acc;
    }
  }
}

void ref_diagonal(Amps& a, const Amps& d, const Controls& c, const Qubits& targets) {
  for (U b = 0; b < a.size(); ++b) {
    if (!is_base(b, c, targets)) continue;
    for (U r = 0; r < d.size(); ++r) a[member(b, targets, r)] = mul(d[r], a[member(b, targets, r)]);
  }
}

// ---- inputs -------------------------------------------------------------------
using kernel_test::random_complex;

Amps random_amps(U count, U seed) {
  std::mt19937_64 rng(seed);
  Amps a(count);
  for (Complex& c : a) c = random_complex(rng);
  return a;
}

StateVector state_of(const Amps& a) {
  StateVector s = StateVector::create(static_cast<U>(std::countr_zero(a.size())));
  std::memcpy(s.data(), a.data(), a.size() * sizeof(Complex));
  return s;
}
Amps amps_of(const StateVector& s) { return Amps(s.data(), s.data() + s.size()); }

Matrix2x2 as_2x2(const Amps& m) { return {m[0], m[1], m[2], m[3]}; }
Matrix4x4 as_4x4(const Amps& m) {
  Matrix4x4 r;
  std::copy(m.begin(), m.end(), r.m.begin());
  return r;
}

// Bit for bit, except that a NaN matches any NaN: which NaN's sign and
// payload an operation passes on depends on operand order, which the compiler
// may swap for + and * (the fixed kernels' scalar and vector paths already
// differ there), so only where the NaNs are is pinned.
bool same_component(double x, double y) {
  return std::bit_cast<U>(x) == std::bit_cast<U>(y) || (std::isnan(x) && std::isnan(y));
}

testing::AssertionResult same_bits(const Amps& got, const Amps& want) {
  if (got.size() != want.size()) return testing::AssertionFailure() << "size differs";
  for (U i = 0; i < want.size(); ++i)
    if (!same_component(got[i].re, want[i].re) || !same_component(got[i].im, want[i].im))
      return testing::AssertionFailure() << "first difference at index " << i << ": (" << got[i].re << ", "
                                         << got[i].im << ") vs (" << want[i].re << ", " << want[i].im << ")";
  return testing::AssertionSuccess();
}

// ---- every instruction-set path ---------------------------------------------
// Runs the test body once per path, with the kernels forced onto it.
class EveryPath : public testing::TestWithParam<U> {
 protected:
  template <class Body>
  void for_each_path(Body&& body) {
    isa_test::for_each_isa([&](Isa) { body(); });
  }
};

// A gate on the state and, separately, on a raw block of the same size; both
// must equal the reference's bits.
template <class OnState, class OnBlock, class Ref>
void check_state_and_block(U n, U seed, OnState on_state, OnBlock on_block, Ref ref, const std::string& what) {
  const Amps start = random_amps(U{1} << n, seed);
  Amps want = start;
  ref(want);
  StateVector s = state_of(start);
  on_state(s);
  ASSERT_TRUE(same_bits(amps_of(s), want)) << "state, " << what;
  Amps block = start;
  on_block(block.data(), n);
  ASSERT_TRUE(same_bits(block, want)) << "block, " << what;
}

// Control sets (with mixed wanted values) for a gate on `targets` in n qubits.
std::vector<Controls> control_mixes(U n, const Qubits& targets) {
  Qubits free;
  for (U q = 0; q < n; ++q)
    if (std::find(targets.begin(), targets.end(), q) == targets.end()) free.push_back(q);
  const U f = free.size();
  std::vector<Controls> out;
  out.push_back({});                              // none
  out.push_back({{free[0]}, 0});                  // lowest free qubit, wanted 0
  if (f >= 2) out.push_back({{free[f - 1]}, 1});  // highest, wanted 1
  if (f >= 2) out.push_back({{free[f - 1], free[0]}, 0b00});
  if (f >= 4) out.push_back({{free[1], free[0], free[f / 2]}, 0b101});  // unsorted, mixed
  if (f >= 10) {
    Qubits ten(free.end() - 10, free.end());
    std::reverse(ten.begin(), ten.end());
    out.push_back({ten, 0b1011001110});
    out.push_back({Qubits(free.begin(), free.begin() + 10), ~U{0}});
  }
  out.push_back({free, 0x5555555555555555});  // every other qubit a control
  return out;
}

std::string describe(const Controls& c, const Qubits& targets) {
  std::ostringstream s;
  s << "controls";
  for (std::size_t k = 0; k < c.qubits.size(); ++k) s << ' ' << c.qubits[k] << '=' << (c.values >> k & 1);
  s << " targets";
  for (U t : targets) s << ' ' << t;
  return s.str();
}

Amps random_matrix(U dim, U seed) { return random_amps(dim * dim, seed); }

// ---- the kernels against the reference ---------------------------------------

TEST_P(EveryPath, MultiControlledGate) {
  const U n = GetParam();
  for_each_path([&] {
    for (U t : {U{0}, U{1}, n / 2, n - 1}) {
      Amps same_col0 = random_matrix(2, t + 50);
      same_col0[2] = same_col0[0];
      Amps nan_im = random_matrix(2, t + 60);
      nan_im[1].im = -std::numeric_limits<double>::quiet_NaN();
      for (const Controls& c : control_mixes(n, {t})) {
        for (const Amps& m : {random_matrix(2, t), same_col0, nan_im}) {
          check_state_and_block(
              n, t * 7 + c.qubits.size(),
              [&](StateVector& s) { apply_multi_controlled_gate(s, as_2x2(m), c.set(), t); },
              [&](Complex* a, U nl) { local::apply_multi_controlled_gate(a, nl, as_2x2(m), c.set(), t); },
              [&](Amps& a) { ref_dense(a, m, c, {t}); }, describe(c, {t}));
        }
      }
    }
  });
}

TEST_P(EveryPath, ControlledTwoQubitGate) {
  const U n = GetParam();
  for_each_path([&] {
    for (Qubits tg : {Qubits{0, 1}, Qubits{1, 0}, Qubits{0, n - 1}, Qubits{n - 1, 2}, Qubits{n / 2, n / 2 + 1}}) {
      for (const Controls& c : control_mixes(n, tg)) {
        const Amps m = random_matrix(4, tg[0] * 64 + tg[1]);
        check_state_and_block(
            n, tg[0] + c.qubits.size(),
            [&](StateVector& s) { apply_controlled_two_qubit_gate(s, as_4x4(m), c.set(), tg[0], tg[1]); },
            [&](Complex* a, U nl) { local::apply_controlled_two_qubit_gate(a, nl, as_4x4(m), c.set(), tg[0], tg[1]); },
            [&](Amps& a) { ref_dense(a, m, c, tg); }, describe(c, tg));
      }
    }
  });
}

// Target lists of k qubits: the lowest, the highest, and a spread unsorted mix.
std::vector<Qubits> target_lists(U n, U k) {
  if (k == 0) return {Qubits{}};
  Qubits low, high, mixed;
  for (U j = 0; j < k; ++j) {
    low.push_back(j);
    high.push_back(n - 1 - j);
    mixed.push_back((j * 5 + 1) % n);
  }
  std::sort(mixed.begin(), mixed.end());
  mixed.erase(std::unique(mixed.begin(), mixed.end()), mixed.end());
  std::reverse(mixed.begin(), mixed.end());
  std::swap(mixed.front(), mixed.back());
  return {low, high, mixed};
}

TEST_P(EveryPath, DiagonalGate) {
  const U n = GetParam();
  for_each_path([&] {
    for (U k : {U{0}, U{1}, U{2}, U{3}, U{5}, kMaxGateTargets}) {
      for (const Qubits& tg : target_lists(n, k)) {
        if (tg.size() != k) continue;
        const Amps d = random_amps(U{1} << k, 900 + k);
        for (const Controls& c : control_mixes(n, tg)) {
          if (k >= 5 && c.qubits.size() > 3) continue;
          check_state_and_block(
              n, k * 31 + c.qubits.size(),
              [&](StateVector& s) { apply_diagonal_gate(s, d, c.set(), tg); },
              [&](Complex* a, U nl) { local::apply_diagonal_gate(a, nl, d, c.set(), tg); },
              [&](Amps& a) { ref_diagonal(a, d, c, tg); }, describe(c, tg));
        }
      }
    }
  });
}

TEST_P(EveryPath, DenseGate) {
  const U n = GetParam();
  for_each_path([&] {
    for (U k = 1; k <= 6; ++k) {
      for (const Qubits& tg : target_lists(n, k)) {
        if (tg.size() != k) continue;
        const Amps m = random_matrix(U{1} << k, 700 + k);
        for (const Controls& c : control_mixes(n, tg)) {
          if (k >= 4 && c.qubits.size() > 3) continue;
          check_state_and_block(
              n, k * 17 + c.qubits.size(), [&](StateVector& s) { apply_dense_gate(s, m, c.set(), tg); },
              [&](Complex* a, U nl) { local::apply_dense_gate(a, nl, m, c.set(), tg); },
              [&](Amps& a) { ref_dense(a, m, c, tg); }, describe(c, tg));
        }
      }
    }
  });
}

TEST_P(EveryPath, GlobalPhase) {
  const U n = GetParam();
  for_each_path([&] {
    for (U seed : {1u, 2u, 3u}) {
      std::mt19937_64 rng(seed);
      const Complex phase = random_complex(rng);
      const Amps start = random_amps(U{1} << n, seed);
      Amps want = start;
      for (Complex& a : want) a = mul(phase, a);
      StateVector s = state_of(start);
      apply_global_phase(s, phase);
      ASSERT_TRUE(same_bits(amps_of(s), want)) << "seed " << seed;
    }
  });
}

// 12 qubits stay on the calling thread, 14 use the pool (ctest runs 1 and 2 threads).
INSTANTIATE_TEST_SUITE_P(BothSidesOfThreshold, EveryPath, testing::Values(12, 14));

// The largest dense gate, once per path, with a control of each value.
TEST(LargestDenseGate, TenTargetsMatchTheReference) {
  const U n = 12;
  Qubits tg{11, 0, 5, 1, 9, 2, 10, 3, 7, 4};
  const Amps m = random_matrix(U{1} << 10, 5);
  for (const Controls& c : {Controls{{6, 8}, 0b01}, Controls{}}) {
    Amps want = random_amps(U{1} << n, 6);
    const Amps start = want;
    ref_dense(want, m, c, tg);
    isa_test::for_each_isa([&](Isa) {
      StateVector s = state_of(start);
      apply_dense_gate(s, m, c.set(), tg);
      ASSERT_TRUE(same_bits(amps_of(s), want)) << describe(c, tg);
    });
  }
}

// ---- the same bits as the fixed kernels where the gates coincide -------------

TEST_P(EveryPath, EqualsTheFixedKernels) {
  const U n = GetParam();
  for_each_path([&] {
    for (U a : {U{0}, U{1}, n - 1}) {
      for (U b : {U{0}, U{2}, n - 2}) {
        if (a == b) continue;
        const U c = a == 1 || b == 1 ? n / 2 : 1;
        const Amps start = random_amps(U{1} << n, a * 64 + b);
        const Amps m2 = random_matrix(2, a + b), m4 = random_matrix(4, a * b);
        StateVector x = state_of(start), y = state_of(start);

        apply_single_qubit_gate(x, as_2x2(m2), b);
        apply_multi_controlled_gate(y, as_2x2(m2), {}, b);
        ASSERT_TRUE(same_bits(amps_of(y), amps_of(x))) << "no controls, target " << b;

        const U one[1] = {a};
        apply_controlled_gate(x, as_2x2(m2), a, b);
        apply_multi_controlled_gate(y, as_2x2(m2), {one, 1}, b);
        ASSERT_TRUE(same_bits(amps_of(y), amps_of(x))) << "cx " << a << "," << b;

        const U two[2] = {c, a};
        apply_doubly_controlled_gate(x, as_2x2(m2), a, c, b);
        apply_multi_controlled_gate(y, as_2x2(m2), {two, 0b11}, b);
        ASSERT_TRUE(same_bits(amps_of(y), amps_of(x))) << "ccx " << a << "," << c << "," << b;

        const U tg[2] = {a, b};
        apply_two_qubit_gate(x, as_4x4(m4), a, b);
        apply_dense_gate(y, m4, {}, tg);
        ASSERT_TRUE(same_bits(amps_of(y), amps_of(x))) << "dense k=2 " << a << "," << b;

        apply_two_qubit_gate(x, as_4x4(m4), b, a);
        apply_controlled_two_qubit_gate(y, as_4x4(m4), {}, b, a);
        ASSERT_TRUE(same_bits(amps_of(y), amps_of(x))) << "4x4 without controls " << b << "," << a;
      }
    }
  });
}

// ---- special values ----------------------------------------------------------
// NaN (both signs), infinities and signed zeros in the amplitudes, and a
// diagonal / matrix holding them too: the vector paths must give the scalar bits.
Amps special_amps(U count, U seed) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double specials[] = {nan, -nan, inf, -inf, 0.0, -0.0};
  Amps a = random_amps(count, seed);
  std::mt19937_64 rng(seed);
  for (Complex& c : a) {
    if (rng() % 3 == 0) c.re = specials[rng() % 6];
    if (rng() % 3 == 0) c.im = specials[rng() % 6];
  }
  return a;
}

TEST_P(EveryPath, SpecialValues) {
  const U n = GetParam();
  for_each_path([&] {
    const Amps start = special_amps(U{1} << n, 3);
    const Controls c{{n - 1, 2}, 0b10};
    for (U k = 0; k <= 4; ++k) {
      for (const Qubits& tg : target_lists(n, k)) {
        if (tg.size() != k || std::find(tg.begin(), tg.end(), 2) != tg.end() ||
            std::find(tg.begin(), tg.end(), n - 1) != tg.end())
          continue;
        const U dim = U{1} << k;
        const Amps d = special_amps(dim, 10 + k);
        Amps want = start;
        ref_diagonal(want, d, c, tg);
        StateVector s = state_of(start);
        apply_diagonal_gate(s, d, c.set(), tg);
        ASSERT_TRUE(same_bits(amps_of(s), want)) << "diagonal " << describe(c, tg);

        // Finite matrices (a NaN entry would spread everywhere and hide the rest).
        const Amps m = random_matrix(dim, 20 + k);
        want = start;
        ref_dense(want, m, c, tg);
        s = state_of(start);
        apply_dense_gate(s, m, c.set(), tg);
        ASSERT_TRUE(same_bits(amps_of(s), want)) << "dense " << describe(c, tg);
      }
    }
    const Complex phase{-0.0, std::numeric_limits<double>::infinity()};
    Amps want = start;
    for (Complex& a : want) a = mul(phase, a);
    StateVector s = state_of(start);
    apply_global_phase(s, phase);
    ASSERT_TRUE(same_bits(amps_of(s), want)) << "global phase";
  });
}

// ---- primitives on chunks that cut runs and blocks in the middle -------------
void in_chunks(U n_items, auto chunk) {
  U cuts[] = {0, 1, 3, 6, 7, 40, 41, n_items / 2 + 3, n_items};
  for (U& c : cuts) c = std::min(c, n_items);
  std::sort(std::begin(cuts), std::end(cuts));
  for (std::size_t c = 0; c + 1 < std::size(cuts); ++c) chunk(cuts[c], cuts[c + 1]);
}

TEST(RunPrimitives, DiagonalAndDenseOnOddChunks) {
  const U n = 9;
  for (const auto& [name, prim] : kernel_test::primitive_sets()) {
    for (const Qubits& tg : {Qubits{0}, Qubits{1, 4}, Qubits{0, 2, 8}, Qubits{3, 1, 0}, Qubits{5, 6, 7}}) {
      U free = 2;
      while (std::find(tg.begin(), tg.end(), free) != tg.end()) ++free;
      for (const Controls& c : {Controls{}, Controls{{free}, 1}, Controls{{free}, 0}}) {
        Qubits pos = c.qubits;
        pos.insert(pos.end(), tg.begin(), tg.end());
        const detail::BaseWalk walk(pos.data(), static_cast<int>(pos.size()));
        const U dim = U{1} << tg.size();
        std::vector<U> off(dim);
        for (U r = 0; r < dim; ++r) off[r] = member(0, tg, r);
        const U set_mask = c.qubits.empty() || c.values == 0 ? 0 : U{1} << c.qubits[0];
        const U items = (U{1} << n) >> pos.size();
        const Amps start = random_amps(U{1} << n, dim);

        const Amps d = random_amps(dim, 1);
        Amps want = start, got = start;
        ref_diagonal(want, d, c, tg);
        in_chunks(items, [&](U kb, U ke) { prim->diagonal(got.data(), walk, kb, ke, set_mask, off.data(), dim, d.data()); });
        ASSERT_TRUE(same_bits(got, want)) << name << " diagonal " << describe(c, tg);

        const Amps m = random_matrix(dim, 2);
        want = start;
        got = start;
        ref_dense(want, m, c, tg);
        in_chunks(items, [&](U kb, U ke) { prim->dense(got.data(), walk, kb, ke, set_mask, off.data(), dim, m.data()); });
        ASSERT_TRUE(same_bits(got, want)) << name << " dense " << describe(c, tg);
      }
    }
    Amps got = random_amps(37, 4), want = got;
    const Complex c{0.25, -1.5};
    for (Complex& a : want) a = mul(c, a);
    in_chunks(37, [&](U ib, U ie) { prim->scale(got.data(), ib, ie, c); });
    ASSERT_TRUE(same_bits(got, want)) << name << " scale";
  }
}

// ---- floating-point environment ---------------------------------------------
TEST(FpEnvironment, CallerFlushToZeroDoesNotChangeResults) {
  for (U n : {12u, 14u}) {
    Amps start(U{1} << n);
    for (U i = 0; i < start.size(); ++i) start[i] = {double(i + 1) * 1e-310, -double(i % 7) * 3e-309};
    const Amps m = random_matrix(8, 1), d = random_amps(4, 2);
    const Qubits tg{2, 0, n - 1}, dg{1, 3};
    const Controls c{{4}, 1};
    Amps want = start;
    ref_dense(want, m, c, tg);
    ref_diagonal(want, d, {}, dg);
    for (Complex& a : want) a = mul({0.5, 0.5}, a);

    StateVector s = state_of(start);
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040);  // FTZ and DAZ
    apply_dense_gate(s, m, c.set(), tg);
    apply_diagonal_gate(s, d, {}, dg);
    apply_global_phase(s, {0.5, 0.5});
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after & 0x8040, 0x8040u) << "caller's control word not restored";
    EXPECT_TRUE(same_bits(amps_of(s), want)) << "n=" << n;
  }
}

// ---- bad operands -----------------------------------------------------------
std::string failure_of(auto call) {
  try {
    call();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no failure";
}

TEST(BadOperands, FailBeforeTouchingTheState) {
  for (U n : {12u, 14u}) {
    StateVector s = state_of(random_amps(U{1} << n, 8));
    const Amps before = amps_of(s);
    const Matrix2x2 h = matrix_2x2(GateKind::H, 0);
    const Matrix4x4 m4 = cz_matrix();
    const Amps d2(4, Complex{1, 0}), m8 = random_matrix(8, 1);
    const std::string oob = "index out of bounds: the len is " + std::to_string(s.size());
    auto is_oob = [&](const std::string& msg) { return msg.rfind(oob, 0) == 0; };
    for (U bad : {n, n + 1, U{63}, U{64}, U{1000}}) {
      const U ctl[2] = {0, bad}, tg[2] = {1, bad}, tg3[3] = {bad, 1, 2};
      EXPECT_TRUE(is_oob(failure_of([&] { apply_multi_controlled_gate(s, h, {ctl, 1}, 1); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_multi_controlled_gate(s, h, {}, bad); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_controlled_two_qubit_gate(s, m4, {ctl, 3}, 1, 2); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_controlled_two_qubit_gate(s, m4, {}, 1, bad); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_diagonal_gate(s, d2, {}, tg); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_dense_gate(s, m8, {ctl, 0}, Qubits{3, 4, 5}); })));
      EXPECT_TRUE(is_oob(failure_of([&] { apply_dense_gate(s, m8, {}, tg3); })));
      Amps block = before;
      EXPECT_TRUE(is_oob(failure_of([&] { local::apply_dense_gate(block.data(), n, m8, {}, tg3); })));
      EXPECT_TRUE(is_oob(failure_of([&] { local::apply_multi_controlled_gate(block.data(), n, h, {ctl, 1}, 1); })));
      EXPECT_TRUE(same_bits(block, before));
    }
    // Repeated operands name the qubit.
    const U twice[2] = {3, 3}, three[1] = {3};
    const std::string rep = "repeated operand 3 in one gate";
    EXPECT_EQ(failure_of([&] { apply_multi_controlled_gate(s, h, {twice, 3}, 1); }), rep);
    EXPECT_EQ(failure_of([&] { apply_multi_controlled_gate(s, h, {three, 1}, 3); }), rep);
    EXPECT_EQ(failure_of([&] { apply_controlled_two_qubit_gate(s, m4, {}, 3, 3); }), rep);
    EXPECT_EQ(failure_of([&] { apply_controlled_two_qubit_gate(s, m4, {three, 1}, 0, 3); }), rep);
    EXPECT_EQ(failure_of([&] { apply_diagonal_gate(s, d2, {}, twice); }), rep);
    EXPECT_EQ(failure_of([&] { apply_dense_gate(s, m8, {three, 1}, Qubits{0, 1, 3}); }), rep);
    // Wrong sizes and too many targets.
    EXPECT_NE(failure_of([&] { apply_diagonal_gate(s, d2, {}, Qubits{1}); }).find("diagonal gate has 4 entries"),
              std::string::npos);
    EXPECT_NE(failure_of([&] { apply_dense_gate(s, m8, {}, Qubits{1, 2}); }).find("dense gate matrix has 64 entries"),
              std::string::npos);
    const Qubits eleven{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(failure_of([&] { apply_dense_gate(s, m8, {}, eleven); }), "a gate takes at most 10 targets, not 11");
    EXPECT_EQ(failure_of([&] { apply_diagonal_gate(s, d2, {}, eleven); }), "a gate takes at most 10 targets, not 11");
    ASSERT_TRUE(same_bits(amps_of(s), before));
  }
}

}  // namespace
}  // namespace vorn

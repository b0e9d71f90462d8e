// Tests of the single-precision (complex64) path: every gate shape, with
// operands inside and outside one vector register and controls of either
// wanted value, bit for bit against a naive float reference on every
// instruction-set path, thread limit, whole state and block; float against
// double within rounding; blocked runs against gate by gate; the engine's
// single-precision run and memory figure.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "../../core/src/kernel_runs.hpp"
#include "every_isa.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using Floats = std::vector<SingleComplex>;

// ---- the reference: every index scanned, in float, one group at a time -------

U member(U base, const std::vector<U>& targets, U r) {
  for (std::size_t j = 0; j < targets.size(); ++j)
    if (r >> j & 1) base |= U{1} << targets[j];
  return base;
}

bool is_base(U i, const CompiledGate& g) {
  for (U t : g.targets)
    if (i >> t & 1) return false;
  for (std::size_t k = 0; k < g.controls.size(); ++k)
    if ((i >> g.controls[k] & 1) != (g.control_values >> k & 1)) return false;
  return true;
}

SingleComplex mul(SingleComplex m, SingleComplex x) {
  return {m.re * x.re - m.im * x.im, m.re * x.im + m.im * x.re};
}

void reference(Floats& a, const CompiledGate& g) {
  const U dim = U{1} << g.targets.size();
  Floats in(dim);
  for (U b = 0; b < a.size(); ++b) {
    if (!is_base(b, g)) continue;
    if (g.shape == Shape::ControlledSwap) {
      std::swap(a[member(b, g.targets, 1)], a[member(b, g.targets, 2)]);
      continue;
    }
    for (U s = 0; s < dim; ++s) in[s] = a[member(b, g.targets, s)];
    for (U r = 0; r < dim; ++r) {
      SingleComplex acc;
      if (g.shape == Shape::Diagonal) {
        acc = mul(g.single_matrix[r], in[r]);
      } else {
        acc = mul(g.single_matrix[r * dim], in[0]);
        for (U s = 1; s < dim; ++s) {
          const SingleComplex p = mul(g.single_matrix[r * dim + s], in[s]);
          acc = {acc.re + p.re, acc.im + p.im};
        }
      }
      a[member(b, g.targets, r)] = acc;
    }
  }
}

// ---- inputs ------------------------------------------------------------------

Floats random_floats(U count, U seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Floats a(count);
  for (SingleComplex& c : a) {
    c = {u(rng), u(rng)};
    if (rng() % 16 == 0) c.re = rng() % 2 ? 0.0f : -0.0f;  // signed zeros
  }
  return a;
}

std::vector<Complex> random_entries(U count, U seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-0.7, 0.7);
  std::vector<Complex> m(count);
  for (Complex& c : m) c = {u(rng), u(rng)};
  return m;
}

CompiledGate gate(Shape shape, std::vector<U> targets, std::vector<U> controls, U values, U seed) {
  const U dim = U{1} << targets.size();
  const U entries = shape == Shape::ControlledSwap ? 0 : shape == Shape::Diagonal ? dim : dim * dim;
  CompiledGate g{shape, std::move(targets), std::move(controls), values, random_entries(entries, seed)};
  std::vector<CompiledGate> one{g};
  round_to_single(one);
  return one[0];
}

// Operands inside and outside an 8-lane register (qubits 0-2), controls of
// both wanted values, every shape the compiled list has.
std::vector<CompiledGate> gate_shapes(U n) {
  const U hi = n - 1, mid = n / 2;
  std::vector<CompiledGate> out;
  U seed = 1;
  for (U t = 0; t < n; ++t) out.push_back(gate(Shape::Single, {t}, {}, ~U{0}, seed++));
  const std::vector<std::vector<U>> control_sets = {{0}, {1}, {2}, {hi}, {0, hi}, {2, 1}, {mid, 0, 1}};
  for (const auto& controls : control_sets) {
    for (U t : {U{0}, U{1}, U{2}, U{3}, mid + 1, hi}) {
      bool clash = false;
      for (U c : controls) clash |= c == t;
      if (clash) continue;
      for (U values : {~U{0}, U{0}, U{0b101}}) {
        out.push_back(gate(Shape::MultiControlled, {t}, controls, values, seed++));
        out.push_back(gate(Shape::Diagonal, {t}, controls, values, seed++));
      }
    }
  }
  out.push_back(gate(Shape::DoublyControlled, {1}, {0, hi}, ~U{0}, seed++));
  out.push_back(gate(Shape::DoublyControlled, {hi}, {2, 0}, ~U{0}, seed++));
  for (const auto& t : std::vector<std::vector<U>>{{0, 1}, {2, hi}, {hi, 0}, {mid, 3}}) {
    out.push_back(gate(Shape::TwoQubit, t, {}, ~U{0}, seed++));
    out.push_back(gate(Shape::Diagonal, t, {}, ~U{0}, seed++));
  }
  out.push_back(gate(Shape::TwoQubit, {1, hi}, {0}, U{0}, seed++));
  // Both operands and the controls above the register: whole registers per group member.
  out.push_back(gate(Shape::TwoQubit, {hi, 3}, {mid}, U{0}, seed++));
  out.push_back(gate(Shape::TwoQubit, {3, mid}, {hi}, ~U{0}, seed++));
  CompiledGate nan_group = gate(Shape::TwoQubit, {mid, hi}, {}, ~U{0}, seed++);
  nan_group.single_matrix[6].im = std::numeric_limits<float>::quiet_NaN();
  out.push_back(nan_group);
  out.push_back(gate(Shape::ControlledSwap, {0, hi}, {1}, ~U{0}, seed++));
  out.push_back(gate(Shape::ControlledSwap, {mid, 2}, {hi}, ~U{0}, seed++));
  out.push_back(gate(Shape::Diagonal, {0, 1, 2}, {}, ~U{0}, seed++));
  out.push_back(gate(Shape::Diagonal, {1, hi, 3}, {0}, U{0}, seed++));
  out.push_back(gate(Shape::Diagonal, {3, hi}, {1, 0}, U{0b10}, seed++));  // two registers, controls inside
  if (n >= 8)
    out.push_back(gate(Shape::Diagonal, {0, 1, 2, 3, 4, 5, 6}, {}, ~U{0}, seed++));  // more entries than patterns
  out.push_back(gate(Shape::Diagonal, {}, {1}, U{0}, seed++));                      // a controlled phase
  out.push_back(gate(Shape::Dense, {0, 2, hi}, {}, ~U{0}, seed++));
  out.push_back(gate(Shape::Dense, {mid, 1, 3}, {hi}, U{0}, seed++));
  // A NaN imaginary part (where the AVX-512 sign trick would show) and an
  // h-like matrix (equal column entries).
  CompiledGate nan_im = gate(Shape::Single, {3}, {}, ~U{0}, seed++);
  nan_im.single_matrix[1].im = std::numeric_limits<float>::quiet_NaN();
  out.push_back(nan_im);
  for (auto [shape, target, controls] : {std::tuple{Shape::MultiControlled, U{0}, std::vector<U>{hi}},
                                         std::tuple{Shape::Single, hi, std::vector<U>{}}}) {
    CompiledGate h = gate(shape, {target}, controls, ~U{0}, seed++);
    h.single_matrix[2] = h.single_matrix[0];
    out.push_back(h);
  }
  return out;
}

bool has_nan_entry(const CompiledGate& g) {
  for (const SingleComplex& c : g.single_matrix)
    if (std::isnan(c.re) || std::isnan(c.im)) return true;
  return false;
}

std::string describe(const CompiledGate& g) {
  std::ostringstream s;
  s << "shape " << static_cast<int>(g.shape) << " targets";
  for (U t : g.targets) s << ' ' << t;
  s << " controls";
  for (std::size_t k = 0; k < g.controls.size(); ++k) s << ' ' << g.controls[k] << '=' << (g.control_values >> k & 1);
  return s.str();
}

bool same_component(float x, float y) {
  return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y) || (std::isnan(x) && std::isnan(y));
}

::testing::AssertionResult same_bits(const SingleComplex* got, const Floats& want) {
  for (U i = 0; i < want.size(); ++i)
    if (!same_component(got[i].re, want[i].re) || !same_component(got[i].im, want[i].im))
      return ::testing::AssertionFailure() << "first difference at index " << i << ": (" << got[i].re << ", "
                                         << got[i].im << ") vs (" << want[i].re << ", " << want[i].im << ")";
  return ::testing::AssertionSuccess();
}

SingleStateVector single_state(const Floats& a) {
  SingleStateVector s = SingleStateVector::create(static_cast<U>(std::countr_zero(a.size())));
  std::memcpy(s.data(), a.data(), a.size() * sizeof(SingleComplex));
  return s;
}

// ---- the kernels against the reference ---------------------------------------

// 5 qubits: every kernel on the calling thread; 14: on the pool (from
// PARALLEL_THRESHOLD amplitudes), with one thread and with all.
class SinglePrecisionPaths : public ::testing::TestWithParam<U> {};

TEST_P(SinglePrecisionPaths, EveryShapeGivesTheReferenceBits) {
  const U n = GetParam();
  const Floats start = random_floats(U{1} << n, n);
  for (const CompiledGate& g : gate_shapes(n)) {
    Floats want = start;
    reference(want, g);
    isa_test::for_each_isa([&](Isa) {
      for (std::size_t threads : {std::size_t{1}, std::size_t{0}}) {
        const ThreadLimit limit(threads);
        SingleStateVector s = single_state(start);
        apply_gate(s, g);
        ASSERT_TRUE(same_bits(s.data(), want)) << "state, " << threads << " threads, " << describe(g);
      }
      Floats block = start;
      apply_gate_local(block.data(), n, g);
      ASSERT_TRUE(same_bits(block.data(), want)) << "block, " << describe(g);
    });
  }
}

TEST_P(SinglePrecisionPaths, AgreesWithDoubleWithinRounding) {
  const U n = GetParam();
  const Floats start = random_floats(U{1} << n, n + 100);
  for (const CompiledGate& g : gate_shapes(n)) {
    if (has_nan_entry(g)) continue;
    SingleStateVector s = single_state(start);
    apply_gate(s, g);
    StateVector d = StateVector::create(n);
    for (U i = 0; i < start.size(); ++i) d[i] = to_double(start[i]);
    CompiledGate exact = g;
    for (std::size_t e = 0; e < g.single_matrix.size(); ++e) exact.matrix[e] = to_double(g.single_matrix[e]);
    apply_gate(d, exact);
    // Inputs below 1, entries below 0.7, at most 8 products a row: a few
    // float roundings of values below 6.
    for (U i = 0; i < start.size(); ++i) {
      ASSERT_NEAR(s[i].re, d[i].re, 4e-6) << i << ", " << describe(g);
      ASSERT_NEAR(s[i].im, d[i].im, 4e-6) << i << ", " << describe(g);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SinglePrecisionPaths, ::testing::Values(U{5}, U{14}));

// Pool chunks may start and end inside a register's group of base indices:
// the primitives over ranges split at odd points give the bits of one call
// over the whole range with the scalar set.
TEST(SinglePrecision, PrimitivesSplitAnywhereGiveTheScalarBits) {
  const U n = 9;
  const Floats start = random_floats(U{1} << n, 5);
  const SingleMatrix2x2 m = to_single(Matrix2x2{{0.6, 0.1}, {-0.3, 0.2}, {0.1, -0.5}, {0.4, 0.3}});
  const std::vector<SingleComplex> diag = {{0.5f, 0.5f}, {-0.25f, 1.0f}, {0.75f, -0.5f}, {1.0f, 0.125f}};
  struct Case {
    std::vector<U> positions;
    U set_mask, tstep;
  };
  for (const Case& c : {Case{{0}, 0, 1}, Case{{2, 0}, 1, 4}, Case{{1, 6}, 64, 2}, Case{{5, 1}, 2, 32},
                        Case{{3}, 0, 8}, Case{{2, 7, 0}, 129, 4}}) {
    const detail::BaseWalk walk(c.positions.data(), static_cast<int>(c.positions.size()));
    const U items = (U{1} << n) >> c.positions.size();
    Floats want_pairs = start, want_diag = start;
    detail::kSingleScalarPrimitives.pairs(want_pairs.data(), walk, 0, items, c.set_mask, c.tstep, m);
    // A diagonal on the first position as target (2 entries) or the first two (4).
    std::vector<U> off = {0, U{1} << c.positions[0]};
    if (c.positions.size() > 1) off.insert(off.end(), {U{1} << c.positions[1], (U{1} << c.positions[0]) | (U{1} << c.positions[1])});
    const U set_diag = c.positions.size() > 2 ? c.set_mask & (U{1} << c.positions[2]) : 0;
    detail::kSingleScalarPrimitives.diagonal(want_diag.data(), walk, 0, items, set_diag, off.data(), off.size(),
                                             diag.data());
    isa_test::for_each_isa([&](Isa) {
      const detail::SingleRunPrimitives& prim = detail::single_run_primitives();
      Floats got_pairs = start, got_diag = start;
      const U cuts[] = {0, 1, 3, 6, 7, 13, items / 2 + 1, items - 1, items};
      for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        prim.pairs(got_pairs.data(), walk, cuts[i], cuts[i + 1], c.set_mask, c.tstep, m);
        prim.diagonal(got_diag.data(), walk, cuts[i], cuts[i + 1], set_diag, off.data(), off.size(), diag.data());
      }
      ASSERT_TRUE(same_bits(got_pairs.data(), want_pairs)) << "pairs, first position " << c.positions[0];
      ASSERT_TRUE(same_bits(got_diag.data(), want_diag)) << "diagonal, first position " << c.positions[0];
    });
  }
}

// ---- blocked runs and the engine ---------------------------------------------

std::vector<CompiledGate> random_circuit(U n, U count, U seed) {
  std::mt19937_64 rng(seed);
  const std::vector<CompiledGate> shapes = gate_shapes(n);
  std::vector<CompiledGate> out;
  for (U i = 0; i < count; ++i) {
    CompiledGate g = shapes[rng() % shapes.size()];
    if (has_nan_entry(g)) continue;
    out.push_back(std::move(g));
  }
  return out;
}

TEST(SinglePrecision, BlockedRunsGiveTheBitsOfGateByGate) {
  const U n = 14;
  const std::vector<CompiledGate> gates = random_circuit(n, 300, 7);
  const Floats start = random_floats(U{1} << n, 3);
  SingleStateVector want = single_state(start);
  for (const CompiledGate& g : gates) apply_gate(want, g);
  const BlockingParams small{.max_block_qubits = 9, .min_low_qubits = 3, .cache_resident_qubits = 0,
                             .gather_min_gates = 1};
  isa_test::for_each_isa([&](Isa) {
    SingleStateVector s = single_state(start);
    apply_gates(s, gates, small);
    ASSERT_TRUE(same_bits(s.data(), Floats(want.data(), want.data() + want.size())));
  });
}

// GHZ with phases: two outcomes of probability 1/2 in either precision (up
// to float rounding, which moves no draw of this seed).
Program ghz_program(U n) {
  Program p{n};
  p.gates.push_back(find_standard_gate("h")->build({}, std::vector<U>{0}));
  for (U q = 0; q + 1 < n; ++q) p.gates.push_back(find_standard_gate("cx")->build({}, std::vector<U>{q, q + 1}));
  for (U q = 0; q < n; ++q) p.gates.push_back(find_standard_gate("rz")->build(std::vector<double>{0.25 * double(q)}, std::vector<U>{q}));
  p.global_phase = 0.5;
  p.samples = true;
  return p;
}

TEST(SinglePrecision, EngineRunAgreesWithDoubleAndSamplesTheSameWay) {
  const Program p = ghz_program(16);
  const SingleProgramResult single = run_single_program(p, {.seed = 11, .shots = 1000, .keep_shots = true});
  const ProgramResult exact = run_program(p, {.seed = 11, .shots = 1000, .keep_shots = true});
  ASSERT_EQ(single.snapshot.size(), exact.snapshot.size());
  for (U i = 0; i < exact.snapshot.size(); ++i) {
    ASSERT_NEAR(single.snapshot[i].re, exact.snapshot[i].re, 1e-6) << i;
    ASSERT_NEAR(single.snapshot[i].im, exact.snapshot[i].im, 1e-6) << i;
  }
  EXPECT_EQ(single.shots, exact.shots);
  ASSERT_EQ(single.tally.size(), 2u);
  EXPECT_EQ(single.tally[1].first, (U{1} << 16) - 1);
}

TEST(SinglePrecision, RequiredMemoryCountsHalfTheStateAndBuffers) {
  Program p{31};
  p.gates.push_back(find_standard_gate("h")->build({}, std::vector<U>{0}));
  // The state halves; the gather buffers keep their bytes (a single-precision
  // block has one qubit more); nothing else is counted without shots.
  const U single = required_memory(p, RunRequest{.single_precision = true});
  const U exact = required_memory(p, 0);
  EXPECT_EQ(SingleStateVector::bytes_for(31), U{8} << 31);
  EXPECT_GT(single, SingleStateVector::bytes_for(31));
  EXPECT_EQ(single - SingleStateVector::bytes_for(31), exact - StateVector::bytes_for(31));
  // With shots the sampler's double sums are the same in both.
  p.samples = true;
  EXPECT_EQ(required_memory(p, RunRequest{.shots = 10, .single_precision = true}) - single, required_memory(p, 10) - exact);
}

TEST(SinglePrecision, UnroundedEntryIsRefused) {
  CompiledGate g = gate(Shape::Single, {0}, {}, ~U{0}, 1);
  g.single_matrix.clear();
  SingleStateVector s = SingleStateVector::create(3);
  EXPECT_THROW(apply_gate(s, g), FatalError);
}

}  // namespace
}  // namespace vorn::sim

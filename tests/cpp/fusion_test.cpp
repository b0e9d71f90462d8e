// Tests of opt-in gate fusion: fused lists agree with the gate-by-gate path
// to rounding on random circuits of every compiled shape, fused gates stay
// within their width, and the run option applies exactly the fused list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/fusion.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// A random permutation of the dim basis states with random phases: unitary.
std::vector<Complex> phased_permutation(std::mt19937_64& rng, std::size_t dim) {
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  std::vector<std::size_t> perm(dim);
  for (std::size_t i = 0; i < dim; ++i) perm[i] = i;
  std::shuffle(perm.begin(), perm.end(), rng);
  std::vector<Complex> m(dim * dim, Complex{0.0, 0.0});
  for (std::size_t r = 0; r < dim; ++r) {
    const double a = angle(rng);
    m[r * dim + perm[r]] = Complex{std::cos(a), std::sin(a)};
  }
  return m;
}

// Distinct random qubits below n.
std::vector<U> pick(std::mt19937_64& rng, U n, std::size_t count) {
  std::vector<U> all(n);
  for (U q = 0; q < n; ++q) all[q] = q;
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(count);
  return all;
}

// A random gate of the given shape, valid for n >= 4 qubits.
CompiledGate random_gate(std::mt19937_64& rng, U n, Shape shape) {
  std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
  auto random_u = [&] {
    const std::vector<double> p = {angle(rng), angle(rng), angle(rng)};
    return find_standard_gate("u")->build(p, std::vector<U>{0}).matrix;
  };
  switch (shape) {
    case Shape::Single: {
      CompiledGate g = find_standard_gate("u")->build(std::vector<double>{angle(rng), angle(rng), angle(rng)},
                                                      pick(rng, n, 1));
      return g;
    }
    case Shape::MultiControlled: {
      const std::vector<U> q = pick(rng, n, 3);
      return CompiledGate{Shape::MultiControlled, {q[0]}, {q[1], q[2]}, rng() & 3u, random_u()};
    }
    case Shape::DoublyControlled: {
      // vorn_python's ccx keeps repeated operands' meaning: sometimes repeat one.
      std::vector<U> q = pick(rng, n, 3);
      if (rng() % 3 == 0) q[1] = q[0];
      return *compile_gate(GateKind::CCX, 0.0, q);
    }
    case Shape::TwoQubit: {
      const std::vector<U> q = pick(rng, n, 3);
      CompiledGate g = compile_unitary(phased_permutation(rng, 4), std::vector<U>{q[0], q[1]});
      if (rng() % 2 == 0) g.controls = {q[2]}, g.control_values = rng() & 1u;
      return g;
    }
    case Shape::ControlledSwap: {
      std::vector<U> q = pick(rng, n, 3);
      if (rng() % 4 == 0) q[2] = q[1];
      return *compile_gate(GateKind::CSWAP, 0.0, q);
    }
    case Shape::Diagonal: {
      const std::vector<U> q = pick(rng, n, 3);
      CompiledGate g = find_standard_gate("cp")->build(std::vector<double>{angle(rng)}, std::vector<U>{q[0], q[1]});
      if (rng() % 2 == 0) g.controls.push_back(q[2]), g.control_values = 1u | ((rng() & 1u) << 1);
      return g;
    }
    case Shape::Dense: {
      return compile_unitary(phased_permutation(rng, 8), pick(rng, n, 3));
    }
  }
  return {};
}

constexpr Shape kShapes[] = {Shape::Single,         Shape::MultiControlled, Shape::DoublyControlled,
                             Shape::TwoQubit,       Shape::ControlledSwap,  Shape::Diagonal,
                             Shape::Dense};

// Single-qubit gates on every qubit first, so no amplitude stays 0.
std::vector<CompiledGate> random_circuit(std::mt19937_64& rng, U n, std::size_t length) {
  std::vector<CompiledGate> gates;
  for (U q = 0; q < n; ++q) gates.push_back(random_gate(rng, n, Shape::Single));
  std::uniform_int_distribution<std::size_t> shape(0, std::size(kShapes) - 1);
  // Runs on few qubits too, where fusion has something to merge.
  const U narrow = std::min<U>(n, 4);
  for (std::size_t i = 0; i < length; ++i) {
    const U width = rng() % 3 == 0 ? narrow : n;
    gates.push_back(random_gate(rng, width, kShapes[shape(rng)]));
  }
  for (const CompiledGate& g : gates) validate(g, n);
  return gates;
}

StateVector run(std::span<const CompiledGate> gates, U n, const BlockingParams& params = {}) {
  StateVector s = StateVector::create(n);
  apply_gates(s, gates, params);
  return s;
}

TEST(Fusion, RandomCircuitsOfEveryShapeAgreeToRounding) {
  std::mt19937_64 rng(2026);
  for (U n : {4u, 7u, 11u}) {
    for (int trial = 0; trial < 4; ++trial) {
      const std::vector<CompiledGate> gates = random_circuit(rng, n, 120);
      const StateVector exact = run(gates, n);
      for (unsigned k : {1u, 2u, 3u, 4u, 5u}) {
        const std::vector<CompiledGate> fused = fuse_gates(gates, k);
        for (const CompiledGate& g : fused) {
          validate(g, n);
          // A gate wider than k (a doubly-controlled one at k = 2) is kept
          // as it was; only a product of diagonal gates grows wider.
          if (g.shape != Shape::Diagonal) {
            EXPECT_TRUE(std::popcount(g.qubit_mask()) <= static_cast<int>(std::max<U>(k, 3)));
          }
        }
        if (k >= 3) {
          EXPECT_LT(fused.size(), gates.size()) << "n=" << n << " k=" << k;
        }
        const StateVector got = run(fused, n);
        double worst = 0.0;
        for (U i = 0; i < exact.size(); ++i) {
          worst = std::max(worst, std::hypot(got[i].re - exact[i].re, got[i].im - exact[i].im));
        }
        EXPECT_LE(worst, 1e-12) << "n=" << n << " k=" << k << " trial " << trial;
      }
    }
  }
}

TEST(Fusion, BlockedAndGateByGateRunsOfAFusedListGiveTheSameBits) {
  // A fused list is an ordinary compiled list: the blocked runner gives the
  // bits of one kernel call per gate, as for any list.
  std::mt19937_64 rng(7);
  const U n = 12;
  const std::vector<CompiledGate> fused = fuse_gates(random_circuit(rng, n, 200), 4);
  BlockingParams small_blocks;
  small_blocks.max_block_qubits = 8;
  small_blocks.min_low_qubits = 3;
  small_blocks.cache_resident_qubits = 0;
  small_blocks.gather_min_gates = 2;
  const StateVector blocked = run(fused, n, small_blocks);
  StateVector plain = StateVector::create(n);
  for (const CompiledGate& g : fused) apply_gate(plain, g);
  for (U i = 0; i < plain.size(); ++i) {
    ASSERT_EQ(blocked[i].re, plain[i].re) << i;
    ASSERT_EQ(blocked[i].im, plain[i].im) << i;
  }
}

TEST(Fusion, GatesPilingOnFewQubitsCollapse) {
  // Ten layers of h on every qubit: each qubit's ten gates end as one (the
  // gates between touch other qubits and commute with them); gates on
  // disjoint qubits are not merged (a tensor product costs more dense).
  const U n = 8;
  std::vector<CompiledGate> gates;
  for (int layer = 0; layer < 10; ++layer)
    for (U q = 0; q < n; ++q) gates.push_back(*compile_gate(GateKind::H, 0.0, std::vector<U>{q}));
  const std::vector<CompiledGate> fused = fuse_gates(gates, 2);
  ASSERT_EQ(fused.size(), n);
  for (const CompiledGate& g : fused) EXPECT_EQ(g.shape, Shape::Single);
  const StateVector s = run(fused, n);
  EXPECT_NEAR(s[0].re, 1.0, 1e-12);  // h^10 = identity
}

TEST(Fusion, DiagonalGatesMergeIntoOneDiagonalOfAnyWidth) {
  // QFT-like: h on a qubit, then cp from every other qubit onto it. The cp
  // chain (and rz) merges into one Diagonal gate wider than k; the h stays
  // apart (a dense 2-qubit product would cost more than h and a diagonal).
  const U n = 7;
  std::vector<CompiledGate> gates;
  gates.push_back(*compile_gate(GateKind::H, 0.0, std::vector<U>{n - 1}));
  for (U k = 0; k + 1 < n; ++k) {
    gates.push_back(find_standard_gate("cp")->build(std::vector<double>{0.3 * double(k + 1)}, std::vector<U>{k, n - 1}));
  }
  gates.push_back(*compile_gate(GateKind::RZ, 0.7, std::vector<U>{2}));
  const std::vector<CompiledGate> fused = fuse_gates(gates, 2);
  ASSERT_EQ(fused.size(), 2u);
  EXPECT_EQ(fused[0].shape, Shape::Single);
  EXPECT_EQ(fused[1].shape, Shape::Diagonal);
  EXPECT_EQ(std::popcount(fused[1].qubit_mask()), static_cast<int>(n));
  std::mt19937_64 rng(5);
  std::vector<CompiledGate> prepared;
  for (U q = 0; q < n; ++q) prepared.push_back(random_gate(rng, n, Shape::Single));
  std::vector<CompiledGate> a = prepared, b = prepared;
  a.insert(a.end(), gates.begin(), gates.end());
  b.insert(b.end(), fused.begin(), fused.end());
  const StateVector x = run(a, n), y = run(b, n);
  for (U i = 0; i < x.size(); ++i) EXPECT_LE(std::hypot(x[i].re - y[i].re, x[i].im - y[i].im), 1e-12);
}

TEST(Fusion, LoneAndWideGatesStayAsTheyWere) {
  std::mt19937_64 rng(3);
  EXPECT_TRUE(fuse_gates({}, 4).empty());
  const CompiledGate lone = random_gate(rng, 6, Shape::Dense);
  const std::vector<CompiledGate> one = fuse_gates(std::vector<CompiledGate>{lone}, 4);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].shape, lone.shape);
  EXPECT_EQ(one[0].targets, lone.targets);
  EXPECT_EQ(one[0].matrix.size(), lone.matrix.size());
  // Wider than the limit: never merged, order kept around it.
  const std::vector<CompiledGate> list = {*compile_gate(GateKind::H, 0.0, std::vector<U>{0}), lone,
                                          *compile_gate(GateKind::H, 0.0, std::vector<U>{0})};
  const std::vector<CompiledGate> kept = fuse_gates(list, 2);
  const StateVector a = run(list, 6), b = run(kept, 6);
  for (U i = 0; i < a.size(); ++i) EXPECT_NEAR(std::hypot(a[i].re - b[i].re, a[i].im - b[i].im), 0.0, 1e-12);
  EXPECT_TRUE(std::any_of(kept.begin(), kept.end(), [&](const CompiledGate& g) { return g.targets == lone.targets; }));
}

TEST(Fusion, RunOptionAppliesTheFusedList) {
  std::mt19937_64 rng(11);
  Program program{9};
  program.gates = random_circuit(rng, 9, 80);
  const ProgramResult plain = run_program(program, RunRequest{.seed = 1});
  const ProgramResult fused = run_program(program, RunRequest{.seed = 1, .fusion_qubits = 4});
  const StateVector expected = run(fuse_gates(program.gates, 4), 9);
  bool differs = false;
  for (U i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(fused.snapshot[i].re, expected[i].re) << i;
    ASSERT_EQ(fused.snapshot[i].im, expected[i].im) << i;
    differs |= plain.snapshot[i].re != fused.snapshot[i].re || plain.snapshot[i].im != fused.snapshot[i].im;
  }
  EXPECT_TRUE(differs) << "the default run must not fuse";
}

}  // namespace
}  // namespace vorn::sim

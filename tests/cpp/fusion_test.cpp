// Tests of opt-in gate fusion: fused lists agree with the gate-by-gate path
// to rounding on random circuits of every compiled shape, fused gates stay
// within their width, and the run option applies exactly the fused list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <ranges>
#include <string_view>
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

TEST(Fusion, RunOptionAppliesThePlanForItsRegister) {
  // On 13 qubits the plan merges, and the run is the fused list's; on 9
  // nothing merges, and the run is the exact one, bit for bit.
  for (U n : {13u, 9u}) {
    std::mt19937_64 rng(11);
    Program program{n};
    program.gates = random_circuit(rng, n, 80);
    const ProgramResult plain = run_program(program, RunRequest{.seed = 1});
    const ProgramResult fused = run_program(program, RunRequest{.seed = 1, .fusion_qubits = 4});
    const FusionPlan plan = plan_fusion(program.gates, 4, n);
    EXPECT_EQ(plan.steps.empty(), n < 12);
    const StateVector expected = run(fused_list(program.gates, plan), n);
    bool differs = false;
    for (U i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(fused.snapshot[i].re, expected[i].re) << i;
      ASSERT_EQ(fused.snapshot[i].im, expected[i].im) << i;
      differs |= plain.snapshot[i].re != fused.snapshot[i].re || plain.snapshot[i].im != fused.snapshot[i].im;
    }
    EXPECT_EQ(differs, !plan.steps.empty()) << "n=" << n;
  }
}

// ---- forming the products --------------------------------------------------

// Every merged step's matrix, bit for bit, as the members' own kernels give
// it column by column: basis vector c on a block of 2^max(k, 6) amplitudes,
// the members (renamed to the step's qubits) applied in order.
void expect_columns_bits(std::span<const CompiledGate> gates, const FusionPlan& plan) {
  const std::vector<CompiledGate> fused = fused_list(gates, plan);
  ASSERT_EQ(fused.size(), plan.steps.size());
  std::size_t merged = 0;
  for (std::size_t s = 0; s < plan.steps.size(); ++s) {
    const FusionStep& step = plan.steps[s];
    if (step.count == 1) continue;
    ++merged;
    const std::span<const U> qubits = plan.qubits_of(step);
    const U k = qubits.size(), dim = U{1} << k, block = std::max<U>(k, 6);
    ASSERT_EQ(fused[s].targets, std::vector<U>(qubits.begin(), qubits.end()));
    ASSERT_EQ(fused[s].shape, step.diagonal ? Shape::Diagonal : k == 1 ? Shape::Single : k == 2 ? Shape::TwoQubit : Shape::Dense);
    for (U c = 0; c < dim; ++c) {
      std::vector<Complex> column(U{1} << block, Complex{0.0, 0.0});
      column[c] = {1.0, 0.0};
      for (std::size_t m : plan.members(step)) {
        CompiledGate local = gates[m];
        auto position = [&](U& q) { q = static_cast<U>(std::find(qubits.begin(), qubits.end(), q) - qubits.begin()); };
        std::for_each(local.targets.begin(), local.targets.end(), position);
        std::for_each(local.controls.begin(), local.controls.end(), position);
        apply_gate_local(column.data(), block, local);
      }
      for (U r = 0; r < dim; ++r) {
        if (step.diagonal && r != c) continue;
        const Complex got = step.diagonal ? fused[s].matrix[c] : fused[s].matrix[r * dim + c];
        ASSERT_EQ(std::memcmp(&got, &column[r], sizeof(Complex)), 0) << "step " << s << " entry " << r << "," << c;
      }
    }
  }
  EXPECT_GT(merged, 0u);
}

TEST(Fusion, ProductsHaveTheBitsOfTheirColumnsThroughTheKernels) {
  // Products of Diagonal entries form in one pass, the others a batch of
  // columns at a time (2^14 amplitudes, so several batches from k = 8 on):
  // the bits of forming each column alone. Runs of every shape, diagonal
  // ones with rz, z, s and t (whose kernel is the pair update), at widths
  // up to 8 and 10.
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  for (unsigned k : {3u, 5u, 8u}) {
    SCOPED_TRACE(k);
    const U n = 10;
    std::vector<CompiledGate> gates = random_circuit(rng, n, 150);
    expect_columns_bits(gates, plan_fusion(gates, k, 0));
    // Diagonal chains: cp, cz, rzz, ccz and mcp, then with rz, z, s and t.
    for (bool pair_kernels : {false, true}) {
      std::vector<CompiledGate> chain;
      const char* names[] = {"cp", "cz", "rzz", "ccz", "mcp", "crz"};
      for (int i = 0; i < 60; ++i) {
        const StandardGate* row = find_standard_gate(names[rng() % 6]);
        std::vector<double> p(row->n_params);
        for (double& x : p) x = angle(rng);
        chain.push_back(row->build(p, pick(rng, n, row->n_qubits == 0 ? 4 : row->n_qubits)));
        if (pair_kernels && i % 3 == 0) {
          const char* one[] = {"rz", "z", "s", "t"};
          const StandardGate* g = find_standard_gate(one[rng() % 4]);
          chain.push_back(g->build(std::vector<double>(g->n_params, angle(rng)), pick(rng, n, 1)));
        }
      }
      const FusionPlan plan = plan_fusion(chain, k, 0);
      expect_columns_bits(chain, plan);
      EXPECT_TRUE(std::any_of(plan.steps.begin(), plan.steps.end(), [](const FusionStep& s) { return s.width == 10; }));
    }
  }
}


// ---- the plan's decisions ------------------------------------------------------

void add(std::vector<CompiledGate>& gates, std::string_view name, std::vector<U> qubits, std::vector<double> p = {}) {
  gates.push_back(find_standard_gate(name)->build(p, qubits));
}

// The gate workloads of the peer comparison (bench/compare.py), where
// fusion pays: h layers, QFT with rz/cx phases, rotation layers with cx ladders.
std::vector<CompiledGate> h_layers(U n) {
  std::vector<CompiledGate> g;
  for (int layer = 0; layer < 10; ++layer)
    for (U q = 0; q < n; ++q) add(g, "h", {q});
  return g;
}

std::vector<CompiledGate> qft_rz_cx(U n) {
  std::vector<CompiledGate> g;
  for (U q = 0; q < n; ++q) add(g, "ry", {q}, {0.3 + 1.4 * double(q) / double(n)});
  for (U j = n; j-- > 0;) {
    add(g, "h", {j});
    for (U k = j; k-- > 0;) {
      const double lam = std::numbers::pi / std::ldexp(1.0, int(j - k));
      add(g, "rz", {k}, {lam / 2});
      add(g, "rz", {j}, {lam / 2});
      add(g, "cx", {k, j});
      add(g, "rz", {j}, {-lam / 2});
      add(g, "cx", {k, j});
    }
  }
  for (U i = 0; i < n / 2; ++i) add(g, "swap", {i, n - 1 - i});
  return g;
}

std::vector<CompiledGate> rotation_layers(U n) {
  std::mt19937_64 rng(n);
  std::uniform_real_distribution<double> angle(0.0, 2 * std::numbers::pi);
  const char* rotations[] = {"rx", "ry", "rz"};
  std::vector<CompiledGate> g;
  for (int layer = 0; layer < 20; ++layer) {
    for (U q = 0; q < n; ++q) add(g, rotations[rng() % 3], {q}, {angle(rng)});
    for (U q = 0; q + 1 < n; ++q) add(g, "cx", {q, q + 1});
  }
  return g;
}

bool same_plan(const FusionPlan& a, const FusionPlan& b) {
  if (a.steps.size() != b.steps.size()) return false;
  for (std::size_t s = 0; s < a.steps.size(); ++s) {
    const FusionStep &x = a.steps[s], &y = b.steps[s];
    if (x.diagonal != y.diagonal || !std::ranges::equal(a.members(x), b.members(y)) ||
        !std::ranges::equal(a.qubits_of(x), b.qubits_of(y)))
      return false;
  }
  return true;
}

std::size_t widest(const FusionPlan& plan) {
  std::size_t w = 0;
  for (const FusionStep& s : plan.steps) w = std::max(w, s.width);
  return w;
}

TEST(Fusion, LargeRegistersKeepThePlanOfThePassesAlone) {
  // On 22 to 26 qubits forming the products, the kernel calls and the copy
  // weigh nothing beside the passes: the plan is the one made from the work
  // per amplitude alone (the plan before these were weighed), and with it
  // the fused state, bit for bit (its products have the columns' bits).
  for (U n : {22u, 24u, 26u}) {
    for (const auto& workload : {h_layers(n), qft_rz_cx(n), rotation_layers(n)}) {
      const FusionPlan plan = plan_fusion(workload, kDefaultFusionQubits, n);
      EXPECT_FALSE(plan.steps.empty()) << n;
      EXPECT_TRUE(same_plan(plan, plan_fusion(workload, kDefaultFusionQubits, 0))) << n;
    }
  }
}

TEST(Fusion, NothingMergesWhereItCannotPay) {
  // Below 12 qubits: planning alone would cost more than merging saves.
  EXPECT_FALSE(plan_fusion(h_layers(11), kDefaultFusionQubits, 0).steps.empty());
  EXPECT_TRUE(plan_fusion(h_layers(11), kDefaultFusionQubits, 11).steps.empty());
  // One pair that merges in a long list nothing else joins: merging it
  // saves less than copying the list costs.
  std::mt19937_64 rng(23);
  std::vector<CompiledGate> swaps;
  add(swaps, "h", {0});
  add(swaps, "h", {0});
  for (int i = 0; i < 400; ++i) {
    const std::vector<U> q = pick(rng, 13, 3);
    add(swaps, "cswap", {q[0], q[1], q[2]});
  }
  EXPECT_FALSE(plan_fusion(swaps, kDefaultFusionQubits, 0).steps.empty());
  EXPECT_TRUE(plan_fusion(swaps, kDefaultFusionQubits, 13).steps.empty());
  // A diagonal as wide as the chain it merges: set up on every kernel call
  // (2^10 entries sorted and widened, the work of some 66,000 amplitudes),
  // sixteen calls on 13 qubits. Narrower diagonals still merge there, and
  // wider ones on 2^20 amplitudes (a call per block of 2^15).
  std::vector<CompiledGate> chain;
  for (int round = 0; round < 2; ++round)
    for (U q = 0; q + 1 < 10; ++q) add(chain, "cp", {q, q + 1}, {0.1 * double(q + 1)});
  EXPECT_EQ(widest(plan_fusion(chain, kDefaultFusionQubits, 0)), 10u);
  const FusionPlan small = plan_fusion(chain, kDefaultFusionQubits, 13);
  EXPECT_FALSE(small.steps.empty());
  EXPECT_LT(widest(small), 10u);
  EXPECT_GT(widest(plan_fusion(chain, kDefaultFusionQubits, 20)), widest(small));
}

}  // namespace
}  // namespace vorn::sim

// Tests of blocked execution: the planner's segments, and bit-identical states
// against one full-state kernel call per gate on random circuits of every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/testing.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

GateOp gate(GateKind kind, std::vector<U> qubits, double theta = 0.0) {
  GateOp g{.kind = kind, .theta = theta, .qubits = {}, .n_qubits = static_cast<std::uint8_t>(qubits.size())};
  for (std::size_t i = 0; i < qubits.size(); ++i) g.qubits[i] = qubits[i];
  return g;
}

// The gate entries of `ops` compiled for an n-qubit register, as a run
// compiles them (measurements and do-nothing entries such as swap(q, q) drop out).
std::vector<CompiledGate> compiled(const std::vector<Operation>& ops, U n) {
  Circuit c(n);
  for (const Operation& op : ops)
    if (const GateOp* g = std::get_if<GateOp>(&op)) c.add_gate(g->kind, std::span(g->qubits.data(), g->n_qubits), g->theta);
  return compile(c).gates;
}

U mask(std::vector<U> qubits) {
  U m = 0;
  for (U q : qubits) m |= U{1} << q;
  return m;
}

// ---- planner --------------------------------------------------------------

TEST(Planner, SegmentsEndWhereTheNextGateWouldOverflowTheBlock) {
  // Block of 4 qubits, qubits 0 and 1 always in it.
  const BlockingParams p{.max_block_qubits = 4, .min_low_qubits = 2, .cache_resident_qubits = 0};
  const std::vector<Operation> ops{
      gate(GateKind::H, {5}),          // 0: {0,1,5}
      gate(GateKind::CX, {5, 6}),      // 1: {0,1,5,6}
      MeasureOp{3, 0},                 // not compiled: leaves the state alone
      gate(GateKind::H, {0}),          // 2: still {0,1,5,6}
      gate(GateKind::RZ, {7}, 0.5),    // 3: would be 5 qubits -> new run {0,1,7}
      gate(GateKind::CCX, {2, 3, 7}),  // 4: would be 5 qubits -> alone, gate by gate
      gate(GateKind::SWAP, {4, 4}),    // not compiled: changes nothing
      gate(GateKind::SWAP, {4, 1}),    // 5: {0,1,4}
      gate(GateKind::CZ, {1, 4}),      // 6: {0,1,4}; padded with qubit 2
  };
  const std::vector<Segment> segs = plan_segments(compiled(ops, 8), 8, p);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[0].begin, 0u);
  EXPECT_EQ(segs[0].end, 3u);
  EXPECT_EQ(segs[0].qubits, mask({0, 1, 5, 6}));
  // A lone gate and the too-wide one after it share one gate-by-gate segment.
  EXPECT_EQ(segs[1].begin, 3u);
  EXPECT_EQ(segs[1].end, 5u);
  EXPECT_FALSE(segs[1].blocked());
  EXPECT_EQ(segs[2].begin, 5u);
  EXPECT_EQ(segs[2].end, 7u);
  EXPECT_EQ(segs[2].qubits, mask({0, 1, 2, 4}));
}

TEST(Planner, GateByGateForSmallRegistersWideGatesAndLoneGates) {
  const BlockingParams p{.max_block_qubits = 4, .min_low_qubits = 1, .cache_resident_qubits = 0};
  const std::vector<Operation> ops{gate(GateKind::H, {0}), gate(GateKind::H, {1}), MeasureAllOp{}};
  const std::vector<Segment> whole = plan_segments(compiled(ops, 4), 4, p);  // register no larger than a block
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].end, 2u);
  EXPECT_FALSE(whole[0].blocked());

  // A gate wider than any block runs alone on the whole state.
  const Matrix2x2 x = matrix_2x2(GateKind::X, 0.0);
  const CompiledGate wide{Shape::MultiControlled, {5}, {1, 2, 3, 4}, ~U{0}, {x.m00, x.m01, x.m10, x.m11}};
  const std::vector<CompiledGate> h = compiled({gate(GateKind::H, {0}), gate(GateKind::H, {1})}, 6);
  std::vector<CompiledGate> gates{h[0], h[1], wide, h[0], h[1], wide};
  const std::vector<Segment> segs = plan_segments(gates, 6, p);
  ASSERT_EQ(segs.size(), 4u);
  EXPECT_TRUE(segs[0].blocked());
  EXPECT_EQ(segs[1].begin, 2u);  // the wide gate alone, never inside a block
  EXPECT_EQ(segs[1].end, 3u);
  EXPECT_FALSE(segs[1].blocked());
  EXPECT_TRUE(segs[2].blocked());
  EXPECT_EQ(segs[3].begin, 5u);
  EXPECT_FALSE(segs[3].blocked());
  StateVector plain = StateVector::create(6), blocked = StateVector::create(6);
  for (const CompiledGate& g : gates) apply_gate(plain, g);
  apply_gates(blocked, gates, p);
  EXPECT_EQ(std::memcmp(plain.data(), blocked.data(), plain.size() * sizeof(Complex)), 0);
}

TEST(Planner, CacheResidentRegistersCopyBlocksOnlyForLongRuns) {
  const BlockingParams p{.max_block_qubits = 3, .min_low_qubits = 2, .cache_resident_qubits = 10, .gather_min_gates = 3};
  const std::vector<Operation> ops{
      gate(GateKind::H, {0}), gate(GateKind::H, {2}),                          // low only: in place
      gate(GateKind::H, {7}), gate(GateKind::CX, {7, 0}),                      // 2 gates with qubit 7
      gate(GateKind::H, {8}), gate(GateKind::H, {8}), gate(GateKind::Z, {0}),  // 3 gates with qubit 8
  };
  const auto plan = [&](U n) {
    std::vector<U> qubits;
    for (const Segment& seg : plan_segments(compiled(ops, n), n, p)) qubits.push_back(seg.qubits);
    return qubits;
  };
  EXPECT_EQ(plan(10), (std::vector<U>{mask({0, 1, 2}), 0, mask({0, 1, 8})}));
  EXPECT_EQ(plan(11), (std::vector<U>{mask({0, 1, 2}), mask({0, 1, 7}), mask({0, 1, 8})}));
}

// ---- bit-identical against the plain walk -----------------------------------

// Random entries of every kind; about one in six multi-qubit gates repeats an
// operand, and measurements are sprinkled in.
std::vector<Operation> random_ops(U n, std::size_t count, std::mt19937_64& rng) {
  std::uniform_int_distribution<int> kind(0, 15), qubit(0, static_cast<int>(n) - 1), repeat(0, 5);
  std::uniform_real_distribution<double> angle(-7.0, 7.0);
  // Half the operands are low qubits so that blocks mix low and high ones.
  auto pick = [&] { return static_cast<U>(repeat(rng) < 3 ? qubit(rng) % 5 : qubit(rng)); };
  std::vector<Operation> ops;
  while (ops.size() < count) {
    const int k = kind(rng);
    if (k == 15) {
      ops.push_back(MeasureOp{pick(), 0});
      continue;
    }
    const GateKind g = static_cast<GateKind>(k);
    std::vector<U> q;
    for (int i = 0; i < gate_info(g).n_qubits; ++i) q.push_back(pick());
    if (q.size() > 1 && repeat(rng) == 0) q[q.size() - 1] = q[static_cast<std::size_t>(repeat(rng)) % (q.size() - 1)];
    ops.push_back(gate(g, q, angle(rng)));
  }
  return ops;
}

StateVector random_state(U n, std::mt19937_64& rng) {
  StateVector s = StateVector::create(n);
  std::normal_distribution<double> normal;
  for (U i = 0; i < s.size(); ++i) s[i] = Complex{normal(rng), normal(rng)};
  return s;
}

bool same_bits(const StateVector& a, const StateVector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

TEST(BlockedRun, MatchesOneKernelCallPerGateBitForBit) {
  std::mt19937_64 rng(20261207);
  int in_place = 0, gathered = 0;
  for (U n = 13; n <= 20; ++n) {
    for (U block : {U{3}, U{6}, n - 3, n - 1}) {
      const BlockingParams p{.max_block_qubits = block, .min_low_qubits = n % 3, .cache_resident_qubits = 0};
      const std::vector<Operation> ops = random_ops(n, 60, rng);
      for (const Segment& seg : plan_segments(compiled(ops, n), n, p)) {
        if (!seg.blocked()) continue;
        EXPECT_LE(std::popcount(seg.qubits), static_cast<int>(block));
        ++(std::has_single_bit(seg.qubits + 1) ? in_place : gathered);
      }
      StateVector plain = random_state(n, rng);
      StateVector blocked = plain.copy();
      for (const Operation& op : ops)
        if (const GateOp* g = std::get_if<GateOp>(&op)) apply_gate(plain, *g);
      apply_operations(blocked, ops, p);
      ASSERT_TRUE(same_bits(plain, blocked)) << "n=" << n << " block=" << block;
    }
  }
  // Both ways of running a block were exercised.
  EXPECT_GT(in_place, 10);
  EXPECT_GT(gathered, 10);
}

TEST(BlockedRun, EveryGateKindInsideGatheredAndInPlaceBlocks) {
  // Fixed lists where every kind shares a segment with others, once with only
  // low qubits (in-place blocks) and once with high ones (gathered blocks).
  const U n = 14;
  for (U hi : {U{3}, U{11}}) {
    std::vector<Operation> ops;
    for (int k = 0; k < 10; ++k) ops.push_back(gate(static_cast<GateKind>(k), {hi - static_cast<U>(k % 3)}, 0.7 * k));
    ops.push_back(gate(GateKind::CX, {hi, 1}));
    ops.push_back(gate(GateKind::CX, {1, 1}));
    ops.push_back(gate(GateKind::CZ, {hi - 1, 0}));
    ops.push_back(gate(GateKind::CZ, {hi, hi}));
    ops.push_back(gate(GateKind::SWAP, {0, hi}));
    ops.push_back(gate(GateKind::SWAP, {hi - 2, hi - 2}));
    ops.push_back(gate(GateKind::CCX, {hi, 0, hi - 1}));
    ops.push_back(gate(GateKind::CCX, {hi, hi, 0}));
    ops.push_back(gate(GateKind::CCX, {hi, 0, hi}));
    ops.push_back(gate(GateKind::CSWAP, {1, hi, hi - 2}));
    ops.push_back(gate(GateKind::CSWAP, {hi, 1, hi}));
    ops.push_back(gate(GateKind::CSWAP, {0, hi, hi}));
    const BlockingParams p{.max_block_qubits = 6, .min_low_qubits = 2, .cache_resident_qubits = 0};
    ASSERT_EQ(plan_segments(compiled(ops, n), n, p).size(), 1u);
    std::mt19937_64 rng(hi);
    StateVector plain = random_state(n, rng);
    StateVector blocked = plain.copy();
    for (const Operation& op : ops) apply_gate(plain, std::get<GateOp>(op));
    apply_operations(blocked, ops, p);
    EXPECT_TRUE(same_bits(plain, blocked)) << "high operand " << hi;
  }
}

TEST(BlockedRun, EngineDefaultsBlockLargeRegistersWithTheSameBits) {
  // 22 qubits is past the default block size and cache-resident limit, so
  // the run copies blocks in and out; the snapshot must not notice.
  const U n = 22;
  std::mt19937_64 rng(n);
  const std::vector<Operation> ops = random_ops(n, 90, rng);
  std::size_t gathered = 0;
  for (const Segment& seg : plan_segments(compiled(ops, n), n, BlockingParams{}))
    gathered += seg.blocked() && !std::has_single_bit(seg.qubits + 1);
  ASSERT_GT(gathered, 0u);
  Circuit c(n);
  StateVector plain = StateVector::create(n);
  for (const Operation& op : ops) {
    if (const GateOp* g = std::get_if<GateOp>(&op)) {
      c.add_gate(g->kind, std::span(g->qubits.data(), g->n_qubits), g->theta);
      apply_gate(plain, *g);
    }
  }
  EXPECT_TRUE(same_bits(run_circuit(c, 1, 0).snapshot, plain));
}

TEST(BlockedRun, ConcurrentRunsShareThePoolWhateverItsSize) {
  // Callers that join the pool's loop also take blocks (and gather buffers),
  // including when the pool has a single thread.
  const U n = 15;
  const BlockingParams p{.max_block_qubits = 6, .min_low_qubits = 2, .cache_resident_qubits = 0};
  std::mt19937_64 rng(7);
  const std::vector<Operation> ops = random_ops(n, 120, rng);
  const StateVector start = random_state(n, rng);
  StateVector plain = start.copy();
  for (const Operation& op : ops)
    if (const GateOp* g = std::get_if<GateOp>(&op)) apply_gate(plain, *g);
  std::vector<StateVector> states;
  for (int t = 0; t < 4; ++t) states.push_back(start.copy());
  std::vector<std::thread> callers;
  for (StateVector& s : states) callers.emplace_back([&s, &ops, &p] { apply_operations(s, ops, p); });
  for (std::thread& t : callers) t.join();
  for (const StateVector& s : states) EXPECT_TRUE(same_bits(s, plain));
}

// ---- diagonal gates with operands outside the block ----------------------------

// Random lists of diagonal gates (0-3 targets anywhere, controls of either
// value, entries that include exact ones and signed zeros) among
// single-qubit and controlled gates, which shape the blocks.
std::vector<CompiledGate> random_diagonal_mix(U n, std::size_t count, std::mt19937_64& rng) {
  std::uniform_int_distribution<U> qubit(0, n - 1);
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_real_distribution<double> part(-1.0, 1.0);
  auto entry = [&]() -> Complex {
    switch (pick(rng)) {
      case 0: return {1.0, 0.0};
      case 1: return {-0.0, 1.0};
      case 2: return {0.0, -0.0};
      default: return {part(rng), part(rng)};
    }
  };
  auto distinct = [&](std::size_t k) {
    std::vector<U> q;
    while (q.size() < k) {
      const U c = qubit(rng);
      if (std::find(q.begin(), q.end(), c) == q.end()) q.push_back(c);
    }
    return q;
  };
  std::vector<CompiledGate> out;
  while (out.size() < count) {
    const int kind = pick(rng);
    if (kind < 6) {
      const std::size_t targets = static_cast<std::size_t>(pick(rng) % 4), controls = static_cast<std::size_t>(pick(rng) % 3);
      const std::vector<U> q = distinct(targets + controls);
      CompiledGate g{Shape::Diagonal, {q.begin(), q.begin() + static_cast<std::ptrdiff_t>(targets)},
                     {q.begin() + static_cast<std::ptrdiff_t>(targets), q.end()}, rng(), {}};
      for (std::size_t r = 0; r < (std::size_t{1} << targets); ++r) g.matrix.push_back(entry());
      out.push_back(std::move(g));
    } else {
      const std::vector<U> q = distinct(kind < 8 ? 1 : 2);
      std::vector<Complex> m{{part(rng), part(rng)}, {part(rng), part(rng)}, {part(rng), part(rng)}, {part(rng), part(rng)}};
      out.push_back(q.size() == 1 ? CompiledGate{Shape::Single, {q[0]}, {}, ~U{0}, m}
                                  : CompiledGate{Shape::MultiControlled, {q[1]}, {q[0]}, rng(), m});
    }
  }
  return out;
}

TEST(Planner, DiagonalGatesJoinAnyRunWithoutWideningIt) {
  const BlockingParams p{.max_block_qubits = 4, .min_low_qubits = 2, .cache_resident_qubits = 0};
  const Matrix2x2 h = matrix_2x2(GateKind::H, 0.0);
  const std::vector<Complex> hm{h.m00, h.m01, h.m10, h.m11};
  const std::vector<Complex> phase{{1.0, 0.0}, {0.0, 1.0}};
  const std::vector<CompiledGate> gates{
      {Shape::Single, {7}, {}, ~U{0}, hm},
      {Shape::Diagonal, {6}, {5}, ~U{0}, phase},  // cp(5, 6): neither qubit in the block
      {Shape::Diagonal, {0}, {7}, ~U{0}, phase},
      {Shape::Single, {6}, {}, ~U{0}, hm},
      {Shape::Single, {5}, {}, ~U{0}, hm},        // a fifth qubit: a new run
  };
  const std::vector<Segment> segs = plan_segments(gates, 8, p);
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_EQ(segs[0].end, 4u);
  EXPECT_EQ(segs[0].qubits, mask({0, 1, 6, 7}));
}

// Every amplitude is multiplied by the entry the whole-state kernel uses:
// the same bits, in both precisions, with blocks in place and gathered, for
// diagonals with all, some or none of their operands in the block.
TEST(BlockedRun, DiagonalsSplitAcrossBlocksGiveTheWholeStateBits) {
  std::mt19937_64 rng(20261208);
  std::size_t split = 0, all_outside = 0;
  for (U n : {U{9}, U{12}}) {
    for (U block : {U{3}, U{5}, U{7}}) {
      const BlockingParams p{.max_block_qubits = block, .min_low_qubits = n % 3, .cache_resident_qubits = 0};
      std::vector<CompiledGate> gates = random_diagonal_mix(n, 80, rng);
      for (const Segment& seg : plan_segments(gates, n, p)) {
        for (std::size_t i = seg.begin; seg.blocked() && i < seg.end; ++i) {
          const U outside = gates[i].qubit_mask() & ~seg.qubits;
          split += outside != 0;
          all_outside += outside != 0 && outside == gates[i].qubit_mask();
        }
      }
      StateVector plain = random_state(n, rng);
      StateVector blocked = plain.copy();
      SingleStateVector plain_single = SingleStateVector::create(n), blocked_single = SingleStateVector::create(n);
      for (U i = 0; i < plain.size(); ++i) plain_single[i] = to_single(plain[i]);
      std::memcpy(blocked_single.data(), plain_single.data(), plain.size() * sizeof(SingleComplex));
      round_to_single(gates);
      for (const CompiledGate& g : gates) {
        apply_gate(plain, g);
        apply_gate(plain_single, g);
      }
      apply_gates(blocked, gates, p);
      apply_gates(blocked_single, gates, p);
      ASSERT_TRUE(same_bits(plain, blocked)) << "n=" << n << " block=" << block;
      ASSERT_EQ(std::memcmp(plain_single.data(), blocked_single.data(), plain.size() * sizeof(SingleComplex)), 0)
          << "single, n=" << n << " block=" << block;
    }
  }
  EXPECT_GT(split, 50u);
  EXPECT_GT(all_outside, 5u);
}

TEST(BlockedRun, BadEntryFailsAsInThePlainWalk) {
  const BlockingParams p{.max_block_qubits = 4, .min_low_qubits = 1, .cache_resident_qubits = 0};
  StateVector s = StateVector::create(14);
  const std::vector<Operation> ops{gate(GateKind::H, {0}), gate(GateKind::CX, {0})};
  EXPECT_THROW(apply_operations(s, ops, p), FatalError);
}

TEST(LocalKernels, OperandOutsideTheBlockFailsBeforeWriting) {
  std::vector<Complex> amp(8, Complex{1.0, 2.0});
  const std::vector<Complex> before = amp;
  EXPECT_THROW(local::apply_controlled_gate(amp.data(), 3, matrix_2x2(GateKind::X, 0.0), 0, 3), FatalError);
  EXPECT_THROW(local::apply_controlled_swap(amp.data(), 3, 3, 0, 1), FatalError);
  EXPECT_EQ(std::memcmp(amp.data(), before.data(), sizeof(Complex) * amp.size()), 0);
}

// Copying a gathered block in or out with a single-qubit gate on the way
// gives the bits of the copy and the gate done apart; where it declines
// (targets 0 and 1, a NaN imaginary part, no such kernels) it writes nothing.
TEST(LocalKernels, GateOnTheWayInOrOutOfABlock) {
  const U n = 12, low = 3, high = mask({5, 8, 10}), base = mask({3, 6, 11});
  const U n_local = low + std::popcount(high), runs = U{1} << (n_local - low);
  std::vector<U> offsets;
  for (U r = 0, off = 0; r < runs; ++r, off = ((off | ~high) + 1) & high) offsets.push_back(off);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto random_amps = [&](U count) {
    std::vector<Complex> v(count);
    for (Complex& c : v) c = {u(rng), u(rng)};
    v[1] = {0.0, -0.0};  // signed zeros too
    return v;
  };
  Matrix2x2 nan_im = matrix_2x2(GateKind::RX, 0.4);
  nan_im.m10.im = std::numeric_limits<double>::quiet_NaN();
  const Matrix2x2 mats[] = {matrix_2x2(GateKind::H, 0.0), matrix_2x2(GateKind::RY, 0.7),
                            matrix_2x2(GateKind::RZ, -1.3), nan_im};
  const bool wide = __builtin_cpu_supports("avx512f");
  for (U t = 0; t < n_local; ++t) {
    for (const Matrix2x2& m : mats) {
      const bool may_apply = t >= 2 && !std::isnan(m.m10.im);
      const std::vector<Complex> state = random_amps(U{1} << n);
      // In: the plain copy, then the gate.
      std::vector<Complex> want(runs << low);
      for (U r = 0; r < runs; ++r)
        std::memcpy(&want[r << low], &state[base + offsets[r]], sizeof(Complex) << low);
      local::apply_single_qubit_gate(want.data(), n_local, m, t);
      std::vector<Complex> buf = random_amps(runs << low);
      const std::vector<Complex> untouched = buf;
      const bool in = local::gather_applying(buf.data(), state.data() + base, offsets.data(), runs, low, m, t);
      EXPECT_TRUE(!in || may_apply) << t;
      if (wide) {
        EXPECT_EQ(in, may_apply) << t;
      }
      const std::vector<Complex>& in_expected = in ? want : untouched;
      EXPECT_EQ(std::memcmp(buf.data(), in_expected.data(), sizeof(Complex) * buf.size()), 0) << "in, target " << t;
      // Out: the gate on the buffer, then the plain copy.
      const std::vector<Complex> block = random_amps(runs << low);
      std::vector<Complex> staged = block;
      local::apply_single_qubit_gate(staged.data(), n_local, m, t);
      std::vector<Complex> want_state = state;
      for (U r = 0; r < runs; ++r)
        std::memcpy(&want_state[base + offsets[r]], &staged[r << low], sizeof(Complex) << low);
      std::vector<Complex> got_state = state;
      std::vector<Complex> src = block;
      const bool out = local::scatter_applying(got_state.data() + base, src.data(), offsets.data(), runs, low, m, t);
      EXPECT_EQ(out, in) << t;
      const std::vector<Complex>& out_expected = out ? want_state : state;
      EXPECT_EQ(std::memcmp(got_state.data(), out_expected.data(), sizeof(Complex) * state.size()), 0)
          << "out, target " << t;
      EXPECT_EQ(std::memcmp(src.data(), block.data(), sizeof(Complex) * block.size()), 0);  // read only
    }
  }
}

}  // namespace
}  // namespace vorn::sim

// Tests of the distributed state: swap planning, and runs on the ranks of
// MPI_COMM_WORLD (1, 2 or 4; run by mpirun) against the single-machine run of
// the same program, bit for bit: statevectors, counts, expectation values.
// Registers are small so that most gates touch global qubits.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/distributed/engine.hpp"
#include "vorn/distributed/messages.hpp"
#include "vorn/distributed/plan.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::dist {
namespace {

using U = std::uint64_t;
using sim::CompiledGate;
using sim::Program;
using sim::Shape;

int world_rank() {
  int r = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &r);
  return r;
}
int world_size() {
  int s = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &s);
  return s;
}
U world_k() { return static_cast<U>(std::countr_zero(static_cast<unsigned>(world_size()))); }

template <class F>
std::string fatal_text(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  ADD_FAILURE() << "no FatalError raised";
  return "";
}

// ---- random programs with every kind of gate --------------------------------

std::vector<U> distinct_qubits(std::mt19937_64& rng, U n, U count) {
  std::vector<U> all(n);
  for (U q = 0; q < n; ++q) all[q] = q;
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(count);
  return all;
}

// Kronecker product of random single-qubit unitaries: a dense unitary with
// no zero entry, on `k` qubits.
std::vector<Complex> random_unitary(std::mt19937_64& rng, U k) {
  std::uniform_real_distribution<double> angle(-3.2, 3.2);
  std::vector<std::complex<double>> m{1.0};
  U dim = 1;
  for (U q = 0; q < k; ++q) {
    const double t = angle(rng), p = angle(rng), l = angle(rng);
    const std::complex<double> u[4] = {std::cos(t / 2), -std::polar(1.0, l) * std::sin(t / 2),
                                       std::polar(1.0, p) * std::sin(t / 2), std::polar(1.0, p + l) * std::cos(t / 2)};
    std::vector<std::complex<double>> next(4 * dim * dim);
    for (U r = 0; r < 2 * dim; ++r) {
      for (U c = 0; c < 2 * dim; ++c) next[r * 2 * dim + c] = u[(r / dim) * 2 + c / dim] * m[(r % dim) * dim + c % dim];
    }
    m = std::move(next);
    dim *= 2;
  }
  std::vector<Complex> out;
  for (const auto& z : m) out.push_back({z.real(), z.imag()});
  return out;
}

// `count` gates drawn over every standard gate, unitaries on up to
// `max_width` qubits and vorn_python's kinds (repeated operands included).
Program random_program(std::mt19937_64& rng, U n, std::size_t count, U max_width) {
  Program p;
  p.n_qubits = n;
  p.samples = true;
  p.global_phase = 0.25;
  const auto table = sim::standard_gates();
  std::uniform_real_distribution<double> angle(-3.2, 3.2);
  while (p.gates.size() < count) {
    const U pick = rng() % (table.size() + 3);
    if (pick < table.size()) {
      const sim::StandardGate& row = table[pick];
      const U operands = row.n_qubits != 0 ? row.n_qubits : 1 + rng() % std::min<U>(4, max_width + 1);
      if (operands > n || (row.n_qubits != 0 && operands > max_width)) continue;
      std::vector<double> params(row.n_params);
      for (double& a : params) a = angle(rng);
      p.gates.push_back(row.build(params, distinct_qubits(rng, n, operands)));
    } else if (pick == table.size()) {
      const U k = 1 + rng() % std::min<U>(3, max_width);
      p.gates.push_back(sim::compile_unitary(random_unitary(rng, k), distinct_qubits(rng, n, k)));
    } else {
      // vorn_python's gates, operands drawn with repeats.
      const auto kind = static_cast<GateKind>(rng() % kGateKindCount);
      std::vector<U> q(gate_info(kind).n_qubits);
      for (U& v : q) v = rng() % n;
      if (static_cast<U>(std::popcount([&] { U m = 0; for (U v : q) m |= U{1} << v; return m; }())) > max_width) continue;
      if (auto g = sim::compile_gate(kind, angle(rng), q)) p.gates.push_back(std::move(*g));
    }
  }
  return p;
}

// Every part bit for bit, except that two NaNs match whatever their sign and
// payload: which NaN comes out of a product of NaNs depends on the operand
// order, and the exchange path pairs a gate's amplitudes from the other side.
bool same_bits(const Complex* a, const Complex* b, U count) {
  auto same = [](double x, double y) {
    return std::memcmp(&x, &y, sizeof(double)) == 0 || (std::isnan(x) && std::isnan(y));
  };
  for (U i = 0; i < count; ++i) {
    if (!same(a[i].re, b[i].re) || !same(a[i].im, b[i].im)) return false;
  }
  return true;
}

// Runs `p` distributed and on one machine; compares state and counts on
// rank 0. Returns the exchanges this rank took part in.
U expect_same_run(const Program& p, U seed, U shots, const Options& options = {}) {
  const sim::ProgramResult single = sim::run_program(p, sim::RunRequest{.seed = seed, .shots = shots});
  RunResult dist = run_program(MPI_COMM_WORLD, p, seed, shots, options);
  std::optional<Buffer<Complex>> all = gather_state(dist.part, options);
  EXPECT_TRUE(all.has_value());
  if (!all) return dist.stats.exchanges;
  if (world_rank() != 0) {
    EXPECT_EQ(all->size(), 0u);
    EXPECT_TRUE(dist.tally.empty());
    return dist.stats.exchanges;
  }
  EXPECT_EQ(all->size(), single.snapshot.size());
  EXPECT_TRUE(all->size() == single.snapshot.size() && same_bits(all->data(), single.snapshot.data(), all->size()));
  EXPECT_EQ(dist.tally, single.tally);
  return dist.stats.exchanges;
}

TEST(DistributedRun, RandomCircuitsMatchSingleMachineBitForBit) {
  // 4 local qubits whatever the rank count: most gates touch a global qubit.
  std::mt19937_64 rng(2024);
  const U n = 4 + world_k();
  U exchanges = 0;
  for (int round = 0; round < 12; ++round) {
    const Program p = random_program(rng, n, 60, 4);
    exchanges += expect_same_run(p, 100 + static_cast<U>(round), 3000);
  }
  if (world_size() > 1) EXPECT_GT(exchanges, 12u);
}

TEST(DistributedRun, WiderRegisterAndTinyMessages) {
  // Exchanges and the gather split into one-amplitude messages.
  std::mt19937_64 rng(7);
  const Program p = random_program(rng, 7 + world_k(), 120, 4);
  expect_same_run(p, 5, 20000, Options{.exchange_bytes = 32, .max_message_bytes = 16});
}

TEST(DistributedRun, NanStateSamplesByTheFallbackRule) {
  // A NaN angle makes the running sums NaN from some index on: draws past
  // the finite prefix fall back to the last outcome, as on one machine.
  std::mt19937_64 rng(11);
  Program p = random_program(rng, 4 + world_k(), 20, 3);
  const std::vector<U> top{p.n_qubits - 1};
  p.gates.push_back(*sim::compile_gate(GateKind::RY, std::numeric_limits<double>::quiet_NaN(), top));
  expect_same_run(p, 3, 500);
}

TEST(DistributedRun, UnsampledProgramAndEntropySeed) {
  std::mt19937_64 rng(5);
  Program p = random_program(rng, 5 + world_k(), 30, 4);
  p.samples = false;
  expect_same_run(p, 1, 100);
  // Without a seed every rank still draws from one stream: the counts add up.
  p.samples = true;
  RunResult r = run_program(MPI_COMM_WORLD, p, std::nullopt, 777);
  if (world_rank() == 0) {
    U total = 0;
    for (const auto& e : r.tally) total += e.second;
    EXPECT_EQ(total, 777u);
  }
}

TEST(DistributedRun, ExpectationValuesMatchSingleMachine) {
  // 13+ local qubits: each rank's representatives are whole leaves, so the
  // gathered subtree path runs (strings with global x bits included).
  std::mt19937_64 rng(99);
  const U n = 15;
  Program p = random_program(rng, n, 40, 3);
  const sim::ProgramResult single = sim::run_program(p, sim::RunRequest{.seed = 1});
  RunResult dist = run_program(MPI_COMM_WORLD, p, 1, 0);
  std::vector<U> xs, zs;
  for (int s = 0; s < 40; ++s) {
    xs.push_back(s < 4 ? 0 : rng() & ((U{1} << n) - 1));
    zs.push_back(rng() & ((U{1} << n) - 1));
  }
  xs.push_back(U{1} << (n - 1)), zs.push_back(0);  // X on the top qubit alone
  xs.push_back(xs[7]), zs.push_back(zs[7]);        // a repeated string
  const std::span<const Complex> state(single.snapshot.data(), single.snapshot.size());
  const std::vector<double> want = sim::pauli_expectations(state, xs, zs);
  const std::vector<double> got = pauli_expectations(dist.part, xs, zs, Options{.exchange_bytes = 4096});
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t s = 0; s < want.size(); ++s) EXPECT_EQ(std::bit_cast<U>(got[s]), std::bit_cast<U>(want[s])) << s;

  const std::vector<Complex> coeffs{{0.5, 0.0}, {-1.25, 0.0}, {0.0, 2.0}};
  const sim::PauliSumView obs{{xs.data() + 4, 3}, {zs.data() + 4, 3}, coeffs};
  const std::vector<Complex> ev_want = sim::expectation_values(state, {&obs, 1});
  const std::vector<Complex> ev_got = expectation_values(dist.part, sim::PauliSums(std::span(&obs, 1)));
  EXPECT_EQ(std::bit_cast<U>(ev_got[0].re), std::bit_cast<U>(ev_want[0].re));
  EXPECT_EQ(std::bit_cast<U>(ev_got[0].im), std::bit_cast<U>(ev_want[0].im));
}

TEST(DistributedRun, ExpectationValuesOfSmallPartsGatherTheState) {
  std::mt19937_64 rng(3);
  const Program p = random_program(rng, 4 + world_k(), 40, 4);
  const sim::ProgramResult single = sim::run_program(p, sim::RunRequest{.seed = 1});
  RunResult dist = run_program(MPI_COMM_WORLD, p, 1, 0);
  const std::vector<U> xs{0, 1, U{1} << (p.n_qubits - 1), 0b1011}, zs{0b1011, 0, 3, 0b111};
  const std::vector<double> want = sim::pauli_expectations({single.snapshot.data(), single.snapshot.size()}, xs, zs);
  const std::vector<double> got = pauli_expectations(dist.part, xs, zs);
  for (std::size_t s = 0; s < xs.size(); ++s) EXPECT_EQ(std::bit_cast<U>(got[s]), std::bit_cast<U>(want[s])) << s;
}

TEST(DistributedRun, RefusedSetupsNameTheProblem) {
  EXPECT_EQ(fatal_text([] { local_qubits(5, 3); }), messages::fill(messages::kRanksNotPowerOfTwo, 3));
  EXPECT_EQ(fatal_text([] { local_qubits(2, 4); }), messages::fill(messages::kTooFewQubits, 2, 4));
  std::mt19937_64 rng(1);
  Program p;
  p.n_qubits = 2 + world_k();
  p.gates.push_back(sim::compile_unitary(random_unitary(rng, 3), std::vector<U>{0, 1, 2}));
  if (world_size() > 1) {
    // Every rank raises the same error, so none waits for another.
    EXPECT_EQ(fatal_text([&] { run_program(MPI_COMM_WORLD, p, 1, 0); }),
              messages::fill(messages::kGateTooWide, 0, 3, 2));
  }
  EXPECT_EQ(fatal_text([&] { run_program(MPI_COMM_WORLD, p, 1, 0, Options{.exchange_bytes = 16}); }),
            messages::fill(messages::kExchangeBufferTooSmall, 16));
}

TEST(DistributedRun, CancelOnOneRankStopsEveryRank) {
  if (world_size() == 1) GTEST_SKIP() << "needs an exchange";
  std::mt19937_64 rng(8);
  const Program p = random_program(rng, 4 + world_k(), 40, 2);
  sim::RunControl control;
  if (world_rank() == 0) control.cancel();
  EXPECT_THROW(run_program(MPI_COMM_WORLD, p, 1, 10, {}, &control), sim::RunCancelled);
}

// ---- planning (no communication) ---------------------------------------------

TEST(Plan, EndsInTheIdentityLayoutWithFewExchanges) {
  // H on every qubit of 6, twice, with 4 local: the two global qubits are
  // each brought in once, and the identity layout is restored at the end.
  std::vector<CompiledGate> gates;
  for (int rep = 0; rep < 2; ++rep) {
    for (U q = 0; q < 6; ++q) gates.push_back(*sim::compile_gate(GateKind::H, 0.0, std::vector<U>{q}));
  }
  const Plan plan = plan_gates(gates, 6, 4);
  EXPECT_LE(plan.exchanges, 6u);
  std::vector<U> logical{0, 1, 2, 3, 4, 5};
  for (const Step& s : plan.steps) {
    if (s.kind != Step::Kind::Gates) std::swap(logical[s.a], logical[s.b]);
  }
  EXPECT_EQ(logical, (std::vector<U>{0, 1, 2, 3, 4, 5}));
  for (const CompiledGate& g : plan.gates) EXPECT_LT(g.targets[0], 4u);
}

TEST(Plan, DiagonalAndControlsOnGlobalQubitsNeedNoExchange) {
  const std::vector<double> angle{0.3};
  std::vector<CompiledGate> gates;
  gates.push_back(sim::find_standard_gate("rzz")->build(angle, std::vector<U>{4, 5}));
  gates.push_back(sim::find_standard_gate("mcx")->build({}, std::vector<U>{5, 4, 0}));
  gates.push_back(sim::find_standard_gate("cp")->build(angle, std::vector<U>{5, 1}));
  for (const CompiledGate& g : gates) ASSERT_NE(g.shape, Shape::Single);
  const Plan plan = plan_gates(gates, 6, 4);
  EXPECT_EQ(plan.exchanges, 0u);
}

TEST(Plan, LocalizeResolvesGlobalOperandsByRank) {
  const std::vector<double> angle{0.7};
  const CompiledGate mcx = sim::find_standard_gate("mcx")->build({}, std::vector<U>{5, 1, 0});
  // Controls on global position 5 (rank bit 1) and local 1.
  EXPECT_FALSE(localize(mcx, 4, 0b01).has_value());
  const auto kept = localize(mcx, 4, 0b10);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->controls, std::vector<U>{1});
  EXPECT_EQ(kept->control_values & 1, 1u);
  // A diagonal on local 0 and global 4: rank bit 0 picks entries 2, 3.
  CompiledGate diag{Shape::Diagonal, {0, 4}, {}, ~U{0}, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}};
  const auto on_rank1 = localize(diag, 4, 1);
  ASSERT_TRUE(on_rank1.has_value());
  EXPECT_EQ(on_rank1->targets, std::vector<U>{0});
  ASSERT_EQ(on_rank1->matrix.size(), 2u);
  EXPECT_EQ(on_rank1->matrix[0].re, 3.0);
  EXPECT_EQ(on_rank1->matrix[1].re, 4.0);
  // All targets global: one entry, a phase on the whole part.
  CompiledGate top{Shape::Diagonal, {5}, {}, ~U{0}, {{1, 0}, {-1, 0}}};
  EXPECT_EQ(localize(top, 4, 0b10)->matrix.size(), 1u);
  EXPECT_EQ(localize(top, 4, 0b10)->matrix[0].re, -1.0);
}

}  // namespace
}  // namespace vorn::dist

// MPI around GoogleTest: every rank runs every test; only rank 0 prints.
int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank != 0) {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  const int status = RUN_ALL_TESTS();
  int worst = 0;
  MPI_Allreduce(&status, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return worst;
}

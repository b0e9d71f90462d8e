// Tests of the run driver: gate dispatch, what measurement entries do and do
// not do, seeding, failure order, and the counts a run hands back.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/testing.hpp"

namespace vorn::sim {
namespace {

constexpr double kS = 0x1.6a09e667f3bcdp-1;  // the H matrix entry, bit pattern 0x3FE6A09E667F3BCD

int g_entropy_calls = 0;
int counting_source(std::uint8_t* out, std::size_t len) {
  ++g_entropy_calls;
  std::memset(out, 0xab, len);
  return 0;
}
int failing_source(std::uint8_t*, std::size_t) {
  ++g_entropy_calls;
  return ENOSYS;
}

// Routes from_entropy to `source` and counts its calls for one test.
struct EntropyHook {
  explicit EntropyHook(testing::EntropySource source) : previous(testing::set_entropy_source(source)) {
    g_entropy_calls = 0;
  }
  ~EntropyHook() { testing::set_entropy_source(previous); }
  testing::EntropySource previous;
};

void gate(Circuit& c, GateKind kind, std::vector<std::uint64_t> qubits, double theta = 0.0) {
  c.add_gate(kind, qubits, theta);
}

bool same_bits(const StateVector& a, const StateVector& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

template <class F>
FatalError fatal_error(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e;
  }
  ADD_FAILURE() << "no FatalError raised";
  return FatalError("", std::source_location::current());
}

TEST(Engine, GateAfterMeasurementIsApplied) {
  Circuit c(1);
  c.measure(0, 0);
  gate(c, GateKind::H, {0});
  const RunResult r = run_circuit(c, 3, 1000);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(r.snapshot[0].re), 0x3FE6A09E667F3BCDull);
  EXPECT_EQ(r.snapshot[1].re, kS);
  EXPECT_EQ(r.snapshot[0].im, 0.0);
  EXPECT_EQ(r.snapshot[1].im, 0.0);
  ASSERT_EQ(r.counts().size(), 2u);
  EXPECT_EQ(r.counts().at("0") + r.counts().at("1"), 1000u);
}

TEST(Engine, MeasurementDoesNotCollapse) {
  Circuit c(1);
  gate(c, GateKind::X, {0});
  c.measure(0, 0);
  gate(c, GateKind::X, {0});
  const RunResult r = run_circuit(c, 1, 10);
  EXPECT_EQ(r.snapshot[0].re, 1.0);
  EXPECT_EQ(r.snapshot[1].re, 0.0);
  EXPECT_EQ(r.counts(), (Counts{{"0", 10}}));
}

TEST(Engine, KeySpansAllQubitsWhateverIsNamed) {
  Circuit c(2);
  gate(c, GateKind::X, {1});
  c.measure(0, 0);
  EXPECT_EQ(run_circuit(c, 0, 5).counts(), (Counts{{"10", 5}}));

  Circuit three(3);
  gate(three, GateKind::X, {0});
  gate(three, GateKind::X, {2});
  three.measure_all();
  EXPECT_EQ(run_circuit(three, 11, 7).counts(), (Counts{{"101", 7}}));
}

Circuit superposition(std::uint64_t cbit) {
  Circuit c(3);
  gate(c, GateKind::H, {0});
  gate(c, GateKind::RY, {1}, 0.7);
  gate(c, GateKind::CX, {0, 2});
  c.measure(0, cbit);
  return c;
}

TEST(Engine, CbitHasNoEffectAndSeedReproducesCounts) {
  const RunResult a = run_circuit(superposition(0), 42, 500);
  const RunResult b = run_circuit(superposition(7), 42, 500);
  const RunResult again = run_circuit(superposition(0), 42, 500);
  EXPECT_EQ(a.counts(), b.counts());
  EXPECT_EQ(a.counts(), again.counts());
  EXPECT_GE(a.counts().size(), 3u);
  EXPECT_NE(run_circuit(superposition(0), 43, 500).counts(), a.counts());
}

TEST(Engine, SnapshotDoesNotDependOnSeed) {
  const RunResult seeded = run_circuit(superposition(0), 1, 100);
  const RunResult other = run_circuit(superposition(0), 2, 100);
  const RunResult unseeded = run_circuit(superposition(0), std::nullopt, 100);
  EXPECT_TRUE(same_bits(seeded.snapshot, other.snapshot));
  EXPECT_TRUE(same_bits(seeded.snapshot, unseeded.snapshot));
}

TEST(Engine, CountsMatchPerShotScanOfTheFinalState) {
  const RunResult r = run_circuit(superposition(0), 99, 2000);
  RandomStream stream = RandomStream::from_seed_value(99);
  const Buffer<double> p = r.snapshot.probabilities();
  Counts expected;
  for (int shot = 0; shot < 2000; ++shot) {
    const double u = stream.draw_unit_double();
    double sum = 0.0;
    std::uint64_t outcome = p.size() - 1;
    for (std::uint64_t j = 0; j < p.size(); ++j) {
      sum = sum + p[j];
      if (sum > u) {
        outcome = j;
        break;
      }
    }
    ++expected[outcome_key(outcome, 3)];
  }
  EXPECT_EQ(r.counts(), expected);
}

TEST(Engine, NothingSampledWithoutMeasurementOrShots) {
  Circuit no_measure(2);
  gate(no_measure, GateKind::H, {0});
  EXPECT_TRUE(run_circuit(no_measure, 5, 1024).counts().empty());

  Circuit c(2);
  gate(c, GateKind::X, {0});
  c.measure_all();
  const RunResult r = run_circuit(c, 5, 0);
  EXPECT_TRUE(r.counts().empty());
  EXPECT_EQ(r.snapshot[1].re, 1.0);  // the state is still reported
}

TEST(Engine, NaNAngleGivesAllOnesKey) {
  Circuit c(2);
  gate(c, GateKind::RX, {0}, std::numeric_limits<double>::quiet_NaN());
  c.measure_all();
  EXPECT_EQ(run_circuit(c, 6, 50).counts(), (Counts{{"11", 50}}));
}

TEST(Engine, ZeroQubitsFailBeforeTheStreamIsMade) {
  EntropyHook hook(&counting_source);
  Circuit c(0);
  c.measure_all();
  for (std::uint64_t shots : {0u, 10u}) {
    const FatalError e = fatal_error([&] { run_circuit(c, std::nullopt, shots); });
    EXPECT_EQ(e.message(), "qubit 수는 1 이상이어야 합니다");
  }
  EXPECT_EQ(fatal_error([&] { run_circuit(Circuit(0), std::nullopt, 0); }).message(),
            "qubit 수는 1 이상이어야 합니다");
  EXPECT_EQ(g_entropy_calls, 0);
}

TEST(Engine, OversizedRegistersFailBeforeAnything) {
  EntropyHook hook(&counting_source);
  for (std::uint64_t n : {59u, 64u, 100u}) {
    EXPECT_EQ(fatal_error([&] { run_circuit(Circuit(n), std::nullopt, 1); }).message(), "capacity overflow");
  }
  // 2^40 amplitudes need 16 TiB: refused by the whole-run check, not by the OS.
  Circuit big(40);
  big.measure_all();
  EXPECT_EQ(fatal_error([&] { run_circuit(big, std::nullopt, 1); }).kind(), FatalError::Kind::OutOfMemory);
  EXPECT_EQ(g_entropy_calls, 0);
}

TEST(Engine, UnseededRunAsksForEntropyEvenWithoutDraws) {
  EntropyHook hook(&counting_source);
  Circuit c(1);
  run_circuit(c, std::nullopt, 0);
  EXPECT_EQ(g_entropy_calls, 1);
  run_circuit(c, 5, 0);  // a seeded run never asks
  EXPECT_EQ(g_entropy_calls, 1);
}

TEST(Engine, EntropyFailureEndsTheRun) {
  EntropyHook hook(&failing_source);
  Circuit c(1);
  EXPECT_EQ(fatal_error([&] { run_circuit(c, std::nullopt, 0); }).message(),
            "from_entropy failed: OS Error: " + std::to_string(ENOSYS));
  EXPECT_NO_THROW(run_circuit(c, 0, 0));
}

TEST(Engine, ControlledSwapTakesControlFirst) {
  Circuit c(3);
  gate(c, GateKind::X, {0});
  gate(c, GateKind::X, {2});
  gate(c, GateKind::CSWAP, {0, 1, 2});
  const RunResult r = run_circuit(c, 0, 0);
  for (std::uint64_t i = 0; i < 8; ++i) EXPECT_EQ(r.snapshot[i].re, i == 3 ? 1.0 : 0.0) << i;
}

TEST(Engine, DispatchReachesEveryMultiQubitKernel) {
  // Basis index 6 passes through all four multi-qubit kernels; the end state checks each step.
  Circuit c(3);
  gate(c, GateKind::X, {1});
  gate(c, GateKind::X, {2});
  gate(c, GateKind::CCX, {1, 2, 0});                // 6 -> 7
  gate(c, GateKind::CZ, {2, 0});                    // 7 -> -7
  gate(c, GateKind::CX, {0, 1});                    // -7 -> -5
  gate(c, GateKind::SWAP, {1, 2});                  // -5 -> -3
  const RunResult r = run_circuit(c, 0, 0);
  for (std::uint64_t i = 0; i < 8; ++i) EXPECT_EQ(r.snapshot[i].re, i == 3 ? -1.0 : 0.0) << i;
}

TEST(Engine, SwapOfAQubitWithItselfChangesNoBit) {
  StateVector s = StateVector::create(2);
  s[0] = Complex{0.5, -0.0};
  s[1] = Complex{-0.0, -0.0};
  s[2] = Complex{-0.5, 0.5};
  s[3] = Complex{0.0, -0.5};
  StateVector before = s.copy();
  GateOp swap{.kind = GateKind::SWAP, .theta = 0.0, .qubits = {1, 1, 0}, .n_qubits = 2};
  apply_gate(s, swap);
  EXPECT_TRUE(same_bits(s, before));
}

TEST(Engine, ShortGateEntryIsAnInternalError) {
  StateVector s = StateVector::create(2);
  const GateOp cx{.kind = GateKind::CX, .theta = 0.0, .qubits = {0, 1, 0}, .n_qubits = 1};
  const FatalError e = fatal_error([&] { apply_gate(s, cx); });
  EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
  EXPECT_NE(e.message().find("index out of bounds"), std::string::npos) << e.message();
  EXPECT_EQ(s[0].re, 1.0);  // nothing applied
}

}  // namespace
}  // namespace vorn::sim

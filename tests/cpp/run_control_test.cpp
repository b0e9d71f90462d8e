// Tests of run control: cancelling a run between gates, between blocks and
// between batches of shots; progress counts; the watched run's polls, result
// and exceptions; a cancelled run beside an untouched one on the shared pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "vorn/core/error.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::sim {
namespace {

using namespace std::chrono_literals;

// n qubits, `layers` layers of h on every qubit then a cx chain: blocked at
// 16+ qubits, long enough to be caught mid-run at 20.
Program layered(std::uint64_t n, int layers, bool samples = false) {
  Circuit c(n);
  for (int l = 0; l < layers; ++l) {
    for (std::uint64_t q = 0; q < n; ++q) {
      const std::uint64_t h[] = {q};
      c.add_gate(GateKind::H, h);
    }
    for (std::uint64_t q = 0; q + 1 < n; ++q) {
      const std::uint64_t cx[] = {q, q + 1};
      c.add_gate(GateKind::CX, cx);
    }
  }
  if (samples) c.measure_all();
  return compile(c);
}

TEST(RunControl, CancelledBeforeTheFirstGateRunsNone) {
  RunControl control;
  control.cancel();
  const Program p = layered(18, 2);
  EXPECT_THROW(run_program(p, {.seed = 1}, &control), RunCancelled);
  EXPECT_EQ(control.done(), 0u);
  EXPECT_EQ(control.total(), p.gates.size());
}

TEST(RunControl, ProgressCountsEveryGateOnBlockedAndPlainPaths) {
  for (std::uint64_t n : {6u, 18u}) {
    RunControl control;
    const Program p = layered(n, 3);
    const ProgramResult with = run_program(p, {.seed = 1}, &control);
    EXPECT_EQ(control.done(), p.gates.size()) << n;
    EXPECT_EQ(control.total(), p.gates.size()) << n;
    // Control changes nothing in the result.
    const ProgramResult without = run_program(p, {.seed = 1});
    EXPECT_EQ(std::memcmp(with.snapshot.data(), without.snapshot.data(), with.snapshot.size() * sizeof(Complex)), 0);
  }
}

TEST(RunControl, CancelMidRunStopsBeforeTheEndAndSparesTheOtherRun) {
  const Program long_run = layered(21, 40);
  const Program other = layered(17, 6);
  const ProgramResult reference = run_program(other, {.seed = 3});
  RunControl control;
  std::atomic<bool> cancelled_seen{false};
  std::thread victim([&] {
    try {
      run_program(long_run, {.seed = 1}, &control);
    } catch (const RunCancelled&) {
      cancelled_seen = true;
    }
  });
  // Wait until the victim is under way, then cancel it while the other runs.
  while (control.done() == 0) std::this_thread::sleep_for(1ms);
  std::thread bystander([&] {
    const ProgramResult r = run_program(other, {.seed = 3});
    EXPECT_EQ(std::memcmp(r.snapshot.data(), reference.snapshot.data(), r.snapshot.size() * sizeof(Complex)), 0);
  });
  control.cancel();
  victim.join();
  bystander.join();
  EXPECT_TRUE(cancelled_seen);
  EXPECT_LT(control.done(), control.total());
}

TEST(RunControl, SamplingAnEndlessNumberOfShotsCanBeCancelled) {
  const Program one = layered(1, 1, /*samples=*/true);
  RunControl control;
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    control.cancel();
  });
  EXPECT_THROW(run_program(one, {.seed = 5, .shots = std::uint64_t{1} << 62}, &control), RunCancelled);
  canceller.join();
}

TEST(RunWatched, ReturnsTheResultAndPollsWhileTheWorkRuns) {
  RunControl control;
  int polls = 0;
  const int value = run_watched(
      control,
      [] {
        std::this_thread::sleep_for(60ms);
        return 42;
      },
      [&] {
        ++polls;
        return true;
      },
      5ms);
  EXPECT_EQ(value, 42);
  EXPECT_GE(polls, 2);
  EXPECT_FALSE(control.cancelled());
}

TEST(RunWatched, APollThatSaysStopCancelsTheRun) {
  RunControl control;
  int polls = 0;
  const Program long_run = layered(21, 40);
  EXPECT_THROW(run_watched(
                   control, [&] { return run_program(long_run, {.seed = 1}, &control); },
                   [&] { return ++polls < 3; }, 10ms),
               RunCancelled);
  EXPECT_TRUE(control.cancelled());
  EXPECT_EQ(polls, 3);  // no polls once stopped
}

TEST(RunWatched, TheWorksExceptionArrivesWithItsType) {
  RunControl control;
  auto fails = [&]() -> int { vorn::fatal("boom"); };
  try {
    run_watched(control, fails, [] { return true; }, 5ms);
    FAIL() << "no exception";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "boom");
  }
  EXPECT_THROW(run_watched(control, []() -> int { throw std::out_of_range("x"); }, [] { return true; }, 5ms),
               std::out_of_range);
}

}  // namespace
}  // namespace vorn::sim

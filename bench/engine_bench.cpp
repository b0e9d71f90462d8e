// Whole-run times of run_circuit on the gate workloads the peer comparison uses
// (h layers, QFT, random rotations + cx ladder) at 20, 22 and 24 qubits.
#include <benchmark/benchmark.h>

#include <chrono>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#include "two_threads_main.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/engine.hpp"

namespace {

using vorn::GateKind;
using vorn::sim::Circuit;
using U = std::uint64_t;

void add(Circuit& c, GateKind kind, std::vector<U> qubits, double theta = 0.0) {
  c.add_gate(kind, qubits, theta);
}

Circuit h_layers(U n) {
  Circuit c(n);
  for (int layer = 0; layer < 10; ++layer)
    for (U q = 0; q < n; ++q) add(c, GateKind::H, {q});
  return c;
}

// Controlled phase as rz/cx, the decomposition the peers are given too.
void cphase(Circuit& c, double lam, U control, U target) {
  add(c, GateKind::RZ, {control}, lam / 2);
  add(c, GateKind::RZ, {target}, lam / 2);
  add(c, GateKind::CX, {control, target});
  add(c, GateKind::RZ, {target}, -lam / 2);
  add(c, GateKind::CX, {control, target});
}

Circuit qft(U n) {
  Circuit c(n);
  for (U q = 0; q < n; ++q) add(c, GateKind::RY, {q}, 0.3 + 1.4 * double(q) / double(n));
  for (U j = n; j-- > 0;) {
    add(c, GateKind::H, {j});
    for (U k = j; k-- > 0;) cphase(c, std::numbers::pi / std::ldexp(1.0, int(j - k)), k, j);
  }
  for (U i = 0; i < n / 2; ++i) add(c, GateKind::SWAP, {i, n - 1 - i});
  return c;
}

Circuit random_layers(U n) {
  Circuit c(n);
  std::mt19937_64 rng(n);
  std::uniform_int_distribution<int> pick(0, 2);
  std::uniform_real_distribution<double> angle(0.0, 2 * std::numbers::pi);
  const GateKind rotations[3] = {GateKind::RX, GateKind::RY, GateKind::RZ};
  for (int layer = 0; layer < 20; ++layer) {
    for (U q = 0; q < n; ++q) add(c, rotations[pick(rng)], {q}, angle(rng));
    for (U q = 0; q + 1 < n; ++q) add(c, GateKind::CX, {q, q + 1});
  }
  return c;
}

template <Circuit (*Build)(U)>
void BM_Run(benchmark::State& st) {
  const Circuit c = Build(static_cast<U>(st.range(0)));
  for (auto _ : st) {
    auto result = vorn::sim::run_circuit(c, 1, 0);
    benchmark::DoNotOptimize(result.snapshot.data());
  }
  st.counters["gates"] = static_cast<double>(c.operations().size());
  st.counters["threads"] = static_cast<double>(vorn::pool_thread_count());
}

// The cost of cancellation checks, and of the watched run (a thread of its
// own, the caller woken every 50 ms): each iteration times the plain run,
// the run with a control and the watched one back to back, so a busy
// machine slows all alike. Each result is freed before the next run.
void BM_Checks(benchmark::State& st) {
  const Circuit c = h_layers(static_cast<U>(st.range(0)));
  using Clock = std::chrono::steady_clock;
  double plain = 0, flagged = 0, watched = 0;
  auto timed = [](auto&& run) {
    const auto t0 = Clock::now();
    auto r = run();
    benchmark::DoNotOptimize(r.snapshot.data());
    return std::chrono::duration<double>(Clock::now() - t0).count();
  };
  int round = 0;
  for (auto _ : st) {
    // The order rotates: the first run after a free pays more page faults.
    for (int k = 0; k < 3; ++k) {
      switch ((round + k) % 3) {
        case 0:
          plain += timed([&] { return vorn::sim::run_circuit(c, 1, 0); });
          break;
        case 1: {
          vorn::sim::RunControl control;
          flagged += timed([&] { return vorn::sim::run_circuit(c, 1, 0, &control); });
          break;
        }
        default: {
          vorn::sim::RunControl control;
          watched += timed([&] {
            return vorn::sim::run_watched(
                control, [&] { return vorn::sim::run_circuit(c, 1, 0, &control); }, [] { return true; },
                std::chrono::milliseconds(50));
          });
        }
      }
    }
    ++round;
  }
  const auto n = static_cast<double>(st.iterations());
  st.counters["plain_s"] = plain / n;
  st.counters["checks_s"] = flagged / n;
  st.counters["watched_s"] = watched / n;
  st.counters["checks_ratio"] = flagged / plain;
  st.counters["watched_ratio"] = watched / plain;
}
BENCHMARK(BM_Checks)->Name("h_layers_with_checks")->Arg(24)->ArgName("n")->Iterations(9)->Unit(benchmark::kMillisecond)->UseRealTime();

// One run at 24 qubits takes seconds; a few repeats at the smaller sizes.
void sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("n")->Unit(benchmark::kMillisecond)->UseRealTime();
  b->Arg(20)->Arg(22)->Arg(24)->Iterations(1)->Repetitions(1);
}

BENCHMARK(BM_Run<h_layers>)->Name("h_layers")->Apply(sizes);
BENCHMARK(BM_Run<qft>)->Name("qft")->Apply(sizes);
BENCHMARK(BM_Run<random_layers>)->Name("random")->Apply(sizes);

}  // namespace

VORN_BENCHMARK_MAIN_TWO_THREADS()

// Opt-in gate fusion against the exact path on the peer comparison's gate
// workloads (h layers, QFT with cp, random rotations + cx ladder), for each
// fused width k (0 = exact): the time of a run and the largest amplitude
// deviation from the exact state. Chooses kDefaultFusionQubits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string_view>
#include <vector>

#include "two_threads_main.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/fusion.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace {

using vorn::sim::Program;
using U = std::uint64_t;

void add(Program& p, std::string_view name, std::vector<U> qubits, std::vector<double> params = {}) {
  p.gates.push_back(vorn::sim::find_standard_gate(name)->build(params, qubits));
}

Program h_layers(U n) {
  Program p{n};
  for (int layer = 0; layer < 10; ++layer)
    for (U q = 0; q < n; ++q) add(p, "h", {q});
  return p;
}

Program qft(U n) {
  Program p{n};
  for (U q = 0; q < n; ++q) add(p, "ry", {q}, {0.3 + 1.4 * double(q) / double(n)});
  for (U j = n; j-- > 0;) {
    add(p, "h", {j});
    for (U k = j; k-- > 0;) add(p, "cp", {k, j}, {std::numbers::pi / std::ldexp(1.0, int(j - k))});
  }
  for (U i = 0; i < n / 2; ++i) add(p, "swap", {i, n - 1 - i});
  return p;
}

Program random_layers(U n) {
  Program p{n};
  std::mt19937_64 rng(n);
  std::uniform_int_distribution<int> pick(0, 2);
  std::uniform_real_distribution<double> angle(0.0, 2 * std::numbers::pi);
  const char* rotations[3] = {"rx", "ry", "rz"};
  for (int layer = 0; layer < 20; ++layer) {
    for (U q = 0; q < n; ++q) add(p, rotations[pick(rng)], {q}, {angle(rng)});
    for (U q = 0; q + 1 < n; ++q) add(p, "cx", {q, q + 1});
  }
  return p;
}

template <Program (*Build)(U)>
void BM_Fusion(benchmark::State& st) {
  const Program program = Build(static_cast<U>(st.range(0)));
  const auto k = static_cast<unsigned>(st.range(1));
  const vorn::sim::RunRequest options{.seed = 1, .fusion_qubits = k};
  double deviation = 0.0;
  {
    const auto exact = vorn::sim::run_program(program, {.seed = 1});
    const auto fused = vorn::sim::run_program(program, options);
    for (U i = 0; i < exact.snapshot.size(); ++i) {
      const vorn::Complex a = exact.snapshot[i], b = fused.snapshot[i];
      deviation = std::max(deviation, std::hypot(a.re - b.re, a.im - b.im));
    }
  }
  for (auto _ : st) {
    auto result = vorn::sim::run_program(program, options);
    benchmark::DoNotOptimize(result.snapshot.data());
  }
  st.counters["gates"] = static_cast<double>(program.gates.size());
  st.counters["fused_gates"] =
      static_cast<double>(k == 0 ? program.gates.size() : vorn::sim::fuse_gates(program.gates, k).size());
  st.counters["max_dev"] = deviation;
}

void widths(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n", "k"})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
  for (int n : {20, 22})
    for (int k : {0, 2, 3, 4, 5}) b->Args({n, k});
}

BENCHMARK(BM_Fusion<h_layers>)->Name("h_layers")->Apply(widths);
BENCHMARK(BM_Fusion<qft>)->Name("qft")->Apply(widths);
BENCHMARK(BM_Fusion<random_layers>)->Name("random")->Apply(widths);

}  // namespace

VORN_BENCHMARK_MAIN_TWO_THREADS()

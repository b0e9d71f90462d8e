// Cost of measurement sampling next to one probability pass and next to the
// simulation itself: a run's sampling is one pass over 2^n running sums (plus
// the guide table), then a short guided search per shot.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/random_stream.hpp"

namespace {

using vorn::Complex;
using vorn::StateVector;

// A normalised state with uneven probabilities, so outcomes spread widely.
StateVector random_state(std::uint64_t n) {
  StateVector s = StateVector::create(n);
  std::mt19937_64 rng(n);
  std::normal_distribution<double> normal;
  double norm = 0.0;
  for (std::uint64_t i = 0; i < s.size(); ++i) {
    s[i] = Complex{normal(rng), normal(rng)};
    norm += s[i].re * s[i].re + s[i].im * s[i].im;
  }
  const double scale = 1.0 / std::sqrt(norm);
  for (std::uint64_t i = 0; i < s.size(); ++i) s[i] = Complex{s[i].re * scale, s[i].im * scale};
  return s;
}

void BM_ProbabilityPass(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(s.probabilities());
  st.counters["per_amp"] = benchmark::Counter(static_cast<double>(s.size()),
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}
BENCHMARK(BM_ProbabilityPass)->Arg(16)->Arg(20)->Arg(22)->Unit(benchmark::kMillisecond);

// Probabilities plus running sums: the once-per-run part of sampling.
void BM_SamplerBuild(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  for (auto _ : st) {
    vorn::sim::Sampler sampler(s);
    benchmark::DoNotOptimize(sampler);
  }
}
BENCHMARK(BM_SamplerBuild)->Arg(16)->Arg(20)->Arg(22)->Unit(benchmark::kMillisecond);

// A whole run's sampling: build once, draw `shots` outcomes, tally the keys.
void BM_SampleCounts(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  const auto shots = static_cast<std::uint64_t>(st.range(1));
  for (auto _ : st) {
    vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(1);
    benchmark::DoNotOptimize(vorn::sim::sample_counts(s, stream, shots));
  }
  st.counters["per_shot"] = benchmark::Counter(static_cast<double>(shots),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}
BENCHMARK(BM_SampleCounts)
    ->Args({12, 1'000'000})
    ->Args({16, 1'000'000})
    ->Args({20, 1'000})
    ->Args({20, 100'000})
    ->Args({20, 1'000'000})
    ->Args({22, 1'000'000})
    ->Unit(benchmark::kMillisecond);

// The per-shot rule taken literally, for comparison: a fresh probability
// vector and a linear scan for every shot (shots * 2^n).
void BM_PerShotScan(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  const auto shots = static_cast<std::uint64_t>(st.range(1));
  for (auto _ : st) {
    vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(1);
    std::uint64_t sink = 0;
    for (std::uint64_t shot = 0; shot < shots; ++shot) {
      const vorn::Buffer<double> p = s.probabilities();
      const double r = stream.draw_unit_double();
      double sum = 0.0;
      std::uint64_t outcome = p.size() - 1;
      for (std::uint64_t j = 0; j < p.size(); ++j) {
        sum = sum + p[j];
        if (sum > r) {
          outcome = j;
          break;
        }
      }
      sink += outcome;
    }
    benchmark::DoNotOptimize(sink);
  }
  st.counters["per_shot"] = benchmark::Counter(static_cast<double>(shots),
                                               benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}
BENCHMARK(BM_PerShotScan)->Args({12, 10'000})->Args({20, 100})->Unit(benchmark::kMillisecond);

// The draw alone (stream value + guided search), without the tally.
void BM_Draw(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  const vorn::sim::Sampler sampler(s);
  vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(2);
  for (auto _ : st) benchmark::DoNotOptimize(sampler.draw(stream.draw_unit_double()));
}
BENCHMARK(BM_Draw)->Arg(12)->Arg(16)->Arg(20)->Arg(22);

// The parts of a run's sampling apart: stream values only, then the guided
// search of precomputed draws, for 10^6 shots.
void BM_StreamDraws(benchmark::State& st) {
  std::vector<double> r(1'000'000);
  for (auto _ : st) {
    vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(1);
    for (double& v : r) v = stream.draw_unit_double();
    benchmark::DoNotOptimize(r.data());
  }
}
BENCHMARK(BM_StreamDraws)->Unit(benchmark::kMillisecond);

void BM_SearchMany(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  const vorn::sim::Sampler sampler(s);
  std::vector<double> r(1'000'000);
  vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(1);
  for (double& v : r) v = stream.draw_unit_double();
  std::vector<std::uint64_t> out(r.size());
  for (auto _ : st) {
    sampler.draw_many(r.data(), out.data(), r.size());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_SearchMany)->Arg(12)->Arg(20)->Arg(22)->Unit(benchmark::kMillisecond);

// Whole runs with measure_all at 20 qubits, with and without 10^6 shots:
// the sampling's cost next to the simulation's. GHZ (h, cx chain) has two
// outcomes; "spread" (h and ry on every qubit, then the cx chain) reaches
// nearly all 2^20 outcomes with uneven probabilities.
template <bool Spread>
void BM_RunWithShots(benchmark::State& st) {
  const std::uint64_t n = 20;
  vorn::sim::Circuit c(n);
  std::uint64_t q0 = 0;
  c.add_gate(vorn::GateKind::H, std::span(&q0, 1));
  for (std::uint64_t q = 0; Spread && q < n; ++q) {
    c.add_gate(vorn::GateKind::H, std::span(&q, 1));
    c.add_gate(vorn::GateKind::RY, std::span(&q, 1), 0.1 + 0.05 * static_cast<double>(q));
  }
  for (std::uint64_t q = 0; q + 1 < n; ++q) {
    const std::uint64_t pair[2] = {q, q + 1};
    c.add_gate(vorn::GateKind::CX, pair);
  }
  c.measure_all();
  const auto shots = static_cast<std::uint64_t>(st.range(0));
  for (auto _ : st) {
    auto result = vorn::sim::run_program(vorn::sim::compile(c), {.seed = 1, .shots = shots});
    benchmark::DoNotOptimize(result.tally.data());
  }
}
BENCHMARK(BM_RunWithShots<false>)->Name("ghz_run")->Arg(0)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_RunWithShots<true>)->Name("spread_run")->Arg(0)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Per-shot outcomes kept as well as the tally (what memory=True costs).
void BM_SampleShots(benchmark::State& st) {
  const StateVector s = random_state(static_cast<std::uint64_t>(st.range(0)));
  for (auto _ : st) {
    vorn::sim::RandomStream stream = vorn::sim::RandomStream::from_seed_value(1);
    benchmark::DoNotOptimize(vorn::sim::sample_shots(s, stream, 1'000'000));
  }
}
BENCHMARK(BM_SampleShots)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

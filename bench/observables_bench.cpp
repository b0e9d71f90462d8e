// Pauli expectation values and variances of a 200-string Hamiltonian (random
// strings on all qubits) on a random state, the workload of the comparison
// with Qulacs / Qiskit / Aer; plus the tile size and vector path as knobs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "vorn/core/isa.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/simulator/observables.hpp"

namespace {

using vorn::Complex;
using namespace vorn::sim;

// 64-byte aligned, as the engine's states are.
vorn::Buffer<Complex> random_state(unsigned n) {
  std::mt19937_64 rng(n);
  std::normal_distribution<double> normal;
  vorn::Buffer<Complex> s = vorn::Buffer<Complex>::uninitialized(std::size_t{1} << n);
  double norm = 0.0;
  for (auto& a : s) a = {normal(rng), normal(rng)}, norm += a.re * a.re + a.im * a.im;
  for (auto& a : s) a = {a.re / std::sqrt(norm), a.im / std::sqrt(norm)};
  return s;
}

struct Hamiltonian {
  std::vector<std::uint64_t> x, z;
  std::vector<Complex> c;
};

// Each qubit independently I, X, Y or Z.
Hamiltonian random_hamiltonian(unsigned n, std::size_t terms) {
  std::mt19937_64 rng(1000 + n);
  std::normal_distribution<double> normal;
  const std::uint64_t all = (std::uint64_t{1} << n) - 1;
  Hamiltonian h;
  for (std::size_t t = 0; t < terms; ++t) {
    h.x.push_back(rng() & all), h.z.push_back(rng() & all), h.c.push_back({normal(rng), 0.0});
  }
  return h;
}

// args: qubits, strings, tile bits (0 = default), isa (0 the machine's, 1 scalar, 2 avx2, 3 avx512;
// a set the machine lacks is skipped)
void BM_Expval(benchmark::State& st) {
  const auto n = static_cast<unsigned>(st.range(0));
  const vorn::Buffer<Complex> psi_buffer = random_state(n);
  const std::span<const Complex> psi(psi_buffer.data(), psi_buffer.size());
  const Hamiltonian h = random_hamiltonian(n, static_cast<std::size_t>(st.range(1)));
  const PauliSumView obs[] = {{h.x, h.z, h.c}};
  const ObservableOptions opt{static_cast<unsigned>(st.range(2))};
  const std::optional<vorn::Isa> isa =
      st.range(3) == 0 ? std::nullopt : std::optional(static_cast<vorn::Isa>(st.range(3) - 1));
  if (!vorn::force_isa_for_testing(isa)) {
    st.SkipWithError("instruction set not available");
    return;
  }
  for (auto _ : st) benchmark::DoNotOptimize(expectation_values(psi, obs, opt));
  vorn::force_isa_for_testing(std::nullopt);
}
BENCHMARK(BM_Expval)
    ->Args({20, 200, 0, 0})
    ->Args({22, 200, 0, 0})
    ->Args({20, 200, 0, 1})
    ->Args({20, 200, 0, 2})
    ->Args({14, 20000, 0, 0})
    ->Args({14, 20000, 0, 2})
    ->Args({14, 20000, 0, 1})
    ->Args({20, 200, 14, 0})
    ->Args({20, 200, 16, 0})
    ->Args({20, 200, 17, 0})
    ->Args({22, 200, 16, 0})
    ->Args({22, 200, 17, 0})
    ->Args({22, 200, 19, 0})
    ->Args({22, 200, 20, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// Diagonal strings all share one pass over |psi_i|^2.
void BM_ExpvalDiagonal(benchmark::State& st) {
  const auto n = static_cast<unsigned>(st.range(0));
  const vorn::Buffer<Complex> psi_buffer = random_state(n);
  const std::span<const Complex> psi(psi_buffer.data(), psi_buffer.size());
  Hamiltonian h = random_hamiltonian(n, 200);
  for (auto& x : h.x) x = 0;
  const PauliSumView obs[] = {{h.x, h.z, h.c}};
  for (auto _ : st) benchmark::DoNotOptimize(expectation_values(psi, obs));
}
BENCHMARK(BM_ExpvalDiagonal)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Variance(benchmark::State& st) {
  const auto n = static_cast<unsigned>(st.range(0));
  const vorn::Buffer<Complex> psi_buffer = random_state(n);
  const std::span<const Complex> psi(psi_buffer.data(), psi_buffer.size());
  const Hamiltonian h = random_hamiltonian(n, 200);
  const PauliSumView obs[] = {{h.x, h.z, h.c}};
  const double mean[] = {expectation_values(psi, obs)[0].re};
  for (auto _ : st) benchmark::DoNotOptimize(variances(psi, obs, mean));
}
BENCHMARK(BM_Variance)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Gate-kernel throughput at 16/20/24 qubits per target class, beside a streaming
// read-modify-write of the same array on the same pool (set RAYON_NUM_THREADS).
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

#include "vorn/core/gates.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/core/parallel.hpp"

namespace {

using vorn::Complex;
using vorn::StateVector;
using U = std::uint64_t;

// One state per size, kept across benchmarks; H, X, CZ, SWAP and cswap keep
// magnitudes bounded and never produce subnormals, so timings stay steady.
StateVector& state(U n) {
  static std::map<U, std::unique_ptr<StateVector>> states;
  auto& slot = states[n];
  if (!slot) {
    slot = std::make_unique<StateVector>(StateVector::create(n));
    for (U i = 0; i < slot->size(); ++i) (*slot)[i] = Complex{1.0 / double(i + 1), 0.5 / double(i + 2)};
  }
  return *slot;
}

// Target class index -> qubit: low, middle, second-highest, highest.
U target_of(U n, std::int64_t cls) {
  const std::array<U, 4> t{0, n / 2, n - 2, n - 1};
  return t[static_cast<std::size_t>(cls)];
}

// Further operands: middle-ish qubits distinct from the target, so the
// target class alone sets the access pattern.
U other(U n, U target, int k) {
  U q = n / 2 + 1 + static_cast<U>(k);
  while (q == target) ++q;
  return q;
}

// Bytes counted once per touched amplitude (16 each), like the baseline.
void report(benchmark::State& st, U touched_amplitudes) {
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * touched_amplitudes * sizeof(Complex)));
  st.counters["amps/s"] = benchmark::Counter(static_cast<double>(st.iterations() * touched_amplitudes),
                                             benchmark::Counter::kIsRate);
  st.counters["threads"] = static_cast<double>(vorn::pool_thread_count());
}

// The baseline: every amplitude read, negated and written back, on the pool.
void stream_pass(StateVector& s) {
  Complex* a = s.data();
  auto body = [a](U b, U e) {
    for (U i = b; i < e; ++i) a[i] = Complex{a[i].re * -1.0, a[i].im * -1.0};
  };
  vorn::parallel_for(s.size(), 4096, body);
}

void BM_StreamingRmw(benchmark::State& st) {
  StateVector& s = state(static_cast<U>(st.range(0)));
  for (auto _ : st) stream_pass(s);
  report(st, s.size());
}

// Times the kernel alone (manual time) and, interleaved with it, a streaming
// pass over the same array, so that "vs_stream" (touched amplitudes per
// second over streamed amplitudes per second) holds up on a shared machine.
template <class Kernel>
void against_stream(benchmark::State& st, StateVector& s, U touched, Kernel&& kernel) {
  using clock = std::chrono::steady_clock;
  double kernel_seconds = 0.0, stream_seconds = 0.0;
  for (auto _ : st) {
    const auto t0 = clock::now();
    stream_pass(s);
    const auto t1 = clock::now();
    kernel();
    const auto t2 = clock::now();
    const double k = std::chrono::duration<double>(t2 - t1).count();
    st.SetIterationTime(k);
    kernel_seconds += k;
    stream_seconds += std::chrono::duration<double>(t1 - t0).count();
  }
  report(st, touched);
  st.counters["vs_stream"] = (double(touched) / kernel_seconds) / (double(s.size()) / stream_seconds);
}

void BM_SingleQubit(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const vorn::Matrix2x2 h = vorn::matrix_2x2(vorn::GateKind::H, 0.0);
  const U t = target_of(n, st.range(1));
  against_stream(st, s, s.size(), [&] { vorn::apply_single_qubit_gate(s, h, t); });
}

void BM_Controlled(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const vorn::Matrix2x2 x = vorn::matrix_2x2(vorn::GateKind::X, 0.0);
  const U t = target_of(n, st.range(1));
  against_stream(st, s, s.size() / 2, [&] { vorn::apply_controlled_gate(s, x, other(n, t, 0), t); });
}

void BM_DoublyControlled(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const vorn::Matrix2x2 x = vorn::matrix_2x2(vorn::GateKind::X, 0.0);
  const U t = target_of(n, st.range(1));
  against_stream(st, s, s.size() / 4,
                 [&] { vorn::apply_doubly_controlled_gate(s, x, other(n, t, 0), other(n, t, 1), t); });
}

void BM_TwoQubitCz(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const vorn::Matrix4x4 cz = vorn::cz_matrix();
  const U t = target_of(n, st.range(1));
  against_stream(st, s, s.size(), [&] { vorn::apply_two_qubit_gate(s, cz, t, other(n, t, 0)); });
}

void BM_ControlledSwap(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const U t = target_of(n, st.range(1));
  against_stream(st, s, s.size() / 4,
                 [&] { vorn::apply_controlled_swap(s, other(n, t, 0), t, other(n, t, 1)); });
}

void sizes_and_targets(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n", "target"});
  for (std::int64_t n : {16, 20, 24})
    for (std::int64_t cls = 0; cls < 4; ++cls) b->Args({n, cls});
  b->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_StreamingRmw)->ArgName("n")->Arg(16)->Arg(20)->Arg(24)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SingleQubit)->Apply(sizes_and_targets);
BENCHMARK(BM_Controlled)->Apply(sizes_and_targets);
BENCHMARK(BM_DoublyControlled)->Apply(sizes_and_targets);
BENCHMARK(BM_TwoQubitCz)->Apply(sizes_and_targets);
BENCHMARK(BM_ControlledSwap)->Apply(sizes_and_targets);

}  // namespace

BENCHMARK_MAIN();

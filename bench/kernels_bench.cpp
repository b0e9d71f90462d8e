// Gate-kernel throughput at 16/20/24 qubits per target class, beside a streaming
// read-modify-write of the same array on the same pool (set RAYON_NUM_THREADS);
// the general kernels at 24 qubits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/legacy_gates.hpp"

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

// ---- the general kernels ----------------------------------------------------
// A single-qubit unitary with no two entries alike (so no path shares a
// product), and its k-fold Kronecker power: magnitudes stay bounded.
vorn::Matrix2x2 generic_unitary() {
  const double c = std::cos(0.3), s = std::sin(0.3), phi = 0.2, lam = 0.5;
  return {{c, 0.0},
          {-std::cos(lam) * s, -std::sin(lam) * s},
          {std::cos(phi) * s, std::sin(phi) * s},
          {std::cos(phi + lam) * c, std::sin(phi + lam) * c}};
}

std::vector<Complex> unitary_power(U k) {
  const vorn::Matrix2x2 u = generic_unitary();
  const Complex e[2][2] = {{u.m00, u.m01}, {u.m10, u.m11}};
  const U dim = U{1} << k;
  std::vector<Complex> m(dim * dim);
  for (U r = 0; r < dim; ++r)
    for (U c = 0; c < dim; ++c) {
      Complex x{1.0, 0.0};
      for (U j = 0; j < k; ++j) x = vorn::cmul(x, e[r >> j & 1][c >> j & 1]);
      m[r * dim + c] = x;
    }
  return m;
}

// Each iteration times the single-qubit kernel (generic_unitary() on the
// gate's lowest target) and then the general kernel on the same state, so
// that both see the same machine. vs_single is the general kernel's time per touched amplitude over
// the single-qubit kernel's time per amplitude, from the summed times;
// vs_single_min the same from the fastest iteration of each.
template <class Kernel>
void against_single(benchmark::State& st, StateVector& s, U single_target, U touched, Kernel&& kernel) {
  using clock = std::chrono::steady_clock;
  const vorn::Matrix2x2 u = generic_unitary();
  double kernel_seconds = 0.0, single_seconds = 0.0;
  double best_kernel = 1e300, best_single = 1e300;
  for (auto _ : st) {
    const auto t0 = clock::now();
    vorn::apply_single_qubit_gate(s, u, single_target);
    const auto t1 = clock::now();
    kernel();
    const auto t2 = clock::now();
    const double k = std::chrono::duration<double>(t2 - t1).count();
    const double one = std::chrono::duration<double>(t1 - t0).count();
    st.SetIterationTime(k);
    kernel_seconds += k;
    single_seconds += one;
    best_kernel = std::min(best_kernel, k);
    best_single = std::min(best_single, one);
  }
  report(st, touched);
  const double per_amp = double(s.size());
  st.counters["vs_single"] = (kernel_seconds / double(touched)) / (single_seconds / per_amp);
  st.counters["vs_single_min"] = (best_kernel / double(touched)) / (best_single / per_amp);
}

// k target qubits of a class: 0 the lowest, 1 from the middle up, 2 the highest.
std::vector<U> targets_of(U n, U k, std::int64_t cls) {
  std::vector<U> t;
  for (U j = 0; j < k; ++j) t.push_back(cls == 0 ? j : cls == 1 ? n / 2 + j : n - 1 - j);
  return t;
}

// Unit-magnitude phases.
std::vector<Complex> phases(U k) {
  std::vector<Complex> d(U{1} << k);
  for (U r = 0; r < d.size(); ++r) d[r] = {std::cos(0.1 * double(r + 1)), std::sin(0.1 * double(r + 1))};
  return d;
}

// Controls for a gate on `targets`: `count` qubits from just above the middle,
// skipping targets, wanted values alternating 1, 0, 1, ...
std::vector<U> controls_for(U n, const std::vector<U>& targets, U count) {
  std::vector<U> c;
  for (U q = n / 2 + 2; c.size() < count && q < n; ++q)
    if (std::find(targets.begin(), targets.end(), q) == targets.end()) c.push_back(q);
  for (U q = 1; c.size() < count; ++q)
    if (std::find(targets.begin(), targets.end(), q) == targets.end()) c.push_back(q);
  return c;
}
constexpr U kAlternating = 0x5555555555555555;

// Args: n, target class (as the fixed kernels), number of controls.
void BM_MultiControlled(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const vorn::Matrix2x2 u = generic_unitary();
  const U t = target_of(n, st.range(1));
  const std::vector<U> c = controls_for(n, {t}, static_cast<U>(st.range(2)));
  against_single(st, s, t, s.size() >> c.size(),
                 [&] { vorn::apply_multi_controlled_gate(s, u, {c, kAlternating}, t); });
}

// Args: n, target class of the pair (low: 0,1; middle; high), controls.
void BM_ControlledTwoQubit(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const std::vector<U> t = targets_of(n, 2, st.range(1));
  const std::vector<U> c = controls_for(n, t, static_cast<U>(st.range(2)));
  vorn::Matrix4x4 m;
  const std::vector<Complex> uu = unitary_power(2);
  std::copy(uu.begin(), uu.end(), m.m.begin());
  against_single(st, s, *std::min_element(t.begin(), t.end()), s.size() >> c.size(),
                 [&] { vorn::apply_controlled_two_qubit_gate(s, m, {c, kAlternating}, t[0], t[1]); });
}

// Args: n, target class, k targets, controls.
void BM_Diagonal(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const U k = static_cast<U>(st.range(2));
  const std::vector<U> t = targets_of(n, k, st.range(1));
  const std::vector<U> c = controls_for(n, t, static_cast<U>(st.range(3)));
  const std::vector<Complex> d = phases(k);
  against_single(st, s, *std::min_element(t.begin(), t.end()), s.size() >> c.size(),
                 [&] { vorn::apply_diagonal_gate(s, d, {c, kAlternating}, t); });
}

// Args: n, target class, k targets, controls.
void BM_Dense(benchmark::State& st) {
  const U n = static_cast<U>(st.range(0));
  StateVector& s = state(n);
  const U k = static_cast<U>(st.range(2));
  const std::vector<U> t = targets_of(n, k, st.range(1));
  const std::vector<U> c = controls_for(n, t, static_cast<U>(st.range(3)));
  const std::vector<Complex> m = unitary_power(k);
  against_single(st, s, *std::min_element(t.begin(), t.end()), s.size() >> c.size(),
                 [&] { vorn::apply_dense_gate(s, m, {c, kAlternating}, t); });
}

void BM_GlobalPhase(benchmark::State& st) {
  StateVector& s = state(static_cast<U>(st.range(0)));
  const Complex phase{std::cos(0.3), std::sin(0.3)};
  against_single(st, s, 0, s.size(), [&] { vorn::apply_global_phase(s, phase); });
}

void general_args(benchmark::internal::Benchmark* b, std::initializer_list<std::vector<std::int64_t>> rows) {
  for (const auto& r : rows) b->Args(r);
  b->UseManualTime()->Unit(benchmark::kMicrosecond);
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
BENCHMARK(BM_MultiControlled)->ArgNames({"n", "target", "controls"})->Apply([](auto* b) {
  general_args(b, {{24, 0, 1}, {24, 1, 1}, {24, 3, 1}, {24, 0, 3}, {24, 1, 3}, {24, 3, 3}, {24, 1, 10}});
});
BENCHMARK(BM_ControlledTwoQubit)->ArgNames({"n", "targets", "controls"})->Apply([](auto* b) {
  general_args(b, {{24, 0, 0}, {24, 1, 0}, {24, 2, 0}, {24, 0, 2}, {24, 1, 2}, {24, 2, 2}});
});
BENCHMARK(BM_Diagonal)->ArgNames({"n", "targets", "k", "controls"})->Apply([](auto* b) {
  general_args(b, {{24, 0, 1, 0}, {24, 1, 1, 0}, {24, 2, 1, 0}, {24, 0, 3, 0}, {24, 1, 3, 0}, {24, 2, 3, 0},
                   {24, 0, 1, 2}, {24, 1, 3, 2}});
});
BENCHMARK(BM_Dense)->ArgNames({"n", "targets", "k", "controls"})->Apply([](auto* b) {
  general_args(b, {{24, 0, 3, 0}, {24, 1, 3, 0}, {24, 2, 3, 0}, {24, 1, 4, 0}, {24, 1, 5, 0}, {24, 1, 6, 0},
                   {24, 0, 6, 0}, {24, 1, 3, 1}});
});
BENCHMARK(BM_GlobalPhase)->ArgName("n")->Arg(24)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

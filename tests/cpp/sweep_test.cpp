// Tests of sweeps with run options: binding b of a sweep gives the bits of
// binding its values and running that program alone with the same options
// (fusion, single precision), and its variances those of that program's
// state, in both placements of the bindings, on 1 and 2 pool threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "vorn/core/parallel.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/fusion.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/parametric.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// Layers of ry(t_k) and rz(0.5 t_{k+1} - a + 0.25) on every qubit with a cx
// ladder, then crx(a) and rzz(t_0) across the register and a global phase of
// 2a: parameter a is the last of 2 n layers + 1. Gates on shared qubits in a
// row, so fusion merges them.
ParametricProgram ansatz(U n, U layers, bool samples) {
  ParametricProgram pp;
  pp.program.n_qubits = n;
  pp.program.samples = samples;
  pp.n_params = 2 * n * layers + 1;
  const auto a = static_cast<std::uint32_t>(pp.n_params - 1);
  auto add = [&](const char* name, std::vector<U> qubits, std::vector<AffineAngle> angles) {
    const StandardGate* row = find_standard_gate(name);
    ParametricGate pg{pp.program.gates.size(), row, qubits, std::vector<double>(row->n_params, 0.0), {}, {}};
    for (std::uint32_t s = 0; s < angles.size(); ++s) {
      pg.slot.push_back(s);
      pg.expression.push_back(angles[s]);
    }
    pp.program.gates.push_back(row->build(pg.angles, qubits));
    if (!angles.empty()) pp.gates.push_back(std::move(pg));
  };
  std::uint32_t k = 0;
  for (U layer = 0; layer < layers; ++layer) {
    for (U q = 0; q < n; ++q, k += 2) {
      add("ry", {q}, {AffineAngle{{k}, {1.0}, 0.0, false}});
      add("rz", {q}, {AffineAngle{{k + 1, a}, {0.5, -1.0}, 0.25, true}});
    }
    for (U q = 0; q + 1 < n; ++q) add("cx", {q, q + 1}, {});
  }
  add("crx", {0, n - 1}, {AffineAngle{{a}, {1.0}, 0.0, false}});
  add("rzz", {1, n - 2}, {AffineAngle{{0}, {1.0}, 0.0, false}});
  pp.global_phase = AffineAngle{{a}, {2.0}, 0.0, false};
  return pp;
}

// bindings x n_params values in (-3, 3), fixed but irregular.
std::vector<double> values_for(const ParametricProgram& pp, std::size_t bindings) {
  std::vector<double> v(bindings * pp.n_params);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = 3.0 * std::sin(1.7 * static_cast<double>(i) + 0.3);
  return v;
}

Program bound(const ParametricProgram& pp, std::span<const double> values, std::size_t b) {
  Program out = pp.program;
  sim::bind(pp, values.subspan(b * pp.n_params, pp.n_params), out);  // (ADL would find std::bind)
  return out;
}

template <class T>
bool same_bits(const BasicStateVector<T>& a, const BasicStateVector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(BasicComplex<T>)) == 0;
}

bool same_bits(std::span<const Complex> a, std::span<const Complex> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

// Two observables: a real sum of strings with X, Y and Z parts, and one string.
struct Observables {
  std::vector<U> x = {0b0011, 0b0110, 0b0000, 0b1010}, z = {0b0001, 0b0110, 0b1001, 0b0000};
  std::vector<Complex> c = {{0.5, 0.0}, {-1.25, 0.0}, {0.75, 0.0}, {2.0, 0.0}};
  std::vector<PauliSumView> views() const {
    return {{std::span(x).first(3), std::span(z).first(3), std::span(c).first(3)},
            {std::span(x).last(1), std::span(z).last(1), std::span(c).last(1)}};
  }
};

constexpr SweepMode kModes[] = {SweepMode::SideBySide, SweepMode::OneAfterAnother};

// Exact, fused, single precision, both.
const RunRequest kOptions[] = {RunRequest{}, RunRequest{.fusion_qubits = kDefaultFusionQubits},
                               RunRequest{.single_precision = true},
                               RunRequest{.fusion_qubits = kDefaultFusionQubits, .single_precision = true}};

// Whether fusion merges anything in some bound program: where it does not
// (on 5 qubits nothing merges), a fused run is the exact one.
bool merges(const ParametricProgram& pp, std::span<const double> values, const RunRequest& options) {
  if (options.fusion_qubits == 0) return false;
  for (std::size_t b = 0; b < values.size() / pp.n_params; ++b) {
    if (!plan_fusion(bound(pp, values, b).gates, options.fusion_qubits, pp.program.n_qubits).steps.empty()) return true;
  }
  return false;
}

// Binding b of the sweep's runs against its bound program run alone with the
// options (T: the state's precision); a fused double sweep's states also
// against the exact sweep's, to see fusion was applied.
template <class T, class Sweep, class Alone>
void expect_runs_alone(const ParametricProgram& pp, RunRequest options, Sweep sweep, Alone alone) {
  const std::size_t bindings = 4;
  const std::vector<double> v = values_for(pp, bindings);
  options.keep_shots = true;
  options.seed = 17;
  options.shots = 200;
  for (SweepMode mode : kModes) {
    const std::vector<BasicProgramResult<T>> runs = sweep(pp, v, bindings, options, nullptr, mode);
    ASSERT_EQ(runs.size(), bindings);
    for (std::size_t b = 0; b < bindings; ++b) {
      RunRequest alone_request = options;
      alone_request.seed = binding_seed(17, b);
      const BasicProgramResult<T> one = alone(bound(pp, v, b), alone_request, nullptr);
      EXPECT_TRUE(same_bits(runs[b].snapshot, one.snapshot)) << "binding " << b;
      EXPECT_EQ(runs[b].tally, one.tally) << "binding " << b;
      EXPECT_EQ(runs[b].shots, one.shots) << "binding " << b;
    }
    if constexpr (std::is_same_v<T, double>) {
      const std::vector<ProgramResult> exact = sweep_runs(pp, v, bindings, {.seed = 17, .shots = 200}, nullptr, mode);
      bool changed_bits = false;
      for (std::size_t b = 0; b < bindings; ++b) changed_bits = changed_bits || !same_bits(runs[b].snapshot, exact[b].snapshot);
      EXPECT_EQ(changed_bits, merges(pp, v, options));
    }
  }
}

class SweepOptions : public ::testing::TestWithParam<U> {};

TEST_P(SweepOptions, FusedRunsAreEachBoundProgramFusedAlone) {
  expect_runs_alone<double>(ansatz(GetParam(), 2, true), kOptions[1], sweep_runs, run_program);
}

TEST_P(SweepOptions, SingleRunsAreEachBoundProgramRunInSingleAlone) {
  for (const RunRequest& options : {kOptions[2], kOptions[3]}) {
    expect_runs_alone<float>(ansatz(GetParam(), 2, true), options, sweep_runs_single, run_single_program);
  }
}

// The expectation values and variances of a program's state run alone with `options`.
SweepExpectations expectations_alone(const Program& program, std::span<const PauliSumView> views,
                                     const RunRequest& options) {
  auto of = [&](const auto& state) {
    const std::span psi(state.data(), state.size());
    SweepExpectations out{expectation_values(psi, views), {}};
    std::vector<double> means;
    for (const Complex& e : out.values) means.push_back(e.re);
    out.variances = variances(psi, views, means);
    return out;
  };
  RunRequest seeded = options;
  seeded.seed = 0;
  if (options.single_precision) return of(run_single_program(program, seeded).snapshot);
  return of(run_program(program, seeded).snapshot);
}

TEST_P(SweepOptions, ExpectationsAndVariancesAreThoseOfEachBoundStateAlone) {
  const ParametricProgram pp = ansatz(GetParam(), 2, false);
  const std::size_t bindings = 4;
  const std::vector<double> v = values_for(pp, bindings);
  const Observables h;
  const std::vector<PauliSumView> views = h.views();
  const PauliSums sums(views);
  for (const RunRequest& options : kOptions) {
    for (SweepMode mode : kModes) {
      const SweepExpectations out = sweep_expectations(pp, v, bindings, sums, options, nullptr, mode, true);
      ASSERT_EQ(out.values.size(), bindings * 2);
      ASSERT_EQ(out.variances.size(), bindings * 2);
      const SweepExpectations values = sweep_expectations(pp, v, bindings, sums, options, nullptr, mode);
      EXPECT_TRUE(same_bits(values.values, out.values));
      EXPECT_TRUE(values.variances.empty());
      const SweepExpectations exact = sweep_expectations(pp, v, bindings, sums, {}, nullptr, mode);
      if (options.single_precision || merges(pp, v, options)) {
        EXPECT_FALSE(same_bits(exact.values, out.values));  // the options were applied
      } else {
        EXPECT_TRUE(same_bits(exact.values, out.values));
      }
      for (std::size_t b = 0; b < bindings; ++b) {
        const SweepExpectations alone = expectations_alone(bound(pp, v, b), views, options);
        EXPECT_TRUE(same_bits(std::span(out.values).subspan(b * 2, 2), alone.values)) << "binding " << b;
        EXPECT_EQ(std::memcmp(out.variances.data() + b * 2, alone.variances.data(), 2 * sizeof(double)), 0)
            << "binding " << b;
      }
    }
  }
}

// Fixed "entropy": bytes 0, 1, 2, ...
int counting_bytes(std::uint8_t* out, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(i);
  return 0;
}

// Without a seed the sweep draws one from the OS once, and every binding
// derives its seed from it as from a given one.
TEST(SweepSeed, AnUnseededSweepDrawsOneSeedForAllItsBindings) {
  const ParametricProgram pp = ansatz(4, 1, true);
  const std::vector<double> v = values_for(pp, 3);
  const testing::EntropySource previous = testing::set_entropy_source(counting_bytes);
  const U drawn = RandomStream::from_entropy().draw_u64();
  const std::vector<ProgramResult> unseeded = sweep_runs(pp, v, 3, {.shots = 300, .keep_shots = true}, nullptr);
  testing::set_entropy_source(previous);
  const std::vector<ProgramResult> seeded =
      sweep_runs(pp, v, 3, {.seed = drawn, .shots = 300, .keep_shots = true}, nullptr);
  ASSERT_EQ(unseeded.size(), 3u);
  for (std::size_t b = 0; b < 3; ++b) {
    EXPECT_EQ(unseeded[b].tally, seeded[b].tally) << "binding " << b;
    EXPECT_EQ(unseeded[b].shots, seeded[b].shots) << "binding " << b;
  }
  EXPECT_NE(unseeded[0].shots, unseeded[1].shots);  // each binding its own stream
}

// 5 qubits, and 13: the first register whose kernels run on the pool.
INSTANTIATE_TEST_SUITE_P(Registers, SweepOptions, ::testing::Values(U{5}, U{13}));

}  // namespace
}  // namespace vorn::sim

// Tests of noisy runs by trajectories: the reduced density matrix against a
// direct sum, the per-trajectory streams' independence, bit-identical
// results for any batch size and live-state cap, certain channels giving
// certain outcomes, readout errors, the noisy mean against its exact value,
// and refused channels.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "programs.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using C = std::complex<double>;

using test_programs::program_of;

std::vector<Complex> to_matrix(const std::vector<C>& m) {
  std::vector<Complex> out;
  for (const C& v : m) out.push_back({v.real(), v.imag()});
  return out;
}

NoiseChannel depolarizing1(U qubit, double p) {
  NoiseChannel ch;
  ch.qubits = {qubit};
  ch.operators = {to_matrix({1, 0, 0, 1}), to_matrix({0, 1, 1, 0}), to_matrix({0, C(0, -1), C(0, 1), 0}),
                  to_matrix({1, 0, 0, -1})};
  ch.probabilities = {1 - 3 * p / 4, p / 4, p / 4, p / 4};
  return ch;
}

NoiseChannel amplitude_damping(U qubit, double gamma) {
  NoiseChannel ch;
  ch.kind = ChannelKind::Kraus;
  ch.qubits = {qubit};
  ch.operators = {to_matrix({1, 0, 0, std::sqrt(1 - gamma)}), to_matrix({0, std::sqrt(gamma), 0, 0})};
  return ch;
}

TEST(ReducedDensityMatrix, MatchesTheDirectSum) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  StateVector state = StateVector::create(4);
  for (U i = 0; i < state.size(); ++i) state[i] = Complex{normal(rng), normal(rng)};
  for (const std::vector<U>& qubits : {std::vector<U>{2}, {3, 1}, {0, 2}}) {
    const U dim = U{1} << qubits.size();
    const std::vector<Complex> rho = reduced_density_matrix(state, qubits);
    for (U a = 0; a < dim; ++a) {
      for (U b = 0; b < dim; ++b) {
        C expected = 0;
        for (U i = 0; i < state.size(); ++i) {
          U la = 0;  // i's local index
          for (U j = 0; j < qubits.size(); ++j) la |= ((i >> qubits[j]) & 1) << j;
          if (la != a) continue;
          U partner = i;
          for (U j = 0; j < qubits.size(); ++j) {
            partner = (partner & ~(U{1} << qubits[j])) | (((b >> j) & 1) << qubits[j]);
          }
          expected += C(state[i].re, state[i].im) * std::conj(C(state[partner].re, state[partner].im));
        }
        EXPECT_NEAR(rho[a * dim + b].re, expected.real(), 1e-9) << a << b;
        EXPECT_NEAR(rho[a * dim + b].im, expected.imag(), 1e-9) << a << b;
      }
    }
  }
}

TEST(TrajectoryStream, EachTrajectoryDrawsAloneFromItsSeedAndIndex) {
  const auto key = TrajectoryStream::run_key(5);
  TrajectoryStream first(key, 3);
  std::vector<double> a;
  for (int i = 0; i < 20; ++i) a.push_back(first.draw_unit_double());
  // Interleaved with other trajectories: the same values.
  TrajectoryStream again(key, 3), other(key, 4);
  for (int i = 0; i < 20; ++i) {
    other.draw_unit_double();
    EXPECT_EQ(again.draw_unit_double(), a[i]);
  }
  TrajectoryStream neighbour(key, 4);
  EXPECT_NE(neighbour.draw_unit_double(), a[0]);
  const auto other_seed = TrajectoryStream::run_key(6);
  TrajectoryStream reseeded(other_seed, 3);
  EXPECT_NE(reseeded.draw_unit_double(), a[0]);
  // Not the plain run's stream of the same seed.
  RandomStream plain = RandomStream::from_seed_value(5);
  TrajectoryStream zero(key, 0);
  EXPECT_NE(zero.draw_unit_double(), plain.draw_unit_double());
}

// ry layers with depolarising noise after each gate, amplitude damping
// mid-way, a measurement feeding a condition, and final measurements.
struct Noisy {
  Program program;
  DynamicSteps steps;
  NoiseSpec noise;
};

Noisy noisy_sample() {
  Noisy s;
  s.program = program_of(3, {{"ry", {0}}, {"ry", {1}}, {"cx", {0, 2}}, {"x", {2}}, {"ry", {1}}});
  s.noise.channels = {depolarizing1(0, 0.2), depolarizing1(1, 0.1), amplitude_damping(2, 0.3)};
  s.noise.readout = {ReadoutError{1, {0.9, 0.1, 0.2, 0.8}}};
  s.steps.n_clbits = 3;
  s.steps.steps = {
      {StepKind::Gates, 0, 1},   {StepKind::Channel, 0},    {StepKind::Gates, 1, 2},
      {StepKind::Channel, 1},    {StepKind::Gates, 2, 3},   {StepKind::Channel, 2},
      {StepKind::Measure, 0, 0}, {StepKind::JumpUnless, 9, 0, 1, 1}, {StepKind::Gates, 3, 4},
      {StepKind::Gates, 4, 5},   {StepKind::Channel, 1},
  };
  s.steps.final_measures = {{1, 1}, {2, 2}};
  return s;
}

TEST(RunTrajectories, BatchSizeAndLiveStateCapChangeNoBit) {
  const Noisy s = noisy_sample();
  const TrajectoryOptions whole{.keep_shots = true};
  const TrajectoryRunResult a = run_trajectories(s.program, s.steps, s.noise, 11, 3000, nullptr, whole);
  for (const TrajectoryOptions& options : {TrajectoryOptions{.keep_shots = true, .batch = 1},
                                          TrajectoryOptions{.keep_shots = true, .batch = 7},
                                          TrajectoryOptions{.keep_shots = true, .max_live_states = 1}}) {
    const TrajectoryRunResult b = run_trajectories(s.program, s.steps, s.noise, 11, 3000, nullptr, options);
    EXPECT_EQ(a.tally, b.tally);
    EXPECT_EQ(a.shots, b.shots);
  }
  // Trajectory t's outcome does not depend on how many run: a prefix of shots.
  const TrajectoryRunResult fewer = run_trajectories(s.program, s.steps, s.noise, 11, 100, nullptr, whole);
  EXPECT_EQ(fewer.shots, std::vector<U>(a.shots.begin(), a.shots.begin() + 100));
  EXPECT_GT(a.tally.size(), 4u);
  EXPECT_GT(a.distinct_paths, 4u);
  EXPECT_NE(run_trajectories(s.program, s.steps, s.noise, 12, 3000, nullptr, whole).shots, a.shots);
}

TEST(RunTrajectories, CertainChannelsGiveCertainOutcomes) {
  // x then amplitude damping with gamma 1: always back to 0; a mixture that
  // is X with probability 1 flips qubit 1; a readout that always records 1.
  Noisy s;
  s.program = program_of(3, {{"x", {0}}});
  NoiseChannel flip;
  flip.qubits = {1};
  flip.operators = {to_matrix({1, 0, 0, 1}), to_matrix({0, 1, 1, 0})};
  flip.probabilities = {0.0, 1.0};
  s.noise.channels = {amplitude_damping(0, 1.0), flip};
  s.noise.readout = {ReadoutError{2, {0.0, 1.0, 0.0, 1.0}}};
  s.steps.n_clbits = 3;
  s.steps.steps = {{StepKind::Gates, 0, 1}, {StepKind::Channel, 0}, {StepKind::Channel, 1}};
  s.steps.final_measures = {{0, 0}, {1, 1}, {2, 2}};
  const TrajectoryRunResult r = run_trajectories(s.program, s.steps, s.noise, 1, 500);
  ASSERT_EQ(r.tally.size(), 1u);
  EXPECT_EQ(r.tally[0].first, 0b110u);
  EXPECT_EQ(r.tally[0].second, 500u);
  EXPECT_EQ(r.distinct_paths, 1u);
}

TEST(RunTrajectories, WithoutChannelsOneStateServesEveryShot) {
  Noisy s;
  s.program = program_of(2, {{"h", {0}}, {"cx", {0, 1}}});
  s.steps.n_clbits = 2;
  s.steps.steps = {{StepKind::Gates, 0, 2}};
  s.steps.final_measures = {{0, 0}, {1, 1}};
  const TrajectoryRunResult r = run_trajectories(s.program, s.steps, s.noise, 3, 1000);
  EXPECT_EQ(r.distinct_paths, 1u);
  ASSERT_EQ(r.tally.size(), 2u);
  EXPECT_EQ(r.tally[0].first, 0u);
  EXPECT_EQ(r.tally[1].first, 3u);
}

TEST(ExpvalTrajectories, MeanWithinFiveStandardErrorsOfTheExactValue) {
  // ry(0.7) then amplitude damping 0.3: <Z> = 1 - 2 (1 - gamma) sin^2(0.35).
  Noisy s;
  s.program = program_of(1, {{"ry", {0}}});
  s.noise.channels = {amplitude_damping(0, 0.3)};
  s.steps.steps = {{StepKind::Gates, 0, 1}, {StepKind::Channel, 0}};
  const U x = 0, z = 1;
  const Complex one{1.0, 0.0};
  const PauliSumView zed{std::span(&x, 1), std::span(&z, 1), std::span(&one, 1)};
  const TrajectoryExpvalResult a =
      expval_trajectories(s.program, s.steps, s.noise, std::span(&zed, 1), 9, 4000);
  const double exact = 1 - 2 * 0.7 * std::sin(0.35) * std::sin(0.35);
  ASSERT_EQ(a.means.size(), 1u);
  EXPECT_GT(a.standard_errors[0], 0.0);
  EXPECT_LT(std::abs(a.means[0] - exact), 5 * a.standard_errors[0]);
  EXPECT_EQ(a.distinct_paths, 2u);
  const TrajectoryExpvalResult b = expval_trajectories(s.program, s.steps, s.noise, std::span(&zed, 1), 9, 4000,
                                                       nullptr, TrajectoryOptions{.batch = 3});
  EXPECT_EQ(a.means, b.means);
  EXPECT_EQ(a.standard_errors, b.standard_errors);
}

TEST(ValidateNoise, RefusesChannelsAndReadoutsThatDoNotFit) {
  Noisy s = noisy_sample();
  EXPECT_NO_THROW(validate(s.program, s.steps, s.noise));
  Noisy bad_index = s;
  bad_index.steps.steps[1].a = 3;
  EXPECT_THROW(validate(bad_index.program, bad_index.steps, bad_index.noise), std::invalid_argument);
  Noisy same_qubit = s;
  same_qubit.noise.channels[0].qubits = {0, 0};
  same_qubit.noise.channels[0].operators.assign(4, std::vector<Complex>(16, Complex{0.0, 0.0}));
  EXPECT_THROW(validate(same_qubit.program, same_qubit.steps, same_qubit.noise), std::invalid_argument);
  Noisy wrong_size = s;
  wrong_size.noise.channels[2].operators[1].pop_back();
  EXPECT_THROW(validate(wrong_size.program, wrong_size.steps, wrong_size.noise), std::invalid_argument);
  Noisy negative = s;
  negative.noise.channels[1].probabilities[0] = -0.1;
  EXPECT_THROW(validate(negative.program, negative.steps, negative.noise), std::invalid_argument);
  Noisy readout = s;
  readout.noise.readout[0].qubit = 3;
  EXPECT_THROW(validate(readout.program, readout.steps, readout.noise), std::invalid_argument);
  // The branching run does not take channel steps.
  EXPECT_THROW(validate(s.program, s.steps), std::invalid_argument);
}

}  // namespace
}  // namespace vorn::sim

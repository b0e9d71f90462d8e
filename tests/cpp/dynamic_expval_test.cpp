// Tests of the exact expectation values of dynamic programs: against a sum
// over every outcome pattern of unnormalised projected states (no weights,
// no renormalisation: sum <psi_path|H|psi_path> is the expectation), certain
// outcomes pruned, the same bits on 1 and 2 threads and when branches are
// replayed, the branch cap, and refusals.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "programs.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/dynamic_expval.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using namespace test_programs;


bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// One Pauli sum with its own storage.
struct Observable {
  std::vector<U> x, z;
  std::vector<Complex> c;
  PauliSumView view() const { return {x, z, c}; }
};

// H psi by definition: P(x, z) = i^{|x&z|} X^x Z^z.
std::vector<Complex> apply_sum(const Observable& h, const std::vector<Complex>& psi) {
  std::vector<Complex> out(psi.size(), Complex{0.0, 0.0});
  for (std::size_t t = 0; t < h.x.size(); ++t) {
    const int k = std::popcount(h.x[t] & h.z[t]) & 3;
    const Complex ik = k == 0 ? Complex{1, 0} : k == 1 ? Complex{0, 1} : k == 2 ? Complex{-1, 0} : Complex{0, -1};
    const Complex f = cmul(h.c[t], ik);
    for (U j = 0; j < psi.size(); ++j) {
      Complex v = cmul(f, psi[j]);
      if (std::popcount(h.z[t] & j) & 1) v = {-v.re, -v.im};
      out[j ^ h.x[t]] = cadd(out[j ^ h.x[t]], v);
    }
  }
  return out;
}

double dot_re(const std::vector<Complex>& a, const std::vector<Complex>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i].re * b[i].re + a[i].im * b[i].im;
  return s;
}

struct Reference {
  std::vector<double> mean, square;  // sum over paths of <H> and <H^2>, unnormalised
  U paths = 0;                       // paths of nonzero probability
};

// Every outcome pattern, the state projected (never renormalised): the
// probability of a path is its squared norm, so the sums need no weights.
void reference_walk(const Program& p, const DynamicSteps& d, std::size_t pc, StateVector state, U clbits,
                    const std::vector<Observable>& obs, Reference& out) {
  while (pc < d.steps.size()) {
    const Step& s = d.steps[pc];
    if (s.kind == StepKind::Gates) {
      for (U g = s.a; g < s.b; ++g) apply_gate(state, p.gates[g]);
    } else if (s.kind == StepKind::Jump) {
      pc = s.a;
      continue;
    } else if (s.kind == StepKind::JumpUnless) {
      pc = (clbits & s.mask) == s.value ? pc + 1 : s.a;
      continue;
    } else {
      const U bit = U{1} << s.a;
      for (int outcome = 0; outcome < 2; ++outcome) {
        StateVector part = StateVector::create(p.n_qubits);
        part[0] = Complex{0.0, 0.0};  // created as |0...0>
        double norm = 0.0;
        for (U i = 0; i < state.size(); ++i) {
          if (((i & bit) != 0) != (outcome == 1)) continue;
          part[s.kind == StepKind::Reset ? i & ~bit : i] = state[i];
          norm += norm2(state[i]);
        }
        if (norm == 0.0) continue;
        U next = clbits;
        if (s.kind == StepKind::Measure) next = (clbits & ~(U{1} << s.b)) | (U(outcome) << s.b);
        reference_walk(p, d, pc + 1, std::move(part), next, obs, out);
      }
      return;
    }
    ++pc;
  }
  const std::vector<Complex> psi(state.data(), state.data() + state.size());
  for (std::size_t o = 0; o < obs.size(); ++o) {
    const std::vector<Complex> hp = apply_sum(obs[o], psi);
    out.mean[o] += dot_re(psi, hp);
    out.square[o] += dot_re(hp, hp);
  }
  ++out.paths;
}

Reference reference(const Program& p, const DynamicSteps& d, const std::vector<Observable>& obs) {
  Reference r{std::vector<double>(obs.size(), 0.0), std::vector<double>(obs.size(), 0.0), 0};
  reference_walk(p, d, 0, initial_state(p), 0, obs, r);
  return r;
}

std::vector<PauliSumView> views(const std::vector<Observable>& obs) {
  std::vector<PauliSumView> v;
  for (const Observable& o : obs) v.push_back(o.view());
  return v;
}

Observable z_on(U mask, double c = 1.0) { return {{0}, {mask}, {{c, 0.0}}}; }

// x(0); reset(0): outcome 0 has probability 0 and is not followed.
TEST(DynamicExpval, ResetAfterXGivesZeroStateOnOnePath) {
  const Program p = program_of(1, {{"x", {0}}});
  const DynamicSteps d{{gates(0, 1), reset(0)}, {}, 0};
  const std::vector<Observable> obs = {z_on(1)};
  const DynamicExpvalResult r = expval_dynamic(p, d, views(obs));
  EXPECT_EQ(r.leaves, 1u);
  EXPECT_EQ(r.values[0].re, 1.0);
  EXPECT_EQ(r.values[0].im, 0.0);
  EXPECT_TRUE(r.variances.empty());
}

// h(0); measure(0, 0); if c0 == 1: x(1). Z0 and Z1 average out, Z0 Z1 is
// always +1; the variances of the mixture are 1, 1 and 0.
TEST(DynamicExpval, ConditionedFlipCorrelatesTheQubits) {
  const Program p = program_of(2, {{"h", {0}}, {"x", {1}}});
  const DynamicSteps d{{gates(0, 1), measure(0, 0), jump_unless(4, 1, 1), gates(1, 2)}, {{0, 0}}, 1};
  const std::vector<Observable> obs = {z_on(1), z_on(2), z_on(3)};
  const DynamicExpvalResult r = expval_dynamic(p, d, views(obs), nullptr, {.variance = true});
  EXPECT_EQ(r.leaves, 2u);
  ASSERT_EQ(r.values.size(), 3u);
  ASSERT_EQ(r.variances.size(), 3u);
  EXPECT_NEAR(r.values[0].re, 0.0, 1e-15);
  EXPECT_NEAR(r.values[1].re, 0.0, 1e-15);
  EXPECT_NEAR(r.values[2].re, 1.0, 1e-15);
  EXPECT_NEAR(r.variances[0], 1.0, 1e-15);
  EXPECT_NEAR(r.variances[1], 1.0, 1e-15);
  EXPECT_NEAR(r.variances[2], 0.0, 1e-15);
}

// Three qubits, rotations that make every outcome uneven, if/else on two
// clbits, a reset and a re-measured qubit: values and variances of a mixed
// Pauli sum (X, Y, Z parts) against the unnormalised path sum.
Program mixed_program() {
  return program_of(3, {{"ry", {0}}, {"rx", {1}}, {"cx", {0, 2}}, {"u", {2}},  // 0..4
                        {"h", {1}},                                            // 4: if branch
                        {"ry", {2}}, {"cz", {1, 2}},                           // 5..7: else branch
                        {"rzz", {0, 1}}, {"rx", {0}}, {"cry", {2, 1}}},        // 7..10
                    0.9);
}

DynamicSteps mixed_steps() {
  return {{gates(0, 4), measure(0, 0), measure(1, 1),
           jump_unless(6, 3, 1),  // if c == 01
           gates(4, 5), jump(7),
           gates(5, 7),  // else
           reset(2), gates(7, 10), measure(0, 2), gates(8, 9)},
          {{1, 0}},
          3};
}

std::vector<Observable> mixed_observables() {
  // 0.7 Z0 Z2 - 0.4 X1 + 1.1 Y0 Z1, and 0.3 X0 X1 X2 + 2 Z1.
  return {{{0, 2, 1}, {5, 0, 3}, {{0.7, 0}, {-0.4, 0}, {1.1, 0}}}, {{7, 0}, {0, 2}, {{0.3, 0}, {2.0, 0}}}};
}

TEST(DynamicExpval, MatchesThePathSumWithConditionsAndResets) {
  const Program p = mixed_program();
  const DynamicSteps d = mixed_steps();
  const std::vector<Observable> obs = mixed_observables();
  const Reference want = reference(p, d, obs);
  const DynamicExpvalResult r = expval_dynamic(p, d, views(obs), nullptr, {.variance = true});
  EXPECT_EQ(r.leaves, want.paths);
  EXPECT_GT(r.leaves, 6u);
  for (std::size_t o = 0; o < obs.size(); ++o) {
    EXPECT_NEAR(r.values[o].re, want.mean[o], 1e-13) << o;
    EXPECT_EQ(r.values[o].im, 0.0) << o;
    EXPECT_NEAR(r.variances[o], want.square[o] - want.mean[o] * want.mean[o], 1e-13) << o;
  }
}

// Complex coefficients scale both parts (no variance asked).
TEST(DynamicExpval, ComplexCoefficientsKeepTheirImaginaryPart) {
  const Program p = mixed_program();
  const DynamicSteps d = mixed_steps();
  const std::vector<Observable> obs = {{{0}, {5}, {{0.5, -2.0}}}};
  const Reference want = reference(p, d, {z_on(5)});
  const DynamicExpvalResult r = expval_dynamic(p, d, views(obs));
  EXPECT_NEAR(r.values[0].re, 0.5 * want.mean[0], 1e-13);
  EXPECT_NEAR(r.values[0].im, -2.0 * want.mean[0], 1e-13);
}

// A register large enough for the pool's parallel paths: 1 and 2 threads,
// and every live-state cap down to 1 (each branch replayed), the same bits.
TEST(DynamicExpval, SameBitsOnEveryThreadCountAndLiveStateCap) {
  const U n = 14;
  std::vector<std::pair<const char*, std::vector<U>>> list;
  for (U q = 0; q < n; ++q) list.push_back({"ry", {q}});
  for (U q = 0; q + 1 < n; ++q) list.push_back({"cx", {q, q + 1}});
  const U layer = list.size();
  for (U q = 0; q < n; ++q) list.push_back({"rx", {q}});
  const Program p = program_of(n, list, 0.8);
  const DynamicSteps d{{gates(0, layer), measure(3, 0), measure(12, 1), jump_unless(5, 3, 3),
                        gates(layer, layer + 4), reset(0), gates(layer + 4, p.gates.size()), measure(13, 2)},
                       {},
                       3};
  const std::vector<Observable> obs = {{{0, U{1} << 5 | 1}, {U{1} << 13 | 1, 2}, {{0.6, 0}, {-1.3, 0}}}};
  std::vector<DynamicExpvalResult> results;
  for (std::size_t threads : {1, 2}) {
    for (U cap : {0, 1, 2}) {
      const ThreadLimit limit(threads);
      results.push_back(expval_dynamic(p, d, views(obs), nullptr, {.variance = true, .max_live_states = cap}));
    }
  }
  EXPECT_EQ(results[0].leaves, 16u);
  for (const DynamicExpvalResult& r : results) {
    EXPECT_TRUE(same_bits(r.values[0].re, results[0].values[0].re));
    EXPECT_TRUE(same_bits(r.values[0].im, results[0].values[0].im));
    EXPECT_TRUE(same_bits(r.variances[0], results[0].variances[0]));
  }
}

// One qubit measured k times after an h each time: 2^k leaves.
DynamicSteps remeasured(U k) {
  DynamicSteps d{{}, {}, 1};
  for (U i = 0; i < k; ++i) {
    d.steps.push_back(gates(0, 1));
    d.steps.push_back(measure(0, 0));
  }
  return d;
}

TEST(DynamicExpval, TheBranchCapRefusesBeforeWalkingOn) {
  const Program p = program_of(1, {{"h", {0}}});
  const std::vector<Observable> obs = {z_on(1)};
  // 2^12 = 4096 leaves is the default cap: allowed; 2^13 is not.
  EXPECT_EQ(expval_dynamic(p, remeasured(12), views(obs)).leaves, 4096u);
  try {
    expval_dynamic(p, remeasured(13), views(obs));
    FAIL() << "no refusal";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "the circuit branches into more than 4096 measurement outcomes; expval(..., trajectories=N) "
              "samples N trajectories instead (mean and standard error)");
  }
  EXPECT_EQ(expval_dynamic(p, remeasured(13), views(obs), nullptr, {.max_branches = 8192}).leaves, 8192u);
  EXPECT_THROW(expval_dynamic(p, remeasured(3), views(obs), nullptr, {.max_branches = 7}), std::invalid_argument);
  EXPECT_EQ(expval_dynamic(p, remeasured(3), views(obs), nullptr, {.max_branches = 8}).leaves, 8u);
  // Certain outcomes do not count: a qubit measured again keeps its value.
  DynamicSteps again{{gates(0, 1)}, {}, 1};
  for (int i = 0; i < 40; ++i) again.steps.push_back(measure(0, 0));
  EXPECT_EQ(expval_dynamic(p, again, views(obs), nullptr, {.max_branches = 2}).leaves, 2u);
}

TEST(DynamicExpval, RefusesChannelsBadStepsAndNonFiniteStates) {
  const Program p = program_of(1, {{"h", {0}}});
  const std::vector<Observable> obs = {z_on(1)};
  const DynamicSteps channel{{gates(0, 1), {StepKind::Channel, 0, 0, 0, 0}}, {}, 0};
  try {
    expval_dynamic(p, channel, views(obs));
    FAIL() << "no refusal";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("step 1 is a noise channel"), std::string::npos) << e.what();
  }
  EXPECT_THROW(expval_dynamic(p, DynamicSteps{{measure(1, 0)}, {}, 1}, views(obs)), std::invalid_argument);
  EXPECT_THROW(expval_dynamic(p, DynamicSteps{{gates(0, 2)}, {}, 0}, views(obs)), std::invalid_argument);
  const Program nan = program_of(1, {{"rx", {0}}}, std::nan(""));
  EXPECT_THROW(expval_dynamic(nan, DynamicSteps{{gates(0, 1), measure(0, 0)}, {}, 1}, views(obs)),
               std::invalid_argument);
}

// With a control: the gates counted, the total reached; a cancelled one stops the walk.
TEST(DynamicExpval, ControlCountsAndCancels) {
  const Program p = mixed_program();
  const DynamicSteps d = mixed_steps();
  const std::vector<Observable> obs = mixed_observables();
  RunControl control;
  const DynamicExpvalResult watched = expval_dynamic(p, d, views(obs), &control);
  const DynamicExpvalResult plain = expval_dynamic(p, d, views(obs));
  EXPECT_TRUE(same_bits(watched.values[0].re, plain.values[0].re));
  EXPECT_GT(control.done(), 0u);
  EXPECT_EQ(control.done(), control.total());
  RunControl cancelled;
  cancelled.cancel();
  EXPECT_THROW(expval_dynamic(p, d, views(obs), &cancelled), RunCancelled);
}

}  // namespace
}  // namespace vorn::sim

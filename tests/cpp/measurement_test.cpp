// Tests of whole-register sampling: the binary search over running sums must
// pick exactly what a per-shot linear scan picks, and the counts' key format.
#include <gtest/gtest.h>

#include "address_space_limit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <sys/resource.h>

#include <fstream>
#include <string>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using testing_support::AddressSpaceLimit;
using testing_support::kAddressSanitizer;

// The per-shot rule, literally: first j whose running sum exceeds r, else N - 1.
std::uint64_t scan(const std::vector<double>& p, double r) {
  double sum = 0.0;
  for (std::uint64_t j = 0; j < p.size(); ++j) {
    sum = sum + p[j];
    if (sum > r) return j;
  }
  return p.size() - 1;
}

Sampler make_sampler(const std::vector<double>& p) {
  Buffer<double> b = Buffer<double>::uninitialized(p.size());
  for (std::size_t i = 0; i < p.size(); ++i) b[i] = p[i];
  return Sampler(std::move(b));
}

// r values that stress the comparison: every running sum exactly, its
// neighbours, 0, the largest draw 1 - 2^-53, and random draws.
std::vector<double> probe_values(const std::vector<double>& p, std::mt19937_64& rng) {
  std::vector<double> r = {0.0, 0x1p-53, 0.5, 1.0 - 0x1p-53};
  double sum = 0.0;
  for (double x : p) {
    sum = sum + x;
    if (std::isnan(sum)) break;
    r.push_back(sum);
    r.push_back(std::nextafter(sum, 0.0));
    r.push_back(std::nextafter(sum, 2.0));
  }
  for (int i = 0; i < 200; ++i) r.push_back(static_cast<double>(rng() >> 11) * 0x1p-53);
  return r;
}

// draw() one at a time and draw_many() in batches of every length (full and
// partial groups of lanes) must both pick what the scan picks.
void expect_same_as_scan(const std::vector<double>& p, std::mt19937_64& rng) {
  const Sampler sampler = make_sampler(p);
  std::vector<double> rs;
  for (double r : probe_values(p, rng)) {
    if (r >= 0.0 && r < 1.0) rs.push_back(r);  // draws lie in [0, 1)
  }
  std::vector<std::uint64_t> expected;
  for (double r : rs) {
    expected.push_back(scan(p, r));
    ASSERT_EQ(sampler.draw(r), expected.back()) << "N=" << p.size() << " r=" << r;
  }
  for (std::size_t batch : {std::size_t{3}, std::size_t{8}, std::size_t{13}, rs.size()}) {
    std::vector<std::uint64_t> got(rs.size());
    for (std::size_t i = 0; i < rs.size(); i += batch) {
      sampler.draw_many(rs.data() + i, got.data() + i, std::min(batch, rs.size() - i));
    }
    ASSERT_EQ(got, expected) << "N=" << p.size() << " batch=" << batch;
  }
}

// Squared magnitudes of a random normalised state; `zero_share` of the
// amplitudes are exactly 0 so running sums have plateaus.
std::vector<double> random_probabilities(std::size_t n, double zero_share, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> unit;
  std::vector<double> re(n), im(n);
  double norm = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (unit(rng) < zero_share) continue;
    re[i] = normal(rng);
    im[i] = normal(rng);
    norm += re[i] * re[i] + im[i] * im[i];
  }
  const double scale = norm > 0.0 ? 1.0 / std::sqrt(norm) : 1.0;
  std::vector<double> p(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double a = re[i] * scale, b = im[i] * scale;
    p[i] = a * a + b * b;
  }
  return p;
}

TEST(Sampler, MatchesLinearScanOnRandomStates) {
  std::mt19937_64 rng(1);
  for (std::size_t n : {1u, 2u, 3u, 8u, 64u, 1000u, 4096u}) {
    for (double zeros : {0.0, 0.5, 0.95}) expect_same_as_scan(random_probabilities(n, zeros, rng), rng);
  }
}

TEST(Sampler, FewRisingSumsPickWhatTheScanPicks) {
  // States whose running sums rise at only a few indices (GHZ-like, and
  // either side of the number decided from the rises alone), with tiny
  // probabilities that leave a sum unchanged, an infinite one, a NaN, and a
  // total below one; probed at every sum, its neighbours, 0 and below 0.
  std::mt19937_64 rng(12);
  for (std::size_t rises : {1u, 2u, 5u, 15u, 16u, 17u, 40u}) {
    for (int variant = 0; variant < 5; ++variant) {
      std::vector<double> p(1 << 12, 0.0);
      std::uniform_int_distribution<std::size_t> where(0, p.size() - 1);
      for (std::size_t k = 0; k < rises; ++k) p[where(rng)] = 1.0 / static_cast<double>(rises);
      if (variant == 1) p[where(rng)] = 1e-300;  // positive, yet the sum may not move
      if (variant == 2) p[where(rng)] = std::numeric_limits<double>::infinity();
      if (variant == 3) p[where(rng)] = std::numeric_limits<double>::quiet_NaN();
      if (variant == 4) for (double& x : p) x *= 0.5;  // total 1/2: draws above it take the last index
      expect_same_as_scan(p, rng);
      const Sampler sampler = make_sampler(p);
      for (double r : {-1.0, -0.0, -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(sampler.draw(r), sampler.draw_unguided(r)) << "r=" << r;
      }
    }
  }
}

TEST(Sampler, TotalBelowOneFallsBackToLastIndex) {
  std::mt19937_64 rng(2);
  const std::vector<double> tenths(10, 0.1);  // adds up to 0.9999999999999999
  double total = 0.0;
  for (double x : tenths) total += x;
  ASSERT_LT(total, 1.0);
  const Sampler sampler = make_sampler(tenths);
  EXPECT_EQ(sampler.draw(total), 9u);
  EXPECT_EQ(sampler.draw(1.0 - 0x1p-53), 9u);
  expect_same_as_scan(tenths, rng);
  // The fallback gives the last index even when its probability is 0.
  const std::vector<double> short_total = {0.3, 0.3, 0.0};
  EXPECT_EQ(make_sampler(short_total).draw(0.9), 2u);
  expect_same_as_scan(short_total, rng);
}

TEST(Sampler, NaNStopsTheSearch) {
  std::mt19937_64 rng(3);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> partly = {0.25, 0.0, nan, 0.25, 0.5};
  const Sampler sampler = make_sampler(partly);
  EXPECT_EQ(sampler.draw(0.1), 0u);
  EXPECT_EQ(sampler.draw(0.25), 4u);  // only NaN sums follow: fallback
  EXPECT_EQ(sampler.draw(0.9), 4u);
  expect_same_as_scan(partly, rng);
  const std::vector<double> all_nan(8, nan);
  for (double r : {0.0, 0.5, 1.0 - 0x1p-53}) EXPECT_EQ(make_sampler(all_nan).draw(r), 7u);
  expect_same_as_scan(all_nan, rng);
}

TEST(Sampler, StrictComparisonAtExactSums) {
  EXPECT_EQ(make_sampler({0.5, 0.5}).draw(0.5), 1u);
  EXPECT_EQ(make_sampler({0.5, 0.5}).draw(std::nextafter(0.5, 0.0)), 0u);
  // r = 0 picks the first index with a positive probability.
  EXPECT_EQ(make_sampler({0.0, 0.0, 0.25, 0.75}).draw(0.0), 2u);
  EXPECT_EQ(make_sampler({0.0, 0.25, 0.0, 0.0, 0.75}).draw(0.25), 4u);
  EXPECT_EQ(make_sampler({1.0}).draw(0.999), 0u);
}

TEST(Sampler, EmptyVectorIsRejected) {
  // Nothing to draw from: refused when built, never a read before the buffer.
  try {
    Sampler sampler{Buffer<double>()};
    FAIL() << "an empty sampler was built";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), messages::kNoOutcomes);
    EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
  }
  // A state whose amplitudes were handed away is just as empty.
  StateVector state = StateVector::create(1);
  Buffer<Complex> taken = std::move(state).take_amplitudes();
  EXPECT_THROW(Sampler{state}, FatalError);
}

TEST(Sampler, FailedAllocationNamesTheSamplingVector) {
  if (kAddressSanitizer) GTEST_SKIP() << "ASan reserves the address space";
  const StateVector state = StateVector::create(23);  // 128 MiB
  AddressSpaceLimit limit(std::uint64_t{32} << 20);  // no room for its 64 MiB of sums
  ASSERT_TRUE(limit.set());
  try {
    Sampler sampler(state, 0);  // the whole sums
    FAIL() << "the sampler was built";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
    EXPECT_EQ(e.message(), "out of memory: allocation failed; the sampling vector of 23 qubits needs 67108864 bytes");
  }
  // The layout a state that size gets keeps one sum per block: it fits.
  const Sampler sampler(state);
  EXPECT_NE(sampler.block_bits(), 0u);
  EXPECT_EQ(sampler.draw(0.5), 0u);
}

TEST(OutcomeKey, WidthAndBitOrder) {
  EXPECT_EQ(outcome_key(0, 4), "0000");
  EXPECT_EQ(outcome_key(5, 3), "101");
  EXPECT_EQ(outcome_key(1, 3), "001");  // qubit 0 is rightmost
  EXPECT_EQ(outcome_key(4, 3), "100");
  EXPECT_EQ(outcome_key(1, 1), "1");
  const std::string wide = outcome_key((std::uint64_t{1} << 57) | 2, 58);
  ASSERT_EQ(wide.size(), 58u);
  EXPECT_EQ(wide.front(), '1');
  EXPECT_EQ(wide.substr(1), std::string(54, '0') + "010");
}

TEST(OutcomeKey, TableWriterMatchesBitByBitAtEveryWidth) {
  // Widths around the writer's 8-character steps and past 64 (where qubits
  // beyond bit 63 read 0); the characters outside the key stay untouched.
  std::mt19937_64 rng(3);
  for (std::uint64_t width : {0ull, 1ull, 7ull, 8ull, 9ull, 16ull, 23ull, 63ull, 64ull, 65ull, 71ull}) {
    for (int trial = 0; trial < 20; ++trial) {
      const std::uint64_t outcome = trial == 0 ? ~std::uint64_t{0} : rng();
      std::string expected(width, '0');
      for (std::uint64_t k = 0; k < width && k < 64; ++k) {
        if ((outcome >> k) & 1u) expected[width - 1 - k] = '1';
      }
      std::string buffer(width + 2, '#');
      write_outcome_key(outcome, width, buffer.data() + 1);
      EXPECT_EQ(buffer, "#" + expected + "#") << "width " << width;
    }
  }
}

}  // namespace
}  // namespace vorn::sim

namespace vorn::sim {
namespace {

// A 5-qubit state with uneven, partly zero probabilities.
StateVector uneven_state() {
  StateVector s = StateVector::create(5);
  std::mt19937_64 rng(4);
  std::vector<double> p = random_probabilities(s.size(), 0.4, rng);
  for (std::uint64_t i = 0; i < s.size(); ++i) s[i] = Complex{std::sqrt(p[i]), 0.0};
  return s;
}

TEST(SampleCounts, EqualsPerShotScanWithTheSameStream) {
  const StateVector state = uneven_state();
  RandomStream stream = RandomStream::from_seed_value(77);
  const Counts counts = sample_counts(state, stream, 3001);  // not a whole number of search groups

  RandomStream replay = RandomStream::from_seed_value(77);
  Counts expected;
  for (int shot = 0; shot < 3001; ++shot) {
    const Buffer<double> p = state.probabilities();  // the per-shot rule: a fresh vector every shot
    const std::vector<double> pv(p.begin(), p.end());
    ++expected[outcome_key(scan(pv, replay.draw_unit_double()), 5)];
  }
  EXPECT_EQ(counts, expected);
  // Exactly one draw per shot: both streams are now at the same place.
  EXPECT_EQ(stream.draw_u64(), replay.draw_u64());
}

TEST(SampleCounts, ManyDistinctOutcomesAreAllTallied) {
  // Thousands of distinct outcomes: the tally must grow and lose none.
  StateVector state = StateVector::create(14);
  std::mt19937_64 rng(5);
  const std::vector<double> p = random_probabilities(state.size(), 0.0, rng);
  for (std::uint64_t i = 0; i < state.size(); ++i) state[i] = Complex{0.0, std::sqrt(p[i])};
  RandomStream stream = RandomStream::from_seed_value(10);
  const Counts counts = sample_counts(state, stream, 40000);

  const Sampler sampler(state);
  RandomStream replay = RandomStream::from_seed_value(10);
  Counts expected;
  for (int shot = 0; shot < 40000; ++shot) ++expected[outcome_key(sampler.draw(replay.draw_unit_double()), 14)];
  EXPECT_GT(expected.size(), 5000u);
  EXPECT_EQ(counts, expected);
}

TEST(SampleCounts, Invariants) {
  const StateVector state = uneven_state();
  RandomStream stream = RandomStream::from_seed_value(8);
  const Counts counts = sample_counts(state, stream, 10000);
  std::uint64_t total = 0;
  for (const auto& [key, count] : counts) {
    EXPECT_EQ(key.size(), 5u);
    EXPECT_EQ(key.find_first_not_of("01"), std::string::npos);
    EXPECT_GE(count, 1u);
    const std::uint64_t index = std::stoull(key, nullptr, 2);
    EXPECT_GT(state[index].re, 0.0) << "drew an outcome of probability 0: " << key;
    total += count;
  }
  EXPECT_EQ(total, 10000u);
  EXPECT_GT(counts.size(), 1u);
}

TEST(SampleCounts, ZeroShotsDrawNothing) {
  const StateVector state = uneven_state();
  RandomStream stream = RandomStream::from_seed_value(9);
  EXPECT_TRUE(sample_counts(state, stream, 0).empty());
  EXPECT_EQ(stream.draw_u64(), RandomStream::from_seed_value(9).draw_u64());
}

}  // namespace
}  // namespace vorn::sim

namespace vorn::sim {
namespace {

// Draws at every guide boundary k / G (G = 2^j for all j that can occur),
// their neighbours, and random ones.
std::vector<double> boundary_draws(std::mt19937_64& rng) {
  std::vector<double> r;
  for (int bits = 0; bits <= 9; ++bits) {  // the guides of these sizes have up to 2^9 entries
    const double step = std::ldexp(1.0, -bits);
    for (double k = 0; k < std::ldexp(1.0, bits); ++k) {
      r.push_back(k * step);
      r.push_back(std::nextafter(k * step, 1.0));
      if (k > 0) r.push_back(std::nextafter(k * step, 0.0));
    }
  }
  for (int i = 0; i < 500; ++i) r.push_back(static_cast<double>(rng() >> 11) * 0x1p-53);
  return r;
}

// The guided search must pick exactly what the plain binary search and the
// per-shot scan pick, one at a time and in batches.
void expect_guide_exact(const std::vector<double>& p, std::mt19937_64& rng) {
  const Sampler sampler = make_sampler(p);
  const std::vector<double> rs = boundary_draws(rng);
  std::vector<std::uint64_t> batched(rs.size());
  sampler.draw_many(rs.data(), batched.data(), rs.size());
  for (std::size_t i = 0; i < rs.size(); ++i) {
    const std::uint64_t expected = scan(p, rs[i]);
    ASSERT_EQ(sampler.draw_unguided(rs[i]), expected) << "N=" << p.size() << " r=" << rs[i];
    ASSERT_EQ(sampler.draw(rs[i]), expected) << "N=" << p.size() << " r=" << rs[i];
    ASSERT_EQ(batched[i], expected) << "N=" << p.size() << " r=" << rs[i];
  }
}

TEST(SamplerGuide, AdversarialDistributions) {
  std::mt19937_64 rng(21);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t n : {16u, 17u, 1000u, 4096u, 4097u}) {
    // Sums landing exactly on the guide boundaries: p = 1/N for N a power of two.
    expect_guide_exact(std::vector<double>(n, 1.0 / static_cast<double>(n)), rng);
    // Mostly zeros: long plateaus inside and across guide ranges.
    expect_guide_exact(random_probabilities(n, 0.97, rng), rng);
    // All mass at both ends (GHZ), and all in one middle outcome.
    std::vector<double> ends(n, 0.0);
    ends.front() = 0.5, ends.back() = 0.5;
    expect_guide_exact(ends, rng);
    std::vector<double> one(n, 0.0);
    one[n / 3] = 1.0;
    expect_guide_exact(one, rng);
    // Tiny and subnormal probabilities around a few large ones.
    std::vector<double> tiny(n, 5e-324);
    for (std::size_t i = 0; i < n; i += 7) tiny[i] = 1e-300;
    tiny[n / 2] = 0.25, tiny[n - 2] = 0.75;
    expect_guide_exact(tiny, rng);
    // Totals below and above 1 (unnormalised states).
    std::vector<double> low = random_probabilities(n, 0.3, rng), high = low;
    for (double& v : low) v *= 0.6;
    for (double& v : high) v *= 1.7;
    expect_guide_exact(low, rng);
    expect_guide_exact(high, rng);
    // A NaN part way (every later sum NaN) and an infinite probability.
    std::vector<double> with_nan = random_probabilities(n, 0.0, rng);
    with_nan[n / 2] = nan;
    expect_guide_exact(with_nan, rng);
    std::vector<double> with_inf = random_probabilities(n, 0.0, rng);
    with_inf[n / 4] = std::numeric_limits<double>::infinity();
    expect_guide_exact(with_inf, rng);
  }
}

TEST(SampleShots, OutcomesInShotOrderMatchTheScanAndTheTally) {
  // 14 qubits: 200 shots use the hash tally, 40000 the dense one.
  StateVector state = StateVector::create(14);
  std::mt19937_64 rng(22);
  const std::vector<double> p = random_probabilities(state.size(), 0.5, rng);
  for (std::uint64_t i = 0; i < state.size(); ++i) state[i] = Complex{std::sqrt(p[i]), 0.0};
  const Buffer<double> probs = state.probabilities();
  const std::vector<double> pv(probs.begin(), probs.end());
  for (std::uint64_t shots : {1ull, 200ull, 40000ull}) {
    RandomStream stream = RandomStream::from_seed_value(shots);
    const ShotRecord record = sample_shots(state, stream, shots);
    RandomStream replay = RandomStream::from_seed_value(shots);
    ASSERT_EQ(record.outcomes.size(), shots);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t s = 0; s < shots; ++s) {
      const std::uint64_t j = scan(pv, replay.draw_unit_double());
      ASSERT_EQ(record.outcomes[s], j) << "shot " << s;
      ++expected[j];
    }
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected_tally(expected.begin(), expected.end());
    EXPECT_EQ(record.tally, expected_tally);
    RandomStream again = RandomStream::from_seed_value(shots);
    EXPECT_EQ(sample_tally(state, again, shots), record.tally);
    EXPECT_EQ(stream.draw_u64(), replay.draw_u64());  // one value per shot
  }
  RandomStream stream = RandomStream::from_seed_value(1);
  EXPECT_TRUE(sample_shots(state, stream, 0).outcomes.empty());
}

TEST(SampleShots, FewOutcomeStatesTallyPerSlotAsTheScanDoes) {
  // Sums that rise at a few indices (counted per slot, not looked up):
  // GHZ-like, the last index a rise or not (its fallback slot then merges
  // with it), a total below one, a NaN that ends the search; more shots
  // than a round holds.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::vector<double>> cases = {
      {0.5, 0, 0, 0, 0, 0, 0, 0.5},
      {0.25, 0, 0.25, 0, 0.25, 0, 0, 0},
      {0.125, 0, 0.125, 0, 0.125, 0, 0.125, 0.125},
      {0, 0.3, 0, 0.3, 0, 0, 0, 0},
      {0.5, 0, nan, 0, 0.25, 0, 0, 0},
  };
  std::vector<double> sixteen(64, 0.0);
  for (std::size_t i = 0; i < 64; i += 4) sixteen[i] = 1.0 / 16;
  cases.push_back(sixteen);
  for (const std::vector<double>& p : cases) {
    const auto n = static_cast<std::uint64_t>(std::countr_zero(p.size()));
    StateVector state = StateVector::create(n);
    for (std::size_t i = 0; i < p.size(); ++i) state[i] = Complex{std::sqrt(p[i]), 0.0};
    const Buffer<double> probs = state.probabilities();
    const std::vector<double> pv(probs.begin(), probs.end());
    ASSERT_TRUE(make_sampler(pv).few());
    for (std::uint64_t shots : {std::uint64_t{1}, std::uint64_t{300}, std::uint64_t{300000}}) {
      RandomStream stream = RandomStream::from_seed_value(shots + n);
      const ShotRecord record = sample_shots(state, stream, shots);
      RandomStream replay = RandomStream::from_seed_value(shots + n);
      std::map<std::uint64_t, std::uint64_t> expected;
      for (std::uint64_t s = 0; s < shots; ++s) {
        const std::uint64_t j = scan(pv, replay.draw_unit_double());
        ASSERT_EQ(record.outcomes[s], j) << "shot " << s;
        ++expected[j];
      }
      EXPECT_EQ(record.tally, (std::vector<std::pair<std::uint64_t, std::uint64_t>>(expected.begin(), expected.end())));
      RandomStream again = RandomStream::from_seed_value(shots + n);
      EXPECT_EQ(sample_tally(state, again, shots), record.tally);
      EXPECT_EQ(stream.draw_u64(), replay.draw_u64());  // one value per shot
    }
  }
}

TEST(SampleShots, BucketedRoundsGiveEachShotTheUnguidedSearchOutcome) {
  // 13 qubits (draws grouped into buckets before searching) and more shots
  // than one round holds, on a state with zero, tiny and NaN-free uneven
  // probabilities: every shot in shot order, and the tally, as one
  // unguided search per stream value gives them. The same with the dense
  // tally (many shots) and the hash (a sparse state).
  std::mt19937_64 rng(23);
  for (double zeros : {0.0, 0.97}) {
    StateVector state = StateVector::create(13);
    const std::vector<double> p = random_probabilities(state.size(), zeros, rng);
    for (std::uint64_t i = 0; i < state.size(); ++i) state[i] = Complex{0.0, std::sqrt(p[i])};
    const Sampler sampler(state);
    const std::uint64_t shots = (std::uint64_t{1} << 18) * 2 + 777;
    RandomStream stream = RandomStream::from_seed_value(31);
    const ShotRecord record = sample_shots(state, stream, shots);
    RandomStream replay = RandomStream::from_seed_value(31);
    ASSERT_EQ(record.outcomes.size(), shots);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t s = 0; s < shots; ++s) {
      const std::uint64_t j = sampler.draw_unguided(replay.draw_unit_double());
      ASSERT_EQ(record.outcomes[s], j) << "shot " << s;
      ++expected[j];
    }
    EXPECT_EQ(record.tally, (std::vector<std::pair<std::uint64_t, std::uint64_t>>(expected.begin(), expected.end())));
    RandomStream again = RandomStream::from_seed_value(31);
    EXPECT_EQ(sample_tally(state, again, shots), record.tally);
    EXPECT_EQ(stream.draw_u64(), replay.draw_u64());
  }
}

TEST(SamplingBytes, CountsTheRoundBuffersAndTheKeptShotsIndex) {
  // Keeping shots adds the index of each grouped draw (4 bytes per shot of
  // a round) when the register is large enough to group draws, while the
  // round's buffers are the larger part of the peak.
  EXPECT_EQ(sampling_bytes(20, 0), 0u);
  EXPECT_EQ(sampling_bytes(20, 1u << 18, true) - sampling_bytes(20, 1u << 18, false), 4u << 18);
  // With many distinct outcomes the sorted pairs, made after the round
  // buffers are freed, are the larger part: 16 bytes each beside the dense tally.
  const std::uint64_t base = (8u << 20) /* sums */ + 8u * ((1u << 17) + 1) /* guide */ + (4u << 20) /* dense tally */;
  EXPECT_EQ(sampling_bytes(20, 1'000'000, true), base + 16u * 1'000'000);
  EXPECT_EQ(sampling_bytes(20, 1'000'000, false), base + 16u * 1'000'000);
  EXPECT_EQ(sampling_bytes(4, 1000, true), sampling_bytes(4, 1000, false));  // 16 outcomes: no grouping
  // The round's buffers follow the shots up to one round, then stay.
  EXPECT_EQ(sampling_bytes(20, 3u << 20) - sampling_bytes(20, 2u << 20), 0u);
}

// ---- the block layout ------------------------------------------------------------

// A state whose probabilities are about p (the amplitude sqrt(p), real or
// imaginary, some negative), NaN and infinity included: both layouts read
// the same state, so they must agree on every draw.
StateVector state_of(const std::vector<double>& p) {
  StateVector s = StateVector::create(static_cast<std::uint64_t>(std::countr_zero(p.size())));
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double a = std::isnan(p[i]) ? p[i] : std::sqrt(p[i]);
    s[i] = i % 3 == 0 ? Complex{a, 0.0} : i % 3 == 1 ? Complex{0.0, -a} : Complex{-a, 0.0};
  }
  return s;
}

// The state's distributions of SamplerGuide.AdversarialDistributions, on 2^n amplitudes.
std::vector<std::vector<double>> adversarial(std::size_t n, std::mt19937_64& rng) {
  std::vector<std::vector<double>> out;
  out.push_back(std::vector<double>(n, 1.0 / static_cast<double>(n)));
  out.push_back(random_probabilities(n, 0.97, rng));
  out.push_back(random_probabilities(n, 0.0, rng));
  std::vector<double> ends(n, 0.0);
  ends.front() = 0.5, ends.back() = 0.5;
  out.push_back(ends);
  std::vector<double> tiny(n, 5e-324);
  for (std::size_t i = 0; i < n; i += 7) tiny[i] = 1e-300;
  tiny[n / 2] = 0.25, tiny[n - 2] = 0.75;
  out.push_back(tiny);
  std::vector<double> low = random_probabilities(n, 0.3, rng), high = low;
  for (double& v : low) v *= 0.6;
  for (double& v : high) v *= 1.7;
  out.push_back(low);
  out.push_back(high);
  for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
    std::vector<double> with_nan = random_probabilities(n, 0.2, rng);
    with_nan[at] = std::numeric_limits<double>::quiet_NaN();
    out.push_back(with_nan);
  }
  std::vector<double> with_inf = random_probabilities(n, 0.0, rng);
  with_inf[n / 4] = std::numeric_limits<double>::infinity();
  out.push_back(with_inf);
  return out;
}

TEST(SamplerBlocks, EveryDrawIsTheWholeSumsDraw) {
  // Blocks of 2 to 2^6 amplitudes (one block for the whole state too):
  // draw, draw_many and draw_unguided as the whole sums give them, at every
  // guide boundary and at the sums themselves, on adversarial distributions.
  std::mt19937_64 rng(41);
  for (std::size_t n : {16u, 256u, 4096u}) {
    for (const std::vector<double>& p : adversarial(n, rng)) {
      const StateVector state = state_of(p);
      const Sampler whole(state, 0);
      std::vector<double> rs = boundary_draws(rng);
      const Buffer<double> probs = state.probabilities();
      double sum = 0.0;
      for (double x : probs) {
        sum = sum + x;
        if (sum >= 0.0 && sum < 1.0) rs.insert(rs.end(), {sum, std::nextafter(sum, 0.0), std::nextafter(sum, 1.0)});
      }
      for (unsigned bits : {1u, 3u, 6u, 12u}) {
        const Sampler blocks(state, bits);
        ASSERT_EQ(blocks.few(), whole.few());
        std::vector<std::uint64_t> batched(rs.size());
        blocks.draw_many(rs.data(), batched.data(), rs.size());
        for (std::size_t i = 0; i < rs.size(); ++i) {
          const std::uint64_t want = whole.draw_unguided(rs[i]);
          ASSERT_EQ(blocks.draw(rs[i]), want) << "N=" << n << " bits=" << bits << " r=" << rs[i];
          ASSERT_EQ(blocks.draw_unguided(rs[i]), want) << "N=" << n << " bits=" << bits << " r=" << rs[i];
          ASSERT_EQ(batched[i], want) << "N=" << n << " bits=" << bits << " r=" << rs[i];
        }
      }
    }
  }
}

TEST(SamplerBlocks, ShotsAndTalliesAreTheWholeSumsOnes) {
  // Rounds far smaller than the shots (tallies merged across rounds), with
  // and without kept shots, double and single precision, a state with a
  // NaN part way: each shot in shot order, the tally and the stream's use
  // as with the whole sums.
  std::mt19937_64 rng(43);
  std::vector<double> p = random_probabilities(1u << 12, 0.5, rng);
  std::vector<double> with_nan = p;
  with_nan[3000] = std::numeric_limits<double>::quiet_NaN();
  for (const std::vector<double>& probs : {p, with_nan}) {
    const StateVector state = state_of(probs);
    SingleStateVector single = SingleStateVector::create(12);
    for (std::uint64_t i = 0; i < state.size(); ++i) single[i] = to_single(state[i]);
    for (const SamplingPlan plan : {SamplingPlan{4, 1000}, SamplingPlan{7, 37}, SamplingPlan{12, 1u << 20}}) {
      const std::uint64_t shots = 5000;
      RandomStream a = RandomStream::from_seed_value(5), b = RandomStream::from_seed_value(5);
      const ShotRecord got = sample_shots(state, a, shots, nullptr, plan);
      const ShotRecord want = sample_shots(state, b, shots, nullptr, SamplingPlan{});
      EXPECT_EQ(got.outcomes, want.outcomes);
      EXPECT_EQ(got.tally, want.tally);
      EXPECT_EQ(a.draw_u64(), b.draw_u64());
      RandomStream c = RandomStream::from_seed_value(5);
      EXPECT_EQ(sample_tally(state, c, shots, nullptr, plan), want.tally);
      RandomStream d = RandomStream::from_seed_value(6), e = RandomStream::from_seed_value(6);
      EXPECT_EQ(sample_shots(single, d, shots, nullptr, plan).outcomes,
                sample_shots(single, e, shots, nullptr, SamplingPlan{}).outcomes);
    }
  }
}

TEST(SamplingPlan, LargeStatesSampleWithinASixteenthOfTheState) {
  // Past the floor every state's sampling takes at most a sixteenth of it
  // besides the tally of what it draws (16 bytes per distinct outcome, three
  // times over while rounds merge): 30 qubits in double with 10^5 shots
  // needs 1 GiB beside its 16 GiB (it needed 9 GiB with the whole sums).
  for (std::uint64_t amplitude : {sizeof(Complex), sizeof(SingleComplex)}) {
    for (std::uint64_t n = 18; n <= 34; ++n) {
      for (std::uint64_t shots : {std::uint64_t{1}, std::uint64_t{100'000}, std::uint64_t{1} << 30}) {
        for (bool keep : {false, true}) {
          const std::uint64_t state = amplitude << n, tally = 48 * std::min(shots, std::uint64_t{1} << n);
          const std::uint64_t bytes = sampling_bytes(n, shots, keep, amplitude);
          EXPECT_LE(bytes - std::min(bytes, tally), std::max(state / 16, kSamplingFloor)) << n << " " << shots;
          const SamplingPlan plan = sampling_plan(n, shots, keep, amplitude);
          if (plan.block_bits != 0) {
            EXPECT_GE(plan.round, std::min<std::uint64_t>(shots, 1u << 19)) << n;  // few passes over the state
          }
        }
      }
    }
  }
  EXPECT_EQ(sampling_plan(20, 1'000'000, false).block_bits, 0u);  // the whole sums where they fit the floor
  EXPECT_NE(sampling_plan(30, 100'000, false).block_bits, 0u);
  EXPECT_LE(sampling_bytes(30, 100'000), (std::uint64_t{1} << 30) + 48 * 100'000);
}

TEST(AllProbabilitiesFinite, RejectsNaNInfinityAndOverflowingSquares) {
  StateVector state = StateVector::create(15);
  for (std::uint64_t i = 0; i < state.size(); ++i) state[i] = Complex{1e-3, -1e-3};
  EXPECT_TRUE(all_probabilities_finite(state));
  const std::uint64_t where[] = {0, 12345, state.size() - 1};
  for (std::uint64_t i : where) {
    for (Complex bad : {Complex{std::numeric_limits<double>::quiet_NaN(), 0.0},
                        Complex{0.0, -std::numeric_limits<double>::infinity()}, Complex{1e200, 0.0}}) {
      const Complex keep = state[i];
      state[i] = bad;
      EXPECT_FALSE(all_probabilities_finite(state)) << "index " << i << " re " << bad.re << " im " << bad.im;
      state[i] = keep;
    }
  }
  EXPECT_TRUE(all_probabilities_finite(state));
  // The largest amplitude whose square is still finite is accepted.
  state[7] = Complex{1e154, 0.0};
  EXPECT_TRUE(all_probabilities_finite(state));
}

}  // namespace
}  // namespace vorn::sim

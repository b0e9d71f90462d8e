// Tests of the ChaCha12 random stream: the published block vector, the seed
// expansion, buffer and refill order, unit doubles and entropy keying.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "every_isa.hpp"
#include "vorn/core/error.hpp"
#include "vorn/simulator/random_stream.hpp"

namespace vorn::sim {
namespace {

using Key = std::array<std::uint32_t, 8>;

// The PCG-XSH-RR expansion in its other, equivalent form (shifts by 45 and 27).
Key reference_key(std::uint64_t seed) {
  Key key{};
  std::uint64_t state = seed;
  for (auto& w : key) {
    state = state * 0x5851f42d4c957f2dull + 0xa17654e46fbe17f3ull;
    auto x = static_cast<std::uint32_t>((state >> 45) ^ (state >> 27));
    w = std::rotr(x, static_cast<int>(state >> 59));
  }
  return key;
}

std::uint64_t word_pair(const std::uint32_t* words) { return words[0] | std::uint64_t{words[1]} << 32; }

TEST(RandomStream, PublishedChaCha12Vector) {
  std::uint32_t out[16];
  RandomStream::block(Key{}, 0, 0, out);
  const unsigned char expected[16] = {0x9b, 0xf4, 0x9a, 0x6a, 0x07, 0x55, 0xf9, 0x53,
                                      0x81, 0x1f, 0xce, 0x12, 0x5f, 0x26, 0x83, 0xd5};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ((out[i / 4] >> (8 * (i % 4))) & 0xffu, expected[i]) << "byte " << i;
  }
}

using Refill = std::array<std::uint32_t, RandomStream::kBufferWords>;
constexpr int kDrawsPerRefill = static_cast<int>(RandomStream::kBufferWords / 2);

Refill refill_at(const Key& key, std::uint64_t counter) {
  Refill out;
  RandomStream::refill_blocks(key, counter, 0, out.data());
  return out;
}

// Every instruction set's refill, with counters that carry into the high word
// inside a pass and that wrap at 2^64.
TEST(RandomStream, RefillMatchesSingleBlocksOnEveryPathAcrossCounterCarry) {
  const Key key = reference_key(12345);
  isa_test::for_each_isa([&](Isa) {
    for (std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffffa}, ~std::uint64_t{0} - 5}) {
      Refill all;
      RandomStream::refill_blocks(key, counter, 7, all.data());
      for (std::uint64_t b = 0; b < RandomStream::kRefillBlocks; ++b) {
        std::uint32_t one[16];
        RandomStream::block(key, counter + b, 7, one);
        ASSERT_EQ(std::memcmp(one, all.data() + 16 * b, sizeof one), 0) << "counter " << counter << " block " << b;
      }
    }
  });
  // The counter's high word and the nonce words are part of the input.
  std::uint32_t a[16], b[16], c[16];
  RandomStream::block(key, 0, 0, a);
  RandomStream::block(key, std::uint64_t{1} << 32, 0, b);
  RandomStream::block(key, 0, std::uint64_t{1} << 32, c);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  EXPECT_NE(std::memcmp(a, c, sizeof a), 0);
}

TEST(RandomStream, SeedExpansion) {
  for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{42},
                             std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_EQ(RandomStream::from_seed_value(seed).key(), reference_key(seed)) << seed;
  }
  // The state advances before the first output, so seed 0 is not an all-zero key.
  EXPECT_NE(RandomStream::from_seed_value(0).key(), Key{});
  EXPECT_NE(RandomStream::from_seed_value(0).key(), RandomStream::from_seed_value(1).key());
}

TEST(RandomStream, DrawsWalkTheBufferAndRefillWhenItIsUsedUp) {
  for (std::uint64_t seed : {std::uint64_t{7}, std::numeric_limits<std::uint64_t>::max()}) {
    RandomStream s = RandomStream::from_seed_value(seed);
    const Refill first = refill_at(s.key(), 0), second = refill_at(s.key(), RandomStream::kRefillBlocks);
    for (int d = 0; d < kDrawsPerRefill; ++d) EXPECT_EQ(s.draw_u64(), word_pair(&first[2 * d])) << "draw " << d;
    // The next value is the first of the next refill's blocks.
    for (int d = 0; d < kDrawsPerRefill; ++d)
      EXPECT_EQ(s.draw_u64(), word_pair(&second[2 * d])) << "draw " << kDrawsPerRefill + d;
  }
}

// The draws are the same whichever path fills the buffer: the stream is
// bit-identical on every machine.
TEST(RandomStream, EveryPathDrawsTheSameValues) {
  std::vector<std::uint64_t> want;
  RandomStream reference = RandomStream::from_seed_value(2024);
  for (int d = 0; d < 3 * kDrawsPerRefill + 5; ++d) {
    std::uint32_t one[16];
    RandomStream::block(reference.key(), static_cast<std::uint64_t>(d / 8), 0, one);
    want.push_back(word_pair(one + 2 * (d % 8)));
  }
  isa_test::for_each_isa([&](Isa) {
    RandomStream s = RandomStream::from_seed_value(2024);
    for (std::size_t d = 0; d < want.size(); ++d) ASSERT_EQ(s.draw_u64(), want[d]) << "draw " << d;
  });
}

TEST(RandomStream, UnitDoubleIsTopFiftyThreeBitsScaled) {
  RandomStream bits = RandomStream::from_seed_value(99);
  RandomStream doubles = RandomStream::from_seed_value(99);
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t v = bits.draw_u64();
    const double d = doubles.draw_unit_double();
    EXPECT_EQ(d, std::ldexp(static_cast<double>(v >> 11), -53));
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 1.0);
  }
  // The first double after a refill comes from its first block.
  RandomStream s = RandomStream::from_seed_value(5);
  const Refill second = refill_at(s.key(), RandomStream::kRefillBlocks);
  for (int i = 0; i < kDrawsPerRefill; ++i) s.draw_unit_double();
  EXPECT_EQ(s.draw_unit_double(), std::ldexp(static_cast<double>(word_pair(second.data()) >> 11), -53));
}

TEST(RandomStream, FilledDoublesAreTheDrawnOnesAcrossRefillsAndMixedWithDraws) {
  // Fills of odd lengths that end mid-buffer and span several refills,
  // interleaved with single draws, give the single draws' sequence.
  RandomStream one = RandomStream::from_seed_value(31);
  RandomStream filled = RandomStream::from_seed_value(31);
  std::vector<double> buf(1000);
  for (std::size_t count : {std::size_t{1}, std::size_t{0}, std::size_t{127}, std::size_t{129}, std::size_t{1000},
                            std::size_t{3}}) {
    filled.fill_unit_doubles(buf.data(), count);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(buf[i], one.draw_unit_double()) << count << " " << i;
    ASSERT_EQ(filled.draw_unit_double(), one.draw_unit_double()) << "after " << count;
  }
}

// Entropy hooks: a failing source, and one with a known byte pattern.
int failing_source(std::uint8_t*, std::size_t) { return EIO; }
int counting_bytes_source(std::uint8_t* out, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(i);
  return 0;
}

struct EntropyHook {
  explicit EntropyHook(testing::EntropySource s) : previous(testing::set_entropy_source(s)) {}
  ~EntropyHook() { testing::set_entropy_source(previous); }
  testing::EntropySource previous;
};

TEST(RandomStream, EntropyFailureMessage) {
  EntropyHook hook(&failing_source);
  try {
    RandomStream::from_entropy();
    ADD_FAILURE() << "no FatalError raised";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "from_entropy failed: OS Error: " + std::to_string(EIO));
  }
}

TEST(RandomStream, EntropyBytesBecomeLittleEndianKeyWords) {
  EntropyHook hook(&counting_bytes_source);
  const Key key = RandomStream::from_entropy().key();
  EXPECT_EQ(key[0], 0x03020100u);
  EXPECT_EQ(key[7], 0x1f1e1d1cu);
}

TEST(RandomStream, OsEntropyKeysDiffer) {
  // Two 256-bit keys from the OS coincide with probability 2^-256.
  EXPECT_NE(RandomStream::from_entropy().key(), RandomStream::from_entropy().key());
}

}  // namespace
}  // namespace vorn::sim

// The ChaCha12 keystream behind measurement draws: seed expansion, entropy
// keying, the block function (one block, and 4, 8 or 16 in vector lanes) and
// the buffer.
#include "vorn/simulator/random_stream.hpp"

#include <algorithm>

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "vorn/core/error.hpp"
#include "vorn/core/isa.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
constexpr int kDoubleRounds = 6;  // ChaCha12

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline void quarter(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

void initial_words(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
                   std::uint32_t in[16]) {
  for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[static_cast<std::size_t>(i)];
  in[12] = static_cast<std::uint32_t>(counter);
  in[13] = static_cast<std::uint32_t>(counter >> 32);
  in[14] = static_cast<std::uint32_t>(nonce);
  in[15] = static_cast<std::uint32_t>(nonce >> 32);
}

// kLanes blocks at once in GCC/Clang vector types, lane b holding block
// counter + b: the operators compile to the instruction set of the function
// this is inlined into. Integer-only, so every width gives exactly the words
// of block().
template <int kLanes>
using Lanes [[gnu::vector_size(4 * kLanes)]] = std::uint32_t;

// d = rotl(d ^ s, N) in every lane (vectors by reference: no vector ABI at
// any call boundary).
template <int N, class V>
[[gnu::always_inline]] inline void xor_rotl(V& d, const V& s) {
  d ^= s;
  d = (d << N) | (d >> (32 - N));
}

template <class V>
[[gnu::always_inline]] inline void quarter_lanes(V* x, int a, int b, int c, int d) {
  x[a] += x[b]; xor_rotl<16>(x[d], x[a]);
  x[c] += x[d]; xor_rotl<12>(x[b], x[c]);
  x[a] += x[b]; xor_rotl<8>(x[d], x[a]);
  x[c] += x[d]; xor_rotl<7>(x[b], x[c]);
}

template <int kLanes>
[[gnu::always_inline]] inline void blocks_in_lanes(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                                   std::uint64_t nonce, std::uint32_t* out) {
  using V = Lanes<kLanes>;
  std::uint32_t in[16];
  initial_words(key, counter, nonce, in);
  V start[16];
  for (int w = 0; w < 16; ++w) start[w] = in[w] - V{};  // the word in every lane
  for (int b = 0; b < kLanes; ++b) {  // 64-bit counters: the low word carries into the high one
    const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
    start[12][b] = static_cast<std::uint32_t>(c);
    start[13][b] = static_cast<std::uint32_t>(c >> 32);
  }
  V x[16];
  for (int w = 0; w < 16; ++w) x[w] = start[w];
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter_lanes(x, 0, 4, 8, 12); quarter_lanes(x, 1, 5, 9, 13); quarter_lanes(x, 2, 6, 10, 14);
    quarter_lanes(x, 3, 7, 11, 15); quarter_lanes(x, 0, 5, 10, 15); quarter_lanes(x, 1, 6, 11, 12);
    quarter_lanes(x, 2, 7, 8, 13); quarter_lanes(x, 3, 4, 9, 14);
  }
  for (int w = 0; w < 16; ++w) {
    const V sum = x[w] + start[w];
    for (int b = 0; b < kLanes; ++b) out[16 * b + w] = sum[b];
  }
}

// The baseline (SSE2 on x86-64) and, where the build has them, the AVX2 and
// AVX-512 widths.
void blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
             std::uint32_t* out) {
  blocks_in_lanes<4>(key, counter, nonce, out);
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VORN_RNG_X86 1
__attribute__((target("avx2"))) void blocks8(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                             std::uint64_t nonce, std::uint32_t* out) {
  blocks_in_lanes<8>(key, counter, nonce, out);
}

__attribute__((target("avx512f"))) void blocks16(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                                 std::uint64_t nonce, std::uint32_t* out) {
  blocks_in_lanes<16>(key, counter, nonce, out);
}
#endif

// One refill in passes of kWidth blocks.
template <std::size_t kWidth>
void refill_in(void (*pass)(const std::array<std::uint32_t, 8>&, std::uint64_t, std::uint64_t, std::uint32_t*),
               const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
               std::uint32_t* out) {
  static_assert(RandomStream::kRefillBlocks % kWidth == 0);
  for (std::size_t k = 0; k < RandomStream::kRefillBlocks; k += kWidth) pass(key, counter + k, nonce, out + 16 * k);
}

int os_entropy(std::uint8_t* out, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = ::getrandom(out + got, len - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;  // interrupted before any byte: ask again
      return errno;
    }
    got += static_cast<std::size_t>(n);  // short reads happen for large requests
  }
  return 0;
}

std::atomic<testing::EntropySource> g_entropy_source{&os_entropy};

}  // namespace

void RandomStream::block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
                         std::uint32_t out[16]) {
  std::uint32_t in[16];
  initial_words(key, counter, nonce, in);
  std::uint32_t x[16];
  std::memcpy(x, in, sizeof x);
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter(x, 0, 4, 8, 12); quarter(x, 1, 5, 9, 13); quarter(x, 2, 6, 10, 14); quarter(x, 3, 7, 11, 15);
    quarter(x, 0, 5, 10, 15); quarter(x, 1, 6, 11, 12); quarter(x, 2, 7, 8, 13); quarter(x, 3, 4, 9, 14);
  }
  for (int w = 0; w < 16; ++w) out[w] = x[w] + in[w];
}

void RandomStream::refill_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                 std::uint64_t nonce, std::uint32_t out[kBufferWords]) {
  // The one instruction-set choice (vorn/core/isa.hpp).
  switch (active_isa()) {
#ifdef VORN_RNG_X86
    case Isa::Avx512:
      return refill_in<16>(blocks16, key, counter, nonce, out);
    case Isa::Avx2:
      return refill_in<8>(blocks8, key, counter, nonce, out);
#endif
    default:
      return refill_in<4>(blocks4, key, counter, nonce, out);
  }
}

RandomStream RandomStream::from_key(const std::array<std::uint32_t, 8>& key) {
  RandomStream s;
  s.key_ = key;
  return s;
}

// PCG-XSH-RR output function; the state advances before every output, so
// seed 0 still gives a non-zero key.
RandomStream RandomStream::from_seed_value(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMul + kInc;
    auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    auto r = static_cast<unsigned>(state >> 59);
    word = (x >> r) | (x << ((32 - r) & 31));
  }
  return from_key(key);
}

RandomStream RandomStream::from_entropy() {
  std::uint8_t bytes[32];
  if (int err = g_entropy_source.load()(bytes, sizeof bytes); err != 0) {
    vorn::fatal(messages::entropy_failed(err));
  }
  std::array<std::uint32_t, 8> key{};
  for (std::size_t w = 0; w < 8; ++w) {
    key[w] = std::uint32_t{bytes[4 * w]} | std::uint32_t{bytes[4 * w + 1]} << 8 |
             std::uint32_t{bytes[4 * w + 2]} << 16 | std::uint32_t{bytes[4 * w + 3]} << 24;
  }
  return from_key(key);
}

void RandomStream::refill() {
  refill_blocks(key_, counter_, nonce_, buffer_.data());
  counter_ += kRefillBlocks;
  index_ = 0;
}

// Two words per draw from an even index, so a value never spans two refills.
std::uint64_t RandomStream::draw_u64() {
  if (index_ >= kBufferWords) refill();
  std::uint64_t v = std::uint64_t{buffer_[index_]} | std::uint64_t{buffer_[index_ + 1]} << 32;
  index_ += 2;
  return v;
}

double RandomStream::draw_unit_double() {
  constexpr double kScale = 0x1.0p-53;
  return static_cast<double>(draw_u64() >> 11) * kScale;
}

void RandomStream::fill_unit_doubles(double* out, std::size_t count) {
  constexpr double kScale = 0x1.0p-53;
  while (count > 0) {
    if (index_ >= kBufferWords) refill();
    const std::size_t take = std::min<std::size_t>(count, (kBufferWords - index_) / 2);
    const std::uint32_t* w = buffer_.data() + index_;
    for (std::size_t i = 0; i < take; ++i) {
      const std::uint64_t v = std::uint64_t{w[2 * i]} | std::uint64_t{w[2 * i + 1]} << 32;
      out[i] = static_cast<double>(v >> 11) * kScale;
    }
    index_ += static_cast<std::uint32_t>(2 * take);
    out += take;
    count -= take;
  }
}

namespace testing {
EntropySource set_entropy_source(EntropySource source) noexcept {
  return g_entropy_source.exchange(source != nullptr ? source : &os_entropy);
}
}  // namespace testing

}  // namespace vorn::sim

// The ChaCha12 keystream behind measurement draws: seed expansion, entropy
// keying, the block function (scalar and four-lane SSE2) and the buffer.
#include "vorn/simulator/random_stream.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "vorn/core/error.hpp"
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

#if defined(__x86_64__)
// Four blocks at once, lane b holding block counter + b. SSE2 is part of the
// x86-64 baseline, so no run-time choice is needed; integer-only, so the
// words are exactly those of the scalar function.
template <int N>
inline __m128i rotl4(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
}

inline void quarter4(__m128i* x, int a, int b, int c, int d) {
  x[a] = _mm_add_epi32(x[a], x[b]); x[d] = rotl4<16>(_mm_xor_si128(x[d], x[a]));
  x[c] = _mm_add_epi32(x[c], x[d]); x[b] = rotl4<12>(_mm_xor_si128(x[b], x[c]));
  x[a] = _mm_add_epi32(x[a], x[b]); x[d] = rotl4<8>(_mm_xor_si128(x[d], x[a]));
  x[c] = _mm_add_epi32(x[c], x[d]); x[b] = rotl4<7>(_mm_xor_si128(x[b], x[c]));
}

void blocks4_sse2(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
                  std::uint32_t out[64]) {
  std::uint32_t in[16];
  initial_words(key, counter, nonce, in);
  __m128i start[16];
  for (int w = 0; w < 16; ++w) start[w] = _mm_set1_epi32(static_cast<int>(in[w]));
  std::uint32_t lo[4], hi[4];
  for (int b = 0; b < 4; ++b) {  // 64-bit counters: the low word carries into the high one
    lo[b] = static_cast<std::uint32_t>(counter + static_cast<std::uint64_t>(b));
    hi[b] = static_cast<std::uint32_t>((counter + static_cast<std::uint64_t>(b)) >> 32);
  }
  start[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
  start[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
  __m128i x[16];
  for (int w = 0; w < 16; ++w) x[w] = start[w];
  for (int r = 0; r < kDoubleRounds; ++r) {
    quarter4(x, 0, 4, 8, 12); quarter4(x, 1, 5, 9, 13); quarter4(x, 2, 6, 10, 14); quarter4(x, 3, 7, 11, 15);
    quarter4(x, 0, 5, 10, 15); quarter4(x, 1, 6, 11, 12); quarter4(x, 2, 7, 8, 13); quarter4(x, 3, 4, 9, 14);
  }
  for (int w = 0; w < 16; ++w) {
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi32(x[w], start[w]));
    for (int b = 0; b < 4; ++b) out[16 * b + w] = lanes[b];
  }
}
#endif

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

void RandomStream::blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t nonce,
                           std::uint32_t out[64]) {
#if defined(__x86_64__)
  blocks4_sse2(key, counter, nonce, out);
#else
  for (std::uint64_t b = 0; b < 4; ++b) block(key, counter + b, nonce, out + 16 * b);
#endif
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
  blocks4(key_, counter_, nonce_, buffer_.data());
  counter_ += 4;
  index_ = 0;
}

// Two words per draw from an even index, so a value never spans two refills.
std::uint64_t RandomStream::draw_u64() {
  if (index_ >= 64) refill();
  std::uint64_t v = std::uint64_t{buffer_[index_]} | std::uint64_t{buffer_[index_ + 1]} << 32;
  index_ += 2;
  return v;
}

double RandomStream::draw_unit_double() {
  constexpr double kScale = 0x1.0p-53;
  return static_cast<double>(draw_u64() >> 11) * kScale;
}

namespace testing {
EntropySource set_entropy_source(EntropySource source) noexcept {
  return g_entropy_source.exchange(source != nullptr ? source : &os_entropy);
}
}  // namespace testing

}  // namespace vorn::sim

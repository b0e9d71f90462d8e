// Buffered ChaCha12 keystream: the reproducible source of measurement draws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorn::sim {

class RandomStream {
 public:
  static RandomStream from_seed_value(std::uint64_t seed);
  // 32 bytes from getrandom(2); fails with "from_entropy failed: OS Error: {code}".
  static RandomStream from_entropy();
  static RandomStream from_key(const std::array<std::uint32_t, 8>& key);

  std::uint64_t draw_u64();
  double draw_unit_double();  // (v >> 11) * 2^-53
  // out[i] = draw_unit_double() for i < count, in order (the same values,
  // converted a buffer at a time).
  void fill_unit_doubles(double* out, std::size_t count);

  // One 16-word ChaCha12 block (exposed for the test vectors).
  static void block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                    std::uint64_t nonce, std::uint32_t out[16]);
  // Blocks per refill: one pass of the widest vector path.
  static constexpr std::size_t kRefillBlocks = 16;
  static constexpr std::size_t kBufferWords = 16 * kRefillBlocks;
  // The blocks counter .. counter + kRefillBlocks - 1 of one refill, block b
  // at out[16b], on the active instruction set's path (vorn/core/isa.hpp);
  // always the same words as block().
  static void refill_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                            std::uint64_t nonce, std::uint32_t out[kBufferWords]);

  const std::array<std::uint32_t, 8>& key() const noexcept { return key_; }

 private:
  void refill();

  std::array<std::uint32_t, 8> key_{};
  std::uint64_t counter_ = 0;
  std::uint64_t nonce_ = 0;
  std::array<std::uint32_t, kBufferWords> buffer_{};
  std::uint32_t index_ = kBufferWords;
};

namespace testing {
// Fills `len` bytes and returns 0, or returns an OS error code.
using EntropySource = int (*)(std::uint8_t* out, std::size_t len);
// Replaces the entropy behind from_entropy (nullptr restores getrandom(2));
// returns the previous source. Lets tests make the source fail or count calls.
EntropySource set_entropy_source(EntropySource source) noexcept;
}  // namespace testing

}  // namespace vorn::sim

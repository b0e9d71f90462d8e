// Tests of the allocation guard: absurd requests fail as out-of-memory errors
// naming the sizes; modest ones pass and yield zeroed buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"

namespace vorn {
namespace {

TEST(Memory, AbsurdRequestIsOutOfMemory) {
  if (!available_memory_bytes()) GTEST_SKIP() << "no memory figure on this system";
  const std::uint64_t absurd = std::uint64_t{1} << 62;
  try {
    require_memory(absurd);
    FAIL() << "accepted 2^62 bytes";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
    EXPECT_NE(e.message().find("4611686018427387904 bytes needed"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("available"), std::string::npos);
  }
  // A run-time count, so the compiler cannot see the absurd calloc coming.
  const std::size_t huge = std::size_t{1} << std::stoi("60");
  EXPECT_THROW(Buffer<double>::zeroed(huge), FatalError);
}

TEST(Memory, ModestRequestPasses) {
  EXPECT_NO_THROW(require_memory(4096));
  Buffer<double> b = Buffer<double>::zeroed(1000);
  ASSERT_EQ(b.size(), 1000u);
  for (double d : b) ASSERT_EQ(d, 0.0);
  Buffer<double> moved = std::move(b);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(moved.size(), 1000u);
}

// Every buffer starts on a 64-byte boundary, small or page-backed, zeroed or
// not, and both ways of freeing it hand back what malloc gave (ASan checks).
TEST(Memory, BuffersAre64ByteAligned) {
  for (std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{1000}, std::size_t{1} << 16,
                            std::size_t{1} << 21}) {
    Buffer<double> z = Buffer<double>::zeroed(count);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(z.data()) % 64, 0u) << count;
    EXPECT_EQ(z[0], 0.0);
    EXPECT_EQ(z[count - 1], 0.0);
    Buffer<double> u = Buffer<double>::uninitialized(count);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(u.data()) % 64, 0u) << count;
    u[count - 1] = 1.0;  // the whole span is writable
    double* raw = u.release_ownership();
    Buffer<double>::free_raw(raw);
  }
  Buffer<double>::free_raw(nullptr);
}

TEST(Memory, FailedAllocationNamesWhatAndHowMuch) {
  try {
    allocation_failed(268435456, "the state vector of 24 qubits");
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
    EXPECT_EQ(e.message(), "out of memory: allocation failed; the state vector of 24 qubits needs 268435456 bytes");
    EXPECT_NE(std::string(e.where().file_name()).find("memory_test"), std::string::npos);
  }
}

}  // namespace
}  // namespace vorn

// Tests of the allocation guard: absurd requests fail as out-of-memory errors
// naming the sizes; modest ones pass and yield zeroed buffers.
#include <gtest/gtest.h>

#include "address_space_limit.hpp"

#include <cstdint>
#include <sys/resource.h>

#include <fstream>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"

namespace vorn {
namespace {

using testing_support::AddressSpaceLimit;
using testing_support::kAddressSanitizer;

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

// Large buffers are their own mappings starting on a 2 MiB boundary (where
// huge pages can back them): every byte of a zeroed one reads 0, even when
// the same addresses held data a moment ago, and the whole span is writable
// and given back (a leaked mapping would show in VmSize).
std::uint64_t vm_size_kib() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
  }
  return 0;
}

TEST(Memory, LargeBuffersAreZeroedMappingsOnHugePageBoundaries) {
  if (kAddressSanitizer) GTEST_SKIP() << "under ASan every buffer comes from malloc";
  const std::uint64_t before = vm_size_kib();
  for (std::size_t bytes : {std::size_t{32} << 20, (std::size_t{37} << 20) + 8, std::size_t{64} << 20}) {
    const std::size_t count = bytes / sizeof(double);
    {
      Buffer<double> dirty = Buffer<double>::uninitialized(count);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dirty.data()) % (std::uintptr_t{2} << 20), 0u) << bytes;
      for (std::size_t i = 0; i < count; i += 512) dirty[i] = 1.5;
      dirty[count - 1] = 2.5;
    }
    Buffer<double> z = Buffer<double>::zeroed(count);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(z.data()) % (std::uintptr_t{2} << 20), 0u) << bytes;
    std::size_t nonzero = 0;
    for (double d : z) nonzero += d != 0.0 ? 1 : 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
    z[count - 1] = 1.0;
    Buffer<double>::free_raw(z.release_ownership());
  }
  // Other threads may map a little meanwhile; 32 MiB kept would show.
  EXPECT_LT(vm_size_kib(), before + (std::uint64_t{16} << 10));
}

TEST(Memory, AddressSpaceRoomFollowsTheLimit) {
  if (kAddressSanitizer) GTEST_SKIP() << "ASan reserves the address space";
  rlimit current{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &current), 0);
  if (current.rlim_cur == RLIM_INFINITY) {
    EXPECT_FALSE(address_space_room().has_value());
  }
  {
    AddressSpaceLimit limit(std::uint64_t{512} << 20);
    ASSERT_TRUE(limit.set());
    const auto room = address_space_room();
    ASSERT_TRUE(room.has_value());
    // Other threads of the process may map a little meanwhile.
    EXPECT_LE(*room, std::uint64_t{512} << 20);
    EXPECT_GE(*room, std::uint64_t{448} << 20);
  }
  rlimit after{};
  getrlimit(RLIMIT_AS, &after);
  EXPECT_EQ(after.rlim_cur, current.rlim_cur);
}

TEST(Memory, RunCheckRefusesARunWhoseLaterAllocationsCannotBeMapped) {
  if (kAddressSanitizer) GTEST_SKIP() << "ASan reserves the address space";
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  AddressSpaceLimit limit(256 * kMiB);
  ASSERT_TRUE(limit.set());
  // The state fits, state and sampling vector together do not: refused now,
  // with the whole run's figure.
  try {
    require_run_memory(128 * kMiB, 384 * kMiB);
    FAIL() << "a run beyond the address-space limit passed";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
    EXPECT_EQ(e.message().rfind("out of memory: 402653184 bytes needed, ", 0), 0u) << e.message();
  }
  // Everything fits.
  EXPECT_NO_THROW(require_run_memory(64 * kMiB, 128 * kMiB));
  // Already the first allocation is beyond the limit: it fails by itself at
  // once and names what it was for, so the check leaves it be.
  EXPECT_NO_THROW(require_run_memory(512 * kMiB, 768 * kMiB));
  // The per-allocation check looks at physical memory only.
  EXPECT_NO_THROW(require_memory(384 * kMiB));
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

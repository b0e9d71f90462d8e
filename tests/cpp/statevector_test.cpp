// Tests of the amplitude array: creation and its failures, the initial bit
// patterns, copies, and the unnormalised probability vector.
#include <gtest/gtest.h>

#include "address_space_limit.hpp"

#include <bit>
#include <cstdint>
#include <sys/resource.h>

#include <fstream>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/statevector.hpp"

namespace vorn {
namespace {

using testing_support::AddressSpaceLimit;
using testing_support::kAddressSanitizer;

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

FatalError creation_error(std::uint64_t n) {
  try {
    StateVector::create(n);
  } catch (const FatalError& e) {
    return e;
  }
  ADD_FAILURE() << "create(" << n << ") succeeded";
  return FatalError("", std::source_location::current());
}

TEST(StateVector, OneQubitStartsInZero) {
  const StateVector s = StateVector::create(1);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s.n_qubits(), 1u);
  EXPECT_EQ(bits(s[0].re), bits(1.0));
  EXPECT_EQ(bits(s[0].im), 0u);  // +0.0, not -0.0
  EXPECT_EQ(bits(s[1].re) | bits(s[1].im), 0u);
  const Buffer<double> p = s.probabilities();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], 1.0);
  EXPECT_EQ(bits(p[1]), 0u);
}

TEST(StateVector, ThirteenQubitsAreAllPositiveZerosButOne) {
  const StateVector s = StateVector::create(13);
  ASSERT_EQ(s.size(), 8192u);
  for (std::uint64_t i = 1; i < s.size(); ++i)
    ASSERT_EQ(bits(s[i].re) | bits(s[i].im), 0u) << i;
}

TEST(StateVector, ZeroQubitsFail) {
  const FatalError e = creation_error(0);
  EXPECT_EQ(e.message(), "a state vector needs at least 1 qubit");
  EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
}

TEST(StateVector, UnrepresentableSizesFailBeforeAnyMemoryCheck) {
  // An attempted allocation would surface as OutOfMemory; these must not get there.
  for (std::uint64_t n : {59u, 63u, 64u, 100u}) {
    const FatalError e = creation_error(n);
    EXPECT_EQ(e.message(), "a state vector of " + std::to_string(n) + " qubits exceeds the 58-qubit limit") << n;
    EXPECT_EQ(e.kind(), FatalError::Kind::Fatal) << n;
  }
  EXPECT_EQ(creation_error(UINT64_MAX).message(),
            "a state vector of 18446744073709551615 qubits exceeds the 58-qubit limit");
}

TEST(StateVector, LargestRepresentableSizeIsAttemptedAndRefusedCleanly) {
  // 2^62 bytes is representable, so the memory check (not the size check) refuses it.
  const FatalError e = creation_error(58);
  EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
  EXPECT_NE(e.message().find("4611686018427387904 bytes needed"), std::string::npos) << e.message();
}

TEST(StateVector, FailedAllocationNamesTheStateVector) {
  if (kAddressSanitizer) GTEST_SKIP() << "ASan reserves the address space";
  // The memory check passes (it reads physical memory); the address-space
  // limit makes calloc itself fail.
  AddressSpaceLimit limit(std::uint64_t{64} << 20);
  ASSERT_TRUE(limit.set());
  const FatalError e = creation_error(24);
  EXPECT_EQ(e.kind(), FatalError::Kind::OutOfMemory);
  EXPECT_EQ(e.message(), "out of memory: allocation failed; the state vector of 24 qubits needs 268435456 bytes");
}

TEST(StateVector, CopyIsIndependent) {
  StateVector s = StateVector::create(3);
  s[5] = {0.25, -0.5};
  StateVector c = s.copy();
  ASSERT_EQ(c.size(), 8u);
  EXPECT_EQ(c.n_qubits(), 3u);
  EXPECT_NE(c.data(), s.data());
  EXPECT_EQ(c[5].im, -0.5);
  c[5] = {9.0, 9.0};
  s[0] = {7.0, 7.0};
  EXPECT_EQ(s[5].re, 0.25);
  EXPECT_EQ(c[0].re, 1.0);
}

TEST(StateVector, ProbabilitiesAreSquaredMagnitudesUnnormalised) {
  StateVector s = StateVector::create(2);
  // 0.1^2 + 0.2^2 + ... rounds; the sum of all four is not 1 and stays so.
  s[0] = {0.1, 0.2};
  s[1] = {-3.0, 4.0};
  s[2] = {0.0, -0.0};
  s[3] = {1e-200, 0.0};  // squares underflow to zero
  const Buffer<double> p = s.probabilities();
  EXPECT_EQ(p[0], 0.010000000000000002 + 0.04000000000000001);
  EXPECT_EQ(p[1], 25.0);
  EXPECT_EQ(bits(p[2]), 0u);
  EXPECT_EQ(bits(p[3]), 0u);
  // Reading probabilities leaves the state alone.
  EXPECT_EQ(s[1].re, -3.0);
}

}  // namespace
}  // namespace vorn

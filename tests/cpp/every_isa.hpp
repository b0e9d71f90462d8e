// Test helper: run a body once per instruction set this machine can run,
// with every vectorised path (gate kernels, observables, random stream)
// forced onto it through the one registry, and the machine's choice given
// back afterwards (also when an assertion ends the body).
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "vorn/core/isa.hpp"

namespace vorn::isa_test {

class ForcedIsa {
 public:
  explicit ForcedIsa(Isa isa) { EXPECT_TRUE(force_isa_for_testing(isa)) << isa_name(isa); }
  ~ForcedIsa() { force_isa_for_testing(std::nullopt); }
  ForcedIsa(const ForcedIsa&) = delete;
  ForcedIsa& operator=(const ForcedIsa&) = delete;
};

// body(isa) for each runnable set, narrowest first; stops at a fatal failure.
template <class Body>
void for_each_isa(Body&& body) {
  for (Isa isa : runnable_isas()) {
    SCOPED_TRACE(isa_name(isa));
    ForcedIsa forced(isa);
    body(isa);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace vorn::isa_test

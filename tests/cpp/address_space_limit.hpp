// Test helper: lowers the soft RLIMIT_AS for one scope. Used by the memory,
// state-vector and sampling tests that check failures under such a limit.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace vorn::testing_support {

// Lowers the soft RLIMIT_AS to what the process maps now plus `extra` bytes,
// and puts the old limit back. AddressSanitizer reserves far more address
// space than any such limit allows, so tests using it skip under ASan.
class AddressSpaceLimit {
 public:
  explicit AddressSpaceLimit(std::uint64_t extra) {
    getrlimit(RLIMIT_AS, &saved_);
    std::ifstream status("/proc/self/status");
    std::uint64_t mapped = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) mapped = std::stoull(line.substr(7)) * 1024;
    }
    rlimit lowered = saved_;
    lowered.rlim_cur = mapped + extra;
    set_ = mapped != 0 && setrlimit(RLIMIT_AS, &lowered) == 0;
  }
  ~AddressSpaceLimit() {
    if (set_) setrlimit(RLIMIT_AS, &saved_);
  }
  AddressSpaceLimit(const AddressSpaceLimit&) = delete;
  AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;
  bool set() const { return set_; }

 private:
  rlimit saved_{};
  bool set_ = false;
};

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace vorn::testing_support

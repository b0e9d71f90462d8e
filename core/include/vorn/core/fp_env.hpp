// Pins the SSE floating-point control word to its default for one scope, so
// kernels never see a caller's flush-to-zero / denormals-are-zero setting.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace vorn {

class DefaultFpEnv {
 public:
#if defined(__x86_64__) || defined(__i386__)
  // All exceptions masked, round to nearest, FTZ and DAZ off.
  static constexpr unsigned kDefaultMxcsr = 0x1F80;
  DefaultFpEnv() noexcept : saved_(_mm_getcsr()) {
    if (saved_ != kDefaultMxcsr) _mm_setcsr(kDefaultMxcsr);
  }
  ~DefaultFpEnv() {
    if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#else
  DefaultFpEnv() noexcept = default;
#endif
  DefaultFpEnv(const DefaultFpEnv&) = delete;
  DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;
};

}  // namespace vorn

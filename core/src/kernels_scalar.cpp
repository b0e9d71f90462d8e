// Portable run primitives (the reference arithmetic, one pair or group at a
// time) and the run-time choice between them and the AVX2 / AVX-512 ones.
#include "kernel_runs.hpp"

namespace vorn::detail {
namespace {

void scalar_pairs(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, std::uint64_t tstep, const Matrix2x2& m) {
  const Matrix2x2 local = m;
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    Complex* p = amp + (first | set_mask);
    for (std::uint64_t r = 0; r < len; ++r, p += stride) update_pair(p, p + tstep, local);
  });
}

void scalar_groups(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                   std::uint64_t s0, std::uint64_t s1, const Matrix4x4& m) {
  const Matrix4x4 local = m;
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    Complex* p = amp + first;
    for (std::uint64_t r = 0; r < len; ++r, p += stride)
      update_group(p, p + s0, p + s1, p + s0 + s1, local);
  });
}

}  // namespace

const RunPrimitives kScalarPrimitives{scalar_pairs, scalar_groups};

const RunPrimitives& run_primitives() {
  static const RunPrimitives& chosen = [] () -> const RunPrimitives& {
#if defined(__x86_64__) || defined(__i386__)
    if (kAvx2Primitives != nullptr && __builtin_cpu_supports("avx2")) {
      if (kAvx512Primitives != nullptr && __builtin_cpu_supports("avx512f")) return *kAvx512Primitives;
      return *kAvx2Primitives;
    }
#endif
    return kScalarPrimitives;
  }();
  return chosen;
}

}  // namespace vorn::detail

// Portable run primitives (the reference arithmetic, one pair or group at a
// time) and the mapping of the instruction-set choice onto them and the AVX2 /
// AVX-512 ones.
#include "kernel_runs.hpp"

#include <memory>

#include "vorn/core/isa.hpp"

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

void scalar_diagonal(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                     std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const Complex* diag) {
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    Complex* p = amp + (first | set_mask);
    for (std::uint64_t i = 0; i < len; ++i, p += stride)
      for (std::uint64_t r = 0; r < dim; ++r) p[off[r]] = cmul(diag[r], p[off[r]]);
  });
}

void scalar_dense(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                  const std::uint64_t* off, std::uint64_t dim, const Complex* m) {
  const std::unique_ptr<Complex[]> a(new Complex[dim]);
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    Complex* p = amp + (first | set_mask);
    for (std::uint64_t i = 0; i < len; ++i, p += stride) {
      for (std::uint64_t s = 0; s < dim; ++s) a[s] = p[off[s]];
      for (std::uint64_t r = 0; r < dim; ++r) {
        const Complex* row = m + r * dim;
        Complex acc = cmul(row[0], a[0]);
        for (std::uint64_t s = 1; s < dim; ++s) acc = cadd(acc, cmul(row[s], a[s]));
        p[off[r]] = acc;
      }
    }
  });
}

void scalar_scale(Complex* amp, std::uint64_t ib, std::uint64_t ie, const Complex& c) {
  const Complex local = c;
  for (std::uint64_t i = ib; i < ie; ++i) amp[i] = cmul(local, amp[i]);
}

}  // namespace

const RunPrimitives kScalarPrimitives{scalar_pairs, scalar_groups, nullptr, scalar_diagonal, scalar_dense,
                                      scalar_scale};

// The one instruction-set choice (isa.hpp), mapped onto the variants this
// build has: AVX-512 leans on AVX2 for the cases it does not take.
const RunPrimitives& run_primitives() {
  switch (active_isa()) {
    case Isa::Avx512:
      if (kAvx512Primitives != nullptr && kAvx2Primitives != nullptr) return *kAvx512Primitives;
      [[fallthrough]];
    case Isa::Avx2:
      if (kAvx2Primitives != nullptr) return *kAvx2Primitives;
      [[fallthrough]];
    case Isa::Scalar:
      break;
  }
  return kScalarPrimitives;
}

}  // namespace vorn::detail

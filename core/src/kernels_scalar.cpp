// Portable run primitives (the reference arithmetic, one pair or group at a
// time), once for each precision, and the mapping of the instruction-set
// choice onto them and the AVX2 / AVX-512 ones.
#include "kernel_runs.hpp"

#include <memory>

#include "vorn/core/isa.hpp"

namespace vorn::detail {
namespace {

template <class T>
void scalar_pairs(BasicComplex<T>* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, std::uint64_t tstep, const BasicMatrix2x2<T>& m) {
  const BasicMatrix2x2<T> local = m;
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    BasicComplex<T>* p = amp + (first | set_mask);
    for (std::uint64_t r = 0; r < len; ++r, p += stride) update_pair(p, p + tstep, local);
  });
}

template <class T>
void scalar_groups(BasicComplex<T>* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                   std::uint64_t s0, std::uint64_t s1, const BasicMatrix4x4<T>& m) {
  const BasicMatrix4x4<T> local = m;
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    BasicComplex<T>* p = amp + first;
    for (std::uint64_t r = 0; r < len; ++r, p += stride)
      update_group(p, p + s0, p + s1, p + s0 + s1, local);
  });
}

template <class T>
void scalar_diagonal(BasicComplex<T>* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                     std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim,
                     const BasicComplex<T>* diag) {
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    BasicComplex<T>* p = amp + (first | set_mask);
    for (std::uint64_t i = 0; i < len; ++i, p += stride)
      for (std::uint64_t r = 0; r < dim; ++r) p[off[r]] = cmul(diag[r], p[off[r]]);
  });
}

template <class T>
void scalar_dense(BasicComplex<T>* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const BasicComplex<T>* m) {
  const std::unique_ptr<BasicComplex<T>[]> a(new BasicComplex<T>[dim]);
  walk.walk(kb, ke, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    BasicComplex<T>* p = amp + (first | set_mask);
    for (std::uint64_t i = 0; i < len; ++i, p += stride) {
      for (std::uint64_t s = 0; s < dim; ++s) a[s] = p[off[s]];
      for (std::uint64_t r = 0; r < dim; ++r) {
        const BasicComplex<T>* row = m + r * dim;
        BasicComplex<T> acc = cmul(row[0], a[0]);
        for (std::uint64_t s = 1; s < dim; ++s) acc = cadd(acc, cmul(row[s], a[s]));
        p[off[r]] = acc;
      }
    }
  });
}

template <class T>
void scalar_scale(BasicComplex<T>* amp, std::uint64_t ib, std::uint64_t ie, const BasicComplex<T>& c) {
  const BasicComplex<T> local = c;
  for (std::uint64_t i = ib; i < ie; ++i) amp[i] = cmul(local, amp[i]);
}

}  // namespace

const RunPrimitives kScalarPrimitives{scalar_pairs<double>, scalar_groups<double>, nullptr, scalar_diagonal<double>,
                                      scalar_dense<double>, scalar_scale<double>};
const SingleRunPrimitives kSingleScalarPrimitives{scalar_pairs<float>,    scalar_groups<float>,
                                                  nullptr,                scalar_diagonal<float>,
                                                  scalar_dense<float>,    scalar_scale<float>};

namespace {

// The one instruction-set choice (isa.hpp), mapped onto the variants this
// build has (a null set is not built). The double AVX-512 set leans on AVX2
// for the cases it does not take, so it needs that set too; the float ones
// hand such cases to the scalar set.
template <class T>
const BasicRunPrimitives<T>& choose(const BasicRunPrimitives<T>* avx512, const BasicRunPrimitives<T>* avx2,
                                    const BasicRunPrimitives<T>& scalar, bool avx512_needs_avx2) {
  switch (active_isa()) {
    case Isa::Avx512:
      if (avx512 != nullptr && (avx2 != nullptr || !avx512_needs_avx2)) return *avx512;
      [[fallthrough]];
    case Isa::Avx2:
      if (avx2 != nullptr) return *avx2;
      [[fallthrough]];
    case Isa::Scalar:
      break;
  }
  return scalar;
}

}  // namespace

const RunPrimitives& run_primitives() { return choose(kAvx512Primitives, kAvx2Primitives, kScalarPrimitives, true); }

const SingleRunPrimitives& single_run_primitives() {
  return choose(kSingleAvx512Primitives, kSingleAvx2Primitives, kSingleScalarPrimitives, false);
}

}  // namespace vorn::detail

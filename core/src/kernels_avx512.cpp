// AVX-512 pair primitive: four pairs per step on runs of at least four
// contiguous pairs; everything else goes to the AVX2 primitives. Picked at run
// time by run_primitives(). target("avx512f") only, no FMA.
#include <bit>
#include <cmath>

#include "kernel_runs.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define VORN_AVX512 __attribute__((target("avx512f")))

namespace vorn::detail {
namespace {

// A complex entry as a broadcast real part and an imaginary part with the
// sign of the real lanes flipped: (-im, im, -im, im, ...).
struct Entry {
  __m512d re, im_alt;
};

VORN_AVX512 inline Entry broadcast(const Complex& c) {
  return {_mm512_set1_pd(c.re), _mm512_setr_pd(-c.im, c.im, -c.im, c.im, -c.im, c.im, -c.im, c.im)};
}

// m * x for four complex numbers; xs is x with re/im swapped. Lane by lane:
//   re: m.re * x.re + (-m.im) * x.im,   im: m.re * x.im + m.im * x.re.
// (-m.im) * x.im is -(m.im * x.im) exactly, and a + (-b) is a - b, so these
// are the bits of cmul whenever m.im is not NaN (the caller checks).
VORN_AVX512 inline __m512d cmul4(const Entry& m, __m512d x, __m512d xs) {
  return _mm512_add_pd(_mm512_mul_pd(m.re, x), _mm512_mul_pd(m.im_alt, xs));
}

VORN_AVX512 inline __m512d swap_re_im(__m512d x) { return _mm512_permute_pd(x, 0x55); }

struct Matrix2Regs {
  Entry m00, m01, m10, m11;
};

// Pairs (p[i], p[i + tstep]) for i = 0..3. kSameCol0 as in the AVX2 file:
// m00 == m10 bit for bit, so their product with a is computed once.
template <bool kSameCol0>
VORN_AVX512 inline void step4(const Matrix2Regs& m, Complex* p, std::uint64_t tstep) {
  const __m512d a = _mm512_loadu_pd(&p->re), b = _mm512_loadu_pd(&p[tstep].re);
  const __m512d as = swap_re_im(a), bs = swap_re_im(b);
  const __m512d p0 = cmul4(m.m00, a, as);
  const __m512d lo = _mm512_add_pd(p0, cmul4(m.m01, b, bs));
  const __m512d hi = _mm512_add_pd(kSameCol0 ? p0 : cmul4(m.m10, a, as), cmul4(m.m11, b, bs));
  _mm512_storeu_pd(&p->re, lo);
  _mm512_storeu_pd(&p[tstep].re, hi);
}

template <bool kSameCol0>
VORN_AVX512 inline void run4(const Matrix2Regs& m, const Matrix2x2& local, Complex* p, std::uint64_t len,
                             std::uint64_t tstep) {
  std::uint64_t r = 0;
  for (; r + 4 <= len; r += 4, p += 4) step4<kSameCol0>(m, p, tstep);
  for (; r < len; ++r, ++p) update_pair(p, p + tstep, local);
}

// Whole runs of 4 * kSteps pairs, unrolled: no inner loop ends every step.
template <bool kSameCol0, int kSteps>
VORN_AVX512 inline std::uint64_t short_runs(const Matrix2Regs& m, Complex* amp, const BaseWalk& walk,
                                            std::uint64_t& base, std::uint64_t k, std::uint64_t ke,
                                            std::uint64_t set_mask, std::uint64_t tstep) {
  constexpr std::uint64_t kSpan = 4 * kSteps;
  for (; k + kSpan <= ke; k += kSpan, base = walk.next_run(base)) {
    Complex* p = amp + (base | set_mask);
    for (int i = 0; i < kSteps; ++i) step4<kSameCol0>(m, p + 4 * i, tstep);
  }
  return k;
}

template <bool kSameCol0>
VORN_AVX512 void pairs_walk(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                            std::uint64_t set_mask, std::uint64_t tstep, const Matrix2x2& local) {
  const Matrix2Regs m{broadcast(local.m00), broadcast(local.m01), broadcast(local.m10), broadcast(local.m11)};
  const std::uint64_t span = walk.span();
  std::uint64_t base = walk.spread(kb);
  std::uint64_t k = kb;
  if (span >= 4 && span <= 32) {
    if ((k & (span - 1)) != 0) {  // the rest of a run the chunk starts inside
      const std::uint64_t len = walk.run_length(k, ke);
      run4<kSameCol0>(m, local, amp + (base | set_mask), len, tstep);
      k += len;
      base = walk.next_run(base);
    }
    if (span == 4) k = short_runs<kSameCol0, 1>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 8) k = short_runs<kSameCol0, 2>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 16) k = short_runs<kSameCol0, 4>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 32) k = short_runs<kSameCol0, 8>(m, amp, walk, base, k, ke, set_mask, tstep);
  }
  for (; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    run4<kSameCol0>(m, local, amp + (base | set_mask), len, tstep);
    k += len;
  }
}

bool same_bits(const Complex& x, const Complex& y) {
  return std::bit_cast<std::uint64_t>(x.re) == std::bit_cast<std::uint64_t>(y.re) &&
         std::bit_cast<std::uint64_t>(x.im) == std::bit_cast<std::uint64_t>(y.im);
}

void avx512_pairs(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                  std::uint64_t tstep, const Matrix2x2& mat) {
  const Matrix2x2 local = mat;
  const std::uint64_t span = walk.span();
  // Runs of single pairs or pairs of pairs, and a NaN imaginary part (where
  // the sign flip would show in the NaN), stay with the AVX2 arithmetic.
  const bool nan_im = std::isnan(local.m00.im) || std::isnan(local.m01.im) || std::isnan(local.m10.im) ||
                      std::isnan(local.m11.im);
  if (walk.stride() != 1 || (span != 0 && span < 4) || nan_im) {
    kAvx2Primitives->pairs(amp, walk, kb, ke, set_mask, tstep, local);
  } else if (same_bits(local.m00, local.m10)) {
    pairs_walk<true>(amp, walk, kb, ke, set_mask, tstep, local);
  } else {
    pairs_walk<false>(amp, walk, kb, ke, set_mask, tstep, local);
  }
}

void avx512_groups(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t s0,
                   std::uint64_t s1, const Matrix4x4& m) {
  kAvx2Primitives->groups(amp, walk, kb, ke, s0, s1, m);
}

const RunPrimitives kAvx512{avx512_pairs, avx512_groups};

}  // namespace

const RunPrimitives* const kAvx512Primitives = &kAvx512;

}  // namespace vorn::detail

#else

namespace vorn::detail {
const RunPrimitives* const kAvx512Primitives = nullptr;
}  // namespace vorn::detail

#endif

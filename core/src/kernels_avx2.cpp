// AVX2 run primitives (two pairs or two 4x4 groups per step, the scalar bits
// exactly), picked at run time by run_primitives(). target("avx2") only, no FMA.
#include "kernel_runs.hpp"

#include <bit>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define VORN_AVX2 __attribute__((target("avx2")))

namespace vorn::detail {
namespace {

// A complex entry broadcast as its real and imaginary parts.
struct Entry {
  __m256d re, im;
};

VORN_AVX2 inline Entry broadcast(const Complex& c) { return {_mm256_set1_pd(c.re), _mm256_set1_pd(c.im)}; }

// m * x for two complex numbers at once. xs is x with re/im swapped. The
// four products are rounded separately and then subtracted/added: the same
// operations as cmul, so the same bits.
VORN_AVX2 inline __m256d cmul2(const Entry& m, __m256d x, __m256d xs) {
  return _mm256_addsub_pd(_mm256_mul_pd(m.re, x), _mm256_mul_pd(m.im, xs));
}

VORN_AVX2 inline __m256d swap_re_im(__m256d x) { return _mm256_permute_pd(x, 0x5); }

// Two amplitudes from unrelated addresses into one register, and back.
VORN_AVX2 inline __m256d load2(const Complex* p, const Complex* q) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(&p->re)), _mm_loadu_pd(&q->re), 1);
}
VORN_AVX2 inline void store2(Complex* p, Complex* q, __m256d v) {
  _mm_storeu_pd(&p->re, _mm256_castpd256_pd128(v));
  _mm_storeu_pd(&q->re, _mm256_extractf128_pd(v, 1));
}

struct Matrix2Regs {
  Entry m00, m01, m10, m11;
  Entry col0, col1;  // (m00 | m10) and (m01 | m11), one per 128-bit lane
};

VORN_AVX2 inline Entry lanes(const Complex& lo, const Complex& hi) {
  return {_mm256_setr_pd(lo.re, lo.re, hi.re, hi.re), _mm256_setr_pd(lo.im, lo.im, hi.im, hi.im)};
}

// kSameCol0: m00 and m10 are the same number bit for bit (h, for one), so
// m00 * a and m10 * a are the same product, computed once.
template <bool kSameCol0>
VORN_AVX2 inline void pair_step(const Matrix2Regs& m, __m256d& a, __m256d& b) {
  const __m256d as = swap_re_im(a), bs = swap_re_im(b);
  const __m256d p0 = cmul2(m.m00, a, as);
  const __m256d lo = _mm256_add_pd(p0, cmul2(m.m01, b, bs));
  const __m256d hi = _mm256_add_pd(kSameCol0 ? p0 : cmul2(m.m10, a, as), cmul2(m.m11, b, bs));
  a = lo;
  b = hi;
}

// Pairs (p[0], p[tstep]) and (p[1], p[1 + tstep]).
template <bool kSameCol0>
VORN_AVX2 inline void contiguous_step(const Matrix2Regs& m, Complex* p, std::uint64_t tstep) {
  __m256d a = _mm256_loadu_pd(&p->re), b = _mm256_loadu_pd(&p[tstep].re);
  pair_step<kSameCol0>(m, a, b);
  _mm256_storeu_pd(&p->re, a);
  _mm256_storeu_pd(&p[tstep].re, b);
}

// One run of `len` pairs whose bases are `stride` apart, starting at p.
template <bool kSameCol0>
VORN_AVX2 inline void pairs_run(const Matrix2Regs& m, const Matrix2x2& local, Complex* p,
                                std::uint64_t stride, std::uint64_t len, std::uint64_t tstep) {
  std::uint64_t r = 0;
  if (stride == 1) {
    // Contiguous run: both pair members are consecutive in memory.
    for (; r + 2 <= len; r += 2, p += 2) contiguous_step<kSameCol0>(m, p, tstep);
  } else if (stride == 2 && tstep == 1) {
    // Adjacent pairs (target 0): one pair per register. Each member is
    // broadcast to both lanes; lane 0 forms row 0 and lane 1 row 1, so the
    // new pair is stored as it lies, with no shuffle across lanes.
    for (; r < len; ++r, p += 2) {
      const __m256d a = _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(&p[0].re));
      const __m256d b = _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(&p[1].re));
      _mm256_storeu_pd(&p->re, _mm256_add_pd(cmul2(m.col0, a, swap_re_im(a)), cmul2(m.col1, b, swap_re_im(b))));
    }
  } else {
    // Bases `stride` apart (low operand positions): gather two pairs.
    const std::uint64_t s = stride;
    for (; r + 2 <= len; r += 2, p += 2 * s) {
      __m256d a = load2(p, p + s), b = load2(p + tstep, p + s + tstep);
      pair_step<kSameCol0>(m, a, b);
      store2(p, p + s, a);
      store2(p + tstep, p + s + tstep, b);
    }
  }
  for (; r < len; ++r, p += stride) update_pair(p, p + tstep, local);
}

// Whole contiguous runs of 2 * kSteps pairs (lowest operand 1 to 5) from
// the run-aligned k, each unrolled: no inner loop ends every few pairs.
// Returns where it stopped; `base` follows.
template <bool kSameCol0, int kSteps>
VORN_AVX2 inline std::uint64_t short_runs(const Matrix2Regs& m, Complex* amp, const BaseWalk& walk,
                                          std::uint64_t& base, std::uint64_t k, std::uint64_t ke,
                                          std::uint64_t set_mask, std::uint64_t tstep) {
  constexpr std::uint64_t kSpan = 2 * kSteps;
  for (; k + kSpan <= ke; k += kSpan, base = walk.next_run(base)) {
    Complex* p = amp + (base | set_mask);
    for (int i = 0; i < kSteps; ++i) contiguous_step<kSameCol0>(m, p + 2 * i, tstep);
  }
  return k;
}

// The walk is written out here rather than through BaseWalk::walk: a lambda
// would not inherit the AVX2 target.
template <bool kSameCol0>
VORN_AVX2 void pairs_walk(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                          std::uint64_t set_mask, std::uint64_t tstep, const Matrix2x2& local) {
  const Matrix2Regs m{broadcast(local.m00), broadcast(local.m01), broadcast(local.m10), broadcast(local.m11),
                      lanes(local.m00, local.m10), lanes(local.m01, local.m11)};
  const std::uint64_t stride = walk.stride();
  std::uint64_t base = walk.spread(kb);
  std::uint64_t k = kb;
  const std::uint64_t span = walk.span();
  if (stride == 1 && span >= 2 && span <= 32) {
    if ((k & (span - 1)) != 0) {  // the rest of a run the chunk starts inside
      const std::uint64_t len = walk.run_length(k, ke);
      pairs_run<kSameCol0>(m, local, amp + (base | set_mask), stride, len, tstep);
      k += len;
      base = walk.next_run(base);
    }
    if (span == 2) k = short_runs<kSameCol0, 1>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 4) k = short_runs<kSameCol0, 2>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 8) k = short_runs<kSameCol0, 4>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 16) k = short_runs<kSameCol0, 8>(m, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 32) k = short_runs<kSameCol0, 16>(m, amp, walk, base, k, ke, set_mask, tstep);
  }
  for (; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    pairs_run<kSameCol0>(m, local, amp + (base | set_mask), stride, len, tstep);
    k += len;
  }
}

bool same_bits(const Complex& x, const Complex& y) {
  return std::bit_cast<std::uint64_t>(x.re) == std::bit_cast<std::uint64_t>(y.re) &&
         std::bit_cast<std::uint64_t>(x.im) == std::bit_cast<std::uint64_t>(y.im);
}

void avx2_pairs(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                std::uint64_t tstep, const Matrix2x2& mat) {
  const Matrix2x2 local = mat;
  if (same_bits(local.m00, local.m10)) {
    pairs_walk<true>(amp, walk, kb, ke, set_mask, tstep, local);
  } else {
    pairs_walk<false>(amp, walk, kb, ke, set_mask, tstep, local);
  }
}

// Row r of the 4x4 update for two groups: ((m0 a0 + m1 a1) + m2 a2) + m3 a3.
VORN_AVX2 inline __m256d group_row(const Entry* row, const __m256d* a, const __m256d* as) {
  __m256d acc = cmul2(row[0], a[0], as[0]);
  acc = _mm256_add_pd(acc, cmul2(row[1], a[1], as[1]));
  acc = _mm256_add_pd(acc, cmul2(row[2], a[2], as[2]));
  return _mm256_add_pd(acc, cmul2(row[3], a[3], as[3]));
}

// One run of `len` groups whose bases are `stride` apart, starting at p.
VORN_AVX2 inline void groups_run(const Entry* m, const Matrix4x4& local, Complex* p, std::uint64_t stride,
                                 std::uint64_t len, std::uint64_t s0, std::uint64_t s1) {
  const std::uint64_t off[4] = {0, s0, s1, s0 + s1};
  std::uint64_t r = 0;
  for (; r + 2 <= len; r += 2, p += 2 * stride) {
    __m256d a[4], as[4];
    for (int g = 0; g < 4; ++g) {
      Complex* q = p + off[g];
      a[g] = stride == 1 ? _mm256_loadu_pd(&q->re) : load2(q, q + stride);
      as[g] = swap_re_im(a[g]);
    }
    for (int row = 0; row < 4; ++row) {
      const __m256d v = group_row(m + 4 * row, a, as);
      Complex* q = p + off[row];
      if (stride == 1) _mm256_storeu_pd(&q->re, v);
      else store2(q, q + stride, v);
    }
  }
  for (; r < len; ++r, p += stride) update_group(p, p + s0, p + s1, p + s0 + s1, local);
}

VORN_AVX2 void avx2_groups(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                           std::uint64_t s0, std::uint64_t s1, const Matrix4x4& mat) {
  const Matrix4x4 local = mat;
  Entry m[16];
  for (int k = 0; k < 16; ++k) m[k] = broadcast(local.m[static_cast<std::size_t>(k)]);
  const std::uint64_t stride = walk.stride();
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    groups_run(m, local, amp + base, stride, len, s0, s1);
    k += len;
  }
}

const RunPrimitives kAvx2{avx2_pairs, avx2_groups};

}  // namespace

const RunPrimitives* const kAvx2Primitives = &kAvx2;

}  // namespace vorn::detail

#else

namespace vorn::detail {
const RunPrimitives* const kAvx2Primitives = nullptr;
}  // namespace vorn::detail

#endif

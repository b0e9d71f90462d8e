// AVX-512 run primitives: the pair update four pairs per step on runs of at
// least four contiguous pairs, and a gathered block copied in or out with a
// single-qubit gate applied on the way. Everything else (pairs on shorter
// runs, groups, diagonal, dense, scale) goes to the AVX2 primitives: a dense
// update four groups per register, with a masked subtract for addsub, ran
// slower than AVX2's on the development machine. Picked at run time by
// run_primitives(). The single-precision primitives (eight complex floats per
// register, single_runs.hpp) are here too. target("avx512f") only, no FMA.
#include <bit>
#include <cmath>
#include <memory>
#include <type_traits>

#include "kernel_runs.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

// g++ 12 reports the "undefined" pass-through register inside its own
// AVX-512 intrinsics as an uninitialized read once they are inlined here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

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

// m * x for four complex numbers is, lane by lane,
//   re: m.re * x.re + (-m.im) * x.im,   im: m.re * x.im + m.im * x.re,
// that is  m.re * x + m.im_alt * xs  with xs the x with re/im swapped.
// (-m.im) * x.im is -(m.im * x.im) exactly, and a + (-b) is a - b, so these
// are the bits of cmul whenever m.im is not NaN (the caller checks). The
// m.im_alt * xs term depends only on m.im, so two entries of one column with
// the same imaginary part share it, and with the same whole value share the
// product: the same operations on the same inputs, fewer of them.
VORN_AVX512 inline __m512d im_term(const Entry& m, __m512d xs) { return _mm512_mul_pd(m.im_alt, xs); }
VORN_AVX512 inline __m512d with_re(const Entry& m, __m512d x, __m512d im) {
  return _mm512_add_pd(_mm512_mul_pd(m.re, x), im);
}

VORN_AVX512 inline __m512d swap_re_im(__m512d x) { return _mm512_permute_pd(x, 0x55); }

struct Matrix2Regs {
  Entry m00, m01, m10, m11;
};

// What the entries of the matrix have in common, as bits: the imaginary part
// of column 0 (m00.im == m10.im), the whole of column 0 (m00 == m10, as in h),
// the imaginary part of column 1 (m01.im == m11.im).
enum : int { kSameIm0 = 1, kSameCol0 = 2, kSameIm1 = 4 };

// One 2x2 update of four pairs held in registers: a and b become rows 0 and 1.
template <int kShape>
VORN_AVX512 inline void update4(const Matrix2Regs& m, __m512d& a, __m512d& b) {
  const __m512d as = swap_re_im(a), bs = swap_re_im(b);
  const __m512d za = im_term(m.m00, as), zb = im_term(m.m01, bs);
  const __m512d p0 = with_re(m.m00, a, za);
  const __m512d lo = _mm512_add_pd(p0, with_re(m.m01, b, zb));
  const __m512d p1 = (kShape & kSameCol0) != 0 ? p0
                     : with_re(m.m10, a, (kShape & kSameIm0) != 0 ? za : im_term(m.m10, as));
  b = _mm512_add_pd(p1, with_re(m.m11, b, (kShape & kSameIm1) != 0 ? zb : im_term(m.m11, bs)));
  a = lo;
}

// Pairs (p[i], p[i + tstep]) for i = 0..3.
template <int kShape>
VORN_AVX512 inline void step4(const Matrix2Regs& m, Complex* p, std::uint64_t tstep) {
  __m512d a = _mm512_loadu_pd(&p->re), b = _mm512_loadu_pd(&p[tstep].re);
  update4<kShape>(m, a, b);
  _mm512_storeu_pd(&p->re, a);
  _mm512_storeu_pd(&p[tstep].re, b);
}

template <int kShape>
VORN_AVX512 inline void run4(const Matrix2Regs& m, const Matrix2x2& local, Complex* p, std::uint64_t len,
                             std::uint64_t tstep) {
  std::uint64_t r = 0;
  for (; r + 4 <= len; r += 4, p += 4) step4<kShape>(m, p, tstep);
  for (; r < len; ++r, ++p) update_pair(p, p + tstep, local);
}

// What the shared pair walk needs: four contiguous pairs per step (the walk
// comes here only with stride 1, so run() ignores its stride).
template <int kShape>
struct PairOps {
  static constexpr std::uint64_t kPairsPerStep = 4;
  Matrix2Regs m;
  const Matrix2x2& local;
  VORN_AVX512 void step(Complex* p, std::uint64_t tstep) const { step4<kShape>(m, p, tstep); }
  VORN_AVX512 void run(Complex* p, std::uint64_t, std::uint64_t len, std::uint64_t tstep) const {
    run4<kShape>(m, local, p, len, tstep);
  }
};

#define VORN_TARGET VORN_AVX512
#include "pair_walk.hpp"
#undef VORN_TARGET

template <int kShape>
VORN_AVX512 void pairs_walk(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                            std::uint64_t set_mask, std::uint64_t tstep, const Matrix2x2& local) {
  const PairOps<kShape> ops{{broadcast(local.m00), broadcast(local.m01), broadcast(local.m10), broadcast(local.m11)},
                            local};
  pair_walk(ops, amp, walk, kb, ke, set_mask, tstep);
}

bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }

int shape_of(const Matrix2x2& m) {
  const bool same_im0 = same_bits(m.m00.im, m.m10.im);
  const bool same_col0 = same_im0 && same_bits(m.m00.re, m.m10.re);
  const bool same_im1 = same_bits(m.m01.im, m.m11.im);
  return (same_im0 ? kSameIm0 : 0) | (same_col0 ? kSameCol0 : 0) | (same_im1 ? kSameIm1 : 0);
}

// Where the sign flip of m.im_alt would show in a NaN's sign bit.
bool has_nan_im(const Matrix2x2& m) {
  return std::isnan(m.m00.im) || std::isnan(m.m01.im) || std::isnan(m.m10.im) || std::isnan(m.m11.im);
}

// Calls f with the shape as a compile-time constant: one instantiation per
// shape that occurs (kSameCol0 always comes with kSameIm0).
template <class F>
void with_shape(int shape, F&& f) {
  constexpr int kAll = kSameIm0 | kSameCol0 | kSameIm1;
  switch (shape) {
    case 0: return f(std::integral_constant<int, 0>{});
    case kSameIm0: return f(std::integral_constant<int, kSameIm0>{});
    case kSameIm0 | kSameCol0: return f(std::integral_constant<int, kSameIm0 | kSameCol0>{});
    case kSameIm1: return f(std::integral_constant<int, kSameIm1>{});
    case kSameIm0 | kSameIm1: return f(std::integral_constant<int, kSameIm0 | kSameIm1>{});
    default: return f(std::integral_constant<int, kAll>{});
  }
}

void avx512_pairs(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                  std::uint64_t tstep, const Matrix2x2& mat) {
  const Matrix2x2 local = mat;
  const std::uint64_t span = walk.span();
  // Runs of single pairs or pairs of pairs, and a NaN imaginary part (where
  // the sign flip would show in the NaN), stay with the AVX2 arithmetic.
  if (walk.stride() != 1 || (span != 0 && span < 4) || has_nan_im(local)) {
    kAvx2Primitives->pairs(amp, walk, kb, ke, set_mask, tstep, local);
    return;
  }
  with_shape(shape_of(local), [&](auto shape) {
    pairs_walk<decltype(shape)::value>(amp, walk, kb, ke, set_mask, tstep, local);
  });
}

// ---- a gathered block moved with a gate on the way --------------------------

// Four pairs read from one side (the state when gathering, the buffer when
// scattering), updated, and written to the other.
template <int kShape, bool kGather>
VORN_AVX512 inline void move4(const Matrix2Regs& m, Complex* bx, Complex* by, Complex* sx, Complex* sy) {
  __m512d a = _mm512_loadu_pd(kGather ? &sx->re : &bx->re);
  __m512d b = _mm512_loadu_pd(kGather ? &sy->re : &by->re);
  update4<kShape>(m, a, b);
  _mm512_storeu_pd(kGather ? &bx->re : &sx->re, a);
  _mm512_storeu_pd(kGather ? &by->re : &sy->re, b);
}

// Runs this far ahead are asked for (into L2) while gathering; see the
// block runner's plain gather for why not further.
constexpr std::uint64_t kRunsAhead = 4;

VORN_AVX512 inline void prefetch_run(const Complex* run, std::uint64_t run_len) {
  const char* line = reinterpret_cast<const char*>(run);
  for (std::uint64_t b = 0; b < run_len * sizeof(Complex); b += 64) __builtin_prefetch(line + b, 0, 1);
}

template <int kShape, bool kGather>
VORN_AVX512 void moved_walk(Complex* buf, Complex* state, const std::uint64_t* offsets, std::uint64_t runs,
                            std::uint64_t low, std::uint64_t target, const Matrix2x2& local) {
  const Matrix2Regs m{broadcast(local.m00), broadcast(local.m01), broadcast(local.m10), broadcast(local.m11)};
  const std::uint64_t run_len = std::uint64_t{1} << low;
  if (target >= low) {
    // Partners in runs r and r | d, at the same place in each.
    const std::uint64_t d = std::uint64_t{1} << (target - low);
    for (std::uint64_t r = 0; r < runs; ++r) {
      if ((r & d) != 0) continue;
      if (kGather && r + kRunsAhead < runs) {
        prefetch_run(state + offsets[r + kRunsAhead], run_len);
        prefetch_run(state + offsets[(r + kRunsAhead) | d], run_len);
      }
      Complex* bx = buf + (r << low);
      Complex* by = buf + ((r | d) << low);
      Complex* sx = state + offsets[r];
      Complex* sy = state + offsets[r | d];
      for (std::uint64_t j = 0; j < run_len; j += 4) move4<kShape, kGather>(m, bx + j, by + j, sx + j, sy + j);
    }
  } else {
    // Partners inside each run, 2^target apart.
    const std::uint64_t ts = std::uint64_t{1} << target;
    for (std::uint64_t r = 0; r < runs; ++r) {
      if (kGather && r + kRunsAhead < runs) prefetch_run(state + offsets[r + kRunsAhead], run_len);
      Complex* bp = buf + (r << low);
      Complex* sp = state + offsets[r];
      for (std::uint64_t j = 0; j < run_len; j += 2 * ts)
        for (std::uint64_t i = j; i < j + ts; i += 4) move4<kShape, kGather>(m, bp + i, bp + i + ts, sp + i, sp + i + ts);
    }
  }
}

bool avx512_moved_single(Complex* buf, Complex* state, const std::uint64_t* offsets, std::uint64_t runs,
                         std::uint64_t low, std::uint64_t target, const Matrix2x2& mat, bool gather) {
  const Matrix2x2 local = mat;
  // Four pairs per register need partners 4 or more apart; a NaN imaginary
  // part needs the AVX2 arithmetic; a target outside the block is refused.
  if (target < 2 || low < 2 || runs == 0 || !std::has_single_bit(runs)) return false;
  if (target >= low && (target - low >= 63 || (std::uint64_t{1} << (target - low)) >= runs)) return false;
  if (has_nan_im(local)) return false;
  with_shape(shape_of(local), [&](auto shape) {
    constexpr int kShape = decltype(shape)::value;
    if (gather) {
      moved_walk<kShape, true>(buf, state, offsets, runs, low, target, local);
    } else {
      moved_walk<kShape, false>(buf, state, offsets, runs, low, target, local);
    }
  });
  return true;
}

void avx512_groups(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t s0,
                   std::uint64_t s1, const Matrix4x4& m) {
  kAvx2Primitives->groups(amp, walk, kb, ke, s0, s1, m);
}

void avx512_diagonal(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                     const std::uint64_t* off, std::uint64_t dim, const Complex* diag) {
  kAvx2Primitives->diagonal(amp, walk, kb, ke, set_mask, off, dim, diag);
}

void avx512_dense(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t set_mask,
                  const std::uint64_t* off, std::uint64_t dim, const Complex* m) {
  kAvx2Primitives->dense(amp, walk, kb, ke, set_mask, off, dim, m);
}

void avx512_scale(Complex* amp, std::uint64_t ib, std::uint64_t ie, const Complex& c) {
  kAvx2Primitives->scale(amp, ib, ie, c);
}

const RunPrimitives kAvx512{avx512_pairs,    avx512_groups, avx512_moved_single,
                            avx512_diagonal, avx512_dense,  avx512_scale};

// ---- single precision: eight complex floats per register --------------------

struct SingleVec {
  using R = __m512;
  static constexpr std::uint64_t kWidth = 8;
  VORN_AVX512 static R load(const SingleComplex* p) { return _mm512_loadu_ps(&p->re); }
  VORN_AVX512 static void store(SingleComplex* p, R v) { _mm512_storeu_ps(&p->re, v); }
  // No addsub here (and a masked subtract of the two products is what the
  // compiler turns into vfmaddsub): the imaginary part enters with the sign
  // of the real lanes flipped, as in the double kernels above, so
  //   re lanes: m.re*x.re + (-m.im)*x.im,  im lanes: m.re*x.im + m.im*x.re,
  // cmul's bits whenever m.im is not NaN (kNeedsNumberIm: the caller checks).
  static constexpr bool kNeedsNumberIm = true;
  VORN_AVX512 static R set1(float x) { return _mm512_set1_ps(x); }
  VORN_AVX512 static R im_entry(float im) {
    return _mm512_setr_ps(-im, im, -im, im, -im, im, -im, im, -im, im, -im, im, -im, im, -im, im);
  }
  VORN_AVX512 static R add(R a, R b) { return _mm512_add_ps(a, b); }
  VORN_AVX512 static R load_floats(const float* f) { return _mm512_loadu_ps(f); }
  using Index = __m512i;
  VORN_AVX512 static Index index_of(const int* src) {
    int idx[16];
    for (int j = 0; j < 8; ++j) idx[2 * j] = 2 * src[j], idx[2 * j + 1] = 2 * src[j] + 1;
    return _mm512_loadu_si512(idx);
  }
  VORN_AVX512 static R permute(R x, Index index) { return _mm512_permutexvar_ps(index, x); }
  using Mask = __mmask16;
  VORN_AVX512 static Mask mask_of(const bool* lanes) {
    unsigned m = 0;
    for (unsigned j = 0; j < 8; ++j)
      if (lanes[j]) m |= 3u << (2 * j);
    return static_cast<Mask>(m);
  }
  VORN_AVX512 static R blend(Mask mask, R x, R y) { return _mm512_mask_blend_ps(mask, x, y); }
  VORN_AVX512 static R cmul(R re, R im, R x) {
    return _mm512_add_ps(_mm512_mul_ps(re, x), _mm512_mul_ps(im, _mm512_permute_ps(x, 0xB1)));
  }
};

#define VORN_TARGET VORN_AVX512
#include "single_runs.hpp"
#undef VORN_TARGET

}  // namespace

const RunPrimitives* const kAvx512Primitives = &kAvx512;
const SingleRunPrimitives* const kSingleAvx512Primitives = &kSingleVector;

}  // namespace vorn::detail

#else

namespace vorn::detail {
const RunPrimitives* const kAvx512Primitives = nullptr;
const SingleRunPrimitives* const kSingleAvx512Primitives = nullptr;
}  // namespace vorn::detail

#endif

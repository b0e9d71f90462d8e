// AVX2 run primitives (two pairs, two 4x4 groups or two diagonal products per
// register, four or eight dense groups per block; the scalar bits exactly),
// picked at run time by run_primitives(), and the single-precision ones (four
// complex floats per register, single_runs.hpp). target("avx2") only, no FMA.
#include "kernel_runs.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>

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

// What the shared pair walk needs: two contiguous pairs per step.
template <bool kSameCol0>
struct PairOps {
  static constexpr std::uint64_t kPairsPerStep = 2;
  Matrix2Regs m;
  const Matrix2x2& local;
  VORN_AVX2 void step(Complex* p, std::uint64_t tstep) const { contiguous_step<kSameCol0>(m, p, tstep); }
  VORN_AVX2 void run(Complex* p, std::uint64_t stride, std::uint64_t len, std::uint64_t tstep) const {
    pairs_run<kSameCol0>(m, local, p, stride, len, tstep);
  }
};

#define VORN_TARGET VORN_AVX2
#include "pair_walk.hpp"
#undef VORN_TARGET

template <bool kSameCol0>
VORN_AVX2 void pairs_walk(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                          std::uint64_t set_mask, std::uint64_t tstep, const Matrix2x2& local) {
  const PairOps<kSameCol0> ops{{broadcast(local.m00), broadcast(local.m01), broadcast(local.m10),
                                broadcast(local.m11), lanes(local.m00, local.m10), lanes(local.m01, local.m11)},
                               local};
  pair_walk(ops, amp, walk, kb, ke, set_mask, tstep);
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

// ---- diagonal, dense, scale ------------------------------------------------

// c * q[i * stride] for i < cnt, two per register.
VORN_AVX2 inline void scale_run(const Entry& e, const Complex& c, Complex* q, std::uint64_t stride,
                                std::uint64_t cnt) {
  std::uint64_t i = 0;
  if (stride == 1) {
    for (; i + 4 <= cnt; i += 4) {
      const __m256d v0 = _mm256_loadu_pd(&q[i].re), v1 = _mm256_loadu_pd(&q[i + 2].re);
      _mm256_storeu_pd(&q[i].re, cmul2(e, v0, swap_re_im(v0)));
      _mm256_storeu_pd(&q[i + 2].re, cmul2(e, v1, swap_re_im(v1)));
    }
    for (; i + 2 <= cnt; i += 2) {
      const __m256d v = _mm256_loadu_pd(&q[i].re);
      _mm256_storeu_pd(&q[i].re, cmul2(e, v, swap_re_im(v)));
    }
  } else {
    for (; i + 2 <= cnt; i += 2) {
      Complex* x = q + i * stride;
      const __m256d v = load2(x, x + stride);
      store2(x, x + stride, cmul2(e, v, swap_re_im(v)));
    }
  }
  for (; i < cnt; ++i) q[i * stride] = cmul(c, q[i * stride]);
}

// One diagonal entry (or two side by side) and where its amplitudes lie
// relative to a base.
struct DiagonalSlot {
  std::uint64_t off;
  Entry e;
  Complex c;
};

// Bases per pass over the entries when a base's entries are too many to take
// in one go: their lines (stride apart) then stay in L1 until the last entry
// is done with them.
constexpr std::uint64_t kDiagonalBlockBytes = 4096;
constexpr std::uint64_t kDiagonalBaseOuter = 32;

// Stride > 1 (qubit 0 is an operand). kAdjacent: qubit 0 is a target, and
// each slot is the register of states r and r | qubit-0 bit, side by side.
// Otherwise qubit 0 is a control and one register takes a slot's amplitude of
// two bases, stride apart.
template <bool kAdjacent>
VORN_AVX2 inline void diagonal_strided(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                                       std::uint64_t set_mask, const DiagonalSlot* slots, std::uint64_t n_slots) {
  const std::uint64_t stride = walk.stride();
  constexpr std::uint64_t kPer = kAdjacent ? 1 : 2;  // bases per register
  // A few slots: each base (pair of bases) has all its slots done in memory
  // order. One or two, or many: a block of bases per slot.
  const std::uint64_t block = n_slots >= 4 && n_slots <= kDiagonalBaseOuter
                                  ? kPer
                                  : std::max<std::uint64_t>(kPer, kDiagonalBlockBytes / (stride * sizeof(Complex)) / kPer * kPer);
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    Complex* p = amp + (base | set_mask);
    std::uint64_t i = 0;
    for (; i + kPer <= len; i += block) {
      const std::uint64_t cnt = std::min(block, (len - i) / kPer * kPer);
      Complex* q = p + i * stride;
      for (std::uint64_t t = 0; t < n_slots; ++t) {
        const DiagonalSlot& sl = slots[t];
        Complex* x = q + sl.off;
        for (std::uint64_t j = 0; j < cnt; j += kPer, x += kPer * stride) {
          if (kAdjacent) {
            const __m256d v = _mm256_loadu_pd(&x->re);
            _mm256_storeu_pd(&x->re, cmul2(sl.e, v, swap_re_im(v)));
          } else {
            const __m256d v = load2(x, x + stride);
            store2(x, x + stride, cmul2(sl.e, v, swap_re_im(v)));
          }
        }
      }
      if (cnt < block) {
        i += cnt;
        break;
      }
    }
    if (!kAdjacent && i < len) {  // one base left over
      Complex* q = p + i * stride;
      for (std::uint64_t t = 0; t < n_slots; ++t) q[slots[t].off] = cmul(slots[t].c, q[slots[t].off]);
    }
    k += len;
  }
}

// Qubits 0 .. z-1 all targets (stride 2^z >= 2): for each setting of the
// other targets a run of len bases is one stretch of len * stride amplitudes,
// its entries repeating with period stride; kHalf = stride / 2 registers of
// entry pairs (0: stride read at run time).
template <std::uint64_t kHalf>
VORN_AVX2 void diagonal_window(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                               std::uint64_t set_mask, const std::uint64_t* group_off, std::uint64_t n_groups,
                               const Entry* entries) {
  const std::uint64_t stride = walk.stride();
  const std::uint64_t half = kHalf != 0 ? kHalf : stride / 2;
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    Complex* p = amp + (base | set_mask);
    for (std::uint64_t g = 0; g < n_groups; ++g) {
      const Entry* e = entries + g * half;
      Complex* x = p + group_off[g];
      for (std::uint64_t i = 0; i < len; ++i, x += stride) {
        for (std::uint64_t h = 0; h < half; ++h) {
          const __m256d v = _mm256_loadu_pd(&x[2 * h].re);
          _mm256_storeu_pd(&x[2 * h].re, cmul2(e[h], v, swap_re_im(v)));
        }
      }
    }
    k += len;
  }
}

VORN_AVX2 void avx2_diagonal(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                             std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim,
                             const Complex* diag) {
  const std::uint64_t stride = walk.stride();
  if (stride > 1 && (off[dim - 1] & (stride - 1)) == stride - 1) {
    // The walk's low positions are all targets. Entries in offset order:
    // consecutive runs of `stride` of them share the bits above the window.
    const std::unique_ptr<std::uint64_t[]> order(new std::uint64_t[dim]);
    for (std::uint64_t r = 0; r < dim; ++r) order[r] = r;
    std::sort(order.get(), order.get() + dim, [off](std::uint64_t x, std::uint64_t y) { return off[x] < off[y]; });
    const std::uint64_t n_groups = dim / stride;
    const std::unique_ptr<std::uint64_t[]> group_off(new std::uint64_t[n_groups]);
    const std::unique_ptr<Entry[]> entries(new Entry[dim / 2]);
    for (std::uint64_t g = 0; g < n_groups; ++g) group_off[g] = off[order[g * stride]];
    for (std::uint64_t t = 0; t < dim / 2; ++t) entries[t] = lanes(diag[order[2 * t]], diag[order[2 * t + 1]]);
    if (stride == 2) {
      diagonal_window<1>(amp, walk, kb, ke, set_mask, group_off.get(), n_groups, entries.get());
    } else if (stride == 4) {
      diagonal_window<2>(amp, walk, kb, ke, set_mask, group_off.get(), n_groups, entries.get());
    } else if (stride == 8) {
      diagonal_window<4>(amp, walk, kb, ke, set_mask, group_off.get(), n_groups, entries.get());
    } else {
      diagonal_window<0>(amp, walk, kb, ke, set_mask, group_off.get(), n_groups, entries.get());
    }
    return;
  }
  std::uint64_t j0bit = 0;  // the local bit of qubit 0, if it is a target
  for (std::uint64_t j = 1; j < dim; j <<= 1)
    if (off[j] == 1) j0bit = j;
  // The entries in memory order, so that the amplitudes are visited in
  // ascending addresses wherever the walk allows (the prefetchers follow).
  const std::unique_ptr<std::uint64_t[]> order(new std::uint64_t[dim]);
  std::uint64_t n_slots = 0;
  for (std::uint64_t r = 0; r < dim; ++r)
    if (j0bit == 0 || (r & j0bit) == 0) order[n_slots++] = r;
  std::sort(order.get(), order.get() + n_slots, [off](std::uint64_t x, std::uint64_t y) { return off[x] < off[y]; });
  const std::unique_ptr<DiagonalSlot[]> slots(new DiagonalSlot[n_slots]);
  for (std::uint64_t t = 0; t < n_slots; ++t) {
    const std::uint64_t r = order[t];
    slots[t] = {off[r], j0bit != 0 ? lanes(diag[r], diag[r | j0bit]) : broadcast(diag[r]), diag[r]};
  }
  if (stride == 1) {
    // Each entry's amplitudes of a run lie together: one entry after another.
    std::uint64_t base = walk.spread(kb);
    for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
      const std::uint64_t len = walk.run_length(k, ke);
      Complex* p = amp + (base | set_mask);
      for (std::uint64_t t = 0; t < n_slots; ++t) scale_run(slots[t].e, slots[t].c, p + slots[t].off, 1, len);
      k += len;
    }
    return;
  }
  if (j0bit != 0) {
    diagonal_strided<true>(amp, walk, kb, ke, set_mask, slots.get(), n_slots);
  } else {
    diagonal_strided<false>(amp, walk, kb, ke, set_mask, slots.get(), n_slots);
  }
}

VORN_AVX2 void avx2_scale(Complex* amp, std::uint64_t ib, std::uint64_t ie, const Complex& c) {
  const Complex local = c;
  scale_run(broadcast(local), local, amp + ib, 1, ie - ib);
}

// A dense block: up to kDenseBases bases (stride apart from q) at once, two
// per register. Inputs of all of them are read before any output is written;
// a missing base repeats the last one and is not stored. The re/im swap of an
// input is redone per use: a shuffle is cheaper here than the load of a kept
// copy, and the inputs stay half the size in L1. Four bases keep everything
// in registers; eight halve the matrix reads, which pays once the matrix
// outgrows L1 (k >= 7).
template <std::uint64_t kDenseBases>
struct DenseBlock {
  __m256d v[kDenseBases / 2];
};

template <std::uint64_t kDenseBases>
VORN_AVX2 inline void dense_gather(DenseBlock<kDenseBases>* in, const Complex* q, std::uint64_t stride, std::uint64_t cnt,
                                   const std::uint64_t* off, std::uint64_t dim) {
  std::uint64_t l[kDenseBases];
  for (std::uint64_t i = 0; i < kDenseBases; ++i) l[i] = std::min(i, cnt - 1) * stride;
  const bool whole = cnt == kDenseBases && stride == 1;
  for (std::uint64_t s = 0; s < dim; ++s) {
    const Complex* x = q + off[s];
    for (std::uint64_t h = 0; h < kDenseBases / 2; ++h)
      in[s].v[h] = whole ? _mm256_loadu_pd(&x[2 * h].re) : load2(x + l[2 * h], x + l[2 * h + 1]);
  }
}

template <std::uint64_t kDenseBases>
VORN_AVX2 inline void dense_store(Complex* x, std::uint64_t stride, std::uint64_t cnt, const __m256d* v) {
  if (cnt == kDenseBases && stride == 1) {
    for (std::uint64_t h = 0; h < kDenseBases / 2; ++h) _mm256_storeu_pd(&x[2 * h].re, v[h]);
    return;
  }
  for (std::uint64_t i = 0; i < cnt; ++i) {
    const __m256d w = v[i / 2];
    _mm_storeu_pd(&x[i * stride].re, i % 2 == 0 ? _mm256_castpd256_pd128(w) : _mm256_extractf128_pd(w, 1));
  }
}

// Rows r and r + 1 (dim even) of the block: products accumulated left to right.
template <std::uint64_t kDenseBases>
VORN_AVX2 inline void dense_rows(const DenseBlock<kDenseBases>* in, const Complex* m, std::uint64_t dim, std::uint64_t r,
                                 Complex* q, std::uint64_t stride, std::uint64_t cnt, const std::uint64_t* off) {
  constexpr std::uint64_t kH = kDenseBases / 2;
  const Complex* row0 = m + r * dim;
  const Complex* row1 = row0 + dim;
  __m256d a0[kH], a1[kH];
  {
    const Entry e0 = broadcast(row0[0]), e1 = broadcast(row1[0]);
    for (std::uint64_t h = 0; h < kH; ++h) {
      const __m256d x = in[0].v[h], xs = swap_re_im(x);
      a0[h] = cmul2(e0, x, xs);
      a1[h] = cmul2(e1, x, xs);
    }
  }
  for (std::uint64_t s = 1; s < dim; ++s) {
    const Entry e0 = broadcast(row0[s]), e1 = broadcast(row1[s]);
    for (std::uint64_t h = 0; h < kH; ++h) {
      const __m256d x = in[s].v[h], xs = swap_re_im(x);
      a0[h] = _mm256_add_pd(a0[h], cmul2(e0, x, xs));
      a1[h] = _mm256_add_pd(a1[h], cmul2(e1, x, xs));
    }
  }
  dense_store<kDenseBases>(q + off[r], stride, cnt, a0);
  dense_store<kDenseBases>(q + off[r + 1], stride, cnt, a1);
}

template <std::uint64_t kDenseBases>
VORN_AVX2 void dense_walk(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                          std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const Complex* m) {
  const std::unique_ptr<DenseBlock<kDenseBases>[]> in(new DenseBlock<kDenseBases>[dim]);
  const std::uint64_t stride = walk.stride();
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    Complex* p = amp + (base | set_mask);
    for (std::uint64_t b = 0; b < len; b += kDenseBases) {
      const std::uint64_t cnt = std::min(kDenseBases, len - b);
      Complex* q = p + b * stride;
      dense_gather(in.get(), q, stride, cnt, off, dim);
      for (std::uint64_t r = 0; r < dim; r += 2) dense_rows(in.get(), m, dim, r, q, stride, cnt, off);
    }
    k += len;
  }
}

VORN_AVX2 void avx2_dense(Complex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                          std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const Complex* m) {
  if (dim < 2) {  // a 1x1 matrix is a diagonal
    avx2_diagonal(amp, walk, kb, ke, set_mask, off, dim, m);
  } else if (dim <= 64) {
    dense_walk<4>(amp, walk, kb, ke, set_mask, off, dim, m);
  } else {
    dense_walk<8>(amp, walk, kb, ke, set_mask, off, dim, m);
  }
}

const RunPrimitives kAvx2{avx2_pairs, avx2_groups, nullptr, avx2_diagonal, avx2_dense, avx2_scale};

// ---- single precision: four complex floats per register ---------------------

struct SingleVec {
  using R = __m256;
  static constexpr std::uint64_t kWidth = 4;
  VORN_AVX2 static R load(const SingleComplex* p) { return _mm256_loadu_ps(&p->re); }
  VORN_AVX2 static void store(SingleComplex* p, R v) { _mm256_storeu_ps(&p->re, v); }
  static constexpr bool kNeedsNumberIm = false;
  VORN_AVX2 static R set1(float x) { return _mm256_set1_ps(x); }
  VORN_AVX2 static R im_entry(float im) { return _mm256_set1_ps(im); }
  VORN_AVX2 static R add(R a, R b) { return _mm256_add_ps(a, b); }
  VORN_AVX2 static R load_floats(const float* f) { return _mm256_loadu_ps(f); }
  using Index = __m256i;
  VORN_AVX2 static Index index_of(const int* src) {
    return _mm256_setr_epi32(2 * src[0], 2 * src[0] + 1, 2 * src[1], 2 * src[1] + 1, 2 * src[2], 2 * src[2] + 1,
                             2 * src[3], 2 * src[3] + 1);
  }
  VORN_AVX2 static R permute(R x, Index index) { return _mm256_permutevar8x32_ps(x, index); }
  using Mask = __m256;  // sign bit set in both floats of a chosen lane
  VORN_AVX2 static Mask mask_of(const bool* lanes) {
    const int m[4] = {lanes[0] ? -1 : 0, lanes[1] ? -1 : 0, lanes[2] ? -1 : 0, lanes[3] ? -1 : 0};
    return _mm256_castsi256_ps(_mm256_setr_epi32(m[0], m[0], m[1], m[1], m[2], m[2], m[3], m[3]));
  }
  VORN_AVX2 static R blend(Mask mask, R x, R y) { return _mm256_blendv_ps(x, y, mask); }
  // addsub: the real lanes subtract, the imaginary lanes add.
  VORN_AVX2 static R cmul(R re, R im, R x) {
    return _mm256_addsub_ps(_mm256_mul_ps(re, x), _mm256_mul_ps(im, _mm256_permute_ps(x, 0xB1)));
  }
};

#define VORN_TARGET VORN_AVX2
#include "single_runs.hpp"
#undef VORN_TARGET

}  // namespace

const RunPrimitives* const kAvx2Primitives = &kAvx2;
const SingleRunPrimitives* const kSingleAvx2Primitives = &kSingleVector;

}  // namespace vorn::detail

#else

namespace vorn::detail {
const RunPrimitives* const kAvx2Primitives = nullptr;
const SingleRunPrimitives* const kSingleAvx2Primitives = nullptr;
}  // namespace vorn::detail

#endif

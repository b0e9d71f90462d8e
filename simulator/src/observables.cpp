// Pauli expectation values and variances (see observables.hpp).
//
// For P = i^k X^x Z^z (k = |x&z|) and psi_i = a, psi_{i^x} = b, pairing i
// (bit h of i clear, h the highest bit of x) with i^x gives
//   <P> = 2 * sign * (S1 + S2)  when k is even (Re(conj(a) b) = a.re*b.re + a.im*b.im),
//   <P> = 2 * sign * (S1 - S2)  when k is odd  (Im(conj(a) b) = a.re*b.im - a.im*b.re),
//   S1 = sum over such i of (-1)^{|i&z|} a.re*b.re  (a.re*b.im when k is odd),
//   S2 = sum over such i of (-1)^{|i&z|} a.im*b.im  (a.im*b.re when k is odd),
//   sign = +1 for k mod 4 in {0, 1}, -1 for {2, 3};
// and for x = 0, S1 + S2 with a = b over all i (the squares of the parts).
// So the phase only picks products and signs: nothing is multiplied by i.
//
// S1 and S2 each go through the fixed tree of reduce.hpp, their items being
// the string's pair representatives r (i with bit h removed; all i when
// x = 0) in ascending order. Summing the two products apart (not their sum
// per item) lets vector code keep the interleaved (re, im) layout with no
// horizontal shuffles. Strings with the same x share the products; the state
// is walked in tiles so that every x whose bits above the tile agree reuses
// the same two tiles from cache. Tiling decides only which leaves are
// computed when; each leaf is summed the one fixed way.
#include "vorn/simulator/observables.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/isa.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/messages.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VORN_OBS_X86 1
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vorn::sim {
namespace {

// Strings sharing one x whose pair products are summed together.
struct Group {
  std::uint64_t x;
  unsigned h;                      // highest set bit of x (0 when x == 0)
  const std::uint64_t* z;          // m masks
  const unsigned char* imag;       // m flags: k odd, the cross products
  std::size_t m;
  bool any_real, any_imag;         // which products some string needs
  std::uint64_t reps;              // N / 2, or N when x == 0
  std::uint64_t leaves;
  double* sums;                    // leaves * 2m leaf values (S1, S2 per string), leaf-major
};

inline std::uint64_t rep_index(const Group& g, std::uint64_t r) {
  if (g.x == 0) return r;
  const std::uint64_t low = (std::uint64_t{1} << g.h) - 1;
  return ((r & ~low) << 1) | (r & low);
}

// The sign bit when |v| is odd: XOR-ing it negates without a branch (the
// signs follow the state's index bits, which no predictor can guess).
inline std::uint64_t parity_sign(std::uint64_t v) { return static_cast<std::uint64_t>(__builtin_parityll(v)) << 63; }

inline double flip_sign(double v, std::uint64_t sign) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ sign);
}

// Scratch per string: 16 accumulators at position 2 * lane + q (q = 0 for
// S1, 1 for S2: the interleaved layout of the amplitudes), then 16 sign words.
constexpr std::size_t kScratchPerString = 32;

// out[2 zi + q] = the leaf value of quantity q of string zi.
inline void finish_leaf(const double* acc, std::size_t m, double* out) {
  for (std::size_t zi = 0; zi < m; ++zi) {
    double lanes[2][kReduceLanes];
    for (std::size_t l = 0; l < kReduceLanes; ++l) {
      lanes[0][l] = acc[zi * kScratchPerString + 2 * l];
      lanes[1][l] = acc[zi * kScratchPerString + 2 * l + 1];
    }
    out[2 * zi] = combine_lanes(lanes[0]);
    out[2 * zi + 1] = combine_lanes(lanes[1]);
  }
}

// One leaf of a group: items r0 .. r0 + count. acc: scratch of
// m * kScratchPerString doubles, 64-byte aligned.
// C is the amplitude type: a single-precision state is read in double
// (to_double, exact), so every product and sum is the double one.
template <class C>
using LeafKernelOf = void (*)(const C* psi, const Group& g, std::uint64_t r0, std::uint64_t count, double* out,
                              double* acc);
using LeafKernel = LeafKernelOf<Complex>;

// The reference: one item at a time, lane = item mod 8.
template <class C>
void scalar_leaf(const C* psi, const Group& g, std::uint64_t r0, std::uint64_t count, double* out, double* acc) {
  for (std::size_t zi = 0; zi < g.m; ++zi) std::fill_n(acc + zi * kScratchPerString, 16, 0.0);
  for (std::uint64_t t = 0; t < count; ++t) {
    const std::uint64_t i = rep_index(g, r0 + t);
    const Complex a = to_double(psi[i]);
    const Complex b = to_double(psi[i ^ g.x]);
    const double rr = a.re * b.re, ii = a.im * b.im, ri = a.re * b.im, ir = a.im * b.re;
    const std::size_t lane = t % kReduceLanes;
    for (std::size_t zi = 0; zi < g.m; ++zi) {
      const std::uint64_t sign = parity_sign(i & g.z[zi]);
      double* slot = acc + zi * kScratchPerString + 2 * lane;
      slot[0] += flip_sign(g.imag[zi] ? ri : rr, sign);
      slot[1] += flip_sign(g.imag[zi] ? ir : ii, sign);
    }
  }
  finish_leaf(acc, g.m, out);
}

// Whether a vector kernel can take this leaf: whole blocks of eight items
// that are eight consecutive amplitudes (x == 0, or x's top bit >= 3).
inline bool blockwise(const Group& g, std::uint64_t count) { return count % 8 == 0 && (g.x == 0 || g.h >= 3); }

// The sign words of string z at positions 2 * lane + q, for item index bits
// below 3 (the rest is one parity per block of eight).
inline void sign_pattern(std::uint64_t z, std::uint64_t* words) {
  for (std::size_t p = 0; p < 16; ++p) words[p] = parity_sign((p / 2) & z & 7);
}

#ifdef VORN_OBS_X86

// Eight items per step as two registers of four complex numbers; the partner
// block is the block at i ^ (x & ~7), its complex k taken from k ^ (x & 7).
__attribute__((target("avx512f"))) void avx512_leaf(const Complex* psi, const Group& g, std::uint64_t r0,
                                                    std::uint64_t count, double* out, double* acc) {
  if (!blockwise(g, count)) return scalar_leaf(psi, g, r0, count, out, acc);
  const std::uint64_t xl = g.x & 7, xhi = g.x & ~std::uint64_t{7};
  const std::int64_t q = static_cast<std::int64_t>(xl & 3);
  const __m512i perm = _mm512_setr_epi64(2 * (0 ^ q), 2 * (0 ^ q) + 1, 2 * (1 ^ q), 2 * (1 ^ q) + 1, 2 * (2 ^ q),
                                         2 * (2 ^ q) + 1, 2 * (3 ^ q), 2 * (3 ^ q) + 1);
  const bool permute = q != 0, swap_halves = (xl & 4) != 0;
  const std::size_t m = g.m;
  const std::uint64_t* const z = g.z;
  const unsigned char* const imag = g.imag;
  for (std::size_t zi = 0; zi < m; ++zi) {
    double* a = acc + zi * kScratchPerString;
    for (std::size_t p = 0; p < 16; ++p) a[p] = 0.0;
    sign_pattern(z[zi], reinterpret_cast<std::uint64_t*>(a + 16));
  }
  const double* base = reinterpret_cast<const double*>(psi);
  // With one string the accumulators live in registers.
  __m512d one0 = _mm512_setzero_pd(), one1 = _mm512_setzero_pd();
  const __m512i pat0 = _mm512_load_si512(acc + 16), pat1 = _mm512_load_si512(acc + 24);
  const bool one_imag = imag[0] != 0;
  for (std::uint64_t t = 0; t < count; t += 8) {
    const std::uint64_t i = rep_index(g, r0 + t);
    const std::uint64_t p = i ^ xhi;
    const __m512d a0 = _mm512_loadu_pd(base + 2 * i), a1 = _mm512_loadu_pd(base + 2 * i + 8);
    __m512d b0 = _mm512_loadu_pd(base + 2 * p), b1 = _mm512_loadu_pd(base + 2 * p + 8);
    if (swap_halves) std::swap(b0, b1);
    if (permute) b0 = _mm512_permutexvar_pd(perm, b0), b1 = _mm512_permutexvar_pd(perm, b1);
    if (m == 1) {
      // (re*re', im*im') or (re*im', im*re') per complex, signed, summed as they lie.
      if (one_imag) b0 = _mm512_permute_pd(b0, 0x55), b1 = _mm512_permute_pd(b1, 0x55);
      const __m512i flip = _mm512_set1_epi64(static_cast<long long>(parity_sign(i & z[0])));
      const __m512d v0 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(_mm512_mul_pd(a0, b0)), _mm512_xor_si512(pat0, flip)));
      const __m512d v1 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(_mm512_mul_pd(a1, b1)), _mm512_xor_si512(pat1, flip)));
      one0 = _mm512_add_pd(one0, v0);
      one1 = _mm512_add_pd(one1, v1);
      continue;
    }
    __m512d re0 = _mm512_setzero_pd(), re1 = re0, im0 = re0, im1 = re0;
    if (g.any_real) re0 = _mm512_mul_pd(a0, b0), re1 = _mm512_mul_pd(a1, b1);
    if (g.any_imag) {
      im0 = _mm512_mul_pd(a0, _mm512_permute_pd(b0, 0x55));
      im1 = _mm512_mul_pd(a1, _mm512_permute_pd(b1, 0x55));
    }
    for (std::size_t zi = 0; zi < m; ++zi) {
      double* a = acc + zi * kScratchPerString;
      const __m512i flip = _mm512_set1_epi64(static_cast<long long>(parity_sign(i & z[zi])));
      const __m512i s0 = _mm512_xor_si512(_mm512_load_si512(a + 16), flip);
      const __m512i s1 = _mm512_xor_si512(_mm512_load_si512(a + 24), flip);
      const __m512d v0 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(imag[zi] ? im0 : re0), s0));
      const __m512d v1 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(imag[zi] ? im1 : re1), s1));
      _mm512_store_pd(a, _mm512_add_pd(_mm512_load_pd(a), v0));
      _mm512_store_pd(a + 8, _mm512_add_pd(_mm512_load_pd(a + 8), v1));
    }
  }
  if (m == 1) _mm512_store_pd(acc, one0), _mm512_store_pd(acc + 8, one1);
  finish_leaf(acc, m, out);
}

// Eight items per step as four registers of two complex numbers.
__attribute__((target("avx2"))) void avx2_leaf(const Complex* psi, const Group& g, std::uint64_t r0,
                                               std::uint64_t count, double* out, double* acc) {
  if (!blockwise(g, count)) return scalar_leaf(psi, g, r0, count, out, acc);
  const std::uint64_t xl = g.x & 7, xhi = g.x & ~std::uint64_t{7};
  const unsigned reg_xor = static_cast<unsigned>(xl >> 1);  // register k of the partner block is k ^ this
  const bool swap_in_reg = (xl & 1) != 0;
  const std::size_t m = g.m;
  const std::uint64_t* const z = g.z;
  const unsigned char* const imag = g.imag;
  for (std::size_t zi = 0; zi < m; ++zi) {
    double* a = acc + zi * kScratchPerString;
    for (std::size_t p = 0; p < 16; ++p) a[p] = 0.0;
    sign_pattern(z[zi], reinterpret_cast<std::uint64_t*>(a + 16));
  }
  const double* base = reinterpret_cast<const double*>(psi);
  for (std::uint64_t t = 0; t < count; t += 8) {
    const std::uint64_t i = rep_index(g, r0 + t);
    const std::uint64_t p = i ^ xhi;
    __m256d re[4], im[4];
    for (unsigned k = 0; k < 4; ++k) {
      const __m256d a = _mm256_loadu_pd(base + 2 * i + 4 * k);
      __m256d b = _mm256_loadu_pd(base + 2 * p + 4 * (k ^ reg_xor));
      if (swap_in_reg) b = _mm256_permute4x64_pd(b, 0x4E);
      re[k] = g.any_real ? _mm256_mul_pd(a, b) : _mm256_setzero_pd();
      im[k] = g.any_imag ? _mm256_mul_pd(a, _mm256_permute_pd(b, 0x5)) : _mm256_setzero_pd();
    }
    for (std::size_t zi = 0; zi < m; ++zi) {
      double* a = acc + zi * kScratchPerString;
      const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(parity_sign(i & z[zi])));
      for (unsigned k = 0; k < 4; ++k) {
        const __m256i sign = _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(a + 16 + 4 * k)), flip);
        const __m256d v = _mm256_castsi256_pd(_mm256_xor_si256(_mm256_castpd_si256(imag[zi] ? im[k] : re[k]), sign));
        _mm256_store_pd(a + 4 * k, _mm256_add_pd(_mm256_load_pd(a + 4 * k), v));
      }
    }
  }
  finish_leaf(acc, m, out);
}

#endif  // VORN_OBS_X86

// One term of (H psi) over a block of outputs j0 .. j0 + count (a multiple
// of 8, j0 too): acc[u] += c * (-i)^k * (-1)^{|j&z|} * psi_{j^x}, the phase
// a swap of parts and sign flips. Per output exactly the scalar operations:
// flip the signs, multiply each part by c, add.
struct VarianceTerm {
  std::uint64_t x, z;
  double c;
  unsigned swap;                   // k odd: the parts trade places
  std::uint64_t sign_re, sign_im;  // sign bits of (-i)^k on each part
};

template <class C>
using VarianceKernelOf = void (*)(const C* psi, Complex* acc, std::uint64_t j0, std::uint64_t count,
                                  const VarianceTerm& t);
using VarianceKernel = VarianceKernelOf<Complex>;

template <class C>
void scalar_variance_term(const C* psi, Complex* acc, std::uint64_t j0, std::uint64_t count, const VarianceTerm& t) {
  std::uint64_t pattern[8];
  for (std::uint64_t u = 0; u < 8; ++u) pattern[u] = parity_sign(u & t.z & 7);
  const std::uint64_t xl = t.x & 7;
  for (std::uint64_t u0 = 0; u0 < count; u0 += 8) {
    const std::uint64_t j = j0 + u0;
    const std::uint64_t flip = parity_sign(j & t.z);
    const C* in = psi + ((j ^ t.x) & ~std::uint64_t{7});
    for (std::uint64_t u = 0; u < 8; ++u) {
      const Complex wide = to_double(in[u ^ xl]);
      const double* parts = &wide.re;
      acc[u0 + u].re += t.c * flip_sign(parts[t.swap], t.sign_re ^ flip ^ pattern[u]);
      acc[u0 + u].im += t.c * flip_sign(parts[1 - t.swap], t.sign_im ^ flip ^ pattern[u]);
    }
  }
}

#ifdef VORN_OBS_X86
__attribute__((target("avx512f"))) void avx512_variance_term(const Complex* psi, Complex* acc, std::uint64_t j0,
                                                             std::uint64_t count, const VarianceTerm& t) {
  const std::uint64_t xl = t.x & 7;
  const std::int64_t q = static_cast<std::int64_t>(xl & 3);
  const __m512i perm = _mm512_setr_epi64(2 * (0 ^ q), 2 * (0 ^ q) + 1, 2 * (1 ^ q), 2 * (1 ^ q) + 1, 2 * (2 ^ q),
                                         2 * (2 ^ q) + 1, 2 * (3 ^ q), 2 * (3 ^ q) + 1);
  // Sign words at (output u, part p): the phase's sign of p and u's low-bit parity.
  alignas(64) std::uint64_t words[16];
  for (std::uint64_t w = 0; w < 16; ++w) words[w] = ((w & 1) ? t.sign_im : t.sign_re) ^ parity_sign((w / 2) & t.z & 7);
  const __m512i pat0 = _mm512_load_si512(words), pat1 = _mm512_load_si512(words + 8);
  const __m512d c = _mm512_set1_pd(t.c);
  double* out = reinterpret_cast<double*>(acc);
  const double* base = reinterpret_cast<const double*>(psi);
  for (std::uint64_t u0 = 0; u0 < count; u0 += 8) {
    const std::uint64_t j = j0 + u0;
    const __m512i flip = _mm512_set1_epi64(static_cast<long long>(parity_sign(j & t.z)));
    const std::uint64_t p = (j ^ t.x) & ~std::uint64_t{7};
    __m512d b0 = _mm512_loadu_pd(base + 2 * p), b1 = _mm512_loadu_pd(base + 2 * p + 8);
    if (xl & 4) std::swap(b0, b1);
    if (q != 0) b0 = _mm512_permutexvar_pd(perm, b0), b1 = _mm512_permutexvar_pd(perm, b1);
    if (t.swap) b0 = _mm512_permute_pd(b0, 0x55), b1 = _mm512_permute_pd(b1, 0x55);
    b0 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(b0), _mm512_xor_si512(pat0, flip)));
    b1 = _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(b1), _mm512_xor_si512(pat1, flip)));
    double* a = out + 2 * u0;
    _mm512_storeu_pd(a, _mm512_add_pd(_mm512_loadu_pd(a), _mm512_mul_pd(c, b0)));
    _mm512_storeu_pd(a + 8, _mm512_add_pd(_mm512_loadu_pd(a + 8), _mm512_mul_pd(c, b1)));
  }
}
#endif

// The kernels of the active instruction set (vorn/core/isa.hpp); a set
// without its own kernel here takes the next narrower one.
VarianceKernel choose_variance_kernel() {
#ifdef VORN_OBS_X86
  if (active_isa() == Isa::Avx512) return avx512_variance_term;
#endif
  return scalar_variance_term<Complex>;
}

LeafKernel choose_kernel() {
#ifdef VORN_OBS_X86
  switch (active_isa()) {
    case Isa::Avx512:
      return avx512_leaf;
    case Isa::Avx2:
      return avx2_leaf;
    case Isa::Scalar:
      break;
  }
#endif
  return scalar_leaf<Complex>;
}

template <class C>
unsigned qubits_of(std::span<const C> state) {
  const std::uint64_t size = state.size();
  if (size < 2 || !std::has_single_bit(size)) {
    vorn::fatal(messages::fill(messages::kStateLength, size));
  }
  return static_cast<unsigned>(std::countr_zero(size));
}

void check_mask(std::uint64_t mask, unsigned n, const char* what, std::size_t term, std::size_t obs) {
  if (n < 64 && (mask >> n) != 0) {
    vorn::fatal(messages::fill(messages::kMaskOutOfRange, what, mask, term, obs, n, n));
  }
}

// Tiles of 2^17 amplitudes (2 MiB): the two tiles one x connects, for each
// of a few threads, stay well inside a shared last-level cache, and a 20-qubit
// state still splits into dozens of work items. (Measured: 2^16 .. 2^18 about
// equal at 20 and 22 qubits, larger tiles slower.)
constexpr unsigned kDefaultTileBits = 17;
// Leaf values held at once: strings are evaluated in batches of this budget.
constexpr std::uint64_t kLeafValueBudget = std::uint64_t{1} << 22;

// Evaluates the groups [first, last) (sorted by x) into their sums.
template <class C>
void run_groups(const C* psi, unsigned n, unsigned tile_bits, LeafKernelOf<C> kernel, Group* first, Group* last,
                RunControl* control) {
  struct Item {
    Group* begin;
    Group* end;
    std::uint64_t tile;
  };
  std::vector<Item> items;
  const unsigned L = tile_bits;
  for (Group* g = first; g != last;) {
    const std::uint64_t xh = g->x >> L;
    Group* run_end = g;
    while (run_end != last && (run_end->x >> L) == xh) ++run_end;
    const std::uint64_t tiles = std::uint64_t{1} << (n - L);
    for (std::uint64_t t = 0; t < tiles; ++t) {
      // A tile pair is visited from its lower tile (bit of xh's top clear).
      if (xh != 0 && (t & (std::uint64_t{1} << (63 - std::countl_zero(xh)))) != 0) continue;
      items.push_back({g, run_end, t});
    }
    g = run_end;
  }
  std::size_t max_m = 0;
  for (Group* g = first; g != last; ++g) max_m = std::max(max_m, g->m);
  auto body = [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<double> raw(max_m * kScratchPerString + 8);
    double* acc = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(raw.data()) + 63) & ~std::uintptr_t{63});
    for (std::uint64_t it = begin; it < end; ++it) {
      const Item& item = items[it];
      for (Group* g = item.begin; g != item.end; ++g) {
        std::uint64_t r_begin, r_count;
        if (g->x == 0) {
          r_begin = item.tile << L, r_count = std::uint64_t{1} << L;
        } else if (g->h < L) {
          r_begin = item.tile << (L - 1), r_count = std::uint64_t{1} << (L - 1);
        } else {
          const unsigned hb = g->h - L;  // bit of the tile number that x flips last
          const std::uint64_t low = (std::uint64_t{1} << hb) - 1;
          r_begin = (((item.tile >> (hb + 1)) << hb) | (item.tile & low)) << L;
          r_count = std::uint64_t{1} << L;
        }
        for (std::uint64_t r = r_begin; r < r_begin + r_count; r += kReduceLeafItems) {
          const std::uint64_t count = std::min(kReduceLeafItems, r_begin + r_count - r);
          if (control != nullptr) control->check();
          kernel(psi, *g, r, count, g->sums + (r >> kReduceLeafBits) * 2 * g->m, acc);
          if (control != nullptr) control->advance(1);
        }
      }
    }
  };
  parallel_for_each_item(items.size(), body);
}

// The vector kernels read double amplitudes; a single-precision state takes
// the scalar reference (the same bits on every instruction set).
LeafKernelOf<Complex> leaf_kernel_for(const Complex*) { return choose_kernel(); }
LeafKernelOf<SingleComplex> leaf_kernel_for(const SingleComplex*) { return scalar_leaf<SingleComplex>; }
VarianceKernelOf<Complex> variance_kernel_for(const Complex*) { return choose_variance_kernel(); }
VarianceKernelOf<SingleComplex> variance_kernel_for(const SingleComplex*) {
  return scalar_variance_term<SingleComplex>;
}

template <class C>
std::vector<double> expectations_of(std::span<const C> state, std::span<const std::uint64_t> x_masks,
                                    std::span<const std::uint64_t> z_masks, const ObservableOptions& options) {
  const unsigned n = qubits_of(state);
  if (x_masks.size() != z_masks.size()) {
    vorn::fatal(messages::fill(messages::kMaskCounts, x_masks.size(), z_masks.size()));
  }
  const std::size_t count = x_masks.size();
  for (std::size_t s = 0; s < count; ++s) {
    check_mask(x_masks[s], n, "x", s, 0);
    check_mask(z_masks[s], n, "z", s, 0);
  }
  // Distinct strings, sorted by (x, z): equal x are adjacent and form groups.
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return x_masks[a] != x_masks[b] ? x_masks[a] < x_masks[b] : z_masks[a] < z_masks[b];
  });
  std::vector<std::uint64_t> ux, uz;
  std::vector<std::size_t> string_of(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t s = order[k];
    if (ux.empty() || ux.back() != x_masks[s] || uz.back() != z_masks[s]) ux.push_back(x_masks[s]), uz.push_back(z_masks[s]);
    string_of[s] = ux.size() - 1;
  }
  const std::size_t distinct = ux.size();
  std::vector<unsigned char> imag(distinct);
  for (std::size_t d = 0; d < distinct; ++d) imag[d] = (std::popcount(ux[d] & uz[d]) & 1) != 0;

  const std::uint64_t size = state.size();
  const unsigned L = n <= 13 ? n : std::clamp(options.tile_bits == 0 ? kDefaultTileBits : options.tile_bits, 13u, n);
  const LeafKernelOf<C> kernel = leaf_kernel_for(state.data());

  // Groups: runs of one x, split so no group alone exceeds the leaf budget.
  std::vector<Group> groups;
  for (std::size_t d = 0; d < distinct;) {
    const std::uint64_t x = ux[d];
    const std::uint64_t reps = x == 0 ? size : size / 2;
    const std::uint64_t leaves = reduce_leaf_count(reps);
    const std::size_t max_m = static_cast<std::size_t>(std::max<std::uint64_t>(1, kLeafValueBudget / (2 * leaves)));
    std::size_t e = d;
    bool any_real = false, any_imag = false;
    for (; e < distinct && ux[e] == x && e - d < max_m; ++e) (imag[e] ? any_imag : any_real) = true;
    const unsigned h = x == 0 ? 0u : static_cast<unsigned>(63 - std::countl_zero(x));
    groups.push_back({x, h, uz.data() + d, imag.data() + d, e - d, any_real, any_imag, reps, leaves, nullptr});
    d = e;
  }
  if (RunControl* control = options.control) {
    std::uint64_t leaves = 0;
    for (const Group& g : groups) leaves += g.leaves;
    control->set_total(control->total() + leaves);
  }
  std::vector<double> values(distinct);
  std::vector<double> sums;
  for (std::size_t gb = 0; gb < groups.size();) {
    // A batch of groups whose leaf values fit the budget together.
    auto values_of = [](const Group& g) { return 2 * g.leaves * g.m; };
    std::uint64_t need = values_of(groups[gb]);
    std::size_t ge = gb + 1;
    while (ge < groups.size() && need + values_of(groups[ge]) <= kLeafValueBudget) need += values_of(groups[ge++]);
    sums.assign(need, 0.0);
    double* slot = sums.data();
    for (std::size_t g = gb; g < ge; ++g) groups[g].sums = slot, slot += values_of(groups[g]);
    run_groups(state.data(), n, L, kernel, groups.data() + gb, groups.data() + ge, options.control);
    for (std::size_t g = gb; g < ge; ++g) {
      const Group& G = groups[g];
      const std::size_t d0 = static_cast<std::size_t>(G.z - uz.data());
      for (std::size_t zi = 0; zi < G.m; ++zi) {
        const double s1 = combine_leaves(G.sums + 2 * zi, G.leaves, 2 * G.m);
        const double s2 = combine_leaves(G.sums + 2 * zi + 1, G.leaves, 2 * G.m);
        if (G.x == 0) {
          values[d0 + zi] = s1 + s2;
        } else {
          const int k = std::popcount(G.x & G.z[zi]) & 3;
          const double total = (k & 1) ? s1 - s2 : s1 + s2;
          values[d0 + zi] = k < 2 ? total + total : -(total + total);
        }
      }
    }
    gb = ge;
  }
  std::vector<double> out(count);
  for (std::size_t s = 0; s < count; ++s) out[s] = values[string_of[s]];
  return out;
}

void check_observable(const PauliSumView& o, std::size_t index) {
  if (o.x_masks.size() != o.z_masks.size() || o.x_masks.size() != o.coeffs.size()) {
    vorn::fatal(messages::fill(messages::kObservableLengths, index, o.x_masks.size(), o.z_masks.size(),
                               o.coeffs.size()));
  }
}

template <class C>
std::vector<Complex> expectation_values_of(std::span<const C> state, std::span<const PauliSumView> observables,
                                           const ObservableOptions& options) {
  const unsigned n = qubits_of(state);
  std::vector<std::uint64_t> xs, zs;
  for (std::size_t o = 0; o < observables.size(); ++o) {
    const PauliSumView& obs = observables[o];
    check_observable(obs, o);
    for (std::size_t t = 0; t < obs.x_masks.size(); ++t) {
      check_mask(obs.x_masks[t], n, "x", t, o);
      check_mask(obs.z_masks[t], n, "z", t, o);
    }
    xs.insert(xs.end(), obs.x_masks.begin(), obs.x_masks.end());
    zs.insert(zs.end(), obs.z_masks.begin(), obs.z_masks.end());
  }
  return sum_terms(observables, expectations_of(state, std::span<const std::uint64_t>(xs),
                                                std::span<const std::uint64_t>(zs), options));
}

}  // namespace

std::vector<Complex> sum_terms(std::span<const PauliSumView> observables, std::span<const double> e) {
  std::vector<Complex> out(observables.size(), Complex{0.0, 0.0});
  std::size_t s = 0;
  for (std::size_t o = 0; o < observables.size(); ++o) {
    Complex sum{0.0, 0.0};
    for (const Complex& c : observables[o].coeffs) {
      sum = Complex{sum.re + c.re * e[s], sum.im + c.im * e[s]};
      ++s;
    }
    out[o] = sum;
  }
  return out;
}

namespace {

template <class C>
std::vector<double> variances_of(std::span<const C> state, std::span<const PauliSumView> observables,
                                 std::span<const double> means, const ObservableOptions& options) {
  const unsigned n = qubits_of(state);
  if (means.size() != observables.size()) {
    vorn::fatal(messages::fill(messages::kMeansCount, means.size(), observables.size()));
  }
  for (std::size_t o = 0; o < observables.size(); ++o) {
    const PauliSumView& obs = observables[o];
    check_observable(obs, o);
    for (std::size_t t = 0; t < obs.x_masks.size(); ++t) {
      check_mask(obs.x_masks[t], n, "x", t, o);
      check_mask(obs.z_masks[t], n, "z", t, o);
      if (!(obs.coeffs[t].im == 0.0)) {
        vorn::fatal(messages::fill(messages::kVarianceComplexCoeff, t, o, std::to_string(obs.coeffs[t].im)));
      }
    }
  }
  const C* psi = state.data();
  const VarianceKernelOf<C> term_kernel = variance_kernel_for(psi);
  std::vector<double> out(observables.size());
  RunControl* const control = options.control;
  if (control != nullptr) control->set_total(control->total() + observables.size() * reduce_leaf_count(state.size()));
  for (std::size_t o = 0; o < observables.size(); ++o) {
    const PauliSumView& obs = observables[o];
    const double mean = means[o];
    auto leaf = [&](std::uint64_t j0, std::uint64_t count, double* result) {
      if (control != nullptr) control->check();
      // (H psi)_j for the leaf's outputs, terms in order: each term adds
      // c * (-i)^k * (-1)^{|j&z|} * psi_{j^x}; the phase is a swap and signs.
      // A buffer per leaf, not per thread: a thread_local vector in this
      // dlopen'ed module lives in dynamic TLS, whose walk crashes
      // LeakSanitizer's tracer at exit (seen with the pool's workers).
      std::vector<Complex> acc(count, Complex{0.0, 0.0});
      constexpr std::uint64_t kSign = 0x8000000000000000ull;
      for (std::size_t t = 0; t < obs.x_masks.size(); ++t) {
        const int k = std::popcount(obs.x_masks[t] & obs.z_masks[t]) & 3;
        // (-i)^k b: k=0 (re, im), 1 (im, -re), 2 (-re, -im), 3 (-im, re).
        const VarianceTerm term{obs.x_masks[t], obs.z_masks[t], obs.coeffs[t].re, static_cast<unsigned>(k & 1),
                                (k == 2 || k == 3) ? kSign : 0, (k == 1 || k == 2) ? kSign : 0};
        if (count % 8 == 0) {
          term_kernel(psi, acc.data(), j0, count, term);
          continue;
        }
        for (std::uint64_t u = 0; u < count; ++u) {  // fewer than 8 amplitudes in all
          const std::uint64_t flip = parity_sign((j0 + u) & term.z);
          const Complex wide = to_double(psi[(j0 + u) ^ term.x]);
          const double* parts = &wide.re;
          acc[u].re += term.c * flip_sign(parts[term.swap], term.sign_re ^ flip);
          acc[u].im += term.c * flip_sign(parts[1 - term.swap], term.sign_im ^ flip);
        }
      }
      double lanes[kReduceLanes] = {};
      for (std::uint64_t u = 0; u < count; ++u) {
        const Complex a = to_double(psi[j0 + u]);
        lanes[u % kReduceLanes] += norm2(Complex{acc[u].re - mean * a.re, acc[u].im - mean * a.im});
      }
      result[0] = combine_lanes(lanes);
      if (control != nullptr) control->advance(1);
    };
    reduce_sum(state.size(), 1, leaf, &out[o]);
  }
  return out;
}

}  // namespace

std::vector<double> pauli_expectations(std::span<const Complex> state, std::span<const std::uint64_t> x_masks,
                                       std::span<const std::uint64_t> z_masks, const ObservableOptions& options) {
  return expectations_of(state, x_masks, z_masks, options);
}

std::vector<Complex> expectation_values(std::span<const Complex> state, std::span<const PauliSumView> observables,
                                        const ObservableOptions& options) {
  return expectation_values_of(state, observables, options);
}

std::vector<Complex> expectation_values(std::span<const SingleComplex> state,
                                        std::span<const PauliSumView> observables, const ObservableOptions& options) {
  return expectation_values_of(state, observables, options);
}

std::vector<double> variances(std::span<const Complex> state, std::span<const PauliSumView> observables,
                              std::span<const double> means, const ObservableOptions& options) {
  return variances_of(state, observables, means, options);
}

std::vector<double> variances(std::span<const SingleComplex> state, std::span<const PauliSumView> observables,
                              std::span<const double> means, const ObservableOptions& options) {
  return variances_of(state, observables, means, options);
}


namespace {

// Amplitudes per task of apply_pauli_sum's loop.
constexpr std::uint64_t kApplyGrain = std::uint64_t{1} << 12;

// i^k for k mod 4.
Complex i_power(unsigned k) {
  switch (k & 3) {
    case 0:
      return {1.0, 0.0};
    case 1:
      return {0.0, 1.0};
    case 2:
      return {-1.0, 0.0};
    default:
      return {0.0, -1.0};
  }
}

}  // namespace

void apply_pauli_sum(const StateVector& psi, const PauliSumView& h, StateVector& out) {
  const Complex* src = psi.data();
  Complex* dst = out.data();
  const std::size_t terms = h.x_masks.size();
  std::vector<Complex> phase(terms);
  for (std::size_t t = 0; t < terms; ++t) {
    phase[t] = cmul(h.coeffs[t], i_power(static_cast<unsigned>(std::popcount(h.x_masks[t] & h.z_masks[t]))));
  }
  // Terms in order for each amplitude; a chunk takes one term at a time, so
  // each term reads one run of the state instead of all terms at once.
  auto body = [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) dst[i] = {0.0, 0.0};
    for (std::size_t t = 0; t < terms; ++t) {
      const std::uint64_t x = h.x_masks[t], z = h.z_masks[t];
      const Complex f = phase[t];
      for (std::uint64_t i = b; i < e; ++i) {
        const std::uint64_t j = i ^ x;
        const Complex v = cmul(f, src[j]);
        Complex& sum = dst[i];
        sum = (std::popcount(z & j) & 1) ? Complex{sum.re - v.re, sum.im - v.im} : Complex{sum.re + v.re, sum.im + v.im};
      }
    }
  };
  parallel_for(psi.size(), kApplyGrain, body);
}

PauliSums::PauliSums(std::span<const PauliSumView> observables) {
  for (std::size_t o = 0; o < observables.size(); ++o) {
    check_observable(observables[o], o);
    x_.insert(x_.end(), observables[o].x_masks.begin(), observables[o].x_masks.end());
    z_.insert(z_.end(), observables[o].z_masks.begin(), observables[o].z_masks.end());
    coeffs_.insert(coeffs_.end(), observables[o].coeffs.begin(), observables[o].coeffs.end());
  }
  std::size_t first = 0;
  for (const PauliSumView& obs : observables) {
    const std::size_t count = obs.x_masks.size();
    views_.push_back({std::span<const std::uint64_t>(x_).subspan(first, count),
                      std::span<const std::uint64_t>(z_).subspan(first, count),
                      std::span<const Complex>(coeffs_).subspan(first, count)});
    first += count;
  }
}

std::optional<std::string> PauliSums::non_hermitian() const {
  for (std::size_t o = 0; o < views_.size(); ++o) {
    for (std::size_t t = 0; t < views_[o].coeffs.size(); ++t) {
      const double im = views_[o].coeffs[t].im;
      if (!(im == 0.0)) return messages::fill(messages::kNotHermitian, t, o, std::to_string(im));
    }
  }
  return std::nullopt;
}

std::vector<Complex> PauliSums::expectations(std::span<const Complex> state, const ObservableOptions& options) const {
  return expectation_values(state, views_, options);
}

std::vector<Complex> PauliSums::expectations(std::span<const SingleComplex> state,
                                             const ObservableOptions& options) const {
  return expectation_values(state, views_, options);
}

std::vector<double> PauliSums::variances(std::span<const Complex> state, std::span<const double> means,
                                         const ObservableOptions& options) const {
  return sim::variances(state, views_, means, options);
}

std::vector<double> PauliSums::variances(std::span<const SingleComplex> state, std::span<const double> means,
                                         const ObservableOptions& options) const {
  return sim::variances(state, views_, means, options);
}

void PauliSums::apply(std::size_t o, const StateVector& psi, StateVector& out) const {
  apply_pauli_sum(psi, views_.at(o), out);
}

PauliStrings PauliSums::strings() const { return PauliStrings{x_, z_}; }

std::vector<Complex> PauliSums::from_strings(std::span<const double> values) const {
  if (values.size() != x_.size()) vorn::fatal(messages::fill(messages::kStringValues, values.size(), x_.size()));
  return sum_terms(views_, values);
}

}  // namespace vorn::sim

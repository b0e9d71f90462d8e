// Adjoint-method gradients of parameterised programs (see adjoint.hpp).
#include "vorn/simulator/adjoint.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <tuple>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/isa.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/sweep.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORN_ADJOINT_X86 1
#endif

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// Amplitudes per task of the element-wise loops below.
constexpr U kGrain = U{1} << 12;

constexpr double kPi = 3.141592653589793;
// The shift rule's weights for theta + pi/2, 3pi/2, 5pi/2, 7pi/2:
// (2 + sqrt 2)/8, -(2 - sqrt 2)/8, (2 - sqrt 2)/8, -(2 + sqrt 2)/8.
constexpr double kWide = 0.42677669529663688;
constexpr double kNarrow = 0.073223304703363121;
constexpr double kShiftWeights[4] = {kWide, -kNarrow, kNarrow, -kWide};

Complex conj(const Complex& z) { return {z.re, -z.im}; }

// Bit mask of the controls and the values they must have.
std::pair<U, U> control_condition(const CompiledGate& g) {
  U mask = 0, want = 0;
  for (std::size_t k = 0; k < g.controls.size(); ++k) {
    mask |= U{1} << g.controls[k];
    if ((g.control_values >> k) & 1) want |= U{1} << g.controls[k];
  }
  return {mask, want};
}

// A complex number of doubles, or of V2 / V4: two or four numbers side by
// side, each lane seeing exactly the operations a Complex would (no FMA:
// -ffp-contract=off, and the AVX2 variant is target("avx2") only).
using V2 = double __attribute__((vector_size(16)));
// V4 values pass only between always-inlined functions of the AVX2 variant,
// never across a call, so the ABI note for them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
using V4 = double __attribute__((vector_size(32)));
template <class T>
struct Cx {
  T re, im;
};

// cmul(m, a) with m the same in every lane.
template <class T>
[[gnu::always_inline]] inline Cx<T> mul(const Complex& m, const Cx<T>& a) {
  return {m.re * a.re - m.im * a.im, m.re * a.im + m.im * a.re};
}

// (m a) for a pair: a diagonal, or 2x2 row-major (each row summed from +0.0).
template <bool Diagonal, class T>
[[gnu::always_inline]] inline std::pair<Cx<T>, Cx<T>> times2(const Complex* m, Cx<T> a0, Cx<T> a1) {
  if constexpr (Diagonal) {
    return {mul(m[0], a0), mul(m[1], a1)};
  } else {
    const Cx<T> t00 = mul(m[0], a0), t01 = mul(m[1], a1), t10 = mul(m[2], a0), t11 = mul(m[3], a1);
    return {Cx<T>{(0.0 + t00.re) + t01.re, (0.0 + t00.im) + t01.im},
            Cx<T>{(0.0 + t10.re) + t11.re, (0.0 + t10.im) + t11.im}};
  }
}

// One item with one derivative (matrix dm) and one lambda: psi's pair back
// through the gate (m), Re <lambda| D psi> over the pair (returned), then
// lambda's pair back through the gate.
template <bool Diagonal, class T>
[[gnu::always_inline]] inline T backward_item(const Complex* m, const Complex* dm, Cx<T>& a0, Cx<T>& a1, Cx<T>& l0,
                                              Cx<T>& l1) {
  const auto [b0, b1] = times2<Diagonal>(m, a0, a1);
  const auto [d0, d1] = times2<Diagonal>(dm, b0, b1);
  const T sum = (0.0 + (l0.re * d0.re + l0.im * d0.im)) + (l1.re * d1.re + l1.im * d1.im);
  const auto [c0, c1] = times2<Diagonal>(m, l0, l1);
  a0 = b0;
  a1 = b1;
  l0 = c0;
  l1 = c1;
  return sum;
}

// Amplitudes v[x], v[x+1], ... (W of them, W the lanes of V) as one Cx<V>, and back.
template <class V>
[[gnu::always_inline]] inline Cx<V> load_run(const Complex* v, U x) {
  V a, b;
  std::memcpy(&a, v + x, sizeof a);
  std::memcpy(&b, v + x + sizeof(V) / 16, sizeof b);
  if constexpr (sizeof(V) == 16) {
    return {__builtin_shufflevector(a, b, 0, 2), __builtin_shufflevector(a, b, 1, 3)};
  } else {
    return {__builtin_shufflevector(a, b, 0, 2, 4, 6), __builtin_shufflevector(a, b, 1, 3, 5, 7)};
  }
}
template <class V>
[[gnu::always_inline]] inline void store_run(Complex* v, U x, const Cx<V>& c) {
  V a, b;
  if constexpr (sizeof(V) == 16) {
    a = __builtin_shufflevector(c.re, c.im, 0, 2);
    b = __builtin_shufflevector(c.re, c.im, 1, 3);
  } else {
    a = __builtin_shufflevector(c.re, c.im, 0, 4, 1, 5);
    b = __builtin_shufflevector(c.re, c.im, 2, 6, 3, 7);
  }
  std::memcpy(v + x, &a, sizeof a);
  std::memcpy(v + x + sizeof(V) / 16, &b, sizeof b);
}
// Amplitudes v[x[0]], v[x[1]], ... wherever they are.
template <class V>
[[gnu::always_inline]] inline Cx<V> load_at(const Complex* v, const U* x) {
  Cx<V> c;
  for (std::size_t w = 0; w < sizeof(V) / 8; ++w) c.re[w] = v[x[w]].re, c.im[w] = v[x[w]].im;
  return c;
}
template <class V>
[[gnu::always_inline]] inline void store_at(Complex* v, const U* x, const Cx<V>& c) {
  for (std::size_t w = 0; w < sizeof(V) / 8; ++w) v[x[w]] = {c.re[w], c.im[w]};
}

// The one-target step with one derivative and one lambda, no controls, over
// items [first, first + len) (len a multiple of the eight lanes): W = lanes
// of V items side by side, item i in lane (i - first) % 8 of the tree as the
// scalar loop has it. Items i .. i+W-1 are W consecutive pairs when the
// target is at or above log2 W (Runs), else gathered one by one.
template <bool Diagonal, class V, bool Runs>
[[gnu::always_inline]] inline void backward_items(const Complex* m, const Complex* dm, Complex* p, Complex* l, U pos,
                                                  U first, U len, double* lanes) {
  constexpr std::size_t W = sizeof(V) / 8, kSteps = kReduceLanes / W;
  const U low = (U{1} << pos) - 1, step = U{1} << pos;
  auto load = [](const Complex* v, const U* x) {
    if constexpr (Runs) {
      return load_run<V>(v, x[0]);
    } else {
      return load_at<V>(v, x);
    }
  };
  auto store = [](Complex* v, const U* x, const Cx<V>& c) {
    if constexpr (Runs) {
      store_run(v, x[0], c);
    } else {
      store_at(v, x, c);
    }
  };
  V acc[kSteps] = {};
  for (U i = first; i < first + len; i += kReduceLanes) {
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kSteps; ++q) {
      const U j = i + q * W;
      U x0[W], x1[W];  // with Runs only the first of each is read
      for (std::size_t w = 0; w < W; ++w) {
        x0[w] = (((j + w) >> pos) << (pos + 1)) | ((j + w) & low);
        x1[w] = x0[w] | step;
      }
      Cx<V> a0 = load(p, x0), a1 = load(p, x1), l0 = load(l, x0), l1 = load(l, x1);
      acc[q] += backward_item<Diagonal>(m, dm, a0, a1, l0, l1);
      store(p, x0, a0);
      store(p, x1, a1);
      store(l, x0, l0);
      store(l, x1, l1);
    }
  }
  for (std::size_t q = 0; q < kSteps; ++q)
    for (std::size_t w = 0; w < W; ++w) lanes[q * W + w] = acc[q][w];
}

template <bool Diagonal>
void backward_items_sse2(const Complex* m, const Complex* dm, Complex* p, Complex* l, U pos, U first, U len,
                         double* lanes) {
  if (pos >= 1) return backward_items<Diagonal, V2, true>(m, dm, p, l, pos, first, len, lanes);
  backward_items<Diagonal, V2, false>(m, dm, p, l, pos, first, len, lanes);
}

#ifdef VORN_ADJOINT_X86
template <bool Diagonal>
__attribute__((target("avx2"))) void backward_items_avx2(const Complex* m, const Complex* dm, Complex* p, Complex* l,
                                                         U pos, U first, U len, double* lanes) {
  if (pos >= 2) return backward_items<Diagonal, V4, true>(m, dm, p, l, pos, first, len, lanes);
  backward_items<Diagonal, V4, false>(m, dm, p, l, pos, first, len, lanes);
}
#endif

// The vector loop of the active instruction set (vorn/core/isa.hpp): the
// same bits on every one.
template <bool Diagonal>
void backward_items_active(const Complex* m, const Complex* dm, Complex* p, Complex* l, U pos, U first, U len,
                           double* lanes) {
#ifdef VORN_ADJOINT_X86
  if (active_isa() != Isa::Scalar) return backward_items_avx2<Diagonal>(m, dm, p, l, pos, first, len, lanes);
#endif
  backward_items_sse2<Diagonal>(m, dm, p, l, pos, first, len, lanes);
}

// How many target bits a gate's groups of amplitudes run over.
std::size_t mixed_targets(const CompiledGate& g) {
  return g.shape == Shape::Diagonal || g.shape == Shape::Dense ? g.targets.size()
         : g.shape == Shape::TwoQubit                          ? 2
                                                               : 1;
}

// One step back through a parameterised gate over any range of its items
// (see backward_step): item i is the group of amplitudes whose target bits
// run over all values and whose other bits spell i. Set up once per gate;
// leaf() may run on any thread, on disjoint leaves at once.
class BackwardStep {
 public:
  BackwardStep(StateVector& psi, const CompiledGate& inverse, std::vector<CompiledGate> derivatives,
               std::span<StateVector* const> lambdas)
      : psi_(psi.data()), g_(inverse), derivatives_(std::move(derivatives)) {
    const CompiledGate& g = inverse;
    if (g.shape == Shape::ControlledSwap) vorn::fatal(messages::fill(messages::kShiftedShape, "cswap"));
    for (const CompiledGate& d : derivatives_) {
      if (d.shape != g.shape || d.targets != g.targets || d.controls != g.controls ||
          d.control_values != g.control_values || d.matrix.size() != g.matrix.size()) {
        vorn::fatal(messages::fill(messages::kShiftedShape, "derivative"));
      }
    }
    diagonal_ = g.shape == Shape::Diagonal;
    k_ = mixed_targets(g);
    dim_ = U{1} << k_;
    offset_.assign(dim_, 0);
    for (U l = 0; l < dim_; ++l)
      for (std::size_t j = 0; j < k_; ++j)
        if ((l >> j) & 1) offset_[l] |= U{1} << g.targets[j];
    positions_.assign(g.targets.begin(), g.targets.begin() + static_cast<std::ptrdiff_t>(k_));
    std::sort(positions_.begin(), positions_.end());
    std::tie(mask_, want_) = control_condition(g);
    for (StateVector* l : lambdas) lambdas_.push_back(l->data());
    items_ = psi.size() >> k_;
  }

  std::size_t targets() const noexcept { return k_; }
  U items() const noexcept { return items_; }
  std::size_t width() const noexcept { return derivatives_.size() * lambdas_.size(); }

  // The width leaf values of items [first, first + len) (one leaf of the
  // fixed tree), each combined from its lanes, into result.
  void leaf(U first, U len, double* result) const {
    if (k_ == 1) {
      if (diagonal_) {
        leaf1<true>(first, len, result);
      } else {
        leaf1<false>(first, len, result);
      }
      return;
    }
    leaf_any(first, len, result);
  }

 private:
  // out = m in (m: dim x dim row-major, or its diagonal).
  void times(const std::vector<Complex>& m, const Complex* in, Complex* out) const {
    for (U r = 0; r < dim_; ++r) {
      if (diagonal_) {
        out[r] = cmul(m[r], in[r]);
        continue;
      }
      Complex acc{0.0, 0.0};
      for (U c = 0; c < dim_; ++c) {
        const Complex t = cmul(m[r * dim_ + c], in[c]);
        acc = {acc.re + t.re, acc.im + t.im};
      }
      out[r] = acc;
    }
  }

  // A group whose controls are not met is left as it is (the identity
  // block) and adds 0.
  void leaf_any(U first, U len, double* result) const {
    const std::size_t slots = derivatives_.size(), count = lambdas_.size(), width = slots * count;
    std::vector<double> lanes(width * kReduceLanes, 0.0);
    std::vector<Complex> in(dim_), back(dim_), image(dim_ * slots);
    for (U i = first; i < first + len; ++i) {
      U base = i;
      for (U pos : positions_) base = ((base >> pos) << (pos + 1)) | (base & ((U{1} << pos) - 1));
      if ((base & mask_) != want_) continue;
      Complex* p = psi_;
      for (U r = 0; r < dim_; ++r) in[r] = p[base | offset_[r]];
      times(g_.matrix, in.data(), back.data());
      for (U r = 0; r < dim_; ++r) p[base | offset_[r]] = back[r];
      for (std::size_t s = 0; s < slots; ++s) times(derivatives_[s].matrix, back.data(), image.data() + s * dim_);
      for (std::size_t o = 0; o < count; ++o) {
        Complex* l = lambdas_[o];
        for (U r = 0; r < dim_; ++r) in[r] = l[base | offset_[r]];
        for (std::size_t s = 0; s < slots; ++s) {
          double sum = 0.0;
          for (U r = 0; r < dim_; ++r) sum += in[r].re * image[s * dim_ + r].re + in[r].im * image[s * dim_ + r].im;
          lanes[(s * count + o) * kReduceLanes + (i - first) % kReduceLanes] += sum;
        }
        times(g_.matrix, in.data(), back.data());
        for (U r = 0; r < dim_; ++r) l[base | offset_[r]] = back[r];
      }
    }
    for (std::size_t w = 0; w < width; ++w) result[w] = combine_lanes(lanes.data() + w * kReduceLanes);
  }

  // The common case (one target): the same arithmetic as leaf_any, written
  // out for 2x2. With one derivative and one lambda (the gradient of one
  // observable through a one-angle gate) and no controls, items go two at a
  // time (lanes k and k+1 of the tree side by side in one vector).
  template <bool Diagonal>
  void leaf1(U first, U len, double* result) const {
    const U pos = positions_[0], low = (U{1} << pos) - 1, step = U{1} << pos;
    auto pair_of = [&](U i) { return ((i >> pos) << (pos + 1)) | (i & low); };
    const std::size_t slots = derivatives_.size(), count = lambdas_.size(), width = slots * count;
    const Complex* m = g_.matrix.data();
    Complex* p = psi_;
    if (slots == 1 && count == 1) {
      const Complex* dm = derivatives_[0].matrix.data();
      Complex* l = lambdas_[0];
      double lanes[kReduceLanes] = {};
      if (mask_ == 0 && len % kReduceLanes == 0) {
        backward_items_active<Diagonal>(m, dm, p, l, pos, first, len, lanes);
      } else {
        for (U i = first; i < first + len; ++i) {
          const U i0 = pair_of(i), i1 = i0 | step;
          if ((i0 & mask_) != want_) continue;
          Cx<double> a0{p[i0].re, p[i0].im}, a1{p[i1].re, p[i1].im}, l0{l[i0].re, l[i0].im}, l1{l[i1].re, l[i1].im};
          lanes[(i - first) % kReduceLanes] += backward_item<Diagonal>(m, dm, a0, a1, l0, l1);
          p[i0] = {a0.re, a0.im};
          p[i1] = {a1.re, a1.im};
          l[i0] = {l0.re, l0.im};
          l[i1] = {l1.re, l1.im};
        }
      }
      result[0] = combine_lanes(lanes);
      return;
    }
    std::vector<double> lanes(width * kReduceLanes, 0.0);
    for (U i = first; i < first + len; ++i) {
      const U i0 = pair_of(i), i1 = i0 | step;
      if ((i0 & mask_) != want_) continue;
      const auto [b0, b1] = times2<Diagonal>(m, Cx<double>{p[i0].re, p[i0].im}, Cx<double>{p[i1].re, p[i1].im});
      p[i0] = {b0.re, b0.im};
      p[i1] = {b1.re, b1.im};
      for (std::size_t s = 0; s < slots; ++s) {
        const auto [d0, d1] = times2<Diagonal>(derivatives_[s].matrix.data(), b0, b1);
        for (std::size_t o = 0; o < count; ++o) {
          const Complex* l = lambdas_[o];
          const double sum = (0.0 + (l[i0].re * d0.re + l[i0].im * d0.im)) + (l[i1].re * d1.re + l[i1].im * d1.im);
          lanes[(s * count + o) * kReduceLanes + (i - first) % kReduceLanes] += sum;
        }
      }
      for (std::size_t o = 0; o < count; ++o) {
        Complex* l = lambdas_[o];
        const auto [c0, c1] = times2<Diagonal>(m, Cx<double>{l[i0].re, l[i0].im}, Cx<double>{l[i1].re, l[i1].im});
        l[i0] = {c0.re, c0.im};
        l[i1] = {c1.re, c1.im};
      }
    }
    for (std::size_t w = 0; w < width; ++w) result[w] = combine_lanes(lanes.data() + w * kReduceLanes);
  }

  Complex* psi_;
  CompiledGate g_;
  std::vector<CompiledGate> derivatives_;
  std::vector<Complex*> lambdas_;
  bool diagonal_ = false;
  std::size_t k_ = 1;
  U dim_ = 2, mask_ = 0, want_ = 0, items_ = 0;
  std::vector<U> offset_, positions_;
};


// The reverse sweep's blocks: the 2^kBlockQubits amplitudes whose high bits
// spell the block's index, contiguous (no gathering), sized like the engine's.
constexpr U kBlockQubits = BlockingParams{}.max_block_qubits;

// Whether a gate can go back block by block: all its qubits in the block and,
// when it is differentiated, each block holding whole leaves of its sum (so
// the leaves, and the fixed tree over them, are those of the whole pass).
bool fits_block(const CompiledGate& g, bool parametric, U n) {
  if (n <= kBlockQubits || (g.qubit_mask() >> kBlockQubits) != 0) return false;
  return !parametric || (g.shape != Shape::ControlledSwap && kBlockQubits - mixed_targets(g) >= kReduceLeafBits);
}

// Back through gates run[0 .. size) (program indices from `first`), last to
// first, as the gate-by-gate sweep does it but in one pass over the blocks:
// each block takes every gate in turn, a parameterised one through its
// BackwardStep over the leaves inside the block. Every amplitude sees the
// same operations in the same order and every sum the same leaves and tree,
// so the bits are those of the gate-by-gate sweep.
template <class DerivativesOf, class Accumulate>
void run_backwards_blocked(StateVector& psi, std::span<StateVector* const> lambdas, std::span<const CompiledGate> run,
                           U first, DerivativesOf&& derivatives_of, Accumulate&& accumulate,
                           std::span<const std::size_t> parametric, std::size_t none, const RunControl* control) {
  struct Entry {
    U gate;
    CompiledGate inverse;
    std::optional<BackwardStep> step;
    std::vector<std::size_t> slots;
    std::vector<double> sums;  // leaf values, leaf-major
  };
  std::vector<Entry> entries;
  entries.reserve(run.size());
  for (U j = run.size(); j-- > 0;) {
    Entry& e = entries.emplace_back(Entry{first + j, adjoint_gate(run[j]), std::nullopt, {}, {}});
    if (parametric[e.gate] == none) continue;
    e.step.emplace(psi, e.inverse, derivatives_of(e.gate, e.slots), lambdas);
    e.sums.assign(reduce_leaf_count(e.step->items()) * e.step->width(), 0.0);
  }
  auto body = [&](U begin, U end) {
    for (U block = begin; block < end; ++block) {
      if (control != nullptr) control->check();  // a cancel need not wait for the whole run
      const U base = block << kBlockQubits;
      for (Entry& e : entries) {
        if (!e.step) {
          apply_gate_local(psi.data() + base, kBlockQubits, e.inverse);
          for (StateVector* l : lambdas) apply_gate_local(l->data() + base, kBlockQubits, e.inverse);
          continue;
        }
        const U per_block = U{1} << (kBlockQubits - e.step->targets());
        const std::size_t width = e.step->width();
        double* sums = e.sums.data();  // each leaf's slots written by its block only
        for (U leaf = block * per_block; leaf < (block + 1) * per_block; leaf += kReduceLeafItems) {
          e.step->leaf(leaf, kReduceLeafItems, sums + (leaf >> kReduceLeafBits) * width);
        }
      }
    }
  };
  parallel_for_each_item(psi.size() >> kBlockQubits, body);
  for (Entry& e : entries) {
    if (!e.step) continue;
    const std::size_t width = e.step->width();
    std::vector<double> dots(width);
    for (std::size_t c = 0; c < width; ++c) {
      dots[c] = combine_leaves(e.sums.data() + c, reduce_leaf_count(e.step->items()), width);
    }
    accumulate(e.gate, e.slots, dots);
  }
}

// Whether the row's entries have a frequency +-1/2 in angle `slot` (period
// 4 pi) rather than only 0 and +-1 (period 2 pi): that part of an entry is
// (M(t) - M(t + 2 pi)) / 2, and a + b e^(-i t) cannot vanish at two points
// 1.6 apart unless a = b = 0. The other angles take fixed generic values (a
// special value of theirs could only hide the half frequency, never make
// one); a NaN difference counts as one.
bool half_frequency(const StandardGate& row, std::size_t n_angles, std::size_t slot, std::span<const U> operands) {
  std::vector<double> probe(n_angles), turned(n_angles);
  for (std::size_t j = 0; j < n_angles; ++j) probe[j] = 0.5 + 0.25 * static_cast<double>(j);
  for (double t : {0.3, 1.9}) {
    probe[slot] = t;
    turned = probe;
    turned[slot] = t + 2 * kPi;
    const CompiledGate a = row.build(probe, operands), b = row.build(turned, operands);
    if (a.matrix.size() != b.matrix.size()) return true;
    for (std::size_t k = 0; k < a.matrix.size(); ++k) {
      const double d = std::hypot(a.matrix[k].re - b.matrix[k].re, a.matrix[k].im - b.matrix[k].im);
      if (!(d <= 1e-9)) return true;
    }
  }
  return false;
}

// theta reduced to the row's period in that slot, to within a few ulps of pi:
// the shifted angles theta + (2m+1) pi/2 then carry no rounding of theta's
// size (at 1e16 its ulp is 2; at 1e300 the shifts vanish altogether).
// atan2(sin, cos) takes libm's exact reduction of the double theta (theta/2,
// exact, for a 4 pi period). Angles already within half a period, and
// non-finite ones, are left as they are.
double reduced_angle(const StandardGate& row, std::size_t n_angles, std::size_t slot, std::span<const U> operands,
                     double theta) {
  if (!std::isfinite(theta) || std::fabs(theta) <= kPi) return theta;
  if (half_frequency(row, n_angles, slot, operands)) {
    if (std::fabs(theta) <= 2 * kPi) return theta;
    const double half = theta / 2;
    return 2 * std::atan2(std::sin(half), std::cos(half));
  }
  return std::atan2(std::sin(theta), std::cos(theta));
}

}  // namespace

CompiledGate adjoint_gate(const CompiledGate& gate) {
  CompiledGate out = gate;
  if (gate.shape == Shape::ControlledSwap) return out;
  if (gate.shape == Shape::Diagonal) {
    for (Complex& z : out.matrix) z = conj(z);
    return out;
  }
  const auto dim = static_cast<std::size_t>(std::lround(std::sqrt(static_cast<double>(gate.matrix.size()))));
  for (std::size_t r = 0; r < dim; ++r)
    for (std::size_t c = 0; c < dim; ++c) out.matrix[r * dim + c] = conj(gate.matrix[c * dim + r]);
  return out;
}

CompiledGate derivative_gate(const StandardGate& row, std::span<const double> angles, std::size_t slot,
                             std::span<const U> operands) {
  DefaultFpEnv fp_env;
  std::vector<double> shifted(angles.begin(), angles.end());
  const double theta = reduced_angle(row, angles.size(), slot, operands, angles[slot]);
  CompiledGate out;
  for (int m = 0; m < 4; ++m) {
    shifted[slot] = theta + (2 * m + 1) * (kPi / 2);
    const CompiledGate g = row.build(shifted, operands);
    if (m == 0) {
      out = g;
      for (Complex& z : out.matrix) z = {0.0, 0.0};
    } else if (g.shape != out.shape || g.targets != out.targets || g.controls != out.controls ||
               g.control_values != out.control_values || g.matrix.size() != out.matrix.size()) {
      vorn::fatal(messages::fill(messages::kShiftedShape, row.name));
    }
    const double w = kShiftWeights[m];
    for (std::size_t k = 0; k < out.matrix.size(); ++k) {
      out.matrix[k] = {out.matrix[k].re + w * g.matrix[k].re, out.matrix[k].im + w * g.matrix[k].im};
    }
  }
  return out;
}

std::vector<double> backward_step(StateVector& psi, const CompiledGate& inverse,
                                  std::span<const CompiledGate> derivatives, std::span<StateVector* const> lambdas) {
  const BackwardStep step(psi, inverse, std::vector<CompiledGate>(derivatives.begin(), derivatives.end()), lambdas);
  std::vector<double> out(step.width());
  reduce_sum(step.items(), step.width(), [&](U first, U len, double* result) { step.leaf(first, len, result); },
             out.data());
  return out;
}

std::uint64_t gradient_memory(const ParametricProgram& pp, std::size_t bindings, std::size_t observables,
                              SweepMode mode) {
  const U n = pp.program.n_qubits;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  const long double states = static_cast<long double>(sweep_tasks(mode, pp, bindings)) * (2.0L + observables);
  const long double total = states * StateVector::bytes_for(n);
  return total >= 1.8e19L ? ~U{0} : static_cast<U>(total);
}

Gradients adjoint_gradients(const ParametricProgram& pp, std::span<const double> values, std::size_t bindings,
                            const Observables& observables, RunControl* control, SweepMode mode) {
  const std::size_t n_obs = observables.size();
  const std::size_t width = pp.n_params;
  const U n = pp.program.n_qubits;
  const U state_bytes = StateVector::bytes_for(n);
  const std::size_t tasks = sweep_tasks(mode, pp, bindings);
  // As many observables at once as memory allows, at least one.
  std::size_t batch = std::max<std::size_t>(n_obs, 1);
  if (const std::optional<U> room = vorn::available_memory_bytes()) {
    const U per_task = *room / std::max<U>(state_bytes * tasks, 1);
    batch = per_task < 3 ? 0 : std::min<std::size_t>(batch, per_task - 2);
  }
  if (batch == 0) {
    throw FatalError(messages::fill(messages::kGradientMemory, gradient_memory(pp, bindings, 1, mode), 1),
                     std::source_location::current(), FatalError::Kind::OutOfMemory);
  }
  vorn::require_memory(gradient_memory(pp, bindings, std::min(batch, n_obs), mode));
  const std::size_t batches = n_obs == 0 ? 0 : (n_obs + batch - 1) / batch;

  // Which parameterised gate (if any) each gate is.
  std::vector<std::size_t> parametric(pp.program.gates.size(), pp.gates.size());
  for (std::size_t k = 0; k < pp.gates.size(); ++k) parametric[pp.gates[k].gate] = k;

  Gradients out;
  out.values.assign(bindings * n_obs, Complex{0.0, 0.0});
  out.jacobian.assign(bindings * n_obs * width, 0.0);
  const U gates = pp.program.gates.size();
  for_each_binding(pp, values, bindings, 1 + 2 * gates * batches, control, mode,
                   [&](std::size_t b, const Program& program) {
    const std::span<const double> x = values.subspan(b * width, width);
    RandomStream unused = RandomStream::from_seed_value(0);
    for (std::size_t first = 0; first < n_obs; first += batch) {
      const std::size_t count = std::min(batch, n_obs - first);
      StateVector psi = std::move(run_checked_program(program, unused, RunRequest{}, control).snapshot);
      if (first == 0) {
        const std::vector<Complex> e =
            observables.expectations(std::span<const Complex>(psi.data(), psi.size()));
        std::copy(e.begin(), e.end(), out.values.begin() + static_cast<std::ptrdiff_t>(b * n_obs));
        if (control != nullptr) control->advance(1);
      }
      std::vector<StateVector> lambda;
      lambda.reserve(count);
      for (std::size_t o = 0; o < count; ++o) {
        lambda.push_back(StateVector::create(n));
        observables.apply(first + o, psi, lambda.back());
      }
      std::vector<StateVector*> lambda_ptrs;
      for (StateVector& l : lambda) lambda_ptrs.push_back(&l);
      // The derivative entries of parameterised gate g's differentiated slots
      // (their indices into the gate's slots go to `slots`).
      auto derivatives_of = [&](U g, std::vector<std::size_t>& slots) {
        const ParametricGate& pg = pp.gates[parametric[g]];
        const std::vector<double> angles = bound_angles(pg, x);
        std::vector<CompiledGate> derivatives;
        for (std::size_t s = 0; s < pg.slot.size(); ++s) {
          if (pg.expression[s].params.empty()) continue;
          derivatives.push_back(derivative_gate(*pg.row, angles, pg.slot[s], pg.operands));
          slots.push_back(s);
        }
        return derivatives;
      };
      // 2 Re <lambda_o| dU/d(slot) psi> (dots slot-major) into the Jacobian rows.
      auto accumulate = [&](U g, const std::vector<std::size_t>& slots, const std::vector<double>& dots) {
        const ParametricGate& pg = pp.gates[parametric[g]];
        for (std::size_t j = 0; j < slots.size(); ++j) {
          const AffineAngle& expr = pg.expression[slots[j]];
          for (std::size_t o = 0; o < count; ++o) {
            double* row = out.jacobian.data() + (b * n_obs + first + o) * width;
            const double d = 2 * dots[j * count + o];
            for (std::size_t t = 0; t < expr.params.size(); ++t) row[expr.params[t]] += expr.coeffs[t] * d;
          }
        }
      };
      for (U g = gates; g > 0;) {
        if (control != nullptr) control->check();
        U lo = g;
        while (lo > 0 && fits_block(program.gates[lo - 1], parametric[lo - 1] != pp.gates.size(), n)) --lo;
        if (g - lo >= 2) {
          // Gates [lo, g) all act inside the blocks of the low qubits: one
          // pass over memory for the whole run.
          run_backwards_blocked(psi, lambda_ptrs, std::span(program.gates).subspan(lo, g - lo), lo, derivatives_of,
                                accumulate, parametric, pp.gates.size(), control);
          if (control != nullptr) control->advance(g - lo);
          g = lo;
          continue;
        }
        --g;
        const CompiledGate inverse = adjoint_gate(program.gates[g]);
        if (parametric[g] == pp.gates.size()) {
          apply_gate(psi, inverse);
          for (StateVector& l : lambda) apply_gate(l, inverse);
        } else {
          // One pass: psi and the lambdas back through the gate, and
          // Re <lambda_o | dU/d(slot) psi> for each differentiated slot.
          std::vector<std::size_t> slots;
          const std::vector<CompiledGate> derivatives = derivatives_of(g, slots);
          accumulate(g, slots, backward_step(psi, inverse, derivatives, lambda_ptrs));
        }
        if (control != nullptr) control->advance(1);
      }
    }
    if (n_obs == 0 && control != nullptr) control->advance(1);
  });
  return out;
}

}  // namespace vorn::sim

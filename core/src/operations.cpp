// The five fixed gate kernels, once for the state (operand checks, the pool
// from the threshold on) and once for a raw span on the calling thread
// (blocked runs), both over one implementation, for either precision. Called
// by the engine. The general gates are in general_kernels.cpp.
#include "vorn/core/operations.hpp"

#include <initializer_list>
#include <string>

#include "kernel_driver.hpp"
#include "kernel_runs.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/parallel.hpp"

namespace vorn {
namespace {

using detail::BaseWalk;
using detail::bit_or_saturate;
using detail::kMinGrain;
using detail::run_items;
using detail::BasicSpan;

template <class T>
bool takes_parallel_path(const BasicStateVector<T>& state) { return detail::takes_parallel_path(state.size()); }

template <class T>
BasicSpan<T> span_of(BasicStateVector<T>& state) { return {state.data(), state.size(), takes_parallel_path(state)}; }

// Operands are checked once at entry instead of per pair. The sequential path
// reports the failed bounds check; the parallel path reports what its split
// or enumeration would hit.
template <class T>
void check_operand(const BasicStateVector<T>& state, std::uint64_t q, bool single_qubit_split = false) {
  if (q < state.n_qubits()) return;
  if (single_qubit_split && takes_parallel_path(state))
    fatal(std::string(messages::kMidGreaterThanLen));
  index_out_of_range(bit_or_saturate(q), state.size());
}

template <class T, class Body>
void run_bases(const BasicSpan<T>& s, const BaseWalk& walk, std::uint64_t n_items, Body&& run) {
  auto chunk = [&](std::uint64_t kb, std::uint64_t ke) { walk.walk(kb, ke, run); };
  run_items(s, n_items, kMinGrain, chunk);
}

// The plain scan for a doubly-controlled gate with repeated operands: each i
// with (i & scan_mask) == want is paired with i | tmask. A j never satisfies
// the condition itself, so index chunks never write each other's pairs.
template <class T>
void degenerate_controlled_scan(const BasicSpan<T>& s, const BasicMatrix2x2<T>& m, std::uint64_t scan_mask,
                                std::uint64_t want, std::uint64_t tmask) {
  BasicComplex<T>* amp = s.amp;
  const BasicMatrix2x2<T> local = m;
  auto chunk = [&](std::uint64_t ib, std::uint64_t ie) {
    for (std::uint64_t i = ib; i < ie; ++i)
      if ((i & scan_mask) == want) detail::update_pair(amp + i, amp + (i | tmask), local);
  };
  run_items(s, s.size, 4 * kMinGrain, chunk);
}

// The plain scan for cswap with repeated operands: i with control and t2 set,
// t1 clear, exchanged with (i | t1) & ~t2. Every j lacks a bit its i has, so
// no j is itself scanned and chunks stay disjoint.
template <class T>
void degenerate_swap_scan(const BasicSpan<T>& s, std::uint64_t cmask, std::uint64_t t1mask,
                          std::uint64_t t2mask) {
  BasicComplex<T>* amp = s.amp;
  auto chunk = [&](std::uint64_t ib, std::uint64_t ie) {
    for (std::uint64_t i = ib; i < ie; ++i) {
      if ((i & cmask) == 0 || (i & t2mask) == 0 || (i & t1mask) != 0) continue;
      const std::uint64_t j = (i | t1mask) & ~t2mask;
      const BasicComplex<T> t = amp[i];
      amp[i] = amp[j];
      amp[j] = t;
    }
  };
  run_items(s, s.size, 4 * kMinGrain, chunk);
}


// The pair kernels' common loop: every base index in [0, n_items), spread
// over the operand positions of `walk`, with `set_mask` ORed in, is paired
// with itself | tmask and updated with the matrix (copied once per call).
template <class T>
void run_pairs(const BasicSpan<T>& s, const BaseWalk& walk, std::uint64_t n_items, std::uint64_t set_mask,
               std::uint64_t tmask, const BasicMatrix2x2<T>& matrix) {
  const BasicMatrix2x2<T> m = matrix;
  BasicComplex<T>* amp = s.amp;
  const auto& prim = detail::primitives_of<T>();
  auto chunk = [&](std::uint64_t kb, std::uint64_t ke) { prim.pairs(amp, walk, kb, ke, set_mask, tmask, m); };
  run_items(s, n_items, kMinGrain, chunk);
}

// ---- the kernels, once, on a span --------------------------------------
// Operands are already checked by the entry points below.

template <class T>
void single_qubit(const BasicSpan<T>& s, const BasicMatrix2x2<T>& matrix, std::uint64_t target) {
  const BaseWalk walk({target, 0, 0}, 1);
  run_pairs(s, walk, s.size / 2, 0, std::uint64_t{1} << target, matrix);
}

template <class T>
void controlled(const BasicSpan<T>& s, const BasicMatrix2x2<T>& matrix, std::uint64_t control, std::uint64_t target) {
  // A control equal to its target selects no pair: the state stays as it is.
  if (control == target) return;
  const BaseWalk walk({control, target, 0}, 2);
  run_pairs(s, walk, s.size / 4, std::uint64_t{1} << control, std::uint64_t{1} << target, matrix);
}

template <class T>
void doubly_controlled(const BasicSpan<T>& s, const BasicMatrix2x2<T>& matrix, std::uint64_t ctrl1, std::uint64_t ctrl2,
                       std::uint64_t target) {
  const std::uint64_t c1 = std::uint64_t{1} << ctrl1;
  const std::uint64_t c2 = std::uint64_t{1} << ctrl2;
  const std::uint64_t tmask = std::uint64_t{1} << target;
  if (ctrl1 == ctrl2 || ctrl1 == target || ctrl2 == target) {
    // Repeated operands mean what the plain ascending scan does, on every
    // register size: equal controls act as one control; a control equal to
    // the target pairs an index with itself (the second row's write wins).
    degenerate_controlled_scan(s, matrix, c1 | c2 | tmask, c1 | c2, tmask);
    return;
  }
  const BaseWalk walk({ctrl1, ctrl2, target}, 3);
  run_pairs(s, walk, s.size / 8, c1 | c2, tmask, matrix);
}

template <class T>
void two_qubit(const BasicSpan<T>& s, const BasicMatrix4x4<T>& matrix, std::uint64_t qubit0, std::uint64_t qubit1) {
  if (qubit0 == qubit1) {
    // Both local bits are the one qubit, so only local states 0 and 3 exist:
    // the gate is the 2x2 corner [[m00, m03], [m30, m33]] (cz(q, q) acts as z).
    const BasicMatrix2x2<T> corner{matrix.at(0, 0), matrix.at(0, 3), matrix.at(3, 0), matrix.at(3, 3)};
    single_qubit(s, corner, qubit0);
    return;
  }
  // Fewer than four amplitudes hold no group.
  if (s.size < 4) return;
  const BasicMatrix4x4<T> m = matrix;
  const std::uint64_t b0 = std::uint64_t{1} << qubit0;
  const std::uint64_t b1 = std::uint64_t{1} << qubit1;
  const BaseWalk walk({qubit0, qubit1, 0}, 2);
  BasicComplex<T>* amp = s.amp;
  const auto& prim = detail::primitives_of<T>();
  auto chunk = [&](std::uint64_t kb, std::uint64_t ke) { prim.groups(amp, walk, kb, ke, b0, b1, m); };
  run_items(s, s.size / 4, kMinGrain, chunk);
}

template <class T>
void controlled_swap(const BasicSpan<T>& s, std::uint64_t control, std::uint64_t target1, std::uint64_t target2) {
  const std::uint64_t cmask = std::uint64_t{1} << control;
  const std::uint64_t t1 = std::uint64_t{1} << target1;
  const std::uint64_t t2 = std::uint64_t{1} << target2;
  if (control == target1 || control == target2 || target1 == target2) {
    // Repeated operands mean what the plain ascending scan does: nothing,
    // except control == target2, which exchanges (c=1, t1=0) with (c=0, t1=1).
    degenerate_swap_scan(s, cmask, t1, t2);
    return;
  }
  const BaseWalk walk({control, target1, target2}, 3);
  BasicComplex<T>* amp = s.amp;
  run_bases(s, walk, s.size / 8, [&](std::uint64_t first, std::uint64_t stride, std::uint64_t len) {
    BasicComplex<T>* p = amp + (first | cmask);
    for (std::uint64_t r = 0; r < len; ++r, p += stride) {
      const BasicComplex<T> t = p[t2];
      p[t2] = p[t1];
      p[t1] = t;
    }
  });
}

// A block's span: every operand below n_local, checked once per call.
template <class T>
BasicSpan<T> local_span(BasicComplex<T>* amp, std::uint64_t n_local, std::initializer_list<std::uint64_t> operands) {
  const std::uint64_t size = std::uint64_t{1} << n_local;
  for (std::uint64_t q : operands)
    if (q >= n_local) index_out_of_range(bit_or_saturate(q), size);
  return {amp, size, false};
}

}  // namespace

// ---- on the state ------------------------------------------------------

template <class T>
void apply_single_qubit_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t target) {
  if (state.size() == 0) return;
  check_operand(state, target, /*single_qubit_split=*/true);
  single_qubit(span_of(state), matrix, target);
}

template <class T>
void apply_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t control,
                           std::uint64_t target) {
  if (state.size() == 0) return;
  check_operand(state, control);
  check_operand(state, target);
  controlled(span_of(state), matrix, control, target);
}

template <class T>
void apply_doubly_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, std::uint64_t ctrl1,
                                  std::uint64_t ctrl2, std::uint64_t target) {
  if (state.size() == 0) return;
  check_operand(state, ctrl1);
  check_operand(state, ctrl2);
  check_operand(state, target);
  doubly_controlled(span_of(state), matrix, ctrl1, ctrl2, target);
}

template <class T>
void apply_two_qubit_gate(BasicStateVector<T>& state, const Matrix4x4Of<T>& matrix, std::uint64_t qubit0,
                          std::uint64_t qubit1) {
  if (qubit0 == qubit1) {
    // Checked as the single-qubit gate it becomes.
    if (state.size() == 0) return;
    check_operand(state, qubit0, /*single_qubit_split=*/true);
  } else {
    if (state.size() < 4) return;
    check_operand(state, qubit0);
    check_operand(state, qubit1);
  }
  two_qubit(span_of(state), matrix, qubit0, qubit1);
}

template <class T>
void apply_controlled_swap(BasicStateVector<T>& state, std::uint64_t control, std::uint64_t target1,
                           std::uint64_t target2) {
  if (state.size() == 0) return;
  check_operand(state, control);
  check_operand(state, target1);
  check_operand(state, target2);
  controlled_swap(span_of(state), control, target1, target2);
}

// ---- on a block, on the calling thread ---------------------------------

namespace local {

template <class T>
void apply_single_qubit_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                             std::uint64_t target) {
  single_qubit(local_span(amp, n_local, {target}), matrix, target);
}

namespace {
template <class T>
bool moved_applying(BasicComplex<T>* buf, BasicComplex<T>* state, const std::uint64_t* offsets, std::uint64_t runs,
                    std::uint64_t low, const BasicMatrix2x2<T>& matrix, std::uint64_t target, bool gather) {
  const auto& prim = detail::primitives_of<T>();
  if (prim.moved_single == nullptr) return false;
  DefaultFpEnv fp_env;
  return prim.moved_single(buf, state, offsets, runs, low, target, matrix, gather);
}
}  // namespace

template <class T>
bool gather_applying(BasicComplex<T>* buf, const BasicComplex<T>* state, const std::uint64_t* offsets, std::uint64_t runs,
                     std::uint64_t low, const Matrix2x2Of<T>& matrix, std::uint64_t target) {
  // Only read through this pointer when gathering.
  return moved_applying(buf, const_cast<BasicComplex<T>*>(state), offsets, runs, low, matrix, target, true);
}

template <class T>
bool scatter_applying(BasicComplex<T>* state, BasicComplex<T>* buf, const std::uint64_t* offsets, std::uint64_t runs,
                      std::uint64_t low, const Matrix2x2Of<T>& matrix, std::uint64_t target) {
  return moved_applying(buf, state, offsets, runs, low, matrix, target, false);
}

template <class T>
void apply_controlled_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                           std::uint64_t control, std::uint64_t target) {
  controlled(local_span(amp, n_local, {control, target}), matrix, control, target);
}

template <class T>
void apply_doubly_controlled_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix2x2Of<T>& matrix,
                                  std::uint64_t ctrl1, std::uint64_t ctrl2, std::uint64_t target) {
  doubly_controlled(local_span(amp, n_local, {ctrl1, ctrl2, target}), matrix, ctrl1, ctrl2, target);
}

template <class T>
void apply_two_qubit_gate(BasicComplex<T>* amp, std::uint64_t n_local, const Matrix4x4Of<T>& matrix,
                          std::uint64_t qubit0, std::uint64_t qubit1) {
  two_qubit(local_span(amp, n_local, {qubit0, qubit1}), matrix, qubit0, qubit1);
}

template <class T>
void apply_controlled_swap(BasicComplex<T>* amp, std::uint64_t n_local, std::uint64_t control,
                           std::uint64_t target1, std::uint64_t target2) {
  controlled_swap(local_span(amp, n_local, {control, target1, target2}), control, target1, target2);
}

}  // namespace local

// The two precisions the kernels are built for.
#define VORN_KERNELS_FOR(T)                                                                                   \
  template void apply_single_qubit_gate<T>(BasicStateVector<T>&, const Matrix2x2Of<T>&, std::uint64_t);      \
  template void apply_controlled_gate<T>(BasicStateVector<T>&, const Matrix2x2Of<T>&, std::uint64_t,         \
                                         std::uint64_t);                                                      \
  template void apply_doubly_controlled_gate<T>(BasicStateVector<T>&, const Matrix2x2Of<T>&, std::uint64_t,  \
                                                std::uint64_t, std::uint64_t);                                \
  template void apply_two_qubit_gate<T>(BasicStateVector<T>&, const Matrix4x4Of<T>&, std::uint64_t,          \
                                        std::uint64_t);                                                       \
  template void apply_controlled_swap<T>(BasicStateVector<T>&, std::uint64_t, std::uint64_t, std::uint64_t); \
  template void local::apply_single_qubit_gate<T>(BasicComplex<T>*, std::uint64_t, const Matrix2x2Of<T>&,    \
                                                  std::uint64_t);                                             \
  template bool local::gather_applying<T>(BasicComplex<T>*, const BasicComplex<T>*, const std::uint64_t*,    \
                                          std::uint64_t, std::uint64_t, const Matrix2x2Of<T>&, std::uint64_t); \
  template bool local::scatter_applying<T>(BasicComplex<T>*, BasicComplex<T>*, const std::uint64_t*,         \
                                           std::uint64_t, std::uint64_t, const Matrix2x2Of<T>&,              \
                                           std::uint64_t);                                                    \
  template void local::apply_controlled_gate<T>(BasicComplex<T>*, std::uint64_t, const Matrix2x2Of<T>&,      \
                                                std::uint64_t, std::uint64_t);                                \
  template void local::apply_doubly_controlled_gate<T>(BasicComplex<T>*, std::uint64_t,                     \
                                                       const Matrix2x2Of<T>&, std::uint64_t, std::uint64_t,   \
                                                       std::uint64_t);                                        \
  template void local::apply_two_qubit_gate<T>(BasicComplex<T>*, std::uint64_t, const Matrix4x4Of<T>&,       \
                                               std::uint64_t, std::uint64_t);                                 \
  template void local::apply_controlled_swap<T>(BasicComplex<T>*, std::uint64_t, std::uint64_t,              \
                                                std::uint64_t, std::uint64_t);
VORN_KERNELS_FOR(double)
VORN_KERNELS_FOR(float)
#undef VORN_KERNELS_FOR

}  // namespace vorn

// The general gates (any controls, diagonal, dense k-qubit, global phase) over
// the run primitives: one walk over the controls and targets, with the wanted
// control bits ORed into every base. The 2x2 and 4x4 cases use the pair and
// group primitives of the fixed kernels, so they share those kernels' bits.
#include <algorithm>
#include <array>
#include <string>

#include "kernel_driver.hpp"
#include "kernel_runs.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/operations.hpp"

namespace vorn {
namespace {

using U = std::uint64_t;
using detail::BaseWalk;
using detail::run_items;
using detail::BasicSpan;

// One gate's operands, checked: the walk positions (controls, then targets),
// the wanted control bits and the offsets of the 2^k target states.
struct Operands {
  std::array<U, BaseWalk::kMaxPositions> pos;
  int count = 0;
  U set_mask = 0;
  U dim = 1;
  std::array<U, U{1} << kMaxGateTargets> off;
};

// Every operand below n_local and none repeated, before any amplitude is
// touched; then the walk data.
void check_into(Operands& ops, U n_local, ControlSet controls, std::span<const U> targets) {
  const U size = n_local < 64 ? U{1} << n_local : UINT64_MAX;
  if (targets.size() > kMaxGateTargets)
    fatal(messages::fill(messages::kTooManyTargets, kMaxGateTargets, targets.size()));
  U seen = 0;
  auto take = [&](U q) {
    if (q >= n_local || q >= 63) index_out_of_range(detail::bit_or_saturate(q), size);
    if (seen >> q & 1) fatal(messages::fill(messages::kRepeatedOperand, q));
    seen |= U{1} << q;
    ops.pos[static_cast<std::size_t>(ops.count++)] = q;
  };
  // At most 63 operands pass take() (distinct, below 63), so pos never overflows
  // and bit i of `values` is only read for i < 63.
  for (std::size_t i = 0; i < controls.qubits.size(); ++i) {
    const U q = controls.qubits[i];
    take(q);
    if (controls.values >> i & 1) ops.set_mask |= U{1} << q;
  }
  for (U q : targets) take(q);
  ops.dim = U{1} << targets.size();
  for (U r = 0; r < ops.dim; ++r) {
    U o = 0;
    for (std::size_t j = 0; j < targets.size(); ++j)
      if (r >> j & 1) o |= U{1} << targets[j];
    ops.off[r] = o;
  }
}

// Base indices per chunk worth a pool task: about the amplitudes of the
// fixed kernels' chunk, whatever the group size.
U grain_for(U dim) { return std::max<U>(1, 2 * detail::kMinGrain / dim); }

template <class T>
void multi_controlled(const BasicSpan<T>& s, const BasicMatrix2x2<T>& matrix, const Operands& ops, U target) {
  const BasicMatrix2x2<T> m = matrix;
  const BaseWalk walk(ops.pos.data(), ops.count);
  const auto& prim = detail::primitives_of<T>();
  BasicComplex<T>* amp = s.amp;
  const U set_mask = ops.set_mask, tstep = U{1} << target;
  auto chunk = [&](U kb, U ke) { prim.pairs(amp, walk, kb, ke, set_mask, tstep, m); };
  run_items(s, s.size >> ops.count, detail::kMinGrain, chunk);
}

template <class T>
void controlled_two(const BasicSpan<T>& s, const BasicMatrix4x4<T>& matrix, const Operands& ops, U qubit0, U qubit1) {
  const BasicMatrix4x4<T> m = matrix;
  const BaseWalk walk(ops.pos.data(), ops.count);
  const auto& prim = detail::primitives_of<T>();
  // Walk bases have the control bits clear, so adding set_mask ORs it in.
  BasicComplex<T>* amp = s.amp + ops.set_mask;
  const U s0 = U{1} << qubit0, s1 = U{1} << qubit1;
  auto chunk = [&](U kb, U ke) { prim.groups(amp, walk, kb, ke, s0, s1, m); };
  run_items(s, s.size >> ops.count, detail::kMinGrain, chunk);
}

template <class T>
void scale_all(const BasicSpan<T>& s, const BasicComplex<T>& c) {
  const BasicComplex<T> phase = c;
  const auto& prim = detail::primitives_of<T>();
  BasicComplex<T>* amp = s.amp;
  auto chunk = [&](U ib, U ie) { prim.scale(amp, ib, ie, phase); };
  run_items(s, s.size, 4 * detail::kMinGrain, chunk);
}

template <class T>
void diagonal(const BasicSpan<T>& s, const BasicComplex<T>* diag, const Operands& ops) {
  if (ops.count == 0) {  // no controls, no targets: a global phase
    scale_all(s, diag[0]);
    return;
  }
  const BaseWalk walk(ops.pos.data(), ops.count);
  const auto& prim = detail::primitives_of<T>();
  BasicComplex<T>* amp = s.amp;
  auto chunk = [&](U kb, U ke) { prim.diagonal(amp, walk, kb, ke, ops.set_mask, ops.off.data(), ops.dim, diag); };
  run_items(s, s.size >> ops.count, grain_for(ops.dim), chunk);
}

template <class T>
void dense(const BasicSpan<T>& s, const BasicComplex<T>* m, const Operands& ops, std::span<const U> targets) {
  // One and two targets are the pair and group updates, in the same order.
  if (targets.size() == 1) {
    multi_controlled(s, BasicMatrix2x2<T>{m[0], m[1], m[2], m[3]}, ops, targets[0]);
    return;
  }
  if (targets.size() == 2) {
    BasicMatrix4x4<T> m4;
    std::copy(m, m + 16, m4.m.begin());
    controlled_two(s, m4, ops, targets[0], targets[1]);
    return;
  }
  if (targets.empty()) {
    diagonal(s, m, ops);
    return;
  }
  const BaseWalk walk(ops.pos.data(), ops.count);
  const auto& prim = detail::primitives_of<T>();
  BasicComplex<T>* amp = s.amp;
  auto chunk = [&](U kb, U ke) { prim.dense(amp, walk, kb, ke, ops.set_mask, ops.off.data(), ops.dim, m); };
  run_items(s, s.size >> ops.count, grain_for(ops.dim), chunk);
}

void check_size(std::size_t got, U want, const char* what) {
  if (got != want)
    fatal(messages::fill(messages::kEntryCountMismatch, what, got, want));
}

template <class T>
BasicSpan<T> span_of(BasicStateVector<T>& state) {
  return {state.data(), state.size(), detail::takes_parallel_path(state.size())};
}
template <class T>
BasicSpan<T> local_span(BasicComplex<T>* amp, U n_local) { return {amp, n_local < 64 ? U{1} << n_local : 0, false}; }

// The four general kernels on a span of 2^n_local amplitudes.
template <class T>
void multi_controlled_on(const BasicSpan<T>& s, U n_local, const BasicMatrix2x2<T>& matrix, ControlSet controls, U target) {
  Operands ops;
  const U t[1] = {target};
  check_into(ops, n_local, controls, t);
  multi_controlled(s, matrix, ops, target);
}

template <class T>
void controlled_two_on(const BasicSpan<T>& s, U n_local, const BasicMatrix4x4<T>& matrix, ControlSet controls, U qubit0,
                       U qubit1) {
  Operands ops;
  const U t[2] = {qubit0, qubit1};
  check_into(ops, n_local, controls, t);
  controlled_two(s, matrix, ops, qubit0, qubit1);
}

template <class T>
void diagonal_on(const BasicSpan<T>& s, U n_local, std::span<const BasicComplex<T>> diag, ControlSet controls,
                 std::span<const U> targets) {
  Operands ops;
  check_into(ops, n_local, controls, targets);
  check_size(diag.size(), ops.dim, "diagonal gate");
  diagonal(s, diag.data(), ops);
}

template <class T>
void dense_on(const BasicSpan<T>& s, U n_local, std::span<const BasicComplex<T>> matrix, ControlSet controls,
              std::span<const U> targets) {
  Operands ops;
  check_into(ops, n_local, controls, targets);
  check_size(matrix.size(), ops.dim * ops.dim, "dense gate matrix");
  dense(s, matrix.data(), ops, targets);
}

}  // namespace

namespace local {

template <class T>
void apply_multi_controlled_gate(BasicComplex<T>* amp, U n_local, const Matrix2x2Of<T>& matrix, ControlSet controls, U target) {
  multi_controlled_on(local_span(amp, n_local), n_local, matrix, controls, target);
}
template <class T>
void apply_controlled_two_qubit_gate(BasicComplex<T>* amp, U n_local, const Matrix4x4Of<T>& matrix, ControlSet controls,
                                     U qubit0, U qubit1) {
  controlled_two_on(local_span(amp, n_local), n_local, matrix, controls, qubit0, qubit1);
}
template <class T>
void apply_diagonal_gate(BasicComplex<T>* amp, U n_local, EntriesOf<T> d, ControlSet controls,
                         std::span<const U> targets) {
  diagonal_on(local_span(amp, n_local), n_local, d, controls, targets);
}
template <class T>
void apply_dense_gate(BasicComplex<T>* amp, U n_local, EntriesOf<T> matrix, ControlSet controls,
                      std::span<const U> targets) {
  dense_on(local_span(amp, n_local), n_local, matrix, controls, targets);
}

}  // namespace local

template <class T>
void apply_multi_controlled_gate(BasicStateVector<T>& state, const Matrix2x2Of<T>& matrix, ControlSet controls, U target) {
  multi_controlled_on(span_of(state), state.n_qubits(), matrix, controls, target);
}
template <class T>
void apply_controlled_two_qubit_gate(BasicStateVector<T>& state, const Matrix4x4Of<T>& matrix, ControlSet controls, U qubit0,
                                     U qubit1) {
  controlled_two_on(span_of(state), state.n_qubits(), matrix, controls, qubit0, qubit1);
}
template <class T>
void apply_diagonal_gate(BasicStateVector<T>& state, EntriesOf<T> d, ControlSet controls,
                         std::span<const U> targets) {
  diagonal_on(span_of(state), state.n_qubits(), d, controls, targets);
}
template <class T>
void apply_dense_gate(BasicStateVector<T>& state, EntriesOf<T> matrix, ControlSet controls,
                      std::span<const U> targets) {
  dense_on(span_of(state), state.n_qubits(), matrix, controls, targets);
}
template <class T>
void apply_global_phase(BasicStateVector<T>& state, const std::type_identity_t<BasicComplex<T>>& phase) {
  scale_all(span_of(state), phase);
}

// The two precisions the kernels are built for.
#define VORN_GENERAL_KERNELS_FOR(T)                                                                          \
  template void local::apply_multi_controlled_gate<T>(BasicComplex<T>*, U, const Matrix2x2Of<T>&, ControlSet, \
                                                      U);                                                     \
  template void local::apply_controlled_two_qubit_gate<T>(BasicComplex<T>*, U, const Matrix4x4Of<T>&,        \
                                                          ControlSet, U, U);                                  \
  template void local::apply_diagonal_gate<T>(BasicComplex<T>*, U, EntriesOf<T>, ControlSet, std::span<const U>); \
  template void local::apply_dense_gate<T>(BasicComplex<T>*, U, EntriesOf<T>, ControlSet, std::span<const U>); \
  template void apply_multi_controlled_gate<T>(BasicStateVector<T>&, const Matrix2x2Of<T>&, ControlSet, U);   \
  template void apply_controlled_two_qubit_gate<T>(BasicStateVector<T>&, const Matrix4x4Of<T>&, ControlSet, U, \
                                                   U);                                                        \
  template void apply_diagonal_gate<T>(BasicStateVector<T>&, EntriesOf<T>, ControlSet, std::span<const U>);   \
  template void apply_dense_gate<T>(BasicStateVector<T>&, EntriesOf<T>, ControlSet, std::span<const U>);      \
  template void apply_global_phase<T>(BasicStateVector<T>&, const std::type_identity_t<BasicComplex<T>>&);
VORN_GENERAL_KERNELS_FOR(double)
VORN_GENERAL_KERNELS_FOR(float)
#undef VORN_GENERAL_KERNELS_FOR

}  // namespace vorn

// The single-precision vector run primitives, written once over a register
// type and included by each vector file (kernels_avx2.cpp, kernels_avx512.cpp)
// inside its anonymous namespace with VORN_TARGET defined as its target
// attribute, after it defines SingleVec:
//   R                          the register type
//   kWidth                     complex floats per register
//   load(p) / store(p, v)      kWidth amplitudes from/to p (unaligned)
//   set1(x)                    x in every lane
//   im_entry(im)               an entry's imaginary part as cmul takes it
//   add(a, b)                  lane-wise sum
//   cmul(re, im_entry, x)      lane pairs: (re*x.re - im*x.im, re*x.im + im*x.re),
//                              each product rounded, then the sum: cmul's bits
//   kNeedsNumberIm             cmul's bits need entries whose imaginary part
//                              is not NaN (else the scalar set is used)
// Taken here: pairs on contiguous runs of at least kWidth pairs, diagonal
// entries on contiguous runs, the global scale. The rest (short or strided
// pair runs, 4x4 groups, dense gates) goes to the scalar float primitives:
// the same arithmetic, so the same bits, one amplitude at a time.
#pragma once

#ifndef VORN_TARGET
#error "define VORN_TARGET before including single_runs.hpp"
#endif

struct SingleEntry {
  SingleVec::R re, im;
};

VORN_TARGET inline SingleEntry single_entry(const SingleComplex& c) {
  return {SingleVec::set1(c.re), SingleVec::im_entry(c.im)};
}

VORN_TARGET inline SingleVec::R single_cmul(const SingleEntry& e, SingleVec::R x) {
  return SingleVec::cmul(e.re, e.im, x);
}

// Whether the vector arithmetic gives cmul's bits with these entries.
inline bool vector_exact(const SingleComplex* entries, std::uint64_t count) {
  if (!SingleVec::kNeedsNumberIm) return true;
  for (std::uint64_t r = 0; r < count; ++r)
    if (std::isnan(entries[r].im)) return false;
  return true;
}

VORN_TARGET inline void single_pair_runs(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb,
                                         std::uint64_t ke, std::uint64_t set_mask, std::uint64_t tstep,
                                         const SingleMatrix2x2& local) {
  constexpr std::uint64_t kW = SingleVec::kWidth;
  const SingleEntry m00 = single_entry(local.m00), m01 = single_entry(local.m01);
  const SingleEntry m10 = single_entry(local.m10), m11 = single_entry(local.m11);
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    SingleComplex* p = amp + (base | set_mask);
    std::uint64_t r = 0;
    for (; r + kW <= len; r += kW, p += kW) {
      const SingleVec::R a = SingleVec::load(p), b = SingleVec::load(p + tstep);
      SingleVec::store(p, SingleVec::add(single_cmul(m00, a), single_cmul(m01, b)));
      SingleVec::store(p + tstep, SingleVec::add(single_cmul(m10, a), single_cmul(m11, b)));
    }
    for (; r < len; ++r, ++p) update_pair(p, p + tstep, local);
    k += len;
  }
}

void single_pairs(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, std::uint64_t tstep, const SingleMatrix2x2& mat) {
  const SingleMatrix2x2 local = mat;
  const std::uint64_t span = walk.span();
  const SingleComplex entries[4] = {local.m00, local.m01, local.m10, local.m11};
  if (walk.stride() != 1 || (span != 0 && span < SingleVec::kWidth) || !vector_exact(entries, 4)) {
    kSingleScalarPrimitives.pairs(amp, walk, kb, ke, set_mask, tstep, local);
    return;
  }
  single_pair_runs(amp, walk, kb, ke, set_mask, tstep, local);
}

// c * q[i] for i < cnt.
VORN_TARGET inline void single_scale_run(const SingleEntry& e, const SingleComplex& c, SingleComplex* q,
                                         std::uint64_t cnt) {
  std::uint64_t i = 0;
  for (; i + SingleVec::kWidth <= cnt; i += SingleVec::kWidth)
    SingleVec::store(q + i, single_cmul(e, SingleVec::load(q + i)));
  for (; i < cnt; ++i) q[i] = cmul(c, q[i]);
}

VORN_TARGET inline void single_diagonal_runs(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb,
                                             std::uint64_t ke, std::uint64_t set_mask, const std::uint64_t* off,
                                             std::uint64_t dim, const SingleComplex* diag,
                                             const SingleEntry* entries) {
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    SingleComplex* p = amp + (base | set_mask);
    // Each entry's amplitudes of a run lie together: one entry after another.
    for (std::uint64_t r = 0; r < dim; ++r) single_scale_run(entries[r], diag[r], p + off[r], len);
    k += len;
  }
}

void single_diagonal(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                     std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const SingleComplex* diag) {
  // Qubit 0 an operand: its amplitudes interleave.
  if (walk.stride() != 1 || !vector_exact(diag, dim)) {
    kSingleScalarPrimitives.diagonal(amp, walk, kb, ke, set_mask, off, dim, diag);
    return;
  }
  const std::unique_ptr<SingleEntry[]> entries(new SingleEntry[dim]);
  for (std::uint64_t r = 0; r < dim; ++r) entries[r] = single_entry(diag[r]);
  single_diagonal_runs(amp, walk, kb, ke, set_mask, off, dim, diag, entries.get());
}

VORN_TARGET inline void single_scale_all(SingleComplex* amp, std::uint64_t ib, std::uint64_t ie,
                                         const SingleComplex& local) {
  single_scale_run(single_entry(local), local, amp + ib, ie - ib);
}

void single_scale(SingleComplex* amp, std::uint64_t ib, std::uint64_t ie, const SingleComplex& c) {
  const SingleComplex local = c;
  if (!vector_exact(&local, 1)) {
    kSingleScalarPrimitives.scale(amp, ib, ie, local);
    return;
  }
  single_scale_all(amp, ib, ie, local);
}

void single_groups(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t s0,
                   std::uint64_t s1, const SingleMatrix4x4& m) {
  kSingleScalarPrimitives.groups(amp, walk, kb, ke, s0, s1, m);
}

void single_dense(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const SingleComplex* m) {
  kSingleScalarPrimitives.dense(amp, walk, kb, ke, set_mask, off, dim, m);
}

// Function addresses only: constant-initialized, whatever the file order.
const SingleRunPrimitives kSingleVector{single_pairs,    single_groups, nullptr,
                                        single_diagonal, single_dense,  single_scale};

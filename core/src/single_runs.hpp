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
//   load_floats(f)             2 * kWidth floats from f
//   Index, index_of(src)       a lane permutation: complex lane j takes lane src[j]
//   permute(x, index)
//   Mask, mask_of(lanes)       complex lanes j with lanes[j] set
//   blend(mask, x, y)          y in the masked lanes, x (its bits) elsewhere
// Taken here: pairs and diagonal gates, on contiguous runs or, when operands
// lie inside one register, a register at a time (lanes permuted to meet their
// partners, lanes whose controls are not met kept as they were); the global
// scale; 4x4 groups whose operands lie above the register. Other groups and
// dense gates go to the scalar float primitives: the same arithmetic, so the
// same bits, one amplitude at a time.
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

// Entries that differ per complex lane: e[j] for lane j.
VORN_TARGET inline SingleEntry lane_entry(const SingleComplex* e) {
  float re[2 * SingleVec::kWidth], im[2 * SingleVec::kWidth];
  for (std::uint64_t j = 0; j < SingleVec::kWidth; ++j) {
    re[2 * j] = re[2 * j + 1] = e[j].re;
    im[2 * j] = SingleVec::kNeedsNumberIm ? -e[j].im : e[j].im;
    im[2 * j + 1] = e[j].im;
  }
  return {SingleVec::load_floats(re), SingleVec::load_floats(im)};
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

// kSameCol0: m00 and m10 are the same number bit for bit (h, for one), so
// m00 * a and m10 * a are the same product, computed once.
template <bool kSameCol0>
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
      const SingleVec::R p0 = single_cmul(m00, a);
      SingleVec::store(p, SingleVec::add(p0, single_cmul(m01, b)));
      SingleVec::store(p + tstep, SingleVec::add(kSameCol0 ? p0 : single_cmul(m10, a), single_cmul(m11, b)));
    }
    for (; r < len; ++r, ++p) update_pair(p, p + tstep, local);
    k += len;
  }
}

// Operands inside one register: the walk's base indices come in aligned
// groups of `group` consecutive k that share one register, whose lanes with
// the wanted in-register control bits are `touched`.
struct InRegister {
  std::uint64_t operands;  // walk positions below the register width, as a mask
  std::uint64_t group;
  std::uint64_t controls;  // the in-register operands that are controls
  bool touched[SingleVec::kWidth];
  bool any_control() const noexcept { return controls != 0; }
};

inline InRegister in_register(const BaseWalk& walk, std::uint64_t set_mask, std::uint64_t targets) {
  InRegister r{};
  r.operands = walk.positions() & (SingleVec::kWidth - 1);
  r.group = SingleVec::kWidth >> std::popcount(r.operands);
  r.controls = r.operands & ~targets;
  for (std::uint64_t j = 0; j < SingleVec::kWidth; ++j) r.touched[j] = (j & r.controls) == (set_mask & r.controls);
  return r;
}

// Calls scalar(base) for the base indices of [kb, ke) outside whole groups
// and block(amp, register start) for each whole group (a struct whose call
// carries the target attribute: a lambda's would not). Group g is the g-th
// register of a walk over the operands above the register, so the registers
// come in runs, as amplitudes do in the other kernels.
template <class Scalar, class Block>
VORN_TARGET inline void register_groups(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                                        std::uint64_t set_mask, std::uint64_t group, Scalar&& scalar,
                                        const Block& block) {
  constexpr unsigned kLaneBits = std::countr_zero(SingleVec::kWidth);
  std::uint64_t above[BaseWalk::kMaxPositions];
  int count = 0;
  for (std::uint64_t m = walk.positions() >> kLaneBits; m != 0; m &= m - 1)
    above[count++] = static_cast<std::uint64_t>(std::countr_zero(m));
  const BaseWalk outer(above, count);
  const std::uint64_t set_above = set_mask & ~(SingleVec::kWidth - 1);
  const std::uint64_t stride = outer.stride() << kLaneBits;
  std::uint64_t k = kb;
  for (; k < ke && (k & (group - 1)) != 0; ++k) scalar(walk.spread(k) | set_mask);
  const std::uint64_t ge = ke / group;
  std::uint64_t reg = outer.spread(k / group);
  for (std::uint64_t g = k / group; g < ge; reg = outer.next_run(reg)) {
    const std::uint64_t len = outer.run_length(g, ge);
    std::uint64_t start = (reg << kLaneBits) | set_above;
    for (std::uint64_t i = 0; i < len; ++i, start += stride) block(amp, start);
    g += len;
  }
  for (k = std::max(k, ge * group); k < ke; ++k) scalar(walk.spread(k) | set_mask);
}

// Target inside the register: lane j forms its row from its pair's row-0
// and row-1 members (first, second), brought to it by two permutations.
struct PairInRegister {
  SingleVec::Index first, second;
  SingleEntry c1, c2;
  SingleVec::Mask mask;
  bool blend;
  VORN_TARGET void operator()(SingleComplex* amp, std::uint64_t start) const {
    SingleComplex* p = amp + start;
    const SingleVec::R x = SingleVec::load(p);
    SingleVec::R y = SingleVec::add(single_cmul(c1, SingleVec::permute(x, first)),
                                    single_cmul(c2, SingleVec::permute(x, second)));
    if (blend) y = SingleVec::blend(mask, x, y);
    SingleVec::store(p, y);
  }
};

// Target outside, a control inside: the pair update of two registers, the
// lanes whose controls are not met kept.
struct PairAcrossRegisters {
  SingleEntry m00, m01, m10, m11;
  SingleVec::Mask mask;
  std::uint64_t tstep;
  VORN_TARGET void operator()(SingleComplex* amp, std::uint64_t start) const {
    SingleComplex* p = amp + start;
    const SingleVec::R a = SingleVec::load(p), b = SingleVec::load(p + tstep);
    SingleVec::store(p, SingleVec::blend(mask, a, SingleVec::add(single_cmul(m00, a), single_cmul(m01, b))));
    SingleVec::store(p + tstep, SingleVec::blend(mask, b, SingleVec::add(single_cmul(m10, a), single_cmul(m11, b))));
  }
};

VORN_TARGET inline void single_pairs_in_register(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb,
                                                 std::uint64_t ke, std::uint64_t set_mask, std::uint64_t tstep,
                                                 const SingleMatrix2x2& m) {
  constexpr std::uint64_t kW = SingleVec::kWidth;
  const InRegister reg = in_register(walk, set_mask, tstep);
  auto scalar = [&](std::uint64_t b) { update_pair(amp + b, amp + b + tstep, m); };
  const SingleVec::Mask mask = SingleVec::mask_of(reg.touched);
  if (tstep < kW) {
    int first[kW], second[kW];
    SingleComplex c1[kW], c2[kW];
    for (std::uint64_t j = 0; j < kW; ++j) {
      const bool row1 = (j & tstep) != 0;
      first[j] = static_cast<int>(row1 ? j ^ tstep : j);
      second[j] = static_cast<int>(row1 ? j : j ^ tstep);
      c1[j] = row1 ? m.m10 : m.m00;
      c2[j] = row1 ? m.m11 : m.m01;
    }
    const PairInRegister block{SingleVec::index_of(first), SingleVec::index_of(second), lane_entry(c1),
                               lane_entry(c2), mask, reg.any_control()};
    register_groups(amp, walk, kb, ke, set_mask, reg.group, scalar, block);
  } else {
    const PairAcrossRegisters block{single_entry(m.m00), single_entry(m.m01), single_entry(m.m10),
                                    single_entry(m.m11), mask, tstep};
    register_groups(amp, walk, kb, ke, set_mask, reg.group, scalar, block);
  }
}

void single_pairs(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, std::uint64_t tstep, const SingleMatrix2x2& mat) {
  const SingleMatrix2x2 local = mat;
  const SingleComplex entries[4] = {local.m00, local.m01, local.m10, local.m11};
  if (!vector_exact(entries, 4)) {
    kSingleScalarPrimitives.pairs(amp, walk, kb, ke, set_mask, tstep, local);
  } else if ((walk.positions() & (SingleVec::kWidth - 1)) != 0) {
    single_pairs_in_register(amp, walk, kb, ke, set_mask, tstep, local);
  } else if (std::bit_cast<std::uint64_t>(local.m00) == std::bit_cast<std::uint64_t>(local.m10)) {
    single_pair_runs<true>(amp, walk, kb, ke, set_mask, tstep, local);
  } else {
    single_pair_runs<false>(amp, walk, kb, ke, set_mask, tstep, local);
  }
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

// Entry patterns per register for at most this many entries (one pattern per
// setting of the targets outside the register).
constexpr std::uint64_t kMaxPatternEntries = 64;

// A group's register (its targets outside the register all clear) and one
// more register per setting of those targets, each with its lane pattern.
struct DiagonalInRegister {
  const SingleEntry* patterns;  // one per setting of the targets outside
  const std::uint64_t* offsets;  // where that setting's register lies
  std::uint64_t n_patterns;
  SingleVec::Mask mask;
  bool blend;
  VORN_TARGET void operator()(SingleComplex* amp, std::uint64_t start) const {
    for (std::uint64_t h = 0; h < n_patterns; ++h) {
      SingleComplex* p = amp + start + offsets[h];
      const SingleVec::R x = SingleVec::load(p);
      SingleVec::R y = single_cmul(patterns[h], x);
      if (blend) y = SingleVec::blend(mask, x, y);
      SingleVec::store(p, y);
    }
  }
};

VORN_TARGET inline void single_diagonal_in_register(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb,
                                                    std::uint64_t ke, std::uint64_t set_mask, const std::uint64_t* off,
                                                    std::uint64_t dim, const SingleComplex* diag) {
  constexpr std::uint64_t kW = SingleVec::kWidth;
  std::uint64_t targets = 0;
  for (std::uint64_t bit = 1; bit < dim; bit <<= 1) targets |= off[bit];
  const InRegister reg = in_register(walk, set_mask, targets);
  const std::unique_ptr<SingleEntry[]> patterns(new SingleEntry[dim]);
  const std::unique_ptr<std::uint64_t[]> offsets(new std::uint64_t[dim]);
  std::uint64_t n_patterns = 0;
  for (std::uint64_t r = 0; r < dim; ++r) {
    if ((off[r] & (kW - 1)) != 0) continue;  // not a setting of the outside targets alone
    SingleComplex lanes[kW];
    for (std::uint64_t j = 0; j < kW; ++j) {
      std::uint64_t local = r;
      for (std::uint64_t bit = 1; bit < dim; bit <<= 1)
        if (off[bit] < kW && (j & off[bit]) != 0) local |= bit;
      lanes[j] = diag[local];
    }
    offsets[n_patterns] = off[r];
    patterns[n_patterns++] = lane_entry(lanes);
  }
  const DiagonalInRegister block{patterns.get(), offsets.get(), n_patterns, SingleVec::mask_of(reg.touched),
                                 reg.any_control()};
  auto scalar = [&](std::uint64_t b) {
    for (std::uint64_t r = 0; r < dim; ++r) amp[b + off[r]] = cmul(diag[r], amp[b + off[r]]);
  };
  register_groups(amp, walk, kb, ke, set_mask, reg.group, scalar, block);
}

void single_diagonal(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                     std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const SingleComplex* diag) {
  const bool in_register = (walk.positions() & (SingleVec::kWidth - 1)) != 0;
  if (!vector_exact(diag, dim) || (in_register && dim > kMaxPatternEntries)) {
    kSingleScalarPrimitives.diagonal(amp, walk, kb, ke, set_mask, off, dim, diag);
    return;
  }
  if (in_register) {
    single_diagonal_in_register(amp, walk, kb, ke, set_mask, off, dim, diag);
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

// 4x4 groups whose four members lie in four registers (both operands, and
// any controls, at or above the register width): kWidth groups at a time,
// each row summed left to right as update_group does.
VORN_TARGET inline void single_group_runs(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb,
                                          std::uint64_t ke, std::uint64_t s0, std::uint64_t s1,
                                          const SingleMatrix4x4& local) {
  constexpr std::uint64_t kW = SingleVec::kWidth;
  SingleEntry e[16];
  for (std::size_t k = 0; k < 16; ++k) e[k] = single_entry(local.m[k]);
  std::uint64_t base = walk.spread(kb);
  for (std::uint64_t k = kb; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    SingleComplex* p = amp + base;
    std::uint64_t r = 0;
    for (; r + kW <= len; r += kW, p += kW) {
      SingleComplex* const out[4] = {p, p + s0, p + s1, p + s0 + s1};
      const SingleVec::R a[4] = {SingleVec::load(out[0]), SingleVec::load(out[1]), SingleVec::load(out[2]),
                                 SingleVec::load(out[3])};
      for (std::size_t row = 0; row < 4; ++row) {
        const SingleEntry* m = e + 4 * row;
        SingleVec::R acc = single_cmul(m[0], a[0]);
        acc = SingleVec::add(acc, single_cmul(m[1], a[1]));
        acc = SingleVec::add(acc, single_cmul(m[2], a[2]));
        acc = SingleVec::add(acc, single_cmul(m[3], a[3]));
        SingleVec::store(out[row], acc);
      }
    }
    for (; r < len; ++r, ++p) update_group(p, p + s0, p + s1, p + s0 + s1, local);
    k += len;
  }
}

void single_groups(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke, std::uint64_t s0,
                   std::uint64_t s1, const SingleMatrix4x4& m) {
  const SingleMatrix4x4 local = m;
  // An operand inside the register would pair lanes of one register: the
  // scalar primitives take those (and entries the vector cmul cannot match).
  if ((walk.positions() & (SingleVec::kWidth - 1)) != 0 || !vector_exact(local.m.data(), 16)) {
    kSingleScalarPrimitives.groups(amp, walk, kb, ke, s0, s1, local);
    return;
  }
  single_group_runs(amp, walk, kb, ke, s0, s1, local);
}

void single_dense(SingleComplex* amp, const BaseWalk& walk, std::uint64_t kb, std::uint64_t ke,
                  std::uint64_t set_mask, const std::uint64_t* off, std::uint64_t dim, const SingleComplex* m) {
  kSingleScalarPrimitives.dense(amp, walk, kb, ke, set_mask, off, dim, m);
}

// Function addresses only: constant-initialized, whatever the file order.
const SingleRunPrimitives kSingleVector{single_pairs,    single_groups, nullptr,
                                        single_diagonal, single_dense,  single_scale};

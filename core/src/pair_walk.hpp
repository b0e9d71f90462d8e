// The pair walk shared by the vector files: the rest of a run the chunk starts
// inside, then whole short runs unrolled (no inner loop ending every few
// pairs), then the remaining runs one by one. Each file includes this inside
// its own anonymous namespace with VORN_TARGET defined as its target
// attribute, so every instantiation is compiled for that instruction set (a
// lambda would not inherit the attribute; these templates do, being declared
// with it).
//
// Ops supplies, all VORN_TARGET and inline:
//   kPairsPerStep            pairs one step updates (2 or 4)
//   step(p, tstep)           pairs (p[i], p[i + tstep]), i < kPairsPerStep
//   run(p, stride, len, tstep)  one whole run of len pairs, bases stride apart
#pragma once

#ifndef VORN_TARGET
#error "define VORN_TARGET before including pair_walk.hpp"
#endif

// Whole contiguous runs of kPairsPerStep * kSteps pairs from the run-aligned
// k. Returns where it stopped; `base` follows.
template <int kSteps, class Ops>
VORN_TARGET inline std::uint64_t short_runs(const Ops& ops, Complex* amp, const BaseWalk& walk, std::uint64_t& base,
                                            std::uint64_t k, std::uint64_t ke, std::uint64_t set_mask,
                                            std::uint64_t tstep) {
  constexpr std::uint64_t kSpan = Ops::kPairsPerStep * kSteps;
  for (; k + kSpan <= ke; k += kSpan, base = walk.next_run(base)) {
    Complex* p = amp + (base | set_mask);
    for (int i = 0; i < kSteps; ++i) ops.step(p + Ops::kPairsPerStep * i, tstep);
  }
  return k;
}

template <class Ops>
VORN_TARGET inline void pair_walk(const Ops& ops, Complex* amp, const BaseWalk& walk, std::uint64_t kb,
                                  std::uint64_t ke, std::uint64_t set_mask, std::uint64_t tstep) {
  constexpr std::uint64_t kPer = Ops::kPairsPerStep;
  const std::uint64_t stride = walk.stride();
  const std::uint64_t span = walk.span();
  std::uint64_t base = walk.spread(kb);
  std::uint64_t k = kb;
  if (stride == 1 && span >= kPer && span <= 32) {
    if ((k & (span - 1)) != 0) {  // the rest of a run the chunk starts inside
      const std::uint64_t len = walk.run_length(k, ke);
      ops.run(amp + (base | set_mask), stride, len, tstep);
      k += len;
      base = walk.next_run(base);
    }
    if constexpr (kPer <= 2) {
      if (span == 2) k = short_runs<2 / kPer>(ops, amp, walk, base, k, ke, set_mask, tstep);
    }
    if (span == 4) k = short_runs<4 / kPer>(ops, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 8) k = short_runs<8 / kPer>(ops, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 16) k = short_runs<16 / kPer>(ops, amp, walk, base, k, ke, set_mask, tstep);
    if (span == 32) k = short_runs<32 / kPer>(ops, amp, walk, base, k, ke, set_mask, tstep);
  }
  for (; k < ke; base = walk.next_run(base)) {
    const std::uint64_t len = walk.run_length(k, ke);
    ops.run(amp + (base | set_mask), stride, len, tstep);
    k += len;
  }
}

// Pauli expectation values of the distributed state, bit-identical to
// sim::pauli_expectations. That function sums, per string, two quantities
// S1, S2 over the string's pair representatives (i with bit h clear, h the
// highest bit of x; every i when x = 0) through the fixed tree of
// core/reduce. A rank's representatives are one aligned power-of-two block,
// so once that block holds whole leaves its subtree is the single-machine
// subtree: each rank sums its leaves (items in the scalar reference order,
// lane = item mod 8), the subtree totals are gathered on every rank and the
// tree is finished over them in rank order. Parts smaller than a leaf are
// gathered whole instead (they are small by definition).
#include <algorithm>
#include <bit>
#include <numeric>
#include <vector>

#include "mpi_util.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::dist {
namespace {

using U = std::uint64_t;
using detail::check;

// Strings of one x: their z masks and whether each takes the cross products.
struct Group {
  U x = 0;
  unsigned h = 0;
  std::vector<U> z;
  std::vector<unsigned char> imag;
};

inline double signed_by(double v, U mask) { return __builtin_parityll(mask) ? -v : v; }

// Lane sums of one leaf for every string of a group: [string][quantity][lane].
class LeafLanes {
 public:
  explicit LeafLanes(const Group& g) : g_(g), acc_(g.z.size() * 2 * kReduceLanes, 0.0) {}
  // Item with global index `i`, amplitudes a = psi[i], b = psi[i ^ x], in lane `lane`.
  void add(std::size_t lane, U i, const Complex& a, const Complex& b) {
    const double rr = a.re * b.re, ii = a.im * b.im, ri = a.re * b.im, ir = a.im * b.re;
    for (std::size_t s = 0; s < g_.z.size(); ++s) {
      double* slot = acc_.data() + s * 2 * kReduceLanes;
      slot[lane] += signed_by(g_.imag[s] ? ri : rr, i & g_.z[s]);
      slot[kReduceLanes + lane] += signed_by(g_.imag[s] ? ir : ii, i & g_.z[s]);
    }
  }
  // out[2s + q]: the leaf value of quantity q of string s; the lanes restart.
  void finish(double* out) {
    for (std::size_t s = 0; s < g_.z.size(); ++s) {
      out[2 * s] = combine_lanes(acc_.data() + s * 2 * kReduceLanes);
      out[2 * s + 1] = combine_lanes(acc_.data() + s * 2 * kReduceLanes + kReduceLanes);
    }
    std::fill(acc_.begin(), acc_.end(), 0.0);
  }

 private:
  const Group& g_;
  std::vector<double> acc_;
};

// This rank's leaf values (leaf-major, 2m per leaf) when x lies inside the part.
std::vector<double> local_leaves(const Part& part, const Group& g) {
  const U base = static_cast<U>(part.rank) << part.n_local;
  const U reps = g.x == 0 ? part.amplitudes.size() : part.amplitudes.size() / 2;
  const U leaves = reps >> kReduceLeafBits;
  const std::size_t width = 2 * g.z.size();
  std::vector<double> values(leaves * width);
  const Complex* psi = part.amplitudes.data();
  const U low = (U{1} << g.h) - 1;
  auto body = [&](U begin, U end) {
    LeafLanes lanes(g);
    for (U l = begin; l < end; ++l) {
      for (U t = 0; t < kReduceLeafItems; ++t) {
        const U r = (l << kReduceLeafBits) + t;
        const U i = g.x == 0 ? r : ((r & ~low) << 1) | (r & low);
        lanes.add(t % kReduceLanes, base | i, psi[i], psi[i ^ g.x]);
      }
      lanes.finish(values.data() + l * width);
    }
  };
  parallel_for(leaves, body);
  return values;
}

// The same when x has global bits: the ranks whose bit h is clear own the
// representatives (their whole part) and read the partner's part, which it
// sends in chunks in the order they are needed.
std::vector<double> paired_leaves(const Part& part, const Group& g, const Options& options) {
  const U n_local = part.n_local;
  const U rank = static_cast<U>(part.rank);
  const U xg = g.x >> n_local, xl = g.x & ((U{1} << n_local) - 1);
  const int partner = static_cast<int>(rank ^ xg);
  const U chunk = std::min<U>(detail::chunk_amplitudes(n_local, options), part.amplitudes.size());
  const U blocks = part.amplitudes.size() / chunk;
  const U block_flip = xl / chunk, offset_flip = xl % chunk;
  const bool owner = ((rank >> (g.h - n_local)) & 1) == 0;
  if (!owner) {
    for (U j = 0; j < blocks; ++j) {
      check(MPI_Send(part.amplitudes.data() + (j ^ block_flip) * chunk, static_cast<int>(chunk * sizeof(Complex)),
                     MPI_BYTE, partner, detail::kTagPartner, part.comm));
    }
    return {};
  }
  const std::size_t width = 2 * g.z.size();
  std::vector<double> values((part.amplitudes.size() >> kReduceLeafBits) * width);
  Buffer<Complex> in = Buffer<Complex>::uninitialized(chunk);
  LeafLanes lanes(g);
  const U base = rank << n_local;
  const Complex* psi = part.amplitudes.data();
  for (U j = 0; j < blocks; ++j) {
    check(MPI_Recv(in.data(), static_cast<int>(chunk * sizeof(Complex)), MPI_BYTE, partner, detail::kTagPartner,
                   part.comm, MPI_STATUS_IGNORE));
    for (U o = 0; o < chunk; ++o) {
      const U i = j * chunk + o;
      lanes.add(i % kReduceLanes, base | i, psi[i], in[o ^ offset_flip]);
      if ((i + 1) % kReduceLeafItems == 0) lanes.finish(values.data() + (i >> kReduceLeafBits) * width);
    }
  }
  return values;
}

void check_masks(std::span<const U> x_masks, std::span<const U> z_masks, U n) {
  if (x_masks.size() != z_masks.size())
    vorn::fatal(sim::messages::fill(sim::messages::kMaskCounts, x_masks.size(), z_masks.size()));
  for (std::size_t s = 0; s < x_masks.size(); ++s) {
    for (auto [mask, what] : {std::pair{x_masks[s], "x"}, std::pair{z_masks[s], "z"}}) {
      if (n < 64 && (mask >> n) != 0) vorn::fatal(sim::messages::fill(sim::messages::kMaskOutOfRange, what, mask, s, 0, n, n));
    }
  }
}

}  // namespace

std::vector<double> pauli_expectations(const Part& part, std::span<const U> x_masks, std::span<const U> z_masks,
                                       const Options& options) {
  check_masks(x_masks, z_masks, part.n_qubits);
  if (part.n_local <= kReduceLeafBits) {
    // A leaf spans ranks: every rank gets the whole (small) state.
    const U bytes = StateVector::bytes_for(part.n_local);
    Buffer<Complex> all = Buffer<Complex>::uninitialized(part.amplitudes.size() * static_cast<U>(part.ranks));
    check(MPI_Allgather(part.amplitudes.data(), static_cast<int>(bytes), MPI_BYTE, all.data(), static_cast<int>(bytes),
                        MPI_BYTE, part.comm));
    return sim::pauli_expectations({all.data(), all.size()}, x_masks, z_masks);
  }
  // Groups of one x, the same on every rank (sorted, duplicates once).
  std::vector<std::size_t> order(x_masks.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return x_masks[a] != x_masks[b] ? x_masks[a] < x_masks[b] : z_masks[a] < z_masks[b];
  });
  std::vector<double> out(x_masks.size());
  const std::size_t ranks = static_cast<std::size_t>(part.ranks);
  for (std::size_t k = 0; k < order.size();) {
    Group g;
    g.x = x_masks[order[k]];
    g.h = g.x == 0 ? 0u : static_cast<unsigned>(63 - std::countl_zero(g.x));
    std::size_t e = k;
    for (; e < order.size() && x_masks[order[e]] == g.x; ++e) {
      const U z = z_masks[order[e]];
      if (g.z.empty() || g.z.back() != z) {
        g.z.push_back(z);
        g.imag.push_back(static_cast<unsigned char>(std::popcount(g.x & z) & 1));
      }
    }
    const bool global = (g.x >> part.n_local) != 0;
    const std::vector<double> leaves = global ? paired_leaves(part, g, options) : local_leaves(part, g);
    const std::size_t width = 2 * g.z.size();
    // This rank's subtree totals (none when it owns no representatives).
    std::vector<double> mine(width + 1, 0.0);
    std::vector<double> scratch(leaves);
    const U count = leaves.size() / (width == 0 ? 1 : width);
    for (std::size_t c = 0; c < width; ++c) mine[c] = combine_leaves(scratch.data() + c, count, width);
    mine[width] = leaves.empty() ? 0.0 : 1.0;
    std::vector<double> all((width + 1) * ranks);
    check(MPI_Allgather(mine.data(), static_cast<int>(width + 1), MPI_DOUBLE, all.data(), static_cast<int>(width + 1),
                        MPI_DOUBLE, part.comm));
    std::vector<double> totals;
    for (std::size_t s = 0; s < g.z.size(); ++s) {
      double q[2];
      for (std::size_t c = 0; c < 2; ++c) {
        totals.clear();
        for (std::size_t r = 0; r < ranks; ++r) {
          if (all[r * (width + 1) + width] != 0.0) totals.push_back(all[r * (width + 1) + 2 * s + c]);
        }
        q[c] = combine_leaves(totals.data(), totals.size());
      }
      double value;
      if (g.x == 0) {
        value = q[0] + q[1];
      } else {
        const int k4 = std::popcount(g.x & g.z[s]) & 3;
        const double total = (k4 & 1) ? q[0] - q[1] : q[0] + q[1];
        value = k4 < 2 ? total + total : -(total + total);
      }
      for (std::size_t m = k; m < e; ++m) {
        if (z_masks[order[m]] == g.z[s]) out[order[m]] = value;
      }
    }
    k = e;
  }
  return out;
}

std::vector<Complex> expectation_values(const Part& part, const sim::Observables& observables,
                                        const Options& options) {
  const sim::PauliStrings strings = observables.strings();
  return observables.from_strings(pauli_expectations(part, strings.x_masks, strings.z_masks, options));
}

}  // namespace vorn::dist

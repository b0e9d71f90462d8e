// Gate fusion over the compiled gate list (see fusion.hpp): a greedy pass
// that grows a run of gates while the dense product stays worth it, and the
// product itself, column by column through the gates' block kernels.
#include "vorn/simulator/fusion.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "vorn/core/memory.hpp"
#include "vorn/core/operations.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// What a gate costs per amplitude, in units of a single-qubit gate's
// arithmetic (2 complex products), plus kPass for its pass over the block:
// within a cache-sized block, where the blocked runner applies most gates,
// arithmetic is what counts. Controls leave that share of the amplitudes
// alone; a diagonal does 1 product; the generic dense kernel does 2^k
// products per amplitude at about half the speed of the fixed-size ones
// from k = 3 on (bench/vorn_bench_kernels, bench/vorn_bench_fusion).
constexpr double kPass = 0.25;

double dense_cost(std::size_t qubits) {
  const double products = static_cast<double>(U{1} << std::min<std::size_t>(qubits, kMaxGateTargets)) / 2.0;
  return kPass + (qubits >= 3 ? 2.0 * products : products);
}

double cost(const CompiledGate& g) {
  const double share = std::ldexp(1.0, -static_cast<int>(std::min<std::size_t>(g.controls.size(), 60)));
  switch (g.shape) {
    case Shape::Single:
    case Shape::MultiControlled:
    case Shape::DoublyControlled: return kPass + share;
    case Shape::TwoQubit: return kPass + 2.0 * share;
    case Shape::ControlledSwap: return kPass + 0.25 * share;
    case Shape::Diagonal: return kPass + 0.5 * share;
    case Shape::Dense: return kPass + (dense_cost(g.targets.size()) - kPass) * share;
  }
  return kPass + 1.0;
}

// A product of diagonal gates is diagonal: one product per amplitude
// whatever its width.
constexpr double kDiagonalCost = kPass + 0.5;

// Gates whose matrix has nothing off the diagonal (rz, p, cz, cp, rzz, ...;
// controls keep that).
bool is_diagonal(const CompiledGate& g) {
  if (g.shape == Shape::Diagonal) return true;
  if (g.shape == Shape::ControlledSwap) return false;
  const std::size_t dim = g.shape == Shape::Dense ? std::size_t{1} << g.targets.size()
                          : g.shape == Shape::TwoQubit ? 4
                                                       : 2;
  for (std::size_t r = 0; r < dim; ++r) {
    for (std::size_t c = 0; c < dim; ++c) {
      if (r != c && (g.matrix[r * dim + c].re != 0.0 || g.matrix[r * dim + c].im != 0.0)) return false;
    }
  }
  return true;
}

// The run's qubits in first-seen order; bit j of the fused matrix's index is
// qubits[j].
struct Run {
  std::vector<U> qubits;
  std::vector<std::size_t> members;
  double cost = 0.0;        // of the members apart
  bool diagonal = true;     // every member is

  double fused_cost() const { return diagonal ? kDiagonalCost : dense_cost(qubits.size()); }
  // What the run costs as it will be emitted (fused or apart).
  double emitted_cost() const { return members.size() >= 2 ? std::min(cost, fused_cost()) : cost; }
};

std::vector<U> with_operands(std::vector<U> qubits, const CompiledGate& g) {
  for (const auto* list : {&g.controls, &g.targets}) {
    for (U q : *list) {
      if (std::find(qubits.begin(), qubits.end(), q) == qubits.end()) qubits.push_back(q);
    }
  }
  return qubits;
}

// The gate with its operands renamed to positions in `qubits`.
CompiledGate renamed(const CompiledGate& g, const std::vector<U>& qubits) {
  CompiledGate local = g;
  auto position = [&](U q) { return static_cast<U>(std::find(qubits.begin(), qubits.end(), q) - qubits.begin()); };
  for (U& q : local.targets) q = position(q);
  for (U& q : local.controls) q = position(q);
  return local;
}

// Column c of the product = the run's gates applied in order to basis
// vector c. The block has at least kMinBlockQubits qubits so that every
// block kernel sees a size it handles; the columns live in its low 2^k
// entries (the gates touch only qubits below k, so nothing mixes in).
constexpr U kMinBlockQubits = 6;

CompiledGate fused(std::span<const CompiledGate> gates, const Run& run) {
  const std::size_t k = run.qubits.size();
  const U dim = U{1} << k;
  const U block_qubits = std::max<U>(k, kMinBlockQubits);
  std::vector<CompiledGate> local;
  local.reserve(run.members.size());
  for (std::size_t i : run.members) local.push_back(renamed(gates[i], run.qubits));
  std::vector<Complex> matrix(run.diagonal ? dim : dim * dim);
  Buffer<Complex> column = Buffer<Complex>::zeroed(U{1} << block_qubits);
  for (U c = 0; c < dim; ++c) {
    std::fill(column.begin(), column.end(), Complex{0.0, 0.0});
    column[c] = Complex{1.0, 0.0};
    for (const CompiledGate& g : local) apply_gate_local(column.data(), block_qubits, g);
    if (run.diagonal) {
      matrix[c] = column[c];  // the only entry a diagonal product can move to
      continue;
    }
    for (U r = 0; r < dim; ++r) matrix[r * dim + c] = column[r];
  }
  if (run.diagonal) return CompiledGate{Shape::Diagonal, run.qubits, {}, ~U{0}, std::move(matrix)};
  const Shape shape = k == 1 ? Shape::Single : k == 2 ? Shape::TwoQubit : Shape::Dense;
  return CompiledGate{shape, run.qubits, {}, ~U{0}, std::move(matrix)};
}

}  // namespace

std::vector<CompiledGate> fuse_gates(std::span<const CompiledGate> gates, unsigned max_qubits) {
  const std::size_t limit = std::clamp<std::size_t>(max_qubits, 1, kMaxGateTargets);
  // Diagonal runs cost the same at any width: only the table grows.
  const std::size_t diagonal_limit = kMaxGateTargets;
  std::vector<CompiledGate> out;
  // Runs still open, on pairwise disjoint qubits: a gate can join the one(s)
  // it touches even when gates on other qubits came in between (those
  // commute with it). A run is emitted when a gate touching it cannot join,
  // so every gate still follows each gate it shares a qubit with.
  std::vector<Run> open;
  // A run that ends up cheaper apart stays as it was.
  auto emit = [&](const Run& run) {
    if (run.members.size() >= 2 && run.fused_cost() <= run.cost) {
      out.push_back(fused(gates, run));
    } else {
      for (std::size_t i : run.members) out.push_back(gates[i]);
    }
  };
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const CompiledGate& g = gates[i];
    const std::vector<U> operands = with_operands({}, g);
    // The open runs g touches, merged with g when that fits and pays.
    Run joined;
    double separate = cost(g);  // the touched runs as emitted, and g apart
    std::vector<std::size_t> touched;
    for (std::size_t r = 0; r < open.size(); ++r) {
      const bool shares = std::any_of(open[r].qubits.begin(), open[r].qubits.end(), [&](U q) {
        return std::find(operands.begin(), operands.end(), q) != operands.end();
      });
      if (!shares) continue;
      touched.push_back(r);
      for (U q : open[r].qubits) joined.qubits.push_back(q);
      joined.members.insert(joined.members.end(), open[r].members.begin(), open[r].members.end());
      joined.cost += open[r].cost;
      joined.diagonal = joined.diagonal && open[r].diagonal;
      separate += open[r].emitted_cost();
    }
    const bool diagonal = is_diagonal(g);
    joined.diagonal = joined.diagonal && diagonal;
    joined.qubits = with_operands(std::move(joined.qubits), g);
    const bool fits = !touched.empty() && joined.qubits.size() <= (joined.diagonal ? diagonal_limit : limit) &&
                      joined.fused_cost() <= separate;
    if (fits) {
      // The merged members keep their order: runs are emitted as one, and
      // gates of different runs share no qubit.
      std::sort(joined.members.begin(), joined.members.end());
    } else {
      for (std::size_t r : touched) emit(open[r]);
      joined = Run{operands, {}, 0.0, diagonal};
    }
    for (std::size_t k = touched.size(); k-- > 0;) open.erase(open.begin() + static_cast<std::ptrdiff_t>(touched[k]));
    if (operands.size() > (diagonal ? diagonal_limit : limit)) {  // too wide to fuse with anything: as it is
      out.push_back(g);
      continue;
    }
    joined.members.push_back(i);
    joined.cost += cost(g);
    open.push_back(std::move(joined));
  }
  for (const Run& run : open) emit(run);
  return out;
}

}  // namespace vorn::sim

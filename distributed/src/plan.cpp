// Swap planning for the distributed state: which global qubit trades places
// with which local one, and when (see plan.hpp).
#include "vorn/distributed/plan.hpp"

#include <bit>
#include <cstddef>
#include <limits>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/distributed/messages.hpp"

namespace vorn::dist {
namespace {

using U = std::uint64_t;
using sim::CompiledGate;
using sim::Shape;

constexpr U bit(U q) { return U{1} << q; }

// Where each logical qubit is and which logical qubit each position holds.
class Layout {
 public:
  explicit Layout(U n) : phys_(n), logical_(n) {
    for (U q = 0; q < n; ++q) phys_[q] = logical_[q] = q;
  }
  U phys(U q) const { return phys_[q]; }
  U logical(U p) const { return logical_[p]; }
  void swap_positions(U p1, U p2) {
    std::swap(logical_[p1], logical_[p2]);
    phys_[logical_[p1]] = p1;
    phys_[logical_[p2]] = p2;
  }

 private:
  std::vector<U> phys_, logical_;
};

}  // namespace

U needs_local(const CompiledGate& g) noexcept {
  if (g.shape == Shape::Diagonal) return 0;
  // Repeated operands keep their whole-state meaning only when the gate runs as it is.
  if (g.shape == Shape::DoublyControlled || g.shape == Shape::ControlledSwap) return g.qubit_mask();
  U mask = 0;
  for (U q : g.targets) mask |= bit(q);
  return mask;
}

Plan plan_gates(std::span<const CompiledGate> gates, U n_qubits, U n_local) {
  Plan plan;
  plan.n_qubits = n_qubits;
  plan.n_local = n_local;
  std::vector<U> need(gates.size());
  // uses[q]: the gates that need logical qubit q local, ascending.
  std::vector<std::vector<std::size_t>> uses(n_qubits);
  for (std::size_t i = 0; i < gates.size(); ++i) {
    need[i] = needs_local(gates[i]);
    const auto width = static_cast<U>(std::popcount(need[i]));
    if (width > n_local) vorn::fatal(messages::fill(messages::kGateTooWide, i, width, n_local));
    for (U m = need[i]; m != 0; m &= m - 1) uses[static_cast<U>(std::countr_zero(m))].push_back(i);
  }
  std::vector<std::size_t> cursor(n_qubits, 0);
  auto next_use = [&](U q, std::size_t from) {
    std::size_t& c = cursor[q];
    while (c < uses[q].size() && uses[q][c] < from) ++c;
    return c < uses[q].size() ? uses[q][c] : std::numeric_limits<std::size_t>::max();
  };

  Layout layout(n_qubits);
  std::size_t batch_begin = 0;
  auto flush = [&] {
    if (plan.gates.size() > batch_begin) plan.steps.push_back({Step::Kind::Gates, batch_begin, plan.gates.size()});
    batch_begin = plan.gates.size();
  };
  auto exchange = [&](U global_pos, U local_pos) {
    flush();
    plan.steps.push_back({Step::Kind::Exchange, global_pos, local_pos});
    ++plan.exchanges;
    layout.swap_positions(global_pos, local_pos);
  };

  for (std::size_t i = 0; i < gates.size(); ++i) {
    for (U m = need[i]; m != 0; m &= m - 1) {
      const auto q = static_cast<U>(std::countr_zero(m));
      if (layout.phys(q) < n_local) continue;
      // Evict the local qubit needed again last (never, best); among equals
      // the highest position, whose halves are the longest contiguous runs.
      U victim = n_local;
      std::size_t victim_use = 0;
      for (U p = n_local; p-- > 0;) {
        const U lq = layout.logical(p);
        if (need[i] & bit(lq)) continue;
        const std::size_t use = next_use(lq, i);
        if (victim == n_local || use > victim_use) victim = p, victim_use = use;
      }
      exchange(layout.phys(q), victim);
    }
    CompiledGate g = gates[i];
    for (U& q : g.targets) q = layout.phys(q);
    for (U& q : g.controls) q = layout.phys(q);
    plan.gates.push_back(std::move(g));
  }

  // Back to the identity layout: global positions from the top (a position
  // above the one being fixed already holds its own qubit), then local ones.
  for (U g = n_qubits; g-- > n_local;) {
    if (layout.logical(g) == g) continue;
    if (layout.phys(g) >= n_local) exchange(layout.phys(g), n_local - 1);
    exchange(g, layout.phys(g));
  }
  flush();
  for (U p = 0; p < n_local; ++p) {
    if (layout.logical(p) == p) continue;
    const U from = layout.phys(p);
    plan.steps.push_back({Step::Kind::LocalSwap, p, from});
    layout.swap_positions(p, from);
  }
  return plan;
}

std::optional<CompiledGate> localize(const CompiledGate& g, U n_local, U rank) {
  CompiledGate out;
  out.shape = g.shape;
  U values = 0;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < g.controls.size(); ++i) {
    const U q = g.controls[i];
    const U want = (g.control_values >> i) & 1;
    if (q >= n_local) {
      // A control on a rank bit: the whole part is in or out.
      if (((rank >> (q - n_local)) & 1) != want) return std::nullopt;
      continue;
    }
    if (want) values |= bit(kept);
    out.controls.push_back(q);
    ++kept;
  }
  out.control_values = kept < 64 ? values | (~U{0} << kept) : values;
  bool global_target = false;
  for (U q : g.targets) global_target |= q >= n_local;
  if (g.shape != Shape::Diagonal || !global_target) {
    out.targets = g.targets;
    out.matrix = g.matrix;
    return out;
  }
  // The diagonal entries whose global-target bits are this rank's bits.
  U fixed = 0;
  for (std::size_t t = 0; t < g.targets.size(); ++t) {
    const U q = g.targets[t];
    if (q >= n_local) {
      fixed |= ((rank >> (q - n_local)) & 1) << t;
    } else {
      out.targets.push_back(q);
    }
  }
  out.matrix.resize(std::size_t{1} << out.targets.size());
  for (U j = 0; j < out.matrix.size(); ++j) {
    U index = fixed;
    std::size_t next = 0;
    for (std::size_t t = 0; t < g.targets.size(); ++t) {
      if (g.targets[t] < n_local) index |= ((j >> next++) & 1) << t;
    }
    out.matrix[j] = g.matrix[index];
  }
  return out;
}

}  // namespace vorn::dist

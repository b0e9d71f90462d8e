// Gate fusion over the compiled gate list (see fusion.hpp): a greedy pass
// that grows a run of gates while the merged gate, forming its matrix
// included, costs less than the gates apart; then the products, through the
// gates' own block kernels.
#include "vorn/simulator/fusion.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>

#include "vorn/core/operations.hpp"
#include "vorn/simulator/blocking.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// 2^e for -1022 <= e <= 1023, exactly (std::ldexp's call costs more than the
// planner's other work per gate).
double pow2(int e) { return std::bit_cast<double>(static_cast<U>(e + 1023) << 52); }

// ---- what things cost -----------------------------------------------------------
// All in one unit: an amplitude's share of a single-qubit gate's arithmetic
// (2 complex products).
//
// A gate's pass, per amplitude, plus kPass for the pass over the block:
// within a cache-sized block, where the blocked runner applies most gates,
// arithmetic is what counts. Controls leave that share of the amplitudes
// alone; a diagonal does 1 product; the generic dense kernel does 2^k
// products per amplitude at about half the speed of the fixed-size ones from
// k = 3 on (bench/vorn_bench_kernels, bench/vorn_bench_fusion).
constexpr double kPass = 0.25;

double dense_cost(std::size_t qubits) {
  const double products = static_cast<double>(U{1} << std::min<std::size_t>(qubits, kMaxGateTargets)) / 2.0;
  return kPass + (qubits >= 3 ? 2.0 * products : products);
}

double cost(const CompiledGate& g) {
  const double share = pow2(-static_cast<int>(std::min<std::size_t>(g.controls.size(), 60)));
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

// Work that does not grow with the register, in the same unit (measured
// single-threaded on AVX2, where the unit is about 0.35 ns): each kernel
// call (operand checks, the walk, a pool task); setting up its matrix (a
// diagonal's entries are sorted into memory order and widened into vector
// registers, about 21 ns an entry for 2^10 of them; a dense matrix is read);
// forming a product beyond its members' calls (the matrix, the entry); and
// copying a compiled gate into the fused list, which every gate of a list
// with any merged run pays.
constexpr double kCall = 64.0;
constexpr double kProduct = 200.0;
constexpr double kCopy = 200.0;

double set_up(Shape shape, std::size_t targets) {
  const double entries = pow2(static_cast<int>(std::min<std::size_t>(targets, kMaxGateTargets)));
  if (shape == Shape::Diagonal) return entries * (16.0 + 5.0 * static_cast<double>(targets));
  if (shape == Shape::Dense) return 0.5 * entries * entries;
  return 0.0;
}

Shape merged_shape(std::size_t qubits, bool diagonal) {
  if (diagonal) return Shape::Diagonal;
  return qubits == 1 ? Shape::Single : qubits == 2 ? Shape::TwoQubit : Shape::Dense;
}

// The block a product is formed on (fused_list): 2^qubits amplitudes holding
// `columns` columns of 2^k entries side by side, the members applied once
// per batch of columns. Each column is one basis vector; the gates touch
// only qubits below k, so columns never mix. At least 2^6 amplitudes, so
// that every block kernel sees a size it handles; at most 2^14 (256 KiB)
// while 2^k columns would make it larger. A product of Diagonal entries
// forms every column at once (see product()).
constexpr U kMinBlockQubits = 6;
constexpr U kMaxFormingQubits = 14;

struct FormingBlock {
  U qubits;
  U columns;
};

FormingBlock forming_block(U k, bool one_pass) {
  if (one_pass) return {std::max(k, kMinBlockQubits), U{1} << k};
  const U qubits = std::clamp(2 * k, kMinBlockQubits, std::max(k, kMaxFormingQubits));
  return {qubits, std::min(U{1} << k, U{1} << (qubits - k))};
}

// The register the costs are counted on.
struct Register {
  double amplitudes = 1.0;  // 1 when only the work per amplitude is compared
  double calls = 0.0;       // kernel calls one gate takes on the whole register
  bool weighed = false;     // forming the products counts

  explicit Register(U n_qubits) {
    if (n_qubits == 0) return;
    weighed = true;
    amplitudes = pow2(static_cast<int>(std::min<U>(n_qubits, 64)));
    // One call below the pool's threshold; above it the pool's chunks (16,
    // not the pool's own count, so that the plan and its bits are the same
    // on any thread count) and, past a block, one call per cache-sized block.
    const U block = BlockingParams{}.max_block_qubits;
    calls = amplitudes < static_cast<double>(PARALLEL_THRESHOLD)
                ? 1.0
                : std::max(16.0, pow2(static_cast<int>(n_qubits > block ? n_qubits - block : 0)));
  }

  // A pass over the register.
  double pass(double per_amplitude, double per_call) const {
    return amplitudes * per_amplitude + calls * (kCall + per_call);
  }
};

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

// What a run of gates costs merged and apart, and what it is made of.
struct RunCost {
  U width = 0;                // its qubits
  bool diagonal = true;       // every member's matrix is
  bool one_pass = true;       // every member is a Diagonal entry
  double apart = 0.0;         // the members' passes as they are
  double member_work = 0.0;   // sum of the members' work per amplitude
  double member_calls = 0.0;  // sum of the members' per-call work

  void add(const CompiledGate& g, const Register& reg) {
    const double work = cost(g), call = set_up(g.shape, g.targets.size());
    diagonal = diagonal && is_diagonal(g);
    one_pass = one_pass && g.shape == Shape::Diagonal;
    apart += reg.pass(work, call);
    member_work += work;
    member_calls += kCall + call;
  }
  void add(const RunCost& other) {
    diagonal = diagonal && other.diagonal;
    one_pass = one_pass && other.one_pass;
    apart += other.apart;
    member_work += other.member_work;
    member_calls += other.member_calls;
  }

  // The merged gate's passes and forming its matrix once.
  double merged(const Register& reg) const {
    const Shape shape = merged_shape(width, diagonal);
    double total = reg.pass(diagonal ? kDiagonalCost : dense_cost(width), set_up(shape, width));
    if (reg.weighed) {
      const FormingBlock f = forming_block(width, diagonal && one_pass);
      const double batches = pow2(static_cast<int>(width)) / static_cast<double>(f.columns);
      const double entries = pow2(static_cast<int>(diagonal ? width : 2 * width));
      total += batches * (member_work * pow2(static_cast<int>(f.qubits)) + member_calls) + entries + kProduct;
    }
    return total;
  }
};

// No member: the end of a run's chain of members.
constexpr std::size_t kNone = ~std::size_t{0};

// An open run: its qubits in first-seen order (bit j of the merged matrix's
// index is qubits[j]; never more than kMaxGateTargets, as no run grows past
// that), and its members as a chain through the planner's `next`, in no
// particular order. Kept free of allocations: the planner's work per gate
// must stay small beside a pass over a small register.
struct Run {
  U mask = 0;
  std::array<U, kMaxGateTargets> qubits;
  std::size_t head = kNone, tail = kNone, count = 0;
  std::uint64_t seq = 0;  // opened after every run with a smaller one
  RunCost cost;
  double emitted = 0.0;  // what it costs as it will be emitted
  bool merge = false;    // emitted merged (else its members apart)

  // `merged`: cost.merged(reg), already known.
  void set_emitted(double merged) {
    emitted = cost.apart;
    merge = count >= 2 && merged <= cost.apart;
    if (merge) emitted = merged;
  }
  void add_operands(const CompiledGate& g) {
    for (const auto* list : {&g.controls, &g.targets}) {
      for (U q : *list) {
        U* end = qubits.data() + cost.width;
        if (std::find(qubits.data(), end, q) == end) qubits[cost.width++] = q;
      }
    }
  }
  // Links a chain of members from `first` to `last` after the run's own.
  void append(std::size_t first, std::size_t last, std::vector<std::size_t>& next) {
    if (tail == kNone) {
      head = first;
    } else {
      next[tail] = first;
    }
    tail = last;
  }
};

// A run as it left the planner: merged into one gate (qubits at `merged`
// in the planner's list), or its members apart (merged = kNone).
struct Emitted {
  std::size_t head;
  std::size_t count;
  std::size_t merged;
};

U operand_mask(const CompiledGate& g) {
  U mask = 0;
  for (U q : g.controls) mask |= U{1} << q;
  for (U q : g.targets) mask |= U{1} << q;
  return mask;
}

// The members renamed to positions in `qubits`, each in turn in `local`,
// whose vectors keep their capacity from one member to the next.
void rename_into(CompiledGate& local, const CompiledGate& g, std::span<const U> qubits) {
  local = g;
  auto position = [&](U q) { return static_cast<U>(std::find(qubits.begin(), qubits.end(), q) - qubits.begin()); };
  for (U& q : local.targets) q = position(q);
  for (U& q : local.controls) q = position(q);
}

// Reused from one product to the next: the forming block (at most 256 KiB;
// a Buffer would ask the system how much memory is left each time, which
// costs more than a small product) and the renamed members.
struct Forming {
  std::vector<Complex> block;
  std::vector<CompiledGate> local;
};

// Column c of the product = the step's gates applied in order to basis
// vector c, on a forming block (forming_block).
CompiledGate product(std::span<const CompiledGate> gates, std::span<const std::size_t> members,
                     std::span<const U> qubits, bool diagonal, Forming& work) {
  const U k = qubits.size();
  const U dim = U{1} << k;
  if (work.local.size() < members.size()) work.local.resize(members.size());
  bool one_pass = diagonal;
  for (std::size_t m = 0; m < members.size(); ++m) {
    rename_into(work.local[m], gates[members[m]], qubits);
    one_pass = one_pass && work.local[m].shape == Shape::Diagonal;
  }
  const std::span<const CompiledGate> local(work.local.data(), members.size());
  const FormingBlock f = forming_block(k, one_pass);
  std::vector<Complex> matrix(diagonal ? dim : dim * dim);
  std::vector<Complex>& block = work.block;
  block.resize(U{1} << f.qubits);
  if (one_pass) {
    // A Diagonal entry's kernel multiplies each amplitude by its own entry
    // and touches nothing else, so amplitude c goes through what it would in
    // basis vector c, whatever the others hold: every column in one pass.
    std::fill(block.begin(), block.end(), Complex{1.0, 0.0});
    for (const CompiledGate& g : local) apply_gate_local(block.data(), f.qubits, g);
    std::copy_n(block.begin(), dim, matrix.begin());
  } else {
    for (U first = 0; first < dim; first += f.columns) {
      std::fill(block.begin(), block.end(), Complex{0.0, 0.0});
      for (U j = 0; j < f.columns; ++j) block[(j << k) | (first + j)] = Complex{1.0, 0.0};
      for (const CompiledGate& g : local) apply_gate_local(block.data(), f.qubits, g);
      for (U j = 0; j < f.columns; ++j) {
        const U c = first + j;
        const Complex* column = block.data() + (j << k);
        if (diagonal) {
          matrix[c] = column[c];  // the only entry a diagonal product can move to
        } else {
          for (U r = 0; r < dim; ++r) matrix[r * dim + c] = column[r];
        }
      }
    }
  }
  return CompiledGate{merged_shape(k, diagonal), {qubits.begin(), qubits.end()}, {}, ~U{0}, std::move(matrix)};
}

// On fewer qubits no plan is made: the planner's own work, about 50 ns a
// gate, is paid whether or not anything merges, and on 11 qubits a list
// where nothing can (400 cswaps) ran 1.10 times as long as the list alone;
// 1.07 on 12, and 1.03 on 13 (single thread, CPU time). What is lost: 10
// layers of h merged on 10 and 11 qubits ran in 0.78 and 0.60 of the time.
constexpr U kMinPlannedQubits = 12;

}  // namespace

FusionPlan plan_fusion(std::span<const CompiledGate> gates, unsigned max_qubits, U n_qubits) {
  const std::size_t limit = std::clamp<std::size_t>(max_qubits, 1, kMaxGateTargets);
  // Diagonal runs cost the same per amplitude at any width: only the table grows.
  const std::size_t diagonal_limit = kMaxGateTargets;
  if (gates.empty() || (n_qubits != 0 && n_qubits < kMinPlannedQubits)) return {};
  const Register reg(n_qubits);
  std::vector<std::size_t> next(gates.size(), kNone);  // the member after gate i in its run
  std::vector<Emitted> emitted;
  emitted.reserve(gates.size());
  std::vector<std::array<U, kMaxGateTargets + 1>> merged_qubits;  // width, then the qubits
  std::vector<bool> merged_diagonal;
  // Runs still open, on pairwise disjoint qubits: a gate can join the one(s)
  // it touches even when gates on other qubits came in between (those
  // commute with it). A run is emitted when a gate touching it cannot join,
  // so every gate still follows each gate it shares a qubit with. Runs live
  // in `runs`, owner[q] is the open run on qubit q, and runs are merged and
  // emitted in the order they were opened (`seq`).
  std::vector<Run> runs;
  std::vector<std::uint32_t> free, touched;
  constexpr std::uint32_t kNoRun = ~std::uint32_t{0};
  std::array<std::uint32_t, 64> owner;
  owner.fill(kNoRun);
  std::uint64_t opened = 0;
  double gain = 0.0;  // what the merged runs save
  auto emit = [&](const Run& run) {
    if (!run.merge) {
      emitted.push_back({run.head, run.count, kNone});
      return;
    }
    gain += run.cost.apart - run.emitted;
    emitted.push_back({run.head, run.count, merged_qubits.size()});
    auto& q = merged_qubits.emplace_back();
    q[0] = run.cost.width;
    std::copy_n(run.qubits.begin(), run.cost.width, q.begin() + 1);
    merged_diagonal.push_back(run.cost.diagonal);
  };
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const CompiledGate& g = gates[i];
    const U operands = operand_mask(g);
    // The open runs g touches, in the order they were opened, and how many
    // of g's qubits none of them has.
    touched.clear();
    U fresh = 0, width = 0;
    for (U bits = operands; bits != 0; bits &= bits - 1, ++width) {
      const std::uint32_t r = owner[static_cast<std::size_t>(std::countr_zero(bits))];
      if (r == kNoRun) {
        ++fresh;
      } else if (std::find(touched.begin(), touched.end(), r) == touched.end()) {
        auto at = touched.begin();
        while (at != touched.end() && runs[*at].seq < runs[r].seq) ++at;
        touched.insert(at, r);
      }
    }
    // Too wide to fuse with anything, and no run to end: as it is.
    if (touched.empty() && width > limit && (width > diagonal_limit || !is_diagonal(g))) {
      emitted.push_back({i, 1, kNone});
      continue;
    }
    RunCost alone;
    alone.add(g, reg);
    alone.width = width;
    // Merged with g when that fits and pays.
    RunCost joined = alone;
    joined.width = fresh;
    U joined_mask = operands;
    double separate = alone.apart;  // the touched runs as emitted, and g apart
    for (std::uint32_t r : touched) {
      joined_mask |= runs[r].mask;
      joined.add(runs[r].cost);
      joined.width += runs[r].cost.width;
      separate += runs[r].emitted;
    }
    const bool can_join = !touched.empty() && joined.width <= (joined.diagonal ? diagonal_limit : limit);
    const double joined_cost = can_join ? joined.merged(reg) : 0.0;
    const bool fits = can_join && joined_cost <= separate;
    if (!fits) {
      for (std::uint32_t r : touched) emit(runs[r]);
    }
    for (std::uint32_t r : touched) {
      for (U q = 0; q < runs[r].cost.width; ++q) owner[runs[r].qubits[q]] = kNoRun;
    }
    if (alone.width > (alone.diagonal ? diagonal_limit : limit)) {  // too wide to fuse with anything: as it is
      free.insert(free.end(), touched.begin(), touched.end());
      emitted.push_back({i, 1, kNone});
      continue;
    }
    // A slot of its own first: the touched runs are read while it is filled.
    std::uint32_t slot;
    if (free.empty()) {
      slot = static_cast<std::uint32_t>(runs.size());
      runs.emplace_back();
    } else {
      slot = free.back();
      free.pop_back();
    }
    Run& run = runs[slot];
    run.head = run.tail = kNone;
    run.count = 0;
    run.seq = opened++;
    if (fits) {
      run.cost.width = 0;
      for (std::uint32_t r : touched) {
        const Run& part = runs[r];
        std::copy_n(part.qubits.begin(), part.cost.width,
                    run.qubits.begin() + static_cast<std::ptrdiff_t>(run.cost.width));
        run.cost.width += part.cost.width;
        run.append(part.head, part.tail, next);
        run.count += part.count;
      }
      const U width = run.cost.width;
      run.cost = joined;
      run.cost.width = width;
      run.mask = joined_mask;
    } else {
      run.cost = alone;
      run.cost.width = 0;
      run.mask = operands;
    }
    free.insert(free.end(), touched.begin(), touched.end());
    run.add_operands(g);
    run.append(i, i, next);
    ++run.count;
    run.set_emitted(fits ? joined_cost : 0.0);
    for (U q = 0; q < run.cost.width; ++q) owner[run.qubits[q]] = slot;
  }
  // The runs still open, in the order they were opened.
  std::vector<std::uint32_t> open;
  for (std::uint32_t r : owner) {
    if (r != kNoRun && std::find(open.begin(), open.end(), r) == open.end()) open.push_back(r);
  }
  std::sort(open.begin(), open.end(), [&](std::uint32_t a, std::uint32_t b) { return runs[a].seq < runs[b].seq; });
  for (std::uint32_t r : open) emit(runs[r]);
  // Any merge copies the whole list (fused_list).
  if (merged_qubits.empty() || (reg.weighed && gain <= kCopy * static_cast<double>(gates.size()))) return {};
  // Each run's members ascending: a merged one keeps their order (gates of
  // different runs share no qubit), and one apart runs them in order.
  FusionPlan plan;
  plan.steps.reserve(gates.size());
  plan.order.reserve(gates.size());
  for (const Emitted& e : emitted) {
    const std::size_t first = plan.order.size();
    for (std::size_t m = e.head; m != kNone && plan.order.size() - first < e.count; m = next[m]) plan.order.push_back(m);
    std::sort(plan.order.begin() + static_cast<std::ptrdiff_t>(first), plan.order.end());
    if (e.merged != kNone) {
      const auto& q = merged_qubits[e.merged];
      plan.steps.push_back({first, e.count, plan.qubits.size(), q[0], merged_diagonal[e.merged]});
      plan.qubits.insert(plan.qubits.end(), q.begin() + 1, q.begin() + 1 + static_cast<std::ptrdiff_t>(q[0]));
    } else {
      for (std::size_t m = first; m < plan.order.size(); ++m) plan.steps.push_back({m, 1, 0, 0, false});
    }
  }
  return plan;
}

std::vector<CompiledGate> fused_list(std::span<const CompiledGate> gates, const FusionPlan& plan) {
  if (plan.steps.empty()) return {gates.begin(), gates.end()};
  std::vector<CompiledGate> out;
  out.reserve(plan.steps.size());
  Forming work;
  for (const FusionStep& step : plan.steps) {
    const std::span<const std::size_t> members = plan.members(step);
    if (members.size() == 1) {
      out.push_back(gates[members[0]]);
    } else {
      out.push_back(product(gates, members, plan.qubits_of(step), step.diagonal, work));
    }
  }
  return out;
}

std::vector<CompiledGate> fuse_gates(std::span<const CompiledGate> gates, unsigned max_qubits, U n_qubits) {
  return fused_list(gates, plan_fusion(gates, max_qubits, n_qubits));
}

}  // namespace vorn::sim

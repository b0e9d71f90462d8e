// Executes planned segments: each blocked segment is one parallel pass over
// the blocks of the state, every gate applied to a block (gathered into a
// per-thread buffer when its qubits are not all low ones). Used by the engine.
#include <bit>
#include <cstring>
#include <mutex>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "vorn/core/local_kernels.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;


// Bit i of `bits` moved to the position of the i-th set bit of `mask`.
U deposit(U bits, U mask) {
  U out = 0;
  for (; mask != 0 && bits != 0; mask &= mask - 1, bits >>= 1)
    if (bits & 1) out |= mask & (~mask + 1);
  return out;
}

// A diagonal gate with operands outside the block (block_operands): on the
// block at `base` (its outside bits) it is the diagonal on its inside
// operands whose entries are the ones the outside targets' bits select,
// or nothing where an outside control is not met.
struct SplitDiagonal {
  std::size_t index = 0;                  // in the segment's list
  const CompiledGate* source = nullptr;   // the entry with the register's operands
  U control_mask = 0, control_want = 0;   // outside controls, as state bits
  std::vector<std::pair<U, U>> fixed;     // outside targets: (state bit, entry-index bit)
  U inside_bits = 0;                      // the entry-index bits of the inside targets
};

// The segment's gates with each operand renamed to its bit position inside a
// block (its rank among the block's qubits); a split diagonal keeps only its
// inside operands, its entries set per block.
struct LocalGates {
  std::vector<CompiledGate> gates;
  std::vector<SplitDiagonal> split;
  std::vector<int> split_of;  // per gate: its index in `split`, or -1
};

LocalGates local_gates(std::span<const CompiledGate> gates, const Segment& seg) {
  LocalGates out;
  auto inside = [&](U q) { return (seg.qubits >> q & 1) != 0; };
  auto rename = [&](U q) { return static_cast<U>(std::popcount(seg.qubits & lowest_bits(q))); };
  for (std::size_t i = seg.begin; i < seg.end; ++i) {
    const CompiledGate& g = gates[i];
    if ((g.qubit_mask() & ~seg.qubits) == 0) {
      CompiledGate local = g;
      for (U& q : local.targets) q = rename(q);
      for (U& q : local.controls) q = rename(q);
      out.gates.push_back(std::move(local));
      out.split_of.push_back(-1);
      continue;
    }
    SplitDiagonal split{.index = out.gates.size(), .source = &g};
    CompiledGate local{Shape::Diagonal, {}, {}, 0, {}};
    for (std::size_t c = 0; c < g.controls.size(); ++c) {
      const U q = g.controls[c];
      const bool want = (g.control_values >> c & 1) != 0;
      if (inside(q)) {
        if (want) local.control_values |= U{1} << local.controls.size();
        local.controls.push_back(rename(q));
      } else {
        split.control_mask |= U{1} << q;
        if (want) split.control_want |= U{1} << q;
      }
    }
    for (std::size_t t = 0; t < g.targets.size(); ++t) {
      if (inside(g.targets[t])) {
        split.inside_bits |= U{1} << t;
        local.targets.push_back(rename(g.targets[t]));
      } else {
        split.fixed.emplace_back(g.targets[t], U{1} << t);
      }
    }
    local.matrix.resize(std::size_t{1} << local.targets.size());
    if (!g.single_matrix.empty()) local.single_matrix.resize(local.matrix.size());
    out.split_of.push_back(static_cast<int>(out.split.size()));
    out.split.push_back(std::move(split));
    out.gates.push_back(std::move(local));
  }
  return out;
}

// A chunk's own copies of the split diagonals (their entries change per block).
std::vector<CompiledGate> split_copies(const LocalGates& local) {
  std::vector<CompiledGate> out;
  for (const SplitDiagonal& s : local.split) out.push_back(local.gates[s.index]);
  return out;
}

// Sets a split diagonal's entries for the block at `base`; false where an
// outside control is not met (the gate leaves that block alone).
bool set_for_block(CompiledGate& g, const SplitDiagonal& s, U base) {
  if ((base & s.control_mask) != s.control_want) return false;
  U fixed = 0;
  for (const auto& [q, bit] : s.fixed)
    if (base >> q & 1) fixed |= bit;
  const CompiledGate& source = *s.source;
  for (U r = 0; r < g.matrix.size(); ++r) {
    const U entry = fixed | deposit(r, s.inside_bits);
    g.matrix[r] = source.matrix[entry];
    if (!g.single_matrix.empty()) g.single_matrix[r] = source.single_matrix[entry];
  }
  return true;
}

// Gates [begin, end) of the segment on the block at `base`.
template <class C>
void apply_to_block(C* amp, U n_local, const LocalGates& local, std::vector<CompiledGate>& splits, std::size_t begin,
                    std::size_t end, U base) {
  for (std::size_t i = begin; i < end; ++i) {
    const int k = local.split_of[i];
    if (k < 0) {
      apply_gate_local(amp, n_local, local.gates[i]);
    } else if (set_for_block(splits[static_cast<std::size_t>(k)], local.split[static_cast<std::size_t>(k)], base)) {
      apply_gate_local(amp, n_local, splits[static_cast<std::size_t>(k)]);
    }
  }
}

// Gather buffers for one run: a chunk takes one for its block and gives it
// back, so there are only as many as chunks ever ran at once, whichever
// threads (pool workers, or callers that join the loop) ran them.
template <class C>
class Scratch {
 public:
  // A buffer of at least `amplitudes`; kept ones are reused across segments.
  Buffer<C> take(U amplitudes) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty() && free_.back().size() >= amplitudes) {
        Buffer<C> buf = std::move(free_.back());
        free_.pop_back();
        return buf;
      }
    }
    return Buffer<C>::uninitialized(amplitudes);
  }
  void give_back(Buffer<C> buf) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(buf));
  }

 private:
  std::mutex mutex_;
  std::vector<Buffer<C>> free_;
};

// The block of only low qubits 0..n_local-1 is a contiguous slice: no copy.
template <class C>
void run_in_place(BasicStateVector<decltype(C::re)>& state, U n_local, const LocalGates& local, const RunControl* control) {
  C* amp = state.data();
  auto body = [&](U b, U e) {
    std::vector<CompiledGate> splits = split_copies(local);
    for (; b < e; ++b) {
      if (control != nullptr) control->check();
      apply_to_block(amp + (b << n_local), n_local, local, splits, 0, local.gates.size(), b << n_local);
    }
  };
  parallel_for_each_item(state.size() >> n_local, body);
}

// The next value, in ascending order, whose set bits all lie in `mask`.
U next_within(U value, U mask) { return ((value | ~mask) + 1) & mask; }

// Copies a block's runs (run r at state + offsets[r]) into the buffer. The
// runs lie far apart, out of the hardware prefetcher's sight, so each copy
// would wait on its own lines alone; the lines of the run kAhead further on
// are asked for first (into L2, which holds no L1 miss slot). Further ahead,
// the runs' lines, which share a few cache sets, would evict each other.
template <class C>
void gather_runs(const C* state, C* buf, const std::vector<U>& offsets, U low) {
  constexpr U kAhead = 4;
  const std::size_t run_bytes = sizeof(C) << low;
  const U runs = offsets.size();
  for (U r = 0; r < runs; ++r) {
    if (r + kAhead < runs) {
      const char* line = reinterpret_cast<const char*>(state + offsets[r + kAhead]);
      for (std::size_t l = 0; l < run_bytes; l += 64) __builtin_prefetch(line + l, 0, 1);
    }
    std::memcpy(buf + (r << low), state + offsets[r], run_bytes);
  }
}

template <class C>
void scatter_runs(C* state, const C* buf, const std::vector<U>& offsets, U low) {
  const std::size_t run_bytes = sizeof(C) << low;
  for (U r = 0; r < offsets.size(); ++r) std::memcpy(state + offsets[r], buf + (r << low), run_bytes);
}

// A single-qubit gate can ride along with the copy in or out of a block.
template <class T>
struct MovedGate {
  bool present = false;
  BasicMatrix2x2<T> matrix{};
  U target = 0;
};
template <class T>
MovedGate<T> moved_gate(const CompiledGate& g) {
  if (g.shape != Shape::Single) return {};
  const Matrix2x2 m = g.matrix_2x2();
  if constexpr (std::is_same_v<T, float>) {
    return {true, to_single(m), g.targets[0]};
  } else {
    return {true, m, g.targets[0]};
  }
}

// Blocks with high qubits: qubits 0..L-1 plus `high` ones, so a block is
// 2^(n_local-L) contiguous runs of 2^L amplitudes, copied in and out. The
// first gate, if single-qubit, is applied while copying in, and the last
// while copying out, where the kernels allow: two sweeps of the buffer
// fewer, and arithmetic to do while the copy waits on memory.
template <class C>
void run_gathered(BasicStateVector<decltype(C::re)>& state, U qubits, const LocalGates& local, Scratch<C>& scratch,
                  const RunControl* control) {
  const std::vector<CompiledGate>& gates = local.gates;
  const U n_local = static_cast<U>(std::popcount(qubits));
  const U low = static_cast<U>(std::countr_one(qubits));
  const U high = qubits & ~lowest_bits(low);
  const U outside = lowest_bits(state.n_qubits()) & ~qubits;
  const U runs = U{1} << (n_local - low);
  std::vector<U> offsets(runs);
  for (U r = 0, off = 0; r < runs; ++r, off = next_within(off, high)) offsets[r] = off;
  using T = decltype(C::re);
  const MovedGate<T> first = gates.empty() ? MovedGate<T>{} : moved_gate<T>(gates.front());
  const MovedGate<T> last = gates.size() < 2 ? MovedGate<T>{} : moved_gate<T>(gates.back());
  C* amp = state.data();
  auto body = [&](U b, U e) {
    Buffer<C> owned = scratch.take(U{1} << n_local);
    C* buf = owned.data();
    std::vector<CompiledGate> splits = split_copies(local);
    for (U base = deposit(b, outside); b < e; ++b, base = next_within(base, outside)) {
      if (control != nullptr) control->check();
      C* block = amp + base;
      std::size_t begin = 0;
      if (first.present &&
          local::gather_applying(buf, block, offsets.data(), runs, low, first.matrix, first.target)) {
        begin = 1;
      } else {
        gather_runs(block, buf, offsets, low);
      }
      const bool last_on_the_way = last.present && begin < gates.size();
      const std::size_t end = gates.size() - (last_on_the_way ? 1 : 0);
      apply_to_block(buf, n_local, local, splits, begin, end, base);
      if (!last_on_the_way ||
          !local::scatter_applying(block, buf, offsets.data(), runs, low, last.matrix, last.target)) {
        if (last_on_the_way) apply_to_block(buf, n_local, local, splits, end, gates.size(), base);
        scatter_runs(block, buf, offsets, low);
      }
    }
    scratch.give_back(std::move(owned));
  };
  parallel_for_each_item(state.size() >> n_local, body);
}

template <class T>
void apply_gates_to(BasicStateVector<T>& state, std::span<const CompiledGate> gates, const BlockingParams& params,
                    RunControl* control) {
  Scratch<BasicComplex<T>> scratch;
  for (const Segment& seg : plan_segments(gates, state.n_qubits(), params)) {
    if (!seg.blocked()) {
      for (std::size_t i = seg.begin; i < seg.end; ++i) {
        if (control != nullptr) control->check();
        apply_gate(state, gates[i]);
        if (control != nullptr) control->advance(1);
      }
      continue;
    }
    const LocalGates local = local_gates(gates, seg);
    const U n_local = static_cast<U>(std::popcount(seg.qubits));
    if (seg.qubits == lowest_bits(n_local)) {
      run_in_place<BasicComplex<T>>(state, n_local, local, control);
    } else {
      run_gathered(state, seg.qubits, local, scratch, control);
    }
    if (control != nullptr) control->advance(seg.end - seg.begin);
  }
}

}  // namespace

void apply_gates(StateVector& state, std::span<const CompiledGate> gates, const BlockingParams& params,
                 RunControl* control) {
  apply_gates_to(state, gates, params, control);
}

void apply_gates(SingleStateVector& state, std::span<const CompiledGate> gates, const BlockingParams& params,
                 RunControl* control) {
  apply_gates_to(state, gates, params, control);
}

}  // namespace vorn::sim

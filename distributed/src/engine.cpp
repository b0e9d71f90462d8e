// The distributed run: plan, parts, exchanges between rank pairs, the gates
// of each part through the single-machine block runner, then sampling; and
// the gather of the whole state on rank 0.
#include "vorn/distributed/engine.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "mpi_util.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/distributed/messages.hpp"
#include "vorn/distributed/plan.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/random_stream.hpp"

namespace vorn::dist {
namespace {

using U = std::uint64_t;
using detail::check;

constexpr U bit(U q) { return U{1} << q; }

// j with a bit of value v inserted at position p.
constexpr U insert_bit(U j, U p, U v) { return ((j >> p) << (p + 1)) | (v << p) | (j & (bit(p) - 1)); }

constexpr U kCopyGrain = U{1} << 14;

// Rank pair trade for swapping global position g with local position l: the
// amplitudes whose local bit l differs from this rank's bit g go to the
// partner and its matching ones come back into their slots.
void exchange(Part& part, U g, U l, Buffer<Complex>& out, Buffer<Complex>& in, ExchangeStats& stats) {
  const U rank_bit = g - part.n_local;
  const int partner = part.rank ^ static_cast<int>(bit(rank_bit));
  const U leaving = 1 - ((static_cast<U>(part.rank) >> rank_bit) & 1);
  const U half = bit(part.n_local - 1);
  const U chunk = out.size();
  Complex* amp = part.amplitudes.data();
  // Where the leaving slots form runs of at least a chunk (l high), a chunk
  // is sent straight from the state and only the received one is copied.
  const bool contiguous = bit(l) >= chunk;
  for (U j0 = 0; j0 < half; j0 += chunk) {
    const U count = std::min(chunk, half - j0);
    Complex* slots = amp + insert_bit(j0, l, leaving);
    if (contiguous) {
      detail::sendrecv_bytes(slots, in.data(), count * sizeof(Complex), partner, detail::kTagExchange, part.comm);
      std::copy_n(in.data(), count, slots);
    } else {
      auto pack = [&](U b, U e) {
        for (U j = b; j < e; ++j) out[j] = amp[insert_bit(j0 + j, l, leaving)];
      };
      parallel_for(count, kCopyGrain, pack);
      detail::sendrecv_bytes(out.data(), in.data(), count * sizeof(Complex), partner, detail::kTagExchange, part.comm);
      auto unpack = [&](U b, U e) {
        for (U j = b; j < e; ++j) amp[insert_bit(j0 + j, l, leaving)] = in[j];
      };
      parallel_for(count, kCopyGrain, unpack);
    }
    stats.bytes_sent += count * sizeof(Complex);
  }
  ++stats.exchanges;
}

// Swaps local positions a and b of the part: pure data movement.
void local_swap(Part& part, U a, U b) {
  const U lo = std::min(a, b), hi = std::max(a, b);
  Complex* amp = part.amplitudes.data();
  auto body = [&](U begin, U end) {
    for (U j = begin; j < end; ++j) {
      const U base = insert_bit(insert_bit(j, lo, 0), hi, 0);
      std::swap(amp[base | bit(a)], amp[base | bit(b)]);
    }
  };
  // Two distinct local positions: the part has at least 2 local qubits.
  parallel_for(bit(part.n_local - 2), kCopyGrain, body);
}

void check_options(const Options& options) {
  if (options.exchange_bytes != 0 && options.exchange_bytes < 2 * sizeof(Complex))
    vorn::fatal(messages::fill(messages::kExchangeBufferTooSmall, options.exchange_bytes));
  if (options.max_message_bytes < sizeof(Complex) || options.max_message_bytes >= (U{1} << 31))
    vorn::fatal(messages::fill(messages::kMessageLimit, options.max_message_bytes));
}

int comm_size(MPI_Comm comm) {
  int ranks = 1;
  check(MPI_Comm_size(comm, &ranks));
  return ranks;
}

}  // namespace

U local_qubits(U n_qubits, int ranks) {
  if (ranks < 1 || !std::has_single_bit(static_cast<unsigned>(ranks)))
    vorn::fatal(messages::fill(messages::kRanksNotPowerOfTwo, ranks));
  const auto k = static_cast<U>(std::countr_zero(static_cast<unsigned>(ranks)));
  if (n_qubits == 0) vorn::fatal(std::string(vorn::sim::messages::kZeroQubits));
  if (n_qubits > vorn::kMaxQubits + k) vorn::fatal(std::string(vorn::sim::messages::kCapacityOverflow));
  if (n_qubits <= k) vorn::fatal(messages::fill(messages::kTooFewQubits, n_qubits, ranks));
  return n_qubits - k;
}

U required_memory_per_rank(const sim::Program& program, U shots, int ranks, const Options& options) {
  const U n_local = local_qubits(program.n_qubits, ranks);
  U bytes = StateVector::bytes_for(n_local);
  if (ranks > 1) bytes += 2 * sizeof(Complex) * detail::chunk_amplitudes(n_local, options);
  const sim::BlockingParams blocking;
  if (n_local > blocking.max_block_qubits)
    bytes += static_cast<U>(pool_thread_count()) * (sizeof(Complex) << blocking.max_block_qubits);
  if (program.samples && shots >= 1) bytes += sim::whole_sums_sampling_bytes(n_local, shots);  // every sum, per rank
  return bytes;
}

RunResult run_program(MPI_Comm comm, const sim::Program& program, std::optional<U> seed, U shots,
                      const Options& options, sim::RunControl* control, bool require_finite) {
  check_options(options);
  int rank = 0;
  check(MPI_Comm_rank(comm, &rank));
  const int ranks = comm_size(comm);
  const U n_local = local_qubits(program.n_qubits, ranks);
  const Plan plan = plan_gates(program.gates, program.n_qubits, n_local);

  // Every rank checks its own need; a shortfall anywhere stops all of them
  // here, before any rank waits in an exchange for one that failed.
  std::optional<FatalError> shortfall;
  try {
    vorn::require_memory(required_memory_per_rank(program, shots, ranks, options));
  } catch (const FatalError& e) {
    if (e.kind() != FatalError::Kind::OutOfMemory) throw;
    shortfall = e;
  }
  if (const int failed = detail::first_failed_rank(!shortfall, comm); failed >= 0) {
    if (shortfall) throw *shortfall;
    throw FatalError(messages::fill(messages::kOtherRankOutOfMemory, failed), std::source_location::current(),
                     FatalError::Kind::OutOfMemory);
  }

  RunResult result{Part{comm, rank, ranks, program.n_qubits, n_local, StateVector::create(n_local)}, {}, {}};
  Part& part = result.part;
  if (part.rank != 0) {
    part.amplitudes[0] = Complex{0.0, 0.0};
  } else if (program.global_phase != 0.0) {
    DefaultFpEnv fp_env;
    part.amplitudes[0] = Complex{std::cos(program.global_phase), std::sin(program.global_phase)};
  }
  // One stream for all: the seed's, or rank 0's entropy handed to the others.
  std::array<std::uint32_t, 8> key{};
  if (seed) {
    key = sim::RandomStream::from_seed_value(*seed).key();
  } else {
    if (part.rank == 0) key = sim::RandomStream::from_entropy().key();
    check(MPI_Bcast(key.data(), 8, MPI_UINT32_T, 0, comm));
  }
  sim::RandomStream stream = sim::RandomStream::from_key(key);

  Buffer<Complex> out, in;
  if (part.ranks > 1) {
    const U chunk = detail::chunk_amplitudes(part.n_local, options);
    out = Buffer<Complex>::uninitialized(chunk);
    in = Buffer<Complex>::uninitialized(chunk);
  }
  if (control != nullptr) control->set_total(program.gates.size());
  std::vector<sim::CompiledGate> batch;
  for (const Step& step : plan.steps) {
    switch (step.kind) {
      case Step::Kind::Gates:
        batch.clear();
        for (U i = step.a; i < step.b; ++i) {
          if (auto g = localize(plan.gates[i], part.n_local, static_cast<U>(rank))) batch.push_back(std::move(*g));
        }
        // A rank alone may stop between gates; with partners a cancel takes
        // effect at the next exchange, where every rank learns of it at once.
        sim::apply_gates(part.amplitudes, batch, sim::BlockingParams{}, ranks == 1 ? control : nullptr);
        if (control != nullptr && ranks > 1) control->advance(step.b - step.a);
        break;
      case Step::Kind::Exchange:
        detail::agree_on_cancel(control, comm);
        exchange(part, step.a, step.b, out, in, result.stats);
        break;
      case Step::Kind::LocalSwap:
        local_swap(part, step.a, step.b);
        break;
    }
  }
  detail::agree_on_cancel(control, comm);
  out = Buffer<Complex>();
  in = Buffer<Complex>();
  if (program.samples && shots >= 1) {
    result.tally = detail::sample_part(part, stream, shots, options, require_finite, control);
  }
  return result;
}

std::optional<Buffer<Complex>> gather_state(const Part& part, const Options& options) {
  check_options(options);
  const U part_bytes = StateVector::bytes_for(part.n_local);
  Buffer<Complex> all;
  bool fits = true;
  if (part.rank == 0) {
    try {
      all = Buffer<Complex>::uninitialized(part.amplitudes.size() * static_cast<U>(part.ranks));
    } catch (const FatalError& e) {
      if (e.kind() != FatalError::Kind::OutOfMemory) throw;
      fits = false;
    } catch (const std::bad_alloc&) {
      fits = false;
    }
  }
  int flag = fits ? 1 : 0;
  check(MPI_Bcast(&flag, 1, MPI_INT, 0, part.comm));
  if (flag == 0) return std::nullopt;
  if (part.rank != 0) {
    detail::send_bytes(part.amplitudes.data(), part_bytes, 0, detail::kTagGather, part.comm, options.max_message_bytes);
    return Buffer<Complex>();
  }
  std::copy_n(part.amplitudes.data(), part.amplitudes.size(), all.data());
  for (int r = 1; r < part.ranks; ++r) {
    detail::recv_bytes(all.data() + static_cast<U>(r) * part.amplitudes.size(), part_bytes, r, detail::kTagGather,
                       part.comm, options.max_message_bytes);
  }
  return all;
}

}  // namespace vorn::dist

// The state vector split over the ranks of an MPI communicator: 2^k ranks,
// the top k qubits select the rank, each rank holds 2^(n-k) amplitudes. Gates
// run through the single-machine kernels on each part; a gate on a global
// qubit first trades that qubit with a local one between rank pairs, which
// only moves data, so every amplitude sees the arithmetic of the
// single-machine run. Sums over the state follow the single-machine order
// (the fixed tree of core/reduce, the sampler's running sums), so results
// are bit-identical to it on any rank count. Every function here is
// collective: each rank of the communicator calls it with the same arguments.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorn/core/memory.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::dist {

inline constexpr std::uint64_t kDefaultExchangeBytes = std::uint64_t{16} << 20;

struct Options {
  // Bytes of the exchange buffers (send and receive halves together), at
  // most half of a rank's part. 0: kDefaultExchangeBytes (or half the part
  // when that is less): messages of 8 MiB already run at full bandwidth,
  // and a small buffer keeps a rank's peak near its share of the state.
  std::uint64_t exchange_bytes = 0;
  // The largest single message; MPI counts are ints, so below 2^31.
  std::uint64_t max_message_bytes = std::uint64_t{1} << 30;
};

// What moved between ranks during a run (this rank's share).
struct ExchangeStats {
  std::uint64_t exchanges = 0;   // qubit swaps between rank pairs
  std::uint64_t bytes_sent = 0;  // amplitude bytes this rank sent
};

// One rank's part of the state, in the identity layout: rank r holds
// amplitudes r * 2^n_local .. (r + 1) * 2^n_local - 1 in order.
struct Part {
  MPI_Comm comm = MPI_COMM_NULL;
  int rank = 0;
  int ranks = 1;
  std::uint64_t n_qubits = 0;
  std::uint64_t n_local = 0;
  StateVector amplitudes;
};

struct RunResult {
  Part part;
  sim::Tally tally;  // rank 0 only: (outcome, count) ascending; empty on other ranks
  ExchangeStats stats;
};

// Local qubits per rank for n qubits on `ranks` ranks; FatalError for a rank
// count that is not a power of two or leaves a rank without a local qubit.
std::uint64_t local_qubits(std::uint64_t n_qubits, int ranks);

// Bytes one rank allocates at the run's peak: its part, the exchange
// buffers, blocking scratch and, when the program samples, the running sums
// and tally of its part. The figure the run checks on every rank.
std::uint64_t required_memory_per_rank(const sim::Program& program, std::uint64_t shots, int ranks,
                                       const Options& options = {});

// Runs the program: gates, then (when it samples and shots >= 1) the shots
// with the one stream of `seed` (rank 0's entropy, shared, when there is
// none). A memory shortfall on any rank stops every rank before allocating.
// `control` (any rank's) cancels every rank at the next exchange.
RunResult run_program(MPI_Comm comm, const sim::Program& program, std::optional<std::uint64_t> seed,
                      std::uint64_t shots, const Options& options = {}, sim::RunControl* control = nullptr,
                      bool require_finite = false);

// The whole state on rank 0 (an empty buffer elsewhere); nullopt on every
// rank when rank 0 has no room for it.
std::optional<Buffer<Complex>> gather_state(const Part& part, const Options& options = {});

// pauli_expectations of observables.hpp on the distributed state,
// bit-identical to it, on every rank.
std::vector<double> pauli_expectations(const Part& part, std::span<const std::uint64_t> x_masks,
                                       std::span<const std::uint64_t> z_masks, const Options& options = {});
// Observables::expectations on the distributed state: their strings()
// evaluated as above, then from_strings; bit-identical, on every rank.
std::vector<Complex> expectation_values(const Part& part, const sim::Observables& observables,
                                        const Options& options = {});

}  // namespace vorn::dist

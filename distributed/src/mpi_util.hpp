// Small MPI helpers of the distributed layer: checked calls, messages split
// below the int count limit, and decisions every rank takes together.
#pragma once

#include <mpi.h>

#include <cstdint>

#include "vorn/distributed/engine.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::dist::detail {

// FatalError with MPI's text for a failed call.
void check(int rc);

// Sends / receives `bytes` bytes as messages of at most max_message bytes.
void send_bytes(const void* data, std::uint64_t bytes, int dest, int tag, MPI_Comm comm, std::uint64_t max_message);
void recv_bytes(void* data, std::uint64_t bytes, int source, int tag, MPI_Comm comm, std::uint64_t max_message);

// Sends `bytes` from `out` and receives as many into `in` from the same partner.
void sendrecv_bytes(const void* out, void* in, std::uint64_t bytes, int partner, int tag, MPI_Comm comm);

// The first rank whose `ok` is false, or -1 when every rank's is true.
int first_failed_rank(bool ok, MPI_Comm comm);

// Throws RunCancelled on every rank when any rank's control was cancelled.
void agree_on_cancel(const sim::RunControl* control, MPI_Comm comm);

// Amplitudes per exchange message for a part of 2^n_local amplitudes.
std::uint64_t chunk_amplitudes(std::uint64_t n_local, const Options& options);

// Draws `shots` outcomes of the whole register from the distributed state
// (the single-machine sampler's rule, its running sums carried rank to
// rank); the tally on rank 0, empty elsewhere.
sim::Tally sample_part(const Part& part, sim::RandomStream& stream, std::uint64_t shots, const Options& options,
                       bool require_finite, const sim::RunControl* control);

// Message tags, one per kind of traffic.
inline constexpr int kTagExchange = 11;
inline constexpr int kTagGather = 12;
inline constexpr int kTagCarry = 13;
inline constexpr int kTagTally = 14;
inline constexpr int kTagPartner = 15;

}  // namespace vorn::dist::detail

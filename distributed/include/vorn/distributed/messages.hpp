// Message texts the distributed layer raises (through FatalError, so the
// bindings carry them unchanged). messages::fill replaces the "{}" holes.
#pragma once

#include <string_view>

#include "vorn/core/messages.hpp"

namespace vorn::dist::messages {

using vorn::messages::fill;

// {ranks}
inline constexpr std::string_view kRanksNotPowerOfTwo =
    "the distributed state needs a power-of-two number of ranks, got {}";
// {qubits}, {ranks}
inline constexpr std::string_view kTooFewQubits =
    "a {}-qubit register cannot be split over {} ranks: every rank needs at least one local qubit";
// {gate index}, {local qubits it needs}, {local qubits per rank}
inline constexpr std::string_view kGateTooWide =
    "gate {} acts on {} qubits at once but a rank holds only {} local qubits: use fewer ranks";
// {rank}
inline constexpr std::string_view kOtherRankOutOfMemory =
    "out of memory on rank {}: the distributed run was stopped on every rank before allocating";
// {bytes}
inline constexpr std::string_view kExchangeBufferTooSmall =
    "the exchange buffer must hold at least two amplitudes (32 bytes), got {}";
// {bytes}
inline constexpr std::string_view kMessageLimit =
    "the largest message must be between 16 bytes and 2^31 - 1 bytes, got {}";
// {MPI error text}
inline constexpr std::string_view kMpiFailed = "MPI call failed: {}";

}  // namespace vorn::dist::messages

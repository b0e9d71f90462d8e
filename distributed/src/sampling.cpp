// Sampling the distributed state exactly as the single-machine sampler does:
// its running sums are one chain of ascending additions over the whole
// register, so each rank continues the chain where the previous rank's part
// ended; every rank draws the same uniforms and the rank whose sums hold the
// first one above a draw resolves it ("first j with sum > r, else N - 1").
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "mpi_util.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::dist::detail {
namespace {

using U = std::uint64_t;

// Shots drawn and resolved per round (the cancel flag is looked at between rounds).
constexpr U kRound = U{1} << 14;

// What every rank must know of each rank's sums to find a draw's owner.
struct SumsInfo {
  double top;      // the last searchable sum of the part (-inf when none is)
  U searchable;    // sums before the first NaN one
};

}  // namespace

sim::Tally sample_part(const Part& part, sim::RandomStream& stream, U shots, const Options& options,
                       bool require_finite, const sim::RunControl* control) {
  if (require_finite) {
    const bool finite = sim::all_probabilities_finite(part.amplitudes);
    if (first_failed_rank(finite, part.comm) >= 0) throw std::invalid_argument(std::string(sim::messages::kNotSampleable));
  }
  const U size = part.amplitudes.size();
  Buffer<double> sum = part.amplitudes.probabilities();
  double carry = 0.0;
  if (part.rank > 0) check(MPI_Recv(&carry, 1, MPI_DOUBLE, part.rank - 1, kTagCarry, part.comm, MPI_STATUS_IGNORE));
  U searchable = size;
  for (U j = 0; j < size; ++j) {
    carry = carry + sum[j];
    sum[j] = carry;
    if (std::isnan(carry) && searchable == size) searchable = j;
  }
  if (part.rank + 1 < part.ranks) check(MPI_Send(&carry, 1, MPI_DOUBLE, part.rank + 1, kTagCarry, part.comm));

  const SumsInfo mine{searchable > 0 ? sum[searchable - 1] : -std::numeric_limits<double>::infinity(), searchable};
  std::vector<SumsInfo> info(static_cast<std::size_t>(part.ranks));
  check(MPI_Allgather(&mine, sizeof mine, MPI_BYTE, info.data(), sizeof mine, MPI_BYTE, part.comm));
  // Tops of the ranks that are searched: up to the one where the sums turn
  // NaN (included when it has a searchable prefix). Non-decreasing.
  std::vector<double> tops;
  for (const SumsInfo& r : info) {
    if (r.searchable > 0) tops.push_back(r.top);
    if (r.searchable < size) break;
  }

  std::map<U, U> tally;
  std::vector<double> draws(static_cast<std::size_t>(std::min(kRound, shots)));
  const U me = static_cast<U>(part.rank);
  const U last_rank = static_cast<U>(part.ranks - 1);
  for (U shot = 0; shot < shots; shot += kRound) {
    agree_on_cancel(control, part.comm);
    const U lanes = std::min(kRound, shots - shot);
    for (U k = 0; k < lanes; ++k) draws[k] = stream.draw_unit_double();
    for (U k = 0; k < lanes; ++k) {
      const double r = draws[k];
      const auto owner = static_cast<U>(std::upper_bound(tops.begin(), tops.end(), r) - tops.begin());
      if (owner == tops.size()) {
        // No sum above the draw: the last outcome of the register.
        if (me == last_rank) ++tally[size - 1];
      } else if (owner == me) {
        ++tally[static_cast<U>(std::upper_bound(sum.data(), sum.data() + searchable, r) - sum.data())];
      }
    }
  }

  // Rank order is outcome order: rank 0 appends each rank's entries in turn.
  std::vector<U> flat;
  flat.reserve(2 * tally.size());
  for (const auto& [outcome, count] : tally) flat.push_back(outcome), flat.push_back(count);
  if (part.rank != 0) {
    U entries = flat.size();
    check(MPI_Send(&entries, 1, MPI_UINT64_T, 0, kTagTally, part.comm));
    send_bytes(flat.data(), entries * sizeof(U), 0, kTagTally, part.comm, options.max_message_bytes);
    return {};
  }
  sim::Tally out;
  auto append = [&](const std::vector<U>& entries, U rank) {
    for (std::size_t e = 0; e < entries.size(); e += 2) out.emplace_back((rank << part.n_local) | entries[e], entries[e + 1]);
  };
  append(flat, 0);
  for (int r = 1; r < part.ranks; ++r) {
    U entries = 0;
    check(MPI_Recv(&entries, 1, MPI_UINT64_T, r, kTagTally, part.comm, MPI_STATUS_IGNORE));
    std::vector<U> theirs(entries);
    recv_bytes(theirs.data(), entries * sizeof(U), r, kTagTally, part.comm, options.max_message_bytes);
    append(theirs, static_cast<U>(r));
  }
  return out;
}

}  // namespace vorn::dist::detail

// Checked MPI calls and split messages (see mpi_util.hpp).
#include "mpi_util.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/distributed/messages.hpp"

namespace vorn::dist::detail {

using U = std::uint64_t;

void check(int rc) {
  if (rc == MPI_SUCCESS) return;
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(rc, text, &length);
  vorn::fatal(messages::fill(messages::kMpiFailed, std::string(text, static_cast<std::size_t>(length))));
}

void send_bytes(const void* data, U bytes, int dest, int tag, MPI_Comm comm, U max_message) {
  const auto* p = static_cast<const char*>(data);
  for (U done = 0; done < bytes;) {
    const U n = std::min(bytes - done, max_message);
    check(MPI_Send(p + done, static_cast<int>(n), MPI_BYTE, dest, tag, comm));
    done += n;
  }
}

void recv_bytes(void* data, U bytes, int source, int tag, MPI_Comm comm, U max_message) {
  auto* p = static_cast<char*>(data);
  for (U done = 0; done < bytes;) {
    const U n = std::min(bytes - done, max_message);
    check(MPI_Recv(p + done, static_cast<int>(n), MPI_BYTE, source, tag, comm, MPI_STATUS_IGNORE));
    done += n;
  }
}

void sendrecv_bytes(const void* out, void* in, U bytes, int partner, int tag, MPI_Comm comm) {
  check(MPI_Sendrecv(out, static_cast<int>(bytes), MPI_BYTE, partner, tag, in, static_cast<int>(bytes), MPI_BYTE,
                     partner, tag, comm, MPI_STATUS_IGNORE));
}

int first_failed_rank(bool ok, MPI_Comm comm) {
  int ranks = 1;
  check(MPI_Comm_size(comm, &ranks));
  std::vector<int> flags(static_cast<std::size_t>(ranks));
  const int mine = ok ? 1 : 0;
  check(MPI_Allgather(&mine, 1, MPI_INT, flags.data(), 1, MPI_INT, comm));
  for (int r = 0; r < ranks; ++r) {
    if (flags[static_cast<std::size_t>(r)] == 0) return r;
  }
  return -1;
}

void agree_on_cancel(const sim::RunControl* control, MPI_Comm comm) {
  // An int maximum: the one reduction whose result cannot depend on its order.
  const int mine = control != nullptr && control->cancelled() ? 1 : 0;
  int any = 0;
  check(MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, comm));
  if (any != 0) throw sim::RunCancelled{};
}

U chunk_amplitudes(U n_local, const Options& options) {
  const U half_part = (sizeof(Complex) << n_local) / 2;
  U budget = std::min(options.exchange_bytes == 0 ? kDefaultExchangeBytes : options.exchange_bytes, half_part);
  budget = std::min(budget / 2, options.max_message_bytes);  // a send and a receive buffer
  const U amps = budget / sizeof(Complex);
  return amps == 0 ? 1 : std::bit_floor(amps);
}

}  // namespace vorn::dist::detail

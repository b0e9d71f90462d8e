// Texts vorn._mpi_ext raises itself (the engine's own come through FatalError).
#pragma once

#include <string_view>

namespace vorn::ext::mpi_messages {

// A rank whose run stopped because another rank's run was stopped.
inline constexpr std::string_view kCancelledElsewhere = "run cancelled on another rank";

}  // namespace vorn::ext::mpi_messages

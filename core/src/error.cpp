// Raising the core's fatal errors.
#include "vorn/core/error.hpp"

#include <string>

#include "vorn/core/messages.hpp"

namespace vorn {

void fatal(std::string message, std::source_location where) {
  throw FatalError(std::move(message), where);
}

void index_out_of_range(std::uint64_t index, std::uint64_t length, std::source_location where) {
  throw FatalError(messages::fill(messages::kIndexOutOfBounds, length, index), where);
}

}  // namespace vorn

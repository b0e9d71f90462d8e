// Raising the core's fatal errors.
#include "vorn/core/error.hpp"

#include <string>

namespace vorn {

void fatal(std::string message, std::source_location where) {
  throw FatalError(std::move(message), where);
}

void index_out_of_range(std::uint64_t index, std::uint64_t length, std::source_location where) {
  throw FatalError("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                       std::to_string(index),
                   where);
}

}  // namespace vorn

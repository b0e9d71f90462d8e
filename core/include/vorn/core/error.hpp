// The one exception type that ends the current call ("stops the run").
// Thrown by core and simulator code; the Python boundary turns it into
// PanicException (kind Fatal) or MemoryError (kind OutOfMemory).
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace vorn {

class FatalError : public std::exception {
 public:
  enum class Kind { Fatal, OutOfMemory };

  FatalError(std::string message, std::source_location where, Kind kind = Kind::Fatal)
      : message_(std::move(message)), where_(where), kind_(kind) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }
  Kind kind() const noexcept { return kind_; }

 private:
  std::string message_;
  std::source_location where_;
  Kind kind_;
};

// Throws FatalError with the caller's source location.
[[noreturn]] void fatal(std::string message,
                        std::source_location where = std::source_location::current());

// The internal error of a bounds check that failed in a kernel.
[[noreturn]] void index_out_of_range(std::uint64_t index, std::uint64_t length,
                                     std::source_location where = std::source_location::current());

}  // namespace vorn

// Message texts vorn._ext raises itself. The Python package checks its
// arguments first, so these guard the internal calls against a caller that
// skipped those checks.
#pragma once

#include <string_view>

namespace vorn::ext::messages {

// qasm2_parse, qasm2_parse_file
inline constexpr std::string_view kInstructionType = "instruction_type must be a tuple subclass";
inline constexpr std::string_view kPathBytes = "paths are passed as bytes (os.fsencode)";

// counts_dict
inline constexpr std::string_view kTallyLength = "outcomes and tally differ in length";
inline constexpr std::string_view kClbitRange = "counts_dict takes clbits and qubits below 64";

}  // namespace vorn::ext::messages

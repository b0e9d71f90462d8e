// Reading a program or include file, shared by the OpenQASM 2 and 3 readers.
#pragma once

#include <filesystem>
#include <string>

namespace vorn::qasm::detail {

// Reads a whole file into *text; returns what is wrong with it (a file
// problem text of the OpenQASM 2 messages), or an empty string.
std::string read_source(const std::filesystem::path& path, std::string* text);

}  // namespace vorn::qasm::detail

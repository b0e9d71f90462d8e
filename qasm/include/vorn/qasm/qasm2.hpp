// OpenQASM 2.0 reader: turns program text into a flat list of standard gates,
// measurements and barriers on flat qubit/clbit indices. User `gate`
// definitions are inlined at parse time, so the output names only gates of
// the standard set below; qelib1.inc is built in and its gates become the
// standard gates Qiskit's loader makes of them (qiskit.qasm2 with
// LEGACY_CUSTOM_INSTRUCTIONS), so state vectors agree, global phase included.
//
// Output gate names are those of the simulator's standard gate table
// (vorn::sim::standard_gates()) that have a qelib1 name, plus "mcx" and "mcp"
// (every control first, the target last). The reader keeps its own list
// (src/gates.cpp) so that it needs the standard library only; the package's
// tests check that it reads every qelib1 row of the table as that row.
//
// Global phase: OpenQASM 2 has none, so vorn writes a non-zero one as the line
// comment `// vorn: global_phase = <float>` (kGlobalPhaseComment followed by a
// decimal float, Python repr precision); every such comment adds its value to
// Description::global_phase. Other readers see an ordinary comment.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::qasm {

inline constexpr std::string_view kGlobalPhaseComment = "// vorn: global_phase = ";

// Any malformed input. line and column are 1-based; file is empty for the
// program text itself and names the file for errors inside an include.
class ParseError : public std::exception {
 public:
  ParseError(std::string file, std::uint32_t line, std::uint32_t column, std::string message);

  // "line L, column C: message", prefixed by "FILE: " inside an include.
  const char* what() const noexcept override { return what_.c_str(); }
  // what() with its length: a message may quote a NUL from the input.
  const std::string& full_text() const noexcept { return what_; }
  const std::string& message() const noexcept { return message_; }
  const std::string& file() const noexcept { return file_; }
  std::uint32_t line() const noexcept { return line_; }
  std::uint32_t column() const noexcept { return column_; }

 private:
  std::string file_;
  std::uint32_t line_;
  std::uint32_t column_;
  std::string message_;
  std::string what_;
};

struct Register {
  std::string name;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;  // flat index of element 0; registers are laid out in declaration order
};

enum class Kind : std::uint8_t { Gate, Measure, Barrier, Reset, Conditional };

struct Instruction {
  Kind kind = Kind::Gate;
  // For Conditional: what runs under the condition (Gate, Measure, Reset or
  // Barrier), described by the fields below. Equal to kind otherwise.
  Kind conditioned = Kind::Gate;
  std::string name;                   // standard gate name; "measure", "barrier", "reset" otherwise
  std::vector<std::uint64_t> qubits;  // flat indices
  std::vector<double> params;
  std::vector<std::uint64_t> clbits;  // measure: one clbit per qubit
  std::uint32_t condition_creg = 0;   // Conditional: index into Description::cregs
  std::uint64_t condition_value = 0;  // Conditional: runs when that register reads this value
  std::uint32_t line = 0;             // the statement that produced this instruction
  std::uint32_t column = 0;
};

struct Description {
  std::vector<Register> qregs;
  std::vector<Register> cregs;
  std::uint64_t num_qubits = 0;
  std::uint64_t num_clbits = 0;
  double global_phase = 0.0;
  std::vector<Instruction> instructions;
};

// Limits that keep adversarial input from exhausting the stack or memory;
// exceeding one is a ParseError that names it.
struct ParseOptions {
  // Directories searched, in order, for `include` files other than
  // qelib1.inc (which is built in). Empty: any other include is an error.
  std::vector<std::string> include_path;
  std::uint64_t max_instructions = 10'000'000;
  std::uint32_t max_gate_depth = 1000;  // gate definitions calling gate definitions
  std::uint32_t max_include_depth = 16;
};

Description parse(std::string_view source, const ParseOptions& options = {});

// Every gate name a program can use without defining it (U, CX, qelib1.inc
// and its later additions): a writer must not give a register one of these.
std::vector<std::string_view> known_gate_names();

// Reads the file and parses it; the file's own directory is searched for
// includes after options.include_path. I/O failures are a ParseError at line 0.
Description parse_file(const std::string& path, ParseOptions options = {});

}  // namespace vorn::qasm

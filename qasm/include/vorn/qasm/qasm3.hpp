// OpenQASM 3 reader: turns program text into a list of gates of the standard
// gate table, measurements, resets, barriers and if/else blocks on flat
// qubit/clbit indices, beside the OpenQASM 2 reader and with its ParseError.
//
// The program is read and run at once, as a classical interpreter would run
// it: constants are folded, `for` loops over known ranges unrolled, `while`
// loops and `switch` statements on known values taken, `def` subroutines and
// user gates inlined (their text read again at each call). What vorn circuits
// cannot hold (a loop or a classical variable that depends on a measurement,
// a non-integer power of a gate) is refused naming the construct. Timing and
// calibration (delay, box timing, defcal, cal, durations) are accepted and
// ignored with a warning, as Qiskit's importer does.
//
// Gates: those of stdgates.inc (built in) become the rows of the same name
// (phase -> p, cphase -> cp, CX -> cx), U becomes u, gphase the global phase.
// A `gate` definition named like a row of ParseOptions::table_gates with the
// row's signature is read as that row (Description::probes lets the caller
// check that the definition has the row's matrix, and read again with the
// name in ParseOptions::untrusted when not). Modifiers: negctrl becomes X on
// the control before and after; inv and pow(k) (integer k) become repeats of
// the gate with Instruction::inverse; ctrl adds controls in front of the
// operands (Instruction::controls), left for the caller to map to a row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vorn/qasm/qasm2.hpp"  // ParseError, Register

namespace vorn::qasm3 {

using qasm::ParseError;
using qasm::Register;

// One term of a symbolic angle: coeff * input number `input`. `slot` says
// which parameter of the instruction it belongs to.
struct Term {
  std::uint32_t slot = 0;
  std::uint32_t input = 0;
  double coeff = 0.0;
};

enum class Kind : std::uint8_t { Gate, Measure, Reset, Barrier, IfElse };

struct Instruction {
  Kind kind = Kind::Gate;
  bool inverse = false;       // Gate: the inverse of the named gate
  std::uint32_t controls = 0;  // Gate: that many control qubits come first in `qubits`
  std::uint32_t block = 0;     // IfElse: index into Description::blocks
  std::string name;            // row name; "measure", "reset", "barrier", "if_else"
  std::vector<std::uint64_t> qubits;
  std::vector<double> params;  // a symbolic angle's constant part
  std::vector<Term> terms;     // symbolic parts of the angles, by slot
  std::vector<std::uint64_t> clbits;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct Block {
  bool on_register = false;  // the condition reads creg `index` as an integer; else clbit `index`
  std::uint64_t index = 0;
  std::uint64_t value = 0;
  std::vector<Instruction> true_body;
  std::vector<Instruction> false_body;
};

// A definition read as a table row, expanded at fixed angles on qubits
// 0..num_qubits-1 so that the caller can compare the two matrices.
struct Probe {
  std::string definition;
  std::string row;
  std::uint32_t num_qubits = 0;
  std::vector<double> params;
  double phase = 0.0;
  std::vector<Instruction> body;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct Warning {
  std::string file;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string message;
};

struct Description {
  std::vector<Register> qregs;
  std::vector<Register> cregs;
  std::uint64_t num_qubits = 0;
  std::uint64_t num_clbits = 0;
  double global_phase = 0.0;
  std::vector<Term> phase_terms;
  std::vector<std::string> inputs;  // input parameters in declaration order
  std::vector<Instruction> instructions;
  std::vector<Block> blocks;
  std::vector<Probe> probes;
  std::vector<Warning> warnings;
};

// A definition named `name` with this signature means row `row`
// (num_qubits 0: any count of at least one, for mcx and mcp).
struct TableGate {
  std::string name;
  std::string row;
  std::uint32_t num_params = 0;
  std::uint32_t num_qubits = 0;
};

struct ParseOptions {
  std::vector<std::string> include_path;  // searched for includes other than stdgates.inc
  std::vector<TableGate> table_gates;
  std::vector<std::string> untrusted;  // definitions of these names are inlined as written
  // The bound on the instructions a program expands to, and on the steps
  // (statements, gate applications, loop iterations) reading it takes.
  std::uint64_t max_instructions = 10'000'000;
  // Nested gate and subroutine calls, blocks and parentheses: each level is
  // a few frames of the reader's recursion, so this bounds its stack (a few
  // hundred KiB at 256, several times that under AddressSanitizer).
  std::uint32_t max_depth = 256;
  std::uint32_t max_include_depth = 16;
};

Description parse(std::string_view source, const ParseOptions& options = {});
Description parse_file(const std::string& path, ParseOptions options = {});

}  // namespace vorn::qasm3

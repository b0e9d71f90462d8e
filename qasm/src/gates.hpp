// The gates a program can name without defining them: U and CX, qelib1.inc,
// and the later qelib1 additions Qiskit's loader treats as always present.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::qasm::detail {

// How an application of a built-in gate becomes output instructions.
enum class Emit : std::uint8_t {
  Direct,   // one standard gate, same parameters and qubits
  U0,       // u0(n): an idle of n cycles; one "id"
  Mcx,      // c3x / c4x: "mcx", controls then target
  C3Sqrtx,  // controlled^3 sqrt(X): h t; mcp(pi/2) a,b,c,t; h t (sx = h s h exactly)
  Rc3x,     // relative-phase c3x: its standard-gate definition
};

struct Builtin {
  std::string_view name;
  std::uint8_t num_params;
  std::uint8_t num_qubits;
  bool needs_include;    // defined by `include "qelib1.inc";` (otherwise always defined)
  Emit emit;
  std::string_view out;  // output gate name for Emit::Direct
};

std::span<const Builtin> builtins();

// One gate of a fixed expansion: a parameterless gate on argument positions.
struct FixedGate {
  std::string_view name;
  std::uint8_t qubits[2];
  std::uint8_t num_qubits;
};

// rc3x a,b,c,d as Qiskit's RC3XGate defines it (exact, phase included).
std::span<const FixedGate> rc3x_expansion();

}  // namespace vorn::qasm::detail

// Classical values of the OpenQASM 3 reader: what an expression evaluates to
// while the program is read. Unknown stands for a value the reader does not
// have (a statement checked but not run: an untaken branch, a definition);
// Sym is an affine expression of input parameters; Bit, Creg and Cond refer
// to measurement results, which only conditions may use.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vorn::qasm3::detail {

enum class VK : std::uint8_t { Unknown, Bool, Int, Float, Sym, Bit, Creg, Cond, Duration };

enum class Ty : std::uint8_t { Bool, Int, Uint, Float, Angle, Bit, Duration };

struct Value {
  VK k = VK::Unknown;
  bool b = false;
  std::int64_t i = 0;
  double f = 0.0;  // Float; Sym: the constant part
  std::vector<std::pair<std::uint32_t, double>> terms;  // Sym: (input, coefficient), in order of entry
  std::uint64_t index = 0;  // Bit: the clbit; Creg: the register; Cond: either
  bool on_register = false;  // Cond
  std::uint64_t cond_value = 0;  // Cond

  static Value of_bool(bool v) {
    Value x;
    x.k = VK::Bool;
    x.b = v;
    return x;
  }
  static Value of_int(std::int64_t v) {
    Value x;
    x.k = VK::Int;
    x.i = v;
    return x;
  }
  static Value of_float(double v) {
    Value x;
    x.k = VK::Float;
    x.f = v;
    return x;
  }
  bool known() const { return k != VK::Unknown; }
  bool numeric() const { return k == VK::Bool || k == VK::Int || k == VK::Float; }
  double as_double() const { return k == VK::Float ? f : k == VK::Int ? static_cast<double>(i) : b ? 1.0 : 0.0; }
};

}  // namespace vorn::qasm3::detail

#include "gates.hpp"

#include <array>

namespace vorn::qasm::detail {

namespace {
constexpr bool kInc = true;   // comes with qelib1.inc
constexpr bool kAlways = false;

constexpr std::array kBuiltins = {
    Builtin{"U", 3, 1, kAlways, Emit::Direct, "u"},
    Builtin{"CX", 0, 2, kAlways, Emit::Direct, "cx"},
    // qelib1.inc as published with the language.
    Builtin{"u3", 3, 1, kInc, Emit::Direct, "u3"},
    Builtin{"u2", 2, 1, kInc, Emit::Direct, "u2"},
    Builtin{"u1", 1, 1, kInc, Emit::Direct, "u1"},
    Builtin{"cx", 0, 2, kInc, Emit::Direct, "cx"},
    Builtin{"id", 0, 1, kInc, Emit::Direct, "id"},
    Builtin{"x", 0, 1, kInc, Emit::Direct, "x"},
    Builtin{"y", 0, 1, kInc, Emit::Direct, "y"},
    Builtin{"z", 0, 1, kInc, Emit::Direct, "z"},
    Builtin{"h", 0, 1, kInc, Emit::Direct, "h"},
    Builtin{"s", 0, 1, kInc, Emit::Direct, "s"},
    Builtin{"sdg", 0, 1, kInc, Emit::Direct, "sdg"},
    Builtin{"t", 0, 1, kInc, Emit::Direct, "t"},
    Builtin{"tdg", 0, 1, kInc, Emit::Direct, "tdg"},
    Builtin{"rx", 1, 1, kInc, Emit::Direct, "rx"},
    Builtin{"ry", 1, 1, kInc, Emit::Direct, "ry"},
    Builtin{"rz", 1, 1, kInc, Emit::Direct, "rz"},
    Builtin{"cz", 0, 2, kInc, Emit::Direct, "cz"},
    Builtin{"cy", 0, 2, kInc, Emit::Direct, "cy"},
    Builtin{"ch", 0, 2, kInc, Emit::Direct, "ch"},
    Builtin{"ccx", 0, 3, kInc, Emit::Direct, "ccx"},
    Builtin{"crz", 1, 2, kInc, Emit::Direct, "crz"},
    Builtin{"cu1", 1, 2, kInc, Emit::Direct, "cu1"},
    Builtin{"cu3", 3, 2, kInc, Emit::Direct, "cu3"},
    // Later additions to qelib1.inc (Qiskit's exporter and QASMBench use
    // them); Qiskit's loader knows them with or without the include.
    Builtin{"u0", 1, 1, kAlways, Emit::U0, ""},
    Builtin{"u", 3, 1, kAlways, Emit::Direct, "u"},
    Builtin{"p", 1, 1, kAlways, Emit::Direct, "p"},
    Builtin{"sx", 0, 1, kAlways, Emit::Direct, "sx"},
    Builtin{"sxdg", 0, 1, kAlways, Emit::Direct, "sxdg"},
    Builtin{"swap", 0, 2, kAlways, Emit::Direct, "swap"},
    Builtin{"cswap", 0, 3, kAlways, Emit::Direct, "cswap"},
    Builtin{"crx", 1, 2, kAlways, Emit::Direct, "crx"},
    Builtin{"cry", 1, 2, kAlways, Emit::Direct, "cry"},
    Builtin{"cp", 1, 2, kAlways, Emit::Direct, "cp"},
    Builtin{"csx", 0, 2, kAlways, Emit::Direct, "csx"},
    Builtin{"cu", 4, 2, kAlways, Emit::Direct, "cu"},
    Builtin{"rxx", 1, 2, kAlways, Emit::Direct, "rxx"},
    Builtin{"rzz", 1, 2, kAlways, Emit::Direct, "rzz"},
    Builtin{"rccx", 0, 3, kAlways, Emit::Direct, "rccx"},
    Builtin{"rc3x", 0, 4, kAlways, Emit::Rc3x, ""},
    Builtin{"c3x", 0, 4, kAlways, Emit::Mcx, ""},
    Builtin{"c3sqrtx", 0, 4, kAlways, Emit::C3Sqrtx, ""},
    Builtin{"c4x", 0, 5, kAlways, Emit::Mcx, ""},
};

constexpr std::array kRc3x = {
    FixedGate{"h", {3}, 1},       FixedGate{"t", {3}, 1},
    FixedGate{"cx", {2, 3}, 2},   FixedGate{"tdg", {3}, 1},
    FixedGate{"h", {3}, 1},       FixedGate{"cx", {0, 3}, 2},
    FixedGate{"t", {3}, 1},       FixedGate{"cx", {1, 3}, 2},
    FixedGate{"tdg", {3}, 1},     FixedGate{"cx", {0, 3}, 2},
    FixedGate{"t", {3}, 1},       FixedGate{"cx", {1, 3}, 2},
    FixedGate{"tdg", {3}, 1},     FixedGate{"h", {3}, 1},
    FixedGate{"t", {3}, 1},       FixedGate{"cx", {2, 3}, 2},
    FixedGate{"tdg", {3}, 1},     FixedGate{"h", {3}, 1},
};
}  // namespace

std::span<const Builtin> builtins() { return kBuiltins; }
std::span<const FixedGate> rc3x_expansion() { return kRc3x; }

}  // namespace vorn::qasm::detail

// The standard gate library: one row per gate (name, operand and angle names,
// what the other toolkits call it, its text for documentation, and a body
// that makes the compiled entry), the checks every row shares, and `unitary`.
//
// Matrices follow Qiskit 2.x's definitions (crates/circuit/src/gate_matrix.rs,
// which its Python classes' __array__ agree with), global phase included,
// each entry computed with the same double operations in the same order:
// e^(i a) is (cos a, sin a) as cmath/numpy/num_complex give it for a purely
// imaginary argument, a complex times a real scales both parts, sums of
// angles are formed left to right as Qiskit writes them. Two deliberate
// differences, both in the last bit or in the sign of a zero only:
// - 1/sqrt(2) is the correctly rounded constant (as Qiskit's Rust tables and
//   vorn's h/t); Qiskit's Python __array__ of h, ch, t, tdg and u2 uses
//   1/sqrt(2.0), one ulp lower.
// - zero entries are +0.0 where Qiskit's Python arithmetic may leave -0.0.
#include "vorn/simulator/standard_gates.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;
using Params = std::span<const double>;
using Qubits = std::span<const U>;
using Body = CompiledGate (*)(Params, Qubits);

// The correctly rounded 1/sqrt(2) (the constant of vorn's h and t).
const double kS = std::bit_cast<double>(std::uint64_t{0x3FE6A09E667F3BCD});

constexpr Complex k0{0.0, 0.0};
constexpr Complex k1{1.0, 0.0};
constexpr Complex kI{0.0, 1.0};
constexpr Complex kMinusI{0.0, -1.0};
constexpr Complex kMinus1{-1.0, 0.0};
constexpr U kAllOnes = ~U{0};

Complex expi(double a) { return {std::cos(a), std::sin(a)}; }
Complex scale(const Complex& z, double s) { return {z.re * s, z.im * s}; }
Complex neg(const Complex& z) { return {-z.re, -z.im}; }

// ---- entry makers -----------------------------------------------------------

// vorn_python's gates (all but cz): its own compiled entry, so both modules
// give the same bits. Operands are distinct here, so compile_gate never drops one.
CompiledGate shared(GateKind kind, double theta, Qubits q) {
  std::optional<CompiledGate> g = compile_gate(kind, theta, q);
  if (!g) fatal(messages::fill(messages::kCompiledToNothing, gate_info(kind).name));
  return std::move(*g);
}

CompiledGate single(U target, const Matrix2x2& m) {
  return {Shape::Single, {target}, {}, kAllOnes, {m.m00, m.m01, m.m10, m.m11}};
}

// `m` acts on the last operand when every earlier one is 1.
CompiledGate controlled(Qubits q, const Matrix2x2& m) {
  return {Shape::MultiControlled, {q.back()}, {q.begin(), q.end() - 1}, kAllOnes, {m.m00, m.m01, m.m10, m.m11}};
}

// diag(d0, d1) on the last operand when every earlier one is 1; amplitudes
// with a control at 0 are not touched (the identity block of Qiskit's matrix).
CompiledGate phase(Qubits q, Complex d0, Complex d1) {
  return {Shape::Diagonal, {q.back()}, {q.begin(), q.end() - 1}, kAllOnes, {d0, d1}};
}

// Row-major 4x4 in Qiskit's order: local index = bit(q[1])*2 + bit(q[0]).
CompiledGate two_qubit(Qubits q, const std::array<Complex, 16>& m) {
  return {Shape::TwoQubit, {q[0], q[1]}, {}, kAllOnes, {m.begin(), m.end()}};
}

// ---- Qiskit's formulas used by more than one row ------------------------------

// UGate / U3Gate: [[cos, -e^(i lam) sin], [e^(i phi) sin, e^(i (phi+lam)) cos]].
Matrix2x2 u_matrix(double theta, double phi, double lam) {
  const double cos = std::cos(theta / 2);
  const double sin = std::sin(theta / 2);
  return {{cos, 0.0}, scale(neg(expi(lam)), sin), scale(expi(phi), sin), scale(expi(phi + lam), cos)};
}

// CUGate's control-1 block: e^(i gamma) U(theta, phi, lam), each entry with
// gamma added into its exponent first, as Qiskit forms it.
Matrix2x2 cu_block(double theta, double phi, double lam, double gamma) {
  const double cos = std::cos(theta / 2);
  const double sin = std::sin(theta / 2);
  return {scale(expi(gamma), cos), scale(scale(expi(gamma + lam), -1.0), sin), scale(expi(gamma + phi), sin),
          scale(expi(gamma + phi + lam), cos)};
}

constexpr Matrix2x2 kSX{{0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}};
constexpr Matrix2x2 kSXdg{{0.5, -0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}};

// RXX / RYY / RZX share (cos, sin) of theta/2.
struct Half {
  double cos, sin;
  explicit Half(double theta) : cos(std::cos(theta / 2.0)), sin(std::sin(theta / 2.0)) {}
};

// XXPlusYY / XXMinusYY's entries: c = cos(theta/2) and the off-diagonal pair
// -i sin e^(-i beta), -i sin e^(i beta).
struct XxYy {
  Complex c, up, down;
  explicit XxYy(Params p) {
    const double cos = std::cos(p[0] / 2), sin = std::sin(p[0] / 2);
    const Complex minus_isin{0.0, -sin};
    c = {cos, 0.0};
    up = cmul(minus_isin, expi(-p[1]));
    down = cmul(minus_isin, expi(p[1]));
  }
};

// ---- the table ------------------------------------------------------------------

struct Row {
  std::string_view name;
  bool variadic = false;  // controls..., target (one or more operands)
  std::string_view qubits, params, title, matrix, qiskit, cirq, qelib1, qasm2_definition, inverse;
  Body body;  // counts and distinct operands checked before it runs
};

// Named matrices the rows' texts share.
#define VORN_U3_TEXT \
  "[[cos(theta/2), -e^(i lam) sin(theta/2)], [e^(i phi) sin(theta/2), e^(i (phi+lam)) cos(theta/2)]]"
#define VORN_WHEN_CONTROL " on the target when the control is 1, the identity otherwise"

// Operands come after the angles, in Qiskit's order (controls first).
constexpr Row kRows[] = {
    // ---- one qubit ----
    {.name = "id", .qubits = "qubit", .title = "Identity", .matrix = "[[1, 0], [0, 1]]", .qiskit = "IGate",
     .cirq = "I", .qelib1 = "id", .inverse = "id",
     .body = [](Params, Qubits q) { return shared(GateKind::ID, 0.0, q); }},
    {.name = "x", .qubits = "qubit", .title = "Pauli X (NOT)", .matrix = "[[0, 1], [1, 0]]", .qiskit = "XGate",
     .cirq = "X", .qelib1 = "x", .inverse = "x", .body = [](Params, Qubits q) { return shared(GateKind::X, 0.0, q); }},
    {.name = "y", .qubits = "qubit", .title = "Pauli Y", .matrix = "[[0, -i], [i, 0]]", .qiskit = "YGate",
     .cirq = "Y", .qelib1 = "y", .inverse = "y", .body = [](Params, Qubits q) { return shared(GateKind::Y, 0.0, q); }},
    {.name = "z", .qubits = "qubit", .title = "Pauli Z", .matrix = "[[1, 0], [0, -1]]", .qiskit = "ZGate",
     .cirq = "Z", .qelib1 = "z", .inverse = "z", .body = [](Params, Qubits q) { return shared(GateKind::Z, 0.0, q); }},
    {.name = "h", .qubits = "qubit", .title = "Hadamard", .matrix = "1/sqrt(2) [[1, 1], [1, -1]]",
     .qiskit = "HGate", .cirq = "H", .qelib1 = "h", .inverse = "h",
     .body = [](Params, Qubits q) { return shared(GateKind::H, 0.0, q); }},
    {.name = "s", .qubits = "qubit", .title = "S, the square root of Z", .matrix = "[[1, 0], [0, i]]",
     .qiskit = "SGate", .cirq = "S", .qelib1 = "s", .inverse = "sdg",
     .body = [](Params, Qubits q) { return shared(GateKind::S, 0.0, q); }},
    {.name = "sdg", .qubits = "qubit", .title = "The inverse of S", .matrix = "[[1, 0], [0, -i]]",
     .qiskit = "SdgGate", .cirq = "S**-1", .qelib1 = "sdg", .inverse = "s",
     .body = [](Params, Qubits q) { return phase(q, k1, kMinusI); }},
    {.name = "t", .qubits = "qubit", .title = "T, the square root of S", .matrix = "[[1, 0], [0, e^(i pi/4)]]",
     .qiskit = "TGate", .cirq = "T", .qelib1 = "t", .inverse = "tdg",
     .body = [](Params, Qubits q) { return shared(GateKind::T, 0.0, q); }},
    {.name = "tdg", .qubits = "qubit", .title = "The inverse of T", .matrix = "[[1, 0], [0, e^(-i pi/4)]]",
     .qiskit = "TdgGate", .cirq = "T**-1", .qelib1 = "tdg", .inverse = "t",
     .body = [](Params, Qubits q) { return phase(q, k1, {kS, -kS}); }},
    {.name = "sx", .qubits = "qubit", .title = "The square root of X", .matrix = "1/2 [[1+i, 1-i], [1-i, 1+i]]",
     .qiskit = "SXGate", .cirq = "X**0.5", .qelib1 = "sx", .inverse = "sxdg",
     .body = [](Params, Qubits q) { return single(q[0], kSX); }},
    {.name = "sxdg", .qubits = "qubit", .title = "The inverse of sx", .matrix = "1/2 [[1-i, 1+i], [1+i, 1-i]]",
     .qiskit = "SXdgGate", .cirq = "X**-0.5", .qelib1 = "sxdg", .inverse = "sx",
     .body = [](Params, Qubits q) { return single(q[0], kSXdg); }},
    {.name = "r", .qubits = "qubit", .params = "theta phi",
     .title = "Rotation by theta about the axis cos(phi) X + sin(phi) Y",
     .matrix = "[[cos(theta/2), -i e^(-i phi) sin(theta/2)], [-i e^(i phi) sin(theta/2), cos(theta/2)]]",
     .qiskit = "RGate", .qasm2_definition = "gate r(theta,phi) a { u(theta,phi - pi/2,pi/2 - phi) a; }",
     .inverse = "r(-theta,phi)",
     .body = [](Params p, Qubits q) {
       // RGate: [[cos, -i e^(-i phi) sin], [-i e^(i phi) sin, cos]].
       const double cos = std::cos(p[0] / 2), sin = std::sin(p[0] / 2);
       const double cos_phi = std::cos(p[1]), sin_phi = std::sin(p[1]);
       return single(q[0], {{cos, 0.0}, {-sin * sin_phi, -sin * cos_phi}, {sin * sin_phi, -sin * cos_phi}, {cos, 0.0}});
     }},
    {.name = "rx", .qubits = "qubit", .params = "theta", .title = "Rotation about X",
     .matrix = "[[cos(theta/2), -i sin(theta/2)], [-i sin(theta/2), cos(theta/2)]]", .qiskit = "RXGate",
     .cirq = "rx(theta)", .qelib1 = "rx", .inverse = "rx(-theta)",
     .body = [](Params p, Qubits q) { return shared(GateKind::RX, p[0], q); }},
    {.name = "ry", .qubits = "qubit", .params = "theta", .title = "Rotation about Y",
     .matrix = "[[cos(theta/2), -sin(theta/2)], [sin(theta/2), cos(theta/2)]]", .qiskit = "RYGate",
     .cirq = "ry(theta)", .qelib1 = "ry", .inverse = "ry(-theta)",
     .body = [](Params p, Qubits q) { return shared(GateKind::RY, p[0], q); }},
    {.name = "rz", .qubits = "qubit", .params = "phi", .title = "Rotation about Z",
     .matrix = "[[e^(-i phi/2), 0], [0, e^(i phi/2)]]", .qiskit = "RZGate", .cirq = "rz(phi)", .qelib1 = "rz",
     .inverse = "rz(-phi)", .body = [](Params p, Qubits q) { return shared(GateKind::RZ, p[0], q); }},
    {.name = "p", .qubits = "qubit", .params = "theta", .title = "Phase", .matrix = "[[1, 0], [0, e^(i theta)]]",
     .qiskit = "PhaseGate", .cirq = "ZPowGate(theta/pi)", .qelib1 = "p", .inverse = "p(-theta)",
     .body = [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {.name = "u", .qubits = "qubit", .params = "theta phi lam", .title = "Generic single-qubit rotation",
     .matrix = VORN_U3_TEXT, .qiskit = "UGate", .qelib1 = "u", .inverse = "u(-theta,-lam,-phi)",
     .body = [](Params p, Qubits q) { return single(q[0], u_matrix(p[0], p[1], p[2])); }},
    {.name = "u1", .qubits = "qubit", .params = "theta", .title = "Phase (OpenQASM 2's u1)",
     .matrix = "[[1, 0], [0, e^(i theta)]]", .qiskit = "U1Gate", .cirq = "ZPowGate(theta/pi)", .qelib1 = "u1",
     .inverse = "u1(-theta)", .body = [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {.name = "u2", .qubits = "qubit", .params = "phi lam", .title = "u(pi/2, phi, lam) (OpenQASM 2's u2)",
     .matrix = "1/sqrt(2) [[1, -e^(i lam)], [e^(i phi), e^(i (phi+lam))]]", .qiskit = "U2Gate", .qelib1 = "u2",
     .inverse = "u2(-lam-pi,-phi+pi)",
     .body = [](Params p, Qubits q) {
       // U2Gate: U(pi/2, phi, lam) with cos = sin = 1/sqrt(2) written as a constant.
       const double phi = p[0], lam = p[1];
       return single(q[0], {{kS, 0.0}, scale(neg(expi(lam)), kS), scale(expi(phi), kS), scale(expi(phi + lam), kS)});
     }},
    {.name = "u3", .qubits = "qubit", .params = "theta phi lam", .title = "Generic rotation (OpenQASM 2's u3)",
     .matrix = VORN_U3_TEXT, .qiskit = "U3Gate", .qelib1 = "u3", .inverse = "u3(-theta,-lam,-phi)",
     .body = [](Params p, Qubits q) { return single(q[0], u_matrix(p[0], p[1], p[2])); }},
    // ---- one control, one target (control first) ----
    {.name = "cx", .qubits = "control_qubit target_qubit", .title = "Controlled X (CNOT)",
     .matrix = "[[0, 1], [1, 0]]" VORN_WHEN_CONTROL, .qiskit = "CXGate", .cirq = "CNOT", .qelib1 = "cx",
     .inverse = "cx", .body = [](Params, Qubits q) { return shared(GateKind::CX, 0.0, q); }},
    {.name = "cy", .qubits = "control_qubit target_qubit", .title = "Controlled Y",
     .matrix = "[[0, -i], [i, 0]]" VORN_WHEN_CONTROL, .qiskit = "CYGate", .cirq = "Y.controlled", .qelib1 = "cy",
     .inverse = "cy", .body = [](Params, Qubits q) { return controlled(q, matrix_2x2(GateKind::Y, 0.0)); }},
    // On the diagonal path with cp, ccz and mcp: one product on the control-1
    // half, and it joins any blocked run, where vorn_python's cz does all 16
    // products of its 4x4 (4.7x cp(pi)'s time). Values are the same; the
    // zero products vorn_python adds in can give a zero part the other sign.
    {.name = "cz", .qubits = "control_qubit target_qubit", .title = "Controlled Z",
     .matrix = "diag(1, 1, 1, -1)", .qiskit = "CZGate", .cirq = "CZ", .qelib1 = "cz", .inverse = "cz",
     .body = [](Params, Qubits q) { return phase(q, k1, kMinus1); }},
    {.name = "ch", .qubits = "control_qubit target_qubit", .title = "Controlled Hadamard",
     .matrix = "1/sqrt(2) [[1, 1], [1, -1]]" VORN_WHEN_CONTROL, .qiskit = "CHGate", .cirq = "H.controlled",
     .qelib1 = "ch", .inverse = "ch",
     .body = [](Params, Qubits q) { return controlled(q, matrix_2x2(GateKind::H, 0.0)); }},
    {.name = "cs", .qubits = "control_qubit target_qubit", .title = "Controlled S", .matrix = "diag(1, 1, 1, i)",
     .qiskit = "CSGate", .cirq = "S.controlled",
     .qasm2_definition = "gate cs a,b { t a; cx a,b; tdg b; cx a,b; t b; }", .inverse = "csdg",
     .body = [](Params, Qubits q) { return phase(q, k1, kI); }},
    {.name = "csdg", .qubits = "control_qubit target_qubit", .title = "Controlled inverse of S",
     .matrix = "diag(1, 1, 1, -i)", .qiskit = "CSdgGate", .cirq = "S**-1.controlled",
     .qasm2_definition = "gate csdg a,b { tdg a; cx a,b; t b; cx a,b; tdg b; }", .inverse = "cs",
     .body = [](Params, Qubits q) { return phase(q, k1, kMinusI); }},
    {.name = "csx", .qubits = "control_qubit target_qubit", .title = "Controlled square root of X",
     .matrix = "1/2 [[1+i, 1-i], [1-i, 1+i]]" VORN_WHEN_CONTROL, .qiskit = "CSXGate", .cirq = "X**0.5.controlled",
     .qelib1 = "csx", .body = [](Params, Qubits q) { return controlled(q, kSX); }},
    {.name = "cp", .qubits = "control_qubit target_qubit", .params = "theta", .title = "Controlled phase",
     .matrix = "diag(1, 1, 1, e^(i theta))", .qiskit = "CPhaseGate", .cirq = "CZPowGate(theta/pi)", .qelib1 = "cp",
     .inverse = "cp(-theta)", .body = [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {.name = "crx", .qubits = "control_qubit target_qubit", .params = "theta", .title = "Controlled rotation about X",
     .matrix = "[[cos(theta/2), -i sin(theta/2)], [-i sin(theta/2), cos(theta/2)]]" VORN_WHEN_CONTROL,
     .qiskit = "CRXGate", .cirq = "rx(theta).controlled", .qelib1 = "crx", .inverse = "crx(-theta)",
     .body = [](Params p, Qubits q) { return controlled(q, matrix_2x2(GateKind::RX, p[0])); }},
    {.name = "cry", .qubits = "control_qubit target_qubit", .params = "theta", .title = "Controlled rotation about Y",
     .matrix = "[[cos(theta/2), -sin(theta/2)], [sin(theta/2), cos(theta/2)]]" VORN_WHEN_CONTROL,
     .qiskit = "CRYGate", .cirq = "ry(theta).controlled", .qelib1 = "cry", .inverse = "cry(-theta)",
     .body = [](Params p, Qubits q) { return controlled(q, matrix_2x2(GateKind::RY, p[0])); }},
    {.name = "crz", .qubits = "control_qubit target_qubit", .params = "theta", .title = "Controlled rotation about Z",
     .matrix = "diag(1, e^(-i theta/2), 1, e^(i theta/2))", .qiskit = "CRZGate", .cirq = "rz(theta).controlled",
     .qelib1 = "crz", .inverse = "crz(-theta)",
     .body = [](Params p, Qubits q) {
       const Matrix2x2 rz = matrix_2x2(GateKind::RZ, p[0]);
       return phase(q, rz.m00, rz.m11);
     }},
    {.name = "cu", .qubits = "control_qubit target_qubit", .params = "theta phi lam gamma",
     .title = "Controlled e^(i gamma) u(theta, phi, lam)", .matrix = "e^(i gamma) " VORN_U3_TEXT VORN_WHEN_CONTROL,
     .qiskit = "CUGate", .qelib1 = "cu", .inverse = "cu(-theta,-lam,-phi,-gamma)",
     .body = [](Params p, Qubits q) { return controlled(q, cu_block(p[0], p[1], p[2], p[3])); }},
    {.name = "cu1", .qubits = "control_qubit target_qubit", .params = "theta",
     .title = "Controlled phase (OpenQASM 2's cu1)", .matrix = "diag(1, 1, 1, e^(i theta))", .qiskit = "CU1Gate",
     .cirq = "CZPowGate(theta/pi)", .qelib1 = "cu1", .inverse = "cu1(-theta)",
     .body = [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {.name = "cu3", .qubits = "control_qubit target_qubit", .params = "theta phi lam",
     .title = "Controlled u3 (OpenQASM 2's cu3)", .matrix = VORN_U3_TEXT VORN_WHEN_CONTROL, .qiskit = "CU3Gate",
     .qelib1 = "cu3", .inverse = "cu3(-theta,-lam,-phi)",
     .body = [](Params p, Qubits q) { return controlled(q, u_matrix(p[0], p[1], p[2])); }},
    // ---- two qubits ----
    {.name = "swap", .qubits = "qubit1 qubit2", .title = "Swap",
     .matrix = "[[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]", .qiskit = "SwapGate", .cirq = "SWAP",
     .qelib1 = "swap", .inverse = "swap", .body = [](Params, Qubits q) { return shared(GateKind::SWAP, 0.0, q); }},
    {.name = "iswap", .qubits = "qubit1 qubit2", .title = "iSWAP: swap with a phase i on |01> and |10>",
     .matrix = "[[1, 0, 0, 0], [0, 0, i, 0], [0, i, 0, 0], [0, 0, 0, 1]]", .qiskit = "iSwapGate", .cirq = "ISWAP",
     .qasm2_definition = "gate iswap a,b { s a; s b; h a; cx a,b; cx b,a; h b; }",
     .body = [](Params, Qubits q) {
       return two_qubit(q, {k1, k0, k0, k0, k0, k0, kI, k0, k0, kI, k0, k0, k0, k0, k0, k1});
     }},
    {.name = "dcx", .qubits = "qubit1 qubit2", .title = "Double CNOT: cx(qubit1, qubit2), then cx(qubit2, qubit1)",
     .matrix = "[[1, 0, 0, 0], [0, 0, 0, 1], [0, 1, 0, 0], [0, 0, 1, 0]]", .qiskit = "DCXGate",
     .qasm2_definition = "gate dcx a,b { cx a,b; cx b,a; }", .inverse = "dcx qubit2 qubit1",
     .body = [](Params, Qubits q) {
       return two_qubit(q, {k1, k0, k0, k0, k0, k0, k0, k1, k0, k1, k0, k0, k0, k0, k1, k0});
     }},
    {.name = "ecr", .qubits = "qubit1 qubit2", .title = "Echoed cross-resonance",
     .matrix = "1/sqrt(2) [[0, 1, 0, i], [1, 0, -i, 0], [0, i, 0, 1], [-i, 0, 1, 0]]", .qiskit = "ECRGate",
     .qasm2_definition =
         "gate ecr a,b { h b; cx a,b; rz(pi/4) b; cx a,b; h b; x a; h b; cx a,b; rz(-pi/4) b; cx a,b; h b; }",
     .inverse = "ecr",
     .body = [](Params, Qubits q) {
       const Complex s{kS, 0.0}, is{0.0, kS}, mis{0.0, -kS};
       return two_qubit(q, {k0, s, k0, is, s, k0, mis, k0, k0, is, k0, s, mis, k0, s, k0});
     }},
    {.name = "rxx", .qubits = "qubit1 qubit2", .params = "theta", .title = "Ising XX rotation, exp(-i theta/2 X(x)X)",
     .matrix = "[[c, 0, 0, -is], [0, c, -is, 0], [0, -is, c, 0], [-is, 0, 0, c]], c = cos(theta/2), s = sin(theta/2)",
     .qiskit = "RXXGate", .qelib1 = "rxx", .inverse = "rxx(-theta)",
     .body = [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, k0, mis, k0, c, mis, k0, k0, mis, c, k0, mis, k0, k0, c});
     }},
    {.name = "ryy", .qubits = "qubit1 qubit2", .params = "theta", .title = "Ising YY rotation, exp(-i theta/2 Y(x)Y)",
     .matrix = "[[c, 0, 0, is], [0, c, -is, 0], [0, -is, c, 0], [is, 0, 0, c]], c = cos(theta/2), s = sin(theta/2)",
     .qiskit = "RYYGate",
     .qasm2_definition = "gate ryy(theta) a,b { sxdg a; sxdg b; cx a,b; rz(theta) b; cx a,b; sx a; sx b; }",
     .inverse = "ryy(-theta)",
     .body = [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, is{0.0, h.sin}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, k0, is, k0, c, mis, k0, k0, mis, c, k0, is, k0, k0, c});
     }},
    {.name = "rzz", .qubits = "qubit1 qubit2", .params = "theta", .title = "Ising ZZ rotation, exp(-i theta/2 Z(x)Z)",
     .matrix = "diag(e^(-i theta/2), e^(i theta/2), e^(i theta/2), e^(-i theta/2))", .qiskit = "RZZGate",
     .qelib1 = "rzz", .inverse = "rzz(-theta)",
     .body = [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex minus{h.cos, -h.sin}, plus{h.cos, h.sin};
       return CompiledGate{Shape::Diagonal, {q[0], q[1]}, {}, kAllOnes, {minus, plus, plus, minus}};
     }},
    {.name = "rzx", .qubits = "qubit1 qubit2", .params = "theta",
     .title = "ZX rotation, exp(-i theta/2 X(x)Z) (Z on qubit1)",
     .matrix = "[[c, 0, -is, 0], [0, c, 0, is], [-is, 0, c, 0], [0, is, 0, c]], c = cos(theta/2), s = sin(theta/2)",
     .qiskit = "RZXGate", .qasm2_definition = "gate rzx(theta) a,b { h b; cx a,b; rz(theta) b; cx a,b; h b; }",
     .inverse = "rzx(-theta)",
     .body = [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, is{0.0, h.sin}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, mis, k0, k0, c, k0, is, mis, k0, c, k0, k0, is, k0, c});
     }},
    {.name = "xx_plus_yy", .qubits = "qubit1 qubit2", .params = "theta beta", .title = "XX+YY interaction",
     .matrix = "[[1, 0, 0, 0], [0, c, -is e^(-i beta), 0], [0, -is e^(i beta), c, 0], [0, 0, 0, 1]], "
               "c = cos(theta/2), s = sin(theta/2)",
     .qiskit = "XXPlusYYGate",
     .qasm2_definition = "gate xx_plus_yy(theta,beta) a,b { rz(beta) a; sdg b; sx b; s b; s a; cx b,a; "
                         "ry(-0.5*theta) b; ry(-0.5*theta) a; cx b,a; sdg a; sdg b; sxdg b; s b; rz(-beta) a; }",
     .inverse = "xx_plus_yy(-theta,beta)",
     .body = [](Params p, Qubits q) {
       const auto [c, up, down] = XxYy(p);
       return two_qubit(q, {k1, k0, k0, k0, k0, c, up, k0, k0, down, c, k0, k0, k0, k0, k1});
     }},
    {.name = "xx_minus_yy", .qubits = "qubit1 qubit2", .params = "theta beta", .title = "XX-YY interaction",
     .matrix = "[[c, 0, 0, -is e^(-i beta)], [0, 1, 0, 0], [0, 0, 1, 0], [-is e^(i beta), 0, 0, c]], "
               "c = cos(theta/2), s = sin(theta/2)",
     .qiskit = "XXMinusYYGate",
     .qasm2_definition = "gate xx_minus_yy(theta,beta) a,b { rz(-beta) b; sdg a; sx a; s a; s b; cx a,b; "
                         "ry(0.5*theta) a; ry(-0.5*theta) b; cx a,b; sdg b; sdg a; sxdg a; s a; rz(beta) b; }",
     .inverse = "xx_minus_yy(-theta,beta)",
     .body = [](Params p, Qubits q) {
       const auto [c, up, down] = XxYy(p);
       return two_qubit(q, {c, k0, k0, up, k0, k1, k0, k0, k0, k0, k1, k0, down, k0, k0, c});
     }},
    // ---- three qubits ----
    {.name = "ccx", .qubits = "control_qubit1 control_qubit2 target_qubit", .title = "Toffoli (doubly controlled X)",
     .matrix = "[[0, 1], [1, 0]] on the target when both controls are 1, the identity otherwise",
     .qiskit = "CCXGate", .cirq = "CCX", .qelib1 = "ccx", .inverse = "ccx",
     .body = [](Params, Qubits q) { return shared(GateKind::CCX, 0.0, q); }},
    {.name = "ccz", .qubits = "control_qubit1 control_qubit2 target_qubit", .title = "Doubly controlled Z",
     .matrix = "diag(1, 1, 1, 1, 1, 1, 1, -1)", .qiskit = "CCZGate", .cirq = "CCZ",
     .qasm2_definition = "gate ccz a,b,c { h c; ccx a,b,c; h c; }", .inverse = "ccz",
     .body = [](Params, Qubits q) { return phase(q, k1, kMinus1); }},
    {.name = "cswap", .qubits = "control_qubit target_qubit1 target_qubit2", .title = "Fredkin (controlled swap)",
     .matrix = "swaps the targets when the control is 1, the identity otherwise", .qiskit = "CSwapGate",
     .cirq = "CSWAP", .qelib1 = "cswap", .inverse = "cswap",
     .body = [](Params, Qubits q) { return shared(GateKind::CSWAP, 0.0, q); }},
    {.name = "rccx", .qubits = "control_qubit1 control_qubit2 target_qubit", .title = "Relative-phase Toffoli",
     .matrix = "the identity except entries (3, 3) = (7, 7) = 0, (3, 7) = -i, (7, 3) = i, (5, 5) = -1",
     .qiskit = "RCCXGate", .qelib1 = "rccx", .inverse = "rccx",
     .body = [](Params, Qubits q) {
       // RCCXGate: the identity except rows 3 (-i at column 7), 5 (-1) and 7 (i at column 3).
       std::vector<Complex> m(64, k0);
       for (int r : {0, 1, 2, 4, 6}) m[9 * r] = k1;
       m[8 * 3 + 7] = kMinusI;
       m[8 * 5 + 5] = kMinus1;
       m[8 * 7 + 3] = kI;
       return CompiledGate{Shape::Dense, {q[0], q[1], q[2]}, {}, kAllOnes, std::move(m)};
     }},
    // ---- any number of controls, then the target ----
    // With no controls Qiskit's mcx is X and mcp is P(lam); so here.
    {.name = "mcx", .variadic = true, .qubits = "control_qubits target_qubit", .title = "Multi-controlled X",
     .matrix = "[[0, 1], [1, 0]] on the target when every control is 1, the identity otherwise",
     .qiskit = "MCXGate C3XGate C4XGate", .cirq = "X.controlled", .inverse = "mcx",
     .body = [](Params, Qubits q) {
       if (q.size() == 1) return shared(GateKind::X, 0.0, q);
       return controlled(q, matrix_2x2(GateKind::X, 0.0));
     }},
    {.name = "mcp", .variadic = true, .qubits = "control_qubits target_qubit", .params = "lam",
     .title = "Multi-controlled phase", .matrix = "diag(1, e^(i lam)) on the target when every control is 1, "
                                                  "the identity otherwise",
     .qiskit = "MCPhaseGate MCU1Gate", .cirq = "ZPowGate(lam/pi).controlled", .inverse = "mcp(-lam)",
     .body = [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
};
#undef VORN_U3_TEXT
#undef VORN_WHEN_CONTROL

constexpr std::size_t kRowCount = std::size(kRows);

constexpr std::uint8_t count_words(std::string_view list) {
  std::uint8_t n = 0;
  bool in_word = false;
  for (char c : list) {
    if (c != ' ' && !in_word) ++n;
    in_word = c != ' ';
  }
  return n;
}

constexpr std::uint8_t n_qubits(const Row& row) { return row.variadic ? 0 : count_words(row.qubits); }
constexpr std::uint8_t n_params(const Row& row) { return count_words(row.params); }

// Names an operand used twice; for any count of operands and any qubit value.
void require_distinct(std::string_view gate, Qubits q) {
  std::vector<U> sorted(q.begin(), q.end());
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end())
    fatal(messages::fill(messages::kQubitUsedTwice, gate, *twice));
}

void check_call(const Row& row, Params p, Qubits q) {
  const bool qubits_ok = row.variadic ? !q.empty() : q.size() == n_qubits(row);
  if (p.size() != n_params(row) || !qubits_ok) {
    const std::string wanted = row.variadic ? std::string(messages::kControlsAndTarget)
                                            : messages::fill(messages::kQubitsWanted, n_qubits(row));
    fatal(messages::fill(messages::kGateCall, row.name, n_params(row), wanted, p.size(), q.size()));
  }
  // Non-finite angles are accepted, as vorn_python accepts them: the matrix
  // carries the NaN and the state shows it.
  require_distinct(row.name, q);
}

// The function a table entry points to: the shared checks, then the row's
// body under the default FP environment (cos/sin of subnormal angles and the
// products must not see a caller's flush-to-zero / denormals-are-zero).
template <std::size_t I>
CompiledGate build_row(Params p, Qubits q) {
  check_call(kRows[I], p, q);
  DefaultFpEnv fp_env;
  return kRows[I].body(p, q);
}

template <std::size_t... I>
constexpr std::array<StandardGate, kRowCount> make_table(std::index_sequence<I...>) {
  return {{StandardGate{kRows[I].name, n_qubits(kRows[I]), n_params(kRows[I]), kRows[I].qubits, kRows[I].params,
                        kRows[I].title, kRows[I].matrix, kRows[I].qiskit, kRows[I].cirq, kRows[I].qelib1,
                        kRows[I].qasm2_definition, kRows[I].inverse, &build_row<I>}...}};
}

constexpr std::array<StandardGate, kRowCount> kTable = make_table(std::make_index_sequence<kRowCount>{});

constexpr bool names_unique() {
  for (std::size_t i = 0; i < kRowCount; ++i)
    for (std::size_t j = i + 1; j < kRowCount; ++j)
      if (kRows[i].name == kRows[j].name) return false;
  return true;
}
static_assert(names_unique());

// What the readers of the table rely on: every row names its operands (mcx /
// mcp a control list and a target), has a Qiskit class, and OpenQASM 2 can
// write it (a qelib1 gate or a definition; mcx / mcp are written by the
// writer's own constructions).
constexpr bool rows_complete() {
  for (const Row& row : kRows) {
    if (row.qubits.empty() || row.qiskit.empty() || row.title.empty() || row.matrix.empty()) return false;
    if (row.variadic && count_words(row.qubits) != 2) return false;
    if (!row.variadic && row.qelib1.empty() == row.qasm2_definition.empty()) return false;
  }
  return true;
}
static_assert(rows_complete());

// sum_k a[k] * conj(b[k]); even and odd k in separate sums so the additions
// do not wait on each other.
Complex dot_conj(const Complex* a, const Complex* b, U dim) {
  double re0 = 0.0, im0 = 0.0, re1 = 0.0, im1 = 0.0;
  U k = 0;
  for (; k + 1 < dim; k += 2) {
    re0 += a[k].re * b[k].re + a[k].im * b[k].im;
    im0 += a[k].im * b[k].re - a[k].re * b[k].im;
    re1 += a[k + 1].re * b[k + 1].re + a[k + 1].im * b[k + 1].im;
    im1 += a[k + 1].im * b[k + 1].re - a[k + 1].re * b[k + 1].im;
  }
  if (k < dim) {
    re0 += a[k].re * b[k].re + a[k].im * b[k].im;
    im0 += a[k].im * b[k].re - a[k].re * b[k].im;
  }
  return {re0 + re1, im0 + im1};
}

// The entry (r, s), s >= r, where U U^dagger strays from the identity by more
// than `tolerance`; {dim, dim} when none does. The product is Hermitian, so
// the upper triangle decides; rows r go in blocks of 8 so that each row s is
// read from memory once per block (a 2^10 matrix is 16 MiB).
struct Deviation {
  U r, s;
  double amount;
};
Deviation find_deviation(std::span<const Complex> m, U dim, double tolerance) {
  constexpr U kBlock = 8;
  for (U r0 = 0; r0 < dim; r0 += kBlock) {
    for (U s = r0; s < dim; ++s) {
      for (U r = r0; r < std::min(r0 + kBlock, s + 1); ++r) {
        Complex e = dot_conj(m.data() + r * dim, m.data() + s * dim, dim);
        if (r == s) e.re -= 1.0;
        const double amount = std::hypot(e.re, e.im);
        if (!(amount <= tolerance)) return {r, s, amount};
      }
    }
  }
  return {dim, dim, 0.0};
}

// Nothing but zeros (of either sign) off the diagonal of a dim x dim matrix.
bool is_diagonal_matrix(std::span<const Complex> m, U dim) {
  for (U r = 0; r < dim; ++r)
    for (U c = 0; c < dim; ++c)
      if (r != c && (m[r * dim + c].re != 0.0 || m[r * dim + c].im != 0.0)) return false;
  return true;
}

bool all_finite(std::span<const Complex> m) {
  return std::all_of(m.begin(), m.end(), [](const Complex& z) { return std::isfinite(z.re) && std::isfinite(z.im); });
}

}  // namespace

std::span<const StandardGate> standard_gates() { return kTable; }

const StandardGate* find_standard_gate(std::string_view name) {
  for (const StandardGate& g : kTable)
    if (g.name == name) return &g;
  return nullptr;
}

bool is_unitary(std::span<const Complex> matrix, U dim, double tolerance) {
  if (dim == 0 || dim > (U{1} << 16) || matrix.size() != dim * dim) return false;
  if (!all_finite(matrix)) return false;
  DefaultFpEnv fp_env;
  return find_deviation(matrix, dim, tolerance).r == dim;
}

void check_unitary_shape(std::size_t k, std::span<const U> shape) {
  if (k == 0 || k > kMaxGateTargets) fatal(messages::fill(messages::kUnitaryQubitCount, kMaxGateTargets, k));
  const U dim = U{1} << k;
  if (shape.size() != 2 || shape[0] != dim || shape[1] != dim) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    text += shape.size() == 1 ? ",)" : ")";
    fatal(messages::fill(messages::kUnitaryShape, k, dim, dim, text));
  }
}

CompiledGate compile_unitary(std::span<const Complex> matrix, Qubits qubits, double tolerance) {
  const std::size_t k = qubits.size();
  if (k == 0 || k > kMaxGateTargets) fatal(messages::fill(messages::kUnitaryQubitCount, kMaxGateTargets, k));
  require_distinct("unitary", qubits);
  const U dim = U{1} << k;
  if (matrix.size() != dim * dim)
    fatal(messages::fill(messages::kUnitaryMatrixSize, dim, dim, k, matrix.size()));
  if (!(tolerance >= 0.0) || !std::isfinite(tolerance))
    fatal(messages::fill(messages::kUnitaryTolerance, std::to_string(tolerance)));
  for (std::size_t i = 0; i < matrix.size(); ++i) {
    if (!std::isfinite(matrix[i].re) || !std::isfinite(matrix[i].im))
      fatal(messages::fill(messages::kUnitaryEntryNotFinite, i / dim, i % dim));
  }
  {
    DefaultFpEnv fp_env;
    const Deviation d = find_deviation(matrix, dim, tolerance);
    if (d.r != dim) {
      char amount[32];
      std::snprintf(amount, sizeof amount, "%.3g", d.amount);
      char tol[32];
      std::snprintf(tol, sizeof tol, "%.3g", tolerance);
      fatal(messages::fill(messages::kNotUnitary, tol, d.r, d.s, amount));
    }
  }
  // The caller's entries as given (not re-orthonormalised), like Qiskit's UnitaryGate.
  std::vector<U> targets(qubits.begin(), qubits.end());
  if (is_diagonal_matrix(matrix, dim)) {
    // Every other entry is a zero: one product per amplitude on the diagonal
    // path instead of 2^k. The same values; a zero part may take the other
    // sign than the dense sum's, whose zero products add in.
    std::vector<Complex> diagonal(dim);
    for (U r = 0; r < dim; ++r) diagonal[r] = matrix[r * dim + r];
    return {Shape::Diagonal, std::move(targets), {}, kAllOnes, std::move(diagonal)};
  }
  std::vector<Complex> entries(matrix.begin(), matrix.end());
  const Shape shape = k == 1 ? Shape::Single : k == 2 ? Shape::TwoQubit : Shape::Dense;
  return {shape, std::move(targets), {}, kAllOnes, std::move(entries)};
}

}  // namespace vorn::sim

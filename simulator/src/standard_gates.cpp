// The standard gate library: one row per gate (name, counts, and a body that
// makes the compiled entry), the checks every row shares, and `unitary`.
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

// The 15 gates vorn_python has: its own compiled entry, so both modules give
// the same bits. Operands are distinct here, so compile_gate never drops one.
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

// XXPlusYY / XXMinusYY's off-diagonal pair: -i sin e^(-i beta), -i sin e^(i beta).
std::pair<Complex, Complex> xx_yy_coupling(double sin, double beta) {
  const Complex minus_isin{0.0, -sin};
  return {cmul(minus_isin, expi(-beta)), cmul(minus_isin, expi(beta))};
}

// ---- the table ------------------------------------------------------------------

struct Row {
  std::string_view name;
  std::uint8_t n_qubits;  // 0: controls..., target (one or more operands)
  std::uint8_t n_params;
  Body body;              // counts, distinct operands and finite angles checked
};

// Operands come after the angles, in Qiskit's order (controls first).
constexpr Row kRows[] = {
    // ---- one qubit ----
    {"id", 1, 0, [](Params, Qubits q) { return shared(GateKind::ID, 0.0, q); }},
    {"x", 1, 0, [](Params, Qubits q) { return shared(GateKind::X, 0.0, q); }},
    {"y", 1, 0, [](Params, Qubits q) { return shared(GateKind::Y, 0.0, q); }},
    {"z", 1, 0, [](Params, Qubits q) { return shared(GateKind::Z, 0.0, q); }},
    {"h", 1, 0, [](Params, Qubits q) { return shared(GateKind::H, 0.0, q); }},
    {"s", 1, 0, [](Params, Qubits q) { return shared(GateKind::S, 0.0, q); }},
    {"sdg", 1, 0, [](Params, Qubits q) { return phase(q, k1, kMinusI); }},
    {"t", 1, 0, [](Params, Qubits q) { return shared(GateKind::T, 0.0, q); }},
    {"tdg", 1, 0, [](Params, Qubits q) { return phase(q, k1, {kS, -kS}); }},
    {"sx", 1, 0, [](Params, Qubits q) { return single(q[0], kSX); }},
    {"sxdg", 1, 0, [](Params, Qubits q) { return single(q[0], kSXdg); }},
    {"r", 1, 2,
     [](Params p, Qubits q) {
       // RGate: [[cos, -i e^(-i phi) sin], [-i e^(i phi) sin, cos]].
       const double cos = std::cos(p[0] / 2), sin = std::sin(p[0] / 2);
       const double cos_phi = std::cos(p[1]), sin_phi = std::sin(p[1]);
       return single(q[0], {{cos, 0.0}, {-sin * sin_phi, -sin * cos_phi}, {sin * sin_phi, -sin * cos_phi}, {cos, 0.0}});
     }},
    {"rx", 1, 1, [](Params p, Qubits q) { return shared(GateKind::RX, p[0], q); }},
    {"ry", 1, 1, [](Params p, Qubits q) { return shared(GateKind::RY, p[0], q); }},
    {"rz", 1, 1, [](Params p, Qubits q) { return shared(GateKind::RZ, p[0], q); }},
    {"p", 1, 1, [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {"u", 1, 3, [](Params p, Qubits q) { return single(q[0], u_matrix(p[0], p[1], p[2])); }},
    {"u1", 1, 1, [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {"u2", 1, 2,
     [](Params p, Qubits q) {
       // U2Gate: U(pi/2, phi, lam) with cos = sin = 1/sqrt(2) written as a constant.
       const double phi = p[0], lam = p[1];
       return single(q[0], {{kS, 0.0}, scale(neg(expi(lam)), kS), scale(expi(phi), kS), scale(expi(phi + lam), kS)});
     }},
    {"u3", 1, 3, [](Params p, Qubits q) { return single(q[0], u_matrix(p[0], p[1], p[2])); }},
    // ---- one control, one target (control first) ----
    {"cx", 2, 0, [](Params, Qubits q) { return shared(GateKind::CX, 0.0, q); }},
    {"cy", 2, 0, [](Params, Qubits q) { return controlled(q, matrix_2x2(GateKind::Y, 0.0)); }},
    {"cz", 2, 0, [](Params, Qubits q) { return shared(GateKind::CZ, 0.0, q); }},
    {"ch", 2, 0, [](Params, Qubits q) { return controlled(q, matrix_2x2(GateKind::H, 0.0)); }},
    {"cs", 2, 0, [](Params, Qubits q) { return phase(q, k1, kI); }},
    {"csdg", 2, 0, [](Params, Qubits q) { return phase(q, k1, kMinusI); }},
    {"csx", 2, 0, [](Params, Qubits q) { return controlled(q, kSX); }},
    {"cp", 2, 1, [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {"crx", 2, 1, [](Params p, Qubits q) { return controlled(q, matrix_2x2(GateKind::RX, p[0])); }},
    {"cry", 2, 1, [](Params p, Qubits q) { return controlled(q, matrix_2x2(GateKind::RY, p[0])); }},
    {"crz", 2, 1,
     [](Params p, Qubits q) {
       const Matrix2x2 rz = matrix_2x2(GateKind::RZ, p[0]);
       return phase(q, rz.m00, rz.m11);
     }},
    {"cu", 2, 4, [](Params p, Qubits q) { return controlled(q, cu_block(p[0], p[1], p[2], p[3])); }},
    {"cu1", 2, 1, [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
    {"cu3", 2, 3, [](Params p, Qubits q) { return controlled(q, u_matrix(p[0], p[1], p[2])); }},
    // ---- two qubits ----
    {"swap", 2, 0, [](Params, Qubits q) { return shared(GateKind::SWAP, 0.0, q); }},
    {"iswap", 2, 0,
     [](Params, Qubits q) {
       return two_qubit(q, {k1, k0, k0, k0, k0, k0, kI, k0, k0, kI, k0, k0, k0, k0, k0, k1});
     }},
    {"dcx", 2, 0,
     [](Params, Qubits q) {
       return two_qubit(q, {k1, k0, k0, k0, k0, k0, k0, k1, k0, k1, k0, k0, k0, k0, k1, k0});
     }},
    {"ecr", 2, 0,
     [](Params, Qubits q) {
       const Complex s{kS, 0.0}, is{0.0, kS}, mis{0.0, -kS};
       return two_qubit(q, {k0, s, k0, is, s, k0, mis, k0, k0, is, k0, s, mis, k0, s, k0});
     }},
    {"rxx", 2, 1,
     [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, k0, mis, k0, c, mis, k0, k0, mis, c, k0, mis, k0, k0, c});
     }},
    {"ryy", 2, 1,
     [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, is{0.0, h.sin}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, k0, is, k0, c, mis, k0, k0, mis, c, k0, is, k0, k0, c});
     }},
    {"rzz", 2, 1,
     [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex minus{h.cos, -h.sin}, plus{h.cos, h.sin};
       return CompiledGate{Shape::Diagonal, {q[0], q[1]}, {}, kAllOnes, {minus, plus, plus, minus}};
     }},
    {"rzx", 2, 1,
     [](Params p, Qubits q) {
       const Half h(p[0]);
       const Complex c{h.cos, 0.0}, is{0.0, h.sin}, mis{0.0, -h.sin};
       return two_qubit(q, {c, k0, mis, k0, k0, c, k0, is, mis, k0, c, k0, k0, is, k0, c});
     }},
    {"xx_plus_yy", 2, 2,
     [](Params p, Qubits q) {
       const double cos = std::cos(p[0] / 2), sin = std::sin(p[0] / 2);
       const auto [up, down] = xx_yy_coupling(sin, p[1]);
       const Complex c{cos, 0.0};
       return two_qubit(q, {k1, k0, k0, k0, k0, c, up, k0, k0, down, c, k0, k0, k0, k0, k1});
     }},
    {"xx_minus_yy", 2, 2,
     [](Params p, Qubits q) {
       const double cos = std::cos(p[0] / 2), sin = std::sin(p[0] / 2);
       const auto [up, down] = xx_yy_coupling(sin, p[1]);
       const Complex c{cos, 0.0};
       return two_qubit(q, {c, k0, k0, up, k0, k1, k0, k0, k0, k0, k1, k0, down, k0, k0, c});
     }},
    // ---- three qubits ----
    {"ccx", 3, 0, [](Params, Qubits q) { return shared(GateKind::CCX, 0.0, q); }},
    {"ccz", 3, 0, [](Params, Qubits q) { return phase(q, k1, kMinus1); }},
    {"cswap", 3, 0, [](Params, Qubits q) { return shared(GateKind::CSWAP, 0.0, q); }},
    {"rccx", 3, 0,
     [](Params, Qubits q) {
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
    {"mcx", 0, 0,
     [](Params, Qubits q) {
       if (q.size() == 1) return shared(GateKind::X, 0.0, q);
       return controlled(q, matrix_2x2(GateKind::X, 0.0));
     }},
    {"mcp", 0, 1, [](Params p, Qubits q) { return phase(q, k1, expi(p[0])); }},
};

constexpr std::size_t kRowCount = std::size(kRows);

// Names an operand used twice; for any count of operands and any qubit value.
void require_distinct(std::string_view gate, Qubits q) {
  std::vector<U> sorted(q.begin(), q.end());
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end())
    fatal(messages::fill(messages::kQubitUsedTwice, gate, *twice));
}

void check_call(const Row& row, Params p, Qubits q) {
  const bool qubits_ok = row.n_qubits == 0 ? !q.empty() : q.size() == row.n_qubits;
  if (p.size() != row.n_params || !qubits_ok) {
    const std::string wanted = row.n_qubits == 0 ? std::string(messages::kControlsAndTarget)
                                                 : messages::fill(messages::kQubitsWanted, row.n_qubits);
    fatal(messages::fill(messages::kGateCall, row.name, row.n_params, wanted, p.size(), q.size()));
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
  return {{StandardGate{kRows[I].name, kRows[I].n_qubits, kRows[I].n_params, &build_row<I>}...}};
}

constexpr std::array<StandardGate, kRowCount> kTable = make_table(std::make_index_sequence<kRowCount>{});

constexpr bool names_unique() {
  for (std::size_t i = 0; i < kRowCount; ++i)
    for (std::size_t j = i + 1; j < kRowCount; ++j)
      if (kRows[i].name == kRows[j].name) return false;
  return true;
}
static_assert(names_unique());

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

CompiledGate compile_unitary(std::span<const Complex> matrix, Qubits qubits, double tolerance) {
  const std::size_t k = qubits.size();
  if (k == 0 || k > kMaxGateTargets)
    fatal(messages::fill(messages::kUnitaryQubitCount, k, kMaxGateTargets));
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
      fatal(messages::fill(messages::kNotUnitary, d.r, d.s, amount, tol));
    }
  }
  // The caller's entries as given (not re-orthonormalised), like Qiskit's UnitaryGate.
  std::vector<Complex> entries(matrix.begin(), matrix.end());
  std::vector<U> targets(qubits.begin(), qubits.end());
  const Shape shape = k == 1 ? Shape::Single : k == 2 ? Shape::TwoQubit : Shape::Dense;
  return {shape, std::move(targets), {}, kAllOnes, std::move(entries)};
}

}  // namespace vorn::sim

// vorn_python's exact gate matrices, bit for bit (signed zeros included).
// Used by the engine for every gate entry and by the tests.
#include "vorn/simulator/legacy_gates.hpp"

#include <bit>
#include <cmath>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn {
namespace {

// The correctly rounded 1/sqrt(2); 1.0 / std::sqrt(2.0) is one ulp lower.
const double kS = std::bit_cast<double>(std::uint64_t{0x3FE6A09E667F3BCD});

}  // namespace

Matrix2x2 matrix_2x2(GateKind kind, double theta) {
  // cos/sin of a subnormal half-angle must not see a caller's DAZ setting.
  DefaultFpEnv fp_env;
  switch (kind) {
    case GateKind::H:
      return {{kS, 0.0}, {kS, 0.0}, {kS, 0.0}, {-kS, -0.0}};
    case GateKind::X:
      return {{0.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {0.0, 0.0}};
    case GateKind::Y:
      return {{0.0, 0.0}, {-0.0, -1.0}, {0.0, 1.0}, {0.0, 0.0}};
    case GateKind::Z:
      return {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {-1.0, -0.0}};
    case GateKind::S:
      return {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 1.0}};
    case GateKind::T:
      return {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {kS, kS}};
    case GateKind::RX: {
      const double half = theta * 0.5;
      const double cs = std::cos(half), sn = std::sin(half);
      return {{cs, 0.0}, {0.0, -sn}, {0.0, -sn}, {cs, 0.0}};
    }
    case GateKind::RY: {
      const double half = theta * 0.5;
      const double cs = std::cos(half), sn = std::sin(half);
      return {{cs, 0.0}, {-sn, -0.0}, {sn, 0.0}, {cs, 0.0}};
    }
    case GateKind::RZ: {
      // Symmetric form diag(e^(-i theta/2), e^(i theta/2)); the first entry is
      // evaluated at -theta/2 itself, not derived from the second.
      const double half = theta * 0.5;
      const double neg_half = theta * -0.5;
      return {{std::cos(neg_half), std::sin(neg_half)}, {0.0, 0.0}, {0.0, 0.0},
              {std::cos(half), std::sin(half)}};
    }
    case GateKind::ID:
      return {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
    default:
      break;
  }
  fatal(std::string(sim::messages::kMatrixNotSingleQubit));
}

Matrix4x4 cz_matrix() {
  Matrix4x4 m{};  // every entry (+0.0, +0.0)
  m.m[0] = {1.0, 0.0};
  m.m[5] = {1.0, 0.0};
  m.m[10] = {1.0, 0.0};
  m.m[15] = {-1.0, 0.0};
  return m;
}

Matrix4x4 swap_matrix() {
  Matrix4x4 m{};
  m.m[0] = {1.0, 0.0};
  m.m[6] = {1.0, 0.0};  // (1, 2)
  m.m[9] = {1.0, 0.0};  // (2, 1)
  m.m[15] = {1.0, 0.0};
  return m;
}

}  // namespace vorn

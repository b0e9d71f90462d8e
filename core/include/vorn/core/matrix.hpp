// The matrix shapes the fixed kernels take. The gates that fill them live
// above core (vorn/simulator/legacy_gates.hpp, vorn/simulator/standard_gates.hpp).
#pragma once

#include <array>
#include <cstddef>

#include "vorn/core/complex.hpp"

namespace vorn {

// Row-major; row r is the new amplitude of the pair member whose target bit is r.
struct Matrix2x2 {
  Complex m00, m01, m10, m11;
};

// Row-major 4x4, entry (r, s) at 4r + s. Local index = bit(qubit1)*2 + bit(qubit0).
struct Matrix4x4 {
  std::array<Complex, 16> m;
  const Complex& at(int r, int s) const { return m[static_cast<std::size_t>(4 * r + s)]; }
};

}  // namespace vorn

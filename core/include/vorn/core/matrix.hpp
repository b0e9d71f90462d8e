// The matrix shapes the fixed kernels take, in double (the default) or single
// precision. The gates that fill them live above core
// (vorn/simulator/legacy_gates.hpp, vorn/simulator/standard_gates.hpp).
#pragma once

#include <array>
#include <cstddef>

#include "vorn/core/complex.hpp"

namespace vorn {

// Row-major; row r is the new amplitude of the pair member whose target bit is r.
template <class T>
struct BasicMatrix2x2 {
  BasicComplex<T> m00, m01, m10, m11;
};

// Row-major 4x4, entry (r, s) at 4r + s. Local index = bit(qubit1)*2 + bit(qubit0).
template <class T>
struct BasicMatrix4x4 {
  std::array<BasicComplex<T>, 16> m;
  const BasicComplex<T>& at(int r, int s) const { return m[static_cast<std::size_t>(4 * r + s)]; }
};

using Matrix2x2 = BasicMatrix2x2<double>;
using Matrix4x4 = BasicMatrix4x4<double>;
using SingleMatrix2x2 = BasicMatrix2x2<float>;
using SingleMatrix4x4 = BasicMatrix4x4<float>;

inline SingleMatrix2x2 to_single(const Matrix2x2& m) noexcept {
  return {to_single(m.m00), to_single(m.m01), to_single(m.m10), to_single(m.m11)};
}

inline SingleMatrix4x4 to_single(const Matrix4x4& m) noexcept {
  SingleMatrix4x4 out;
  for (std::size_t i = 0; i < 16; ++i) out.m[i] = to_single(m.m[i]);
  return out;
}

}  // namespace vorn

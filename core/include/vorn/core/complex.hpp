// The amplitude type and the one fixed complex arithmetic every path uses:
// each real product rounded on its own, then the sum/difference rounded.
// No fused multiply-add anywhere (the build forbids contraction).
#pragma once

namespace vorn {

// Interleaved (re, im) binary64 pair: the memory layout of numpy.complex128.
struct Complex {
  double re;
  double im;
};
static_assert(sizeof(Complex) == 16);

// x * y = (x.re*y.re - x.im*y.im, x.re*y.im + x.im*y.re)
inline Complex cmul(const Complex& x, const Complex& y) noexcept {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

inline Complex cadd(const Complex& x, const Complex& y) noexcept {
  return {x.re + y.re, x.im + y.im};
}

// |z|^2 = re*re + im*im: each square rounded, then the sum. The one form of a
// probability or a squared distance, so every caller gets the same bits.
inline double abs2(const Complex& z) noexcept { return z.re * z.re + z.im * z.im; }

}  // namespace vorn

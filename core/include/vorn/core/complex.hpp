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

// |x|^2 = x.re*x.re + x.im*x.im: the probability of an amplitude, each
// square rounded, then the sum (every path that squares an amplitude uses this).
inline double norm2(const Complex& x) noexcept { return x.re * x.re + x.im * x.im; }

inline Complex cadd(const Complex& x, const Complex& y) noexcept {
  return {x.re + y.re, x.im + y.im};
}

}  // namespace vorn

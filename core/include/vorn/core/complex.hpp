// The amplitude types and the one fixed complex arithmetic every path uses:
// each real product rounded on its own, then the sum/difference rounded.
// No fused multiply-add anywhere (the build forbids contraction). Double
// precision is the default everywhere; single precision (complex64) is the
// same arithmetic in float, for states that must fit in half the memory.
#pragma once

namespace vorn {

// Interleaved (re, im) pair: the memory layout of numpy.complex128 (double)
// and numpy.complex64 (float).
template <class T>
struct BasicComplex {
  T re;
  T im;
};
using Complex = BasicComplex<double>;
using SingleComplex = BasicComplex<float>;
static_assert(sizeof(Complex) == 16);
static_assert(sizeof(SingleComplex) == 8);

// x * y = (x.re*y.re - x.im*y.im, x.re*y.im + x.im*y.re)
template <class T>
inline BasicComplex<T> cmul(const BasicComplex<T>& x, const BasicComplex<T>& y) noexcept {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

// |x|^2 = x.re*x.re + x.im*x.im: the probability of an amplitude, each
// square rounded, then the sum (every path that squares an amplitude uses this).
inline double norm2(const Complex& x) noexcept { return x.re * x.re + x.im * x.im; }

// The same in double for a single-precision amplitude: a float times a float
// is exact in double, so only the sum is rounded. Every reduction over a
// single-precision state (probabilities, norms, expectation values) starts here.
inline double norm2(const SingleComplex& x) noexcept {
  const double re = x.re, im = x.im;
  return re * re + im * im;
}

template <class T>
inline BasicComplex<T> cadd(const BasicComplex<T>& x, const BasicComplex<T>& y) noexcept {
  return {x.re + y.re, x.im + y.im};
}

// An amplitude in double: exact for either precision (identity for double).
inline const Complex& to_double(const Complex& x) noexcept { return x; }
inline Complex to_double(const SingleComplex& x) noexcept { return {x.re, x.im}; }

// An entry rounded to single precision (each part to nearest).
inline SingleComplex to_single(const Complex& x) noexcept {
  return {static_cast<float>(x.re), static_cast<float>(x.im)};
}

}  // namespace vorn

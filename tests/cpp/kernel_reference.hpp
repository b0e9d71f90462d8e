// Test helper shared by the kernel tests: the reference complex arithmetic
// (each real product rounded on its own, then the sum) and random amplitudes
// that include signed zeros, subnormals and huge values, and the primitive
// set of each instruction set.
#pragma once

#include <random>
#include <utility>
#include <vector>

#include "../../core/src/kernel_runs.hpp"
#include "vorn/core/complex.hpp"
#include "vorn/core/isa.hpp"

namespace vorn::kernel_test {

inline Complex mul(Complex m, Complex x) { return {m.re * x.re - m.im * x.im, m.re * x.im + m.im * x.re}; }
inline Complex add(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }

inline double random_component(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  switch (rng() % 16) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return u(rng) * 1e-310;  // subnormal
    case 3: return u(rng) * 1e300;
    default: return u(rng);
  }
}
inline Complex random_complex(std::mt19937_64& rng) { return {random_component(rng), random_component(rng)}; }

// The run primitives the registry maps each runnable instruction set to,
// for tests that drive them directly.
inline std::vector<std::pair<const char*, const detail::RunPrimitives*>> primitive_sets() {
  std::vector<std::pair<const char*, const detail::RunPrimitives*>> sets;
  for (Isa isa : runnable_isas()) {
    force_isa_for_testing(isa);
    sets.emplace_back(isa_name(isa), &detail::run_primitives());
  }
  force_isa_for_testing(std::nullopt);
  return sets;
}

}  // namespace vorn::kernel_test

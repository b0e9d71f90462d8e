// What both extension modules (vorn._ext and vorn._mpi_ext) do the same way
// at the call boundary: the core's error translated and Pauli sums read from
// flat arrays. Runs that Ctrl-C and a poll act on go through polled.hpp.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <complex>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "messages.hpp"
#include "vorn/core/error.hpp"
#include "vorn/simulator/observables.hpp"

namespace vorn::ext {

template <class T>
using In1D = nanobind::ndarray<const T, nanobind::ndim<1>, nanobind::c_contig, nanobind::device::cpu>;

// The core's one error type: out-of-memory becomes MemoryError, everything
// else RuntimeError with the core's message. (std::bad_alloc is already
// MemoryError through nanobind's own translation.)
inline void register_fatal_translator() {
  nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const vorn::FatalError& e) {
      PyErr_SetString(e.kind() == vorn::FatalError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_RuntimeError,
                      e.what());
    }
  });
}

// Observable o has the terms offsets[o] .. offsets[o + 1] of the three arrays.
inline std::vector<sim::PauliSumView> pauli_views(const In1D<std::uint64_t>& x_masks,
                                                  const In1D<std::uint64_t>& z_masks,
                                                  const In1D<std::complex<double>>& coeffs,
                                                  const In1D<std::uint64_t>& offsets) {
  const std::size_t terms = x_masks.shape(0);
  if (z_masks.shape(0) != terms || coeffs.shape(0) != terms || offsets.shape(0) == 0) {
    throw nanobind::value_error(std::string(messages::kTermArrays).c_str());
  }
  std::vector<sim::PauliSumView> views;
  const std::uint64_t* off = offsets.data();
  for (std::size_t o = 0; o + 1 < offsets.shape(0); ++o) {
    if (off[o] > off[o + 1] || off[o + 1] > terms) throw nanobind::value_error(std::string(messages::kOffsets).c_str());
    const std::size_t first = off[o], count = off[o + 1] - off[o];
    views.push_back({std::span(x_masks.data() + first, count), std::span(z_masks.data() + first, count),
                     std::span(reinterpret_cast<const Complex*>(coeffs.data()) + first, count)});
  }
  return views;
}

}  // namespace vorn::ext

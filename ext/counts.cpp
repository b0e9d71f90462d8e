// A run's counts dictionary, built here from the tally of whole-register
// outcomes: the keys' strings are made once per distinct key, with no
// per-shot or per-character Python work.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "ext.hpp"
#include "messages.hpp"
#include "vorn/simulator/measurement.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
using U64Arg = nb::ndarray<const U, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A run of key characters holding clbits low + length - 1 down to low.
struct Segment {
  std::size_t position;
  unsigned low;
  unsigned length;
};

// Owns a new reference; a failed creation raises the pending Python error.
nb::object created(PyObject* obj) {
  if (obj == nullptr) throw nb::python_error();
  return nb::steal(obj);
}

// outcomes[i] (qubit q = bit q) was drawn tally[i] times, ascending. Each
// becomes the clbit value sum of bit(qubit) << clbit over `measured`
// (clbit, qubit) pairs, clbits below 64; outcomes of equal value merge.
// columns[p] is the clbit shown at key position p, or -1 for a separator.
// Keys order like the values, so the dict comes out ascending by key.
nb::dict counts_dict(const U64Arg& outcomes, const U64Arg& tally, const std::vector<std::int64_t>& columns,
                     const std::vector<std::pair<U, U>>& measured) {
  const std::size_t n = outcomes.shape(0);
  if (tally.shape(0) != n) value_error(messages::kTallyLength);
  for (const auto& [clbit, qubit] : measured) {
    if (clbit >= 64 || qubit >= 64) value_error(messages::kClbitRange);
  }
  for (const std::int64_t c : columns) {
    if (c < -1 || c >= 64) value_error(messages::kClbitRange);
  }
  const U* outcome = outcomes.data();
  const U* count = tally.data();

  // Values: a plain mask when every measured qubit lands on its own clbit.
  U mask = 0;
  bool same_places = true;
  for (const auto& [clbit, qubit] : measured) {
    same_places &= clbit == qubit;
    mask |= U{1} << clbit;
  }
  auto value_of = [&](std::size_t i) {
    if (same_places) return outcome[i] & mask;
    U v = 0;
    for (const auto& [clbit, qubit] : measured) v |= ((outcome[i] >> qubit) & 1u) << clbit;
    return v;
  };
  // Distinct values with their totals, ascending. Values that already
  // ascend (every qubit measured in place, the usual case) are read as they
  // come, without a sorted copy of 16 bytes a key.
  bool ascending = true;
  U before = n > 0 ? value_of(0) : 0;
  for (std::size_t i = 1; i < n && ascending; ++i) {
    const U v = value_of(i);
    ascending = before < v;
    before = v;
  }
  std::vector<std::pair<U, U>> keyed;
  if (!ascending) {
    std::vector<U> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = value_of(i);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    for (const std::size_t i : order) {
      if (!keyed.empty() && keyed.back().first == values[i]) {
        keyed.back().second += count[i];
      } else {
        keyed.emplace_back(values[i], count[i]);
      }
    }
  }
  const std::size_t keys = ascending ? n : keyed.size();
  auto key_at = [&](std::size_t k) { return ascending ? std::pair<U, U>{value_of(k), count[k]} : keyed[k]; };

  // The key's template (separators and zeros), and the runs of positions
  // whose clbits descend one by one: each such run is written at once.
  const std::size_t width = columns.size();
  std::string blank(width, '0');
  std::vector<Segment> segments;
  for (std::size_t p = 0; p < width;) {
    if (columns[p] < 0) {
      blank[p++] = ' ';
      continue;
    }
    std::size_t end = p + 1;
    while (end < width && columns[end] >= 0 && columns[end] == columns[end - 1] - 1) ++end;
    segments.push_back({p, static_cast<unsigned>(columns[end - 1]), static_cast<unsigned>(end - p)});
    p = end;
  }

  nb::object dict = created(_PyDict_NewPresized(static_cast<Py_ssize_t>(keys)));
  for (std::size_t k = 0; k < keys; ++k) {
    const auto [value, total] = key_at(k);
    nb::object key = created(PyUnicode_New(static_cast<Py_ssize_t>(width), 127));
    char* chars = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(key.ptr()));
    std::memcpy(chars, blank.data(), width);
    for (const Segment& s : segments) sim::write_outcome_key(value >> s.low, s.length, chars + s.position);
    nb::object number = created(PyLong_FromUnsignedLongLong(total));
    if (PyDict_SetItem(dict.ptr(), key.ptr(), number.ptr()) < 0) throw nb::python_error();
  }
  return nb::borrow<nb::dict>(dict);
}

}  // namespace

void register_counts(nb::module_& m) {
  m.def("counts_dict", &counts_dict, "outcomes"_a, "tally"_a, "columns"_a, "measured"_a,
        "Outcome tally -> {key: count}: measured = (clbit, qubit) pairs (clbits < 64), columns = the clbit "
        "at each key position (-1: a space); keys ascending.");
}

}  // namespace vorn::ext

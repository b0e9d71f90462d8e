// Message patterns: fill() puts values into the "{}" holes of a pattern. The
// one helper every layer's messages header uses (the qasm reader included,
// which otherwise needs only the standard library).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::text {

namespace detail {
inline std::string text_of(std::string_view text) { return std::string(text); }
inline std::string text_of(const std::string& text) { return text; }
inline std::string text_of(const char* text) { return text; }
template <std::integral Int>
std::string text_of(Int value) {
  return std::to_string(value);
}
}  // namespace detail

// Replaces each "{}" of `pattern` in turn by the next value (integers in
// decimal, strings as they are); the toolchain's library has no std::format.
// Call it qualified (messages::fill): unqualified, a string_view argument
// brings std::fill into overload resolution and it can win.
template <class... Values>
std::string fill(std::string_view pattern, const Values&... values) {
  const std::string texts[] = {std::string(), detail::text_of(values)...};
  std::string out;
  std::size_t next = 1, pos = 0;
  for (std::size_t hole; (hole = pattern.find("{}", pos)) != std::string_view::npos; pos = hole + 2) {
    out.append(pattern.substr(pos, hole - pos));
    if (next < std::size(texts)) out.append(texts[next++]);
  }
  return out.append(pattern.substr(pos));
}

}  // namespace vorn::text

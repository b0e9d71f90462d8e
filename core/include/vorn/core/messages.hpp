// Every message text the core can raise, in one place.
#pragma once

#include <string_view>

namespace vorn::messages {

inline constexpr std::string_view kZeroQubits = "qubit 수는 1 이상이어야 합니다";
inline constexpr std::string_view kCapacityOverflow = "capacity overflow";
inline constexpr std::string_view kMatrixNotSingleQubit =
    "matrix_2x2는 단일 큐비트 게이트에만 사용 가능";
inline constexpr std::string_view kPoolNotInitialized =
    "The global thread pool has not been initialized.";
inline constexpr std::string_view kMidGreaterThanLen = "mid > len";

}  // namespace vorn::messages

// AVX2 run primitives (placeholder until the vector variant lands).
#include "kernel_runs.hpp"

namespace vorn::detail {
const RunPrimitives* const kAvx2Primitives = nullptr;
}  // namespace vorn::detail

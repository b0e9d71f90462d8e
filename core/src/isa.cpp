// The machine's instruction set, chosen once, and the test override.
#include "vorn/core/isa.hpp"

#include <atomic>

namespace vorn {
namespace {

// Variants exist only where the compiler takes x86 target attributes.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
bool can_run(Isa isa) noexcept {
  switch (isa) {
    case Isa::Scalar:
      return true;
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
  }
  return false;
}
#else
bool can_run(Isa isa) noexcept { return isa == Isa::Scalar; }
#endif

Isa machine_isa() noexcept {
  static const Isa chosen = can_run(Isa::Avx512) ? Isa::Avx512 : can_run(Isa::Avx2) ? Isa::Avx2 : Isa::Scalar;
  return chosen;
}

// -1: not forced; else the forced Isa's value.
std::atomic<int> g_forced{-1};

}  // namespace

Isa active_isa() noexcept {
  const int forced = g_forced.load(std::memory_order_relaxed);
  return forced >= 0 ? static_cast<Isa>(forced) : machine_isa();
}

std::vector<Isa> runnable_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512})
    if (can_run(isa)) out.push_back(isa);
  return out;
}

bool force_isa_for_testing(std::optional<Isa> isa) noexcept {
  if (isa && !can_run(*isa)) return false;
  g_forced.store(isa ? static_cast<int>(*isa) : -1, std::memory_order_relaxed);
  return true;
}

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::Scalar:
      return "scalar";
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
  }
  return "?";
}

}  // namespace vorn

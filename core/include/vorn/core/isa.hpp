// The one instruction-set choice behind every vectorised path (the gate
// kernels, the observables, the random stream): made once for the machine,
// or forced by a test. Each path maps the choice onto the variants it has; a
// variant always gives the scalar path's bits, so the choice changes the
// speed only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vorn {

// Widest last. Avx512 implies Avx2 on the machine (the AVX-512 kernels hand
// AVX2 the cases they do not take).
enum class Isa : std::uint8_t { Scalar, Avx2, Avx512 };

// The forced set if a test forced one, else the widest this build and
// processor can run.
Isa active_isa() noexcept;

// The sets this build and processor can run, narrowest first (Scalar always).
std::vector<Isa> runnable_isas();

// Every vectorised path uses `isa` until this is called again; nullopt gives
// back the machine's choice. For tests and benchmarks that prove the paths
// give the same bits; not while kernels run. A set the machine cannot run is
// refused (returns false, changes nothing).
bool force_isa_for_testing(std::optional<Isa> isa) noexcept;

const char* isa_name(Isa isa) noexcept;

}  // namespace vorn

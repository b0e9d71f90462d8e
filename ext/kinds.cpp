// The engine's step and channel kinds by name, so that the Python lowering
// takes their numbers from here instead of keeping a copy in step with the
// enums.
#include <nanobind/nanobind.h>

#include <cstdint>

#include "ext.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/trajectories.hpp"

namespace nb = nanobind;

namespace vorn::ext {
namespace {

template <class Kind>
nb::int_ number(Kind kind) {
  return nb::int_(static_cast<std::uint64_t>(kind));
}

}  // namespace

void register_kinds(nb::module_& m) {
  nb::dict steps;
  steps["gates"] = number(sim::StepKind::Gates);
  steps["measure"] = number(sim::StepKind::Measure);
  steps["reset"] = number(sim::StepKind::Reset);
  steps["jump_unless"] = number(sim::StepKind::JumpUnless);
  steps["jump"] = number(sim::StepKind::Jump);
  steps["channel"] = number(sim::StepKind::Channel);
  m.attr("STEP_KINDS") = steps;
  nb::dict channels;
  channels["mixture"] = number(sim::ChannelKind::Mixture);
  channels["kraus"] = number(sim::ChannelKind::Kraus);
  m.attr("CHANNEL_KINDS") = channels;
}

}  // namespace vorn::ext

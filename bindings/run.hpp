// The module function run(circuit, shots=1024, seed=None); module.cpp binds
// its method definition to the module.
#pragma once

#include "boundary.hpp"

namespace vorn::py {

PyMethodDef& run_method_def();

}  // namespace vorn::py

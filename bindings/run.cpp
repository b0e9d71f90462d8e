// run(circuit, shots=1024, seed=None): converts the arguments, copies the
// circuit under the interpreter lock, simulates with the lock released, and
// wraps the result. Registered by module.cpp.
#include "run.hpp"

#include <optional>
#include <string>

#include "circuit_type.hpp"
#include "messages.hpp"
#include "result_type.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::py {
namespace {

constexpr std::string_view kRunParams[] = {"circuit", "shots", "seed"};
constexpr ParamSpec kRunSpec{"run", kRunParams, 1};
constexpr std::uint64_t kDefaultShots = 1024;

// The whole simulation runs without the interpreter lock: the kernels keep
// the pool busy and other Python threads must not wait for them. The copy is
// released before the lock is taken back, on the normal and the fatal path.
vorn::sim::RunResult simulate_unlocked(vorn::sim::Circuit&& copy, std::optional<std::uint64_t> seed,
                                       std::uint64_t shots) {
  GilReleased unlocked;
  vorn::sim::Circuit owned = std::move(copy);
  std::uint64_t n = owned.n_qubits();
  // Registers the core rejects (0, > kMaxQubits) never reach an allocation.
  std::uint64_t state_bytes = n >= 1 && n <= vorn::kMaxQubits ? vorn::StateVector::bytes_for(n) : 0;
  return naming_bytes_on_bad_alloc(state_bytes, "the state vector of " + std::to_string(n) + " qubits",
                                   [&] { return vorn::sim::run_circuit(owned, seed, shots); });
}

// The circuit stays held shared until the result object exists, so recording
// calls from other threads are refused for the whole run.
PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound = bind_vectorcall(kRunSpec, args, nargsf, kwnames);
    Borrow<CircuitObject> circuit(bound[0], Access::Shared, kRunParams[0]);
    std::uint64_t shots = bound[1] != nullptr ? to_index(bound[1], kRunParams[1]) : kDefaultShots;
    std::optional<std::uint64_t> seed;
    if (bound[2] != nullptr && bound[2] != Py_None) seed = to_index(bound[2], kRunParams[2]);
    vorn::sim::RunResult result = simulate_unlocked(circuit->circuit.copy(), seed, shots);
    return wrap_result(std::move(result));
  });
}

}  // namespace

PyMethodDef& run_method_def() {
  static PyMethodDef def{"run", as_method(run), METH_FASTCALL | METH_KEYWORDS, text::kRunDoc};
  return def;
}

}  // namespace vorn::py

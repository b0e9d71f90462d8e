// run(circuit, shots=1024, seed=None): converts the arguments, copies the
// circuit under the interpreter lock, simulates with the lock released, and
// wraps the result. Registered by module.cpp.
#include "run.hpp"

#include <pthread.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "circuit_type.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "result_type.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/simulator/engine.hpp"

namespace vorn::py {
namespace {

constexpr std::string_view kRunParams[] = {"circuit", "shots", "seed"};
constexpr ParamSpec kRunSpec{"run", kRunParams, 1};
constexpr std::uint64_t kDefaultShots = 1024;

// ---- Circuits held by simulations in flight, across fork() ----------------------
// While a run simulates (lock released), its circuit is held shared by that
// thread. A fork() from another thread copies the hold but not the thread,
// so in the child nothing would ever give it back and the circuit would stay
// closed to recording. The child gives back every hold of a simulation in
// flight: their threads do not exist there, and a hold only ever guards the
// circuit's recorded gates, which no one is changing (recording needs the
// interpreter lock, which the forking thread holds). The list is changed
// only with the interpreter lock held, so a fork from Python never sees it
// half-changed.
std::vector<AccessCounter*> holds_in_flight;

void give_back_holds_in_child() noexcept {
  for (AccessCounter* hold : holds_in_flight) hold->release_shared();
  holds_in_flight.clear();
}

class HoldInFlight {
 public:
  explicit HoldInFlight(AccessCounter& counter) : counter_(&counter) {
    static const bool handler_set = pthread_atfork(nullptr, nullptr, give_back_holds_in_child) == 0;
    (void)handler_set;  // without it a forked child keeps the hold, as before
    holds_in_flight.push_back(counter_);
  }
  ~HoldInFlight() {
    auto it = std::find(holds_in_flight.begin(), holds_in_flight.end(), counter_);
    if (it != holds_in_flight.end()) holds_in_flight.erase(it);
  }
  HoldInFlight(const HoldInFlight&) = delete;
  HoldInFlight& operator=(const HoldInFlight&) = delete;

 private:
  AccessCounter* counter_;
};

// ---- The run ------------------------------------------------------------------------

// The whole simulation runs without the interpreter lock, on a thread of its
// own, while this thread looks for signals (interrupt.hpp): the kernels keep
// the pool busy and other Python threads must not wait for them. The copy is
// released by that thread, before the lock is taken back, on every path.
vorn::sim::RunResult simulate(vorn::sim::Circuit&& copy, std::optional<std::uint64_t> seed, std::uint64_t shots) {
  auto result = run_interruptible([&](vorn::sim::RunControl& control) {
    vorn::sim::Circuit owned = std::move(copy);
    // The engine checks the whole run's need before the first gate (under an
    // address-space limit too). The state and the sampling vector name
    // themselves when their allocation still fails; any other std::bad_alloc
    // is the boundary's plain MemoryError.
    return vorn::sim::run_circuit(owned, seed, shots, &control);
  });
  if (!result) throw PythonErrorSet{};
  return std::move(*result);
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
    vorn::sim::RunResult result = [&] {
      HoldInFlight in_flight(circuit->access);
      return simulate(circuit->circuit.copy(), seed, shots);
    }();
    return wrap_result(std::move(result));
  });
}

}  // namespace

PyMethodDef& run_method_def() {
  static PyMethodDef def{"run", as_method(run), METH_FASTCALL | METH_KEYWORDS, text::kRunDoc};
  return def;
}

}  // namespace vorn::py

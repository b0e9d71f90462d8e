// Reading a 200,000-gate OpenQASM 2 program: qelib1 gates written out one by
// one (as exporters write them), and the same count produced by inlining a
// parameterised user gate.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "vorn/qasm/qasm2.hpp"

namespace {

constexpr int kGates = 200000;

std::string flat_program() {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> pick(0, 9), wire(0, 19);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  std::string text = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[20];\ncreg c[20];\n";
  const char* one[] = {"h", "x", "sx", "t", "sdg"};
  const char* rot[] = {"rx", "ry", "rz", "p", "u1"};
  char line[128];
  for (int i = 0; i < kGates; ++i) {
    const int k = pick(rng), a = wire(rng), b = (a + 1 + wire(rng) % 19) % 20;
    if (k < 3) {
      std::snprintf(line, sizeof line, "%s q[%d];\n", one[wire(rng) % 5], a);
    } else if (k < 6) {
      std::snprintf(line, sizeof line, "%s(%.17g) q[%d];\n", rot[wire(rng) % 5], angle(rng), a);
    } else if (k < 9) {
      std::snprintf(line, sizeof line, "cx q[%d],q[%d];\n", a, b);
    } else {
      std::snprintf(line, sizeof line, "cp(%.17g) q[%d],q[%d];\n", angle(rng), a, b);
    }
    text += line;
  }
  text += "measure q -> c;\n";
  return text;
}

std::string user_gate_program() {
  std::string text =
      "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[20];\n"
      "gate layer(t) a, b { ry(t/2) a; cx a, b; rz(-t*pi) b; cx a, b; }\n";
  char line[96];
  for (int i = 0; i < kGates / 4; ++i) {
    std::snprintf(line, sizeof line, "layer(%d.25) q[%d], q[%d];\n", i % 7, i % 20, (i + 3) % 20);
    text += line;
  }
  return text;
}

void run(benchmark::State& state, const std::string& text) {
  std::size_t count = 0;
  for (auto _ : state) {
    const auto d = vorn::qasm::parse(text);
    count = d.instructions.size();
    benchmark::DoNotOptimize(count);
  }
  state.counters["instructions"] = static_cast<double>(count);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Qasm2FlatGates(benchmark::State& state) { run(state, flat_program()); }
void BM_Qasm2UserGate(benchmark::State& state) { run(state, user_gate_program()); }

BENCHMARK(BM_Qasm2FlatGates)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Qasm2UserGate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

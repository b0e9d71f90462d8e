// build_program: flat lists to a Program, every refusal with its kind and
// text, and the same gates as the table's rows build one by one.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/program_builder.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

struct Lists {
  std::vector<std::string> names;
  std::vector<U> arity;
  std::vector<U> qubits;
  std::vector<double> params;
  std::vector<MatrixView> matrices;
  U n = 2;
  GateLists view() const {
    return GateLists{.n_qubits = n, .names = names, .arity = arity, .qubits = qubits, .params = params,
                     .matrices = matrices, .global_phase = 0.25, .samples = true};
  }
};

ProgramError::Kind refusal(const Lists& lists, std::string& text) {
  try {
    build_program(lists.view());
  } catch (const ProgramError& e) {
    text = e.what();
    return e.kind();
  }
  ADD_FAILURE() << "not refused";
  return ProgramError::Kind::Value;
}

TEST(ProgramBuilder, BuildsTheTableRowsInOrderWithPhaseAndSampling) {
  const std::vector<Complex> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  Lists lists{.names = {"h", "cx", "rz", "unitary", "mcx"},
              .arity = {1, 2, 1, 1, 2},
              .qubits = {0, 0, 1, 1, 0, 0, 1},
              .params = {0.5},
              .matrices = {MatrixView{x, {2, 2}}}};
  const Program p = build_program(lists.view());
  ASSERT_EQ(p.gates.size(), 5u);
  EXPECT_EQ(p.n_qubits, 2u);
  EXPECT_EQ(p.global_phase, 0.25);
  EXPECT_TRUE(p.samples);
  const std::vector<U> rz_on = {1};
  const CompiledGate rz = find_standard_gate("rz")->build(std::span<const double>(lists.params), rz_on);
  ASSERT_EQ(p.gates[2].matrix.size(), rz.matrix.size());
  for (std::size_t i = 0; i < rz.matrix.size(); ++i) {
    EXPECT_EQ(p.gates[2].matrix[i].re, rz.matrix[i].re);
    EXPECT_EQ(p.gates[2].matrix[i].im, rz.matrix[i].im);
  }
}

TEST(ProgramBuilder, RefusesEachMalformedListWithItsKindAndText) {
  std::string text;
  Lists wide{.names = {"h"}, .arity = {1}, .qubits = {2}};
  EXPECT_EQ(refusal(wide, text), ProgramError::Kind::Index);
  EXPECT_EQ(text, "qubit 2 of 'h' out of range: the circuit has 2 qubits");
  const std::vector<std::pair<Lists, std::string>> cases = {
      {Lists{.names = {"h"}, .arity = {}}, "names and arity"},
      {Lists{.names = {"cx"}, .arity = {2}, .qubits = {0}}, "fewer qubits"},
      {Lists{.names = {"nope"}, .arity = {1}, .qubits = {0}}, "unknown gate 'nope'"},
      {Lists{.names = {"cx"}, .arity = {1}, .qubits = {0}}, "gate 'cx' takes 2 qubits, got 1"},
      {Lists{.names = {"mcx"}, .arity = {0}}, "takes at least 1 qubits"},
      {Lists{.names = {"rz"}, .arity = {1}, .qubits = {0}}, "fewer angles"},
      {Lists{.names = {"unitary"}, .arity = {1}, .qubits = {0}}, "without its matrix"},
      {Lists{.names = {"h"}, .arity = {1}, .qubits = {0}, .params = {1.0}}, "more qubits, angles or matrices"},
  };
  for (const auto& [lists, wanted] : cases) {
    EXPECT_EQ(refusal(lists, text), ProgramError::Kind::Value) << wanted;
    EXPECT_NE(text.find(wanted), std::string::npos) << text;
  }
}

TEST(ProgramBuilder, RefusesANonUnitaryOrMisshapenMatrixByTheSimulatorsRule) {
  const std::vector<Complex> twice = {{2, 0}, {0, 0}, {0, 0}, {2, 0}};
  std::string text;
  Lists bad{.names = {"unitary"}, .arity = {1}, .qubits = {0}, .matrices = {MatrixView{twice, {2, 2}}}};
  EXPECT_EQ(refusal(bad, text), ProgramError::Kind::Value);
  EXPECT_NE(text.find("not unitary"), std::string::npos) << text;
  Lists shape{.names = {"unitary"}, .arity = {1}, .qubits = {0}, .matrices = {MatrixView{twice, {4}}}};
  EXPECT_EQ(refusal(shape, text), ProgramError::Kind::Value);
}

}  // namespace
}  // namespace vorn::sim

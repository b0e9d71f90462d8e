// Tests of the circuit model: operand range checks, the failure message, and
// what is (and is not) recorded.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/simulator/circuit.hpp"

namespace vorn::sim {
namespace {

// The message of the fatal error `f` raises; fails the test if none is raised.
template <class F>
std::string fatal_message(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
    return e.message();
  }
  ADD_FAILURE() << "no FatalError raised";
  return {};
}

void add(Circuit& c, GateKind kind, std::vector<std::uint64_t> qubits, double theta = 0.0) {
  c.add_gate(kind, qubits, theta);
}

TEST(Circuit, OutOfRangeOperandFailsAndAppendsNothing) {
  Circuit c(3);
  EXPECT_EQ(fatal_message([&] { add(c, GateKind::CX, {0, 3}); }),
            "큐비트 인덱스 3가 범위를 벗어남 (n_qubits=3)");
  EXPECT_TRUE(c.operations().empty());

  Circuit two(2);
  EXPECT_EQ(fatal_message([&] { add(two, GateKind::H, {5}); }), "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=2)");
  EXPECT_EQ(fatal_message([&] { two.measure(2, 0); }), "큐비트 인덱스 2가 범위를 벗어남 (n_qubits=2)");
  EXPECT_TRUE(two.operations().empty());
}

TEST(Circuit, FirstOffendingOperandIsNamed) {
  Circuit c(3);
  EXPECT_EQ(fatal_message([&] { add(c, GateKind::CCX, {5, 0, 7}); }),
            "큐비트 인덱스 5가 범위를 벗어남 (n_qubits=3)");
  EXPECT_EQ(fatal_message([&] { add(c, GateKind::CCX, {0, 7, 5}); }),
            "큐비트 인덱스 7가 범위를 벗어남 (n_qubits=3)");
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(fatal_message([&] { add(c, GateKind::CSWAP, {0, 1, huge}); }),
            "큐비트 인덱스 18446744073709551615가 범위를 벗어남 (n_qubits=3)");
  EXPECT_TRUE(c.operations().empty());
}

TEST(Circuit, FailureLeavesEarlierEntriesIntact) {
  Circuit c(2);
  add(c, GateKind::H, {0});
  EXPECT_THROW(add(c, GateKind::CX, {0, 2}), FatalError);
  ASSERT_EQ(c.operations().size(), 1u);
  EXPECT_EQ(std::get<GateOp>(c.operations()[0]).kind, GateKind::H);
}

TEST(Circuit, RepeatedOperandsAndUnboundedCbitAreRecordedUnchanged) {
  Circuit c(3);
  add(c, GateKind::CX, {1, 1});
  add(c, GateKind::SWAP, {0, 0});
  add(c, GateKind::CSWAP, {2, 2, 2});
  c.measure(0, 1000);
  ASSERT_EQ(c.operations().size(), 4u);
  const auto& cx = std::get<GateOp>(c.operations()[0]);
  EXPECT_EQ(cx.n_qubits, 2);
  EXPECT_EQ(cx.qubits[0], 1u);
  EXPECT_EQ(cx.qubits[1], 1u);
  const auto& cswap = std::get<GateOp>(c.operations()[2]);
  EXPECT_EQ(cswap.n_qubits, 3);
  EXPECT_EQ(cswap.qubits, (std::array<std::uint64_t, 3>{2, 2, 2}));
  const auto& m = std::get<MeasureOp>(c.operations()[3]);
  EXPECT_EQ(m.qubit, 0u);
  EXPECT_EQ(m.cbit, 1000u);
}

TEST(Circuit, OperandOrderAndAngleAreKept) {
  Circuit c(3);
  add(c, GateKind::CCX, {2, 0, 1});
  add(c, GateKind::RX, {1}, std::numeric_limits<double>::quiet_NaN());
  add(c, GateKind::RZ, {0}, -std::numeric_limits<double>::infinity());
  add(c, GateKind::H, {0}, 1.5);  // no angle for H: nothing of 1.5 is kept
  const auto& ccx = std::get<GateOp>(c.operations()[0]);
  EXPECT_EQ(ccx.qubits, (std::array<std::uint64_t, 3>{2, 0, 1}));
  EXPECT_TRUE(std::isnan(std::get<GateOp>(c.operations()[1]).theta));
  EXPECT_EQ(std::get<GateOp>(c.operations()[2]).theta, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(std::get<GateOp>(c.operations()[3]).theta, 0.0);
}

TEST(Circuit, ZeroQubitCircuitRejectsOperandsButTakesMeasureAll) {
  Circuit c(0);
  EXPECT_EQ(c.n_qubits(), 0u);
  EXPECT_EQ(fatal_message([&] { add(c, GateKind::X, {0}); }), "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)");
  EXPECT_EQ(fatal_message([&] { c.measure(0, 0); }), "큐비트 인덱스 0가 범위를 벗어남 (n_qubits=0)");
  c.measure_all();
  c.measure_all();
  ASSERT_EQ(c.operations().size(), 2u);
  EXPECT_TRUE(std::holds_alternative<MeasureAllOp>(c.operations()[1]));
}

TEST(Circuit, WrongOperandCountIsRejected) {
  Circuit c(3);
  EXPECT_THROW(add(c, GateKind::CX, {0}), FatalError);
  EXPECT_THROW(add(c, GateKind::H, {0, 1}), FatalError);
  EXPECT_TRUE(c.operations().empty());
}

}  // namespace
}  // namespace vorn::sim

// Tests of the OpenQASM 3 reader: the order and flags of inverted and
// controlled definitions, table-named definitions and their probes, if/else
// blocks, loops read again from their text, errors inside replayed bodies at
// the body's place, and the limits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vorn/qasm/qasm3.hpp"

namespace vorn::qasm3 {
namespace {

using Q = std::vector<std::uint64_t>;
const std::string kHead = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n";  // lines 1-2

Description body(const std::string& text, const ParseOptions& options = {}) { return parse(kHead + text, options); }

// "name" or "name^-1" with controls, one string per instruction.
std::vector<std::string> names(const std::vector<Instruction>& list) {
  std::vector<std::string> out;
  for (const Instruction& i : list)
    out.push_back(i.name + (i.inverse ? "^-1" : "") + (i.controls ? "/c" + std::to_string(i.controls) : ""));
  return out;
}

ParseError error_of(const std::string& text, const ParseOptions& options = {}) {
  try {
    body(text, options);
  } catch (const ParseError& e) {
    return e;
  }
  ADD_FAILURE() << "no error for: " << text;
  return ParseError("", 0, 0, "");
}

TEST(Qasm3Reader, InvertedDefinitionsReverseStatementsNotTheGatesOfEachStatement) {
  // g = (inv @ h2) then s; h2 = t then sx. inv @ g = s^-1 then h2 (t, sx in order).
  const Description d = body(
      "qubit q;\ngate h2 a { t a; sx a; }\ngate g a { inv @ h2 a; s a; }\ninv @ g q;\n");
  EXPECT_EQ(names(d.instructions), (std::vector<std::string>{"s^-1", "t", "sx"}));
}

TEST(Qasm3Reader, PowersRepeatAndNegativePowersInvert) {
  const Description d = body("qubit q;\npow(3) @ t q;\npow(-2) @ inv @ s q;\npow(0) @ x q;\n");
  EXPECT_EQ(names(d.instructions), (std::vector<std::string>{"t", "t", "t", "s", "s"}));
}

TEST(Qasm3Reader, ControlsComeFirstAndNegativeControlsAreFlippedAround) {
  const Description d = body("qubit[3] q;\nctrl @ negctrl @ rx(0.5) q[2], q[0], q[1];\n");
  ASSERT_EQ(names(d.instructions), (std::vector<std::string>{"x", "rx/c2", "x"}));
  EXPECT_EQ(d.instructions[0].qubits, Q({0}));
  EXPECT_EQ(d.instructions[1].qubits, Q({2, 0, 1}));
  EXPECT_EQ(d.instructions[1].params, std::vector<double>{0.5});
}

TEST(Qasm3Reader, ControlledGlobalPhaseIsAPhaseOnTheControls) {
  const Description d = body("qubit[2] q;\nctrl(2) @ gphase(0.3) q[0], q[1];\ngphase(0.25);\n");
  ASSERT_EQ(names(d.instructions), std::vector<std::string>{"p/c1"});
  EXPECT_EQ(d.instructions[0].qubits, Q({0, 1}));
  EXPECT_EQ(d.global_phase, 0.25);
}

TEST(Qasm3Reader, TableNamedDefinitionsAreRowsWithAProbeUnlessUntrusted) {
  ParseOptions options;
  options.table_gates = {{"rzz", "rzz", 1, 2}, {"mcx", "mcx", 0, 0}};
  const std::string text =
      "qubit[3] q;\ngate rzz(t) a, b { cx a, b; rz(t) b; cx a, b; }\ngate mcx_2 a, b, c { ctrl(2) @ x a, b, c; }\n"
      "rzz(0.5) q[0], q[1];\nmcx_2 q[0], q[1], q[2];\n";
  const Description d = body(text, options);
  EXPECT_EQ(names(d.instructions), (std::vector<std::string>{"rzz", "mcx"}));
  ASSERT_EQ(d.probes.size(), 2u);
  EXPECT_EQ(names(d.probes[0].body), (std::vector<std::string>{"cx", "rz", "cx"}));
  EXPECT_EQ(d.probes[0].body[1].params, d.probes[0].params);
  EXPECT_EQ(d.probes[1].num_qubits, 3u);
  options.untrusted = {"rzz"};
  EXPECT_EQ(names(body(text, options).instructions), (std::vector<std::string>{"cx", "rz", "cx", "mcx"}));
}

TEST(Qasm3Reader, ConditionsOnMeasuredBitsBecomeBlocks) {
  const Description d = body(
      "qubit[2] q;\nbit[2] c;\nc = measure q;\nif (c == 2) { x q[0]; if (!c[0]) { h q[1]; } } else { z q[1]; }\n");
  ASSERT_EQ(names(d.instructions), (std::vector<std::string>{"measure", "measure", "if_else"}));
  const Block& outer = d.blocks[d.instructions[2].block];
  EXPECT_TRUE(outer.on_register);
  EXPECT_EQ(outer.value, 2u);
  ASSERT_EQ(names(outer.true_body), (std::vector<std::string>{"x", "if_else"}));
  EXPECT_EQ(names(outer.false_body), std::vector<std::string>{"z"});
  const Block& inner = d.blocks[outer.true_body[1].block];
  EXPECT_FALSE(inner.on_register);
  EXPECT_EQ(inner.index, 0u);
  EXPECT_EQ(inner.value, 0u);
}

TEST(Qasm3Reader, KnownConditionsChooseABranchAndReadTheOtherDry) {
  // The untaken branch is checked (its error is found) but not run.
  const Description d = body("qubit q;\nconst int n = 2;\nif (n > 1) { x q; } else { y q; }\n");
  EXPECT_EQ(names(d.instructions), std::vector<std::string>{"x"});
  const ParseError e = error_of("qubit q;\nif (true) { x q; } else { nope q; }\n");
  EXPECT_EQ(e.line(), 4u);
  EXPECT_EQ(e.column(), 27u);
}

TEST(Qasm3Reader, LoopsAreReadAgainPerIterationWithTheirOwnScope) {
  const Description d = body(
      "qubit[3] q;\nfor int i in [0:2] { int k = i * 2; rx(k) q[i]; if (i == 1) break; }\n"
      "for int i in [5:4] { y q; }\n");
  ASSERT_EQ(names(d.instructions), (std::vector<std::string>{"rx", "rx"}));
  EXPECT_EQ(d.instructions[1].params, std::vector<double>{2.0});
}

TEST(Qasm3Reader, ErrorsInsideAGateBodyPointIntoTheBody) {
  const ParseError e = error_of("qubit q;\ngate g(a) r {\n  rx(1 / a) r;\n}\ng(0) q;\n");
  EXPECT_EQ(e.line(), 5u);
  EXPECT_EQ(e.column(), 8u);
  EXPECT_NE(e.message().find("division by zero"), std::string::npos);
}

TEST(Qasm3Reader, LimitsEndRunawayPrograms) {
  ParseOptions small;
  small.max_instructions = 100;
  EXPECT_NE(error_of("while (true) { }\n", small).message().find("max_instructions = 100"), std::string::npos);
  EXPECT_NE(error_of("qubit q;\ngate a x { h x; h x; }\ngate b x { a x; a x; }\ngate c x { b x; b x; }\n"
                     "gate d x { c x; c x; }\ngate e x { d x; d x; }\ngate f x { e x; e x; }\nf q; f q;\n",
                     small)
                .message()
                .find("max_instructions"),
            std::string::npos);
  const ParseError deep = error_of("def f(int n) -> int { return f(n + 1); }\nint x = f(0);\n");
  EXPECT_NE(deep.message().find("nested more than 256 deep"), std::string::npos);
  std::string blocks(5000, '{');
  EXPECT_NE(error_of(blocks).message().find("nested more than"), std::string::npos);
}

TEST(Qasm3Reader, IncludesResolveBesideTheFileAndStopAtTheDepthLimit) {
  const auto dir = std::filesystem::temp_directory_path() / "vorn_qasm3_test";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "lib.inc") << "gate flip a { x a; }\n";
  std::ofstream(dir / "loop.inc") << "include \"loop.inc\";\n";
  std::ofstream(dir / "main.qasm") << kHead << "include \"lib.inc\";\nqubit q;\nflip q;\n";
  EXPECT_EQ(names(parse_file((dir / "main.qasm").string()).instructions), std::vector<std::string>{"x"});
  ParseOptions options;
  options.include_path = {dir.string()};
  try {
    parse("include \"loop.inc\";\n", options);
    ADD_FAILURE() << "no error for a file that includes itself";
  } catch (const ParseError& e) {
    EXPECT_NE(e.message().find("nested more than 16 deep"), std::string::npos);
    EXPECT_EQ(e.file(), (dir / "loop.inc").string());
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorn::qasm3

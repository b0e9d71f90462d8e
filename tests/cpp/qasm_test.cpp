// Tests of the OpenQASM 2 reader: errors with their positions, broadcasting,
// inlined gate definitions, the qelib1 mapping, the global-phase comment,
// includes, limits and a large generated program.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "vorn/qasm/qasm2.hpp"

namespace vorn::qasm {
namespace {

using namespace std::string_literals;
using Q = std::vector<std::uint64_t>;
constexpr double kPi = std::numbers::pi;
const std::string kHead = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";  // lines 1-2

Description body(const std::string& text) { return parse(kHead + text); }

struct Bad {
  std::string source;
  std::uint32_t line, column;
  std::string message;  // a part of the message
};

TEST(Qasm2, MalformedInputsFailWithPlaceAndReason) {
  const std::string h = kHead + "qreg q[2];\ncreg c[2];\n";  // statements under test start on line 5
  const std::vector<Bad> cases = {
      {"OPENQASM;", 1, 9, "expected a version number after 'OPENQASM', found ';'"},
      {"OPENQASM 2.01;", 1, 10, "unsupported OpenQASM version 2.01"},
      {"OPENQASM 20;", 1, 10, "unsupported OpenQASM version 20"},
      {"OPENQASM 3.0;\nqubit q;", 1, 10, "only OpenQASM 2.0 is supported"},
      {"OPENQASM 3;", 1, 10, "only OpenQASM 2.0 is supported"},
      {"include \"stdgates.inc\";", 1, 1, "OpenQASM 3"},
      {"OPENQASM 2.1;", 1, 10, "unsupported OpenQASM version 2.1"},
      {"OPENQASM 2.0", 1, 13, "expected ';' after the version, found end of input"},
      {h + "OPENQASM 2.0;", 5, 1, "only once"},
      {h + "foo q[0];", 5, 1, "gate 'foo' is not defined"},
      {"OPENQASM 2.0;\nqreg q[1];\nh q[0];", 3, 1, "comes with qelib1.inc"},
      {h + "h r[0];", 5, 3, "register 'r' is not declared"},
      {h + "h c[0];", 5, 3, "'c' is a classical register"},
      {h + "q q[0];", 5, 1, "expected a gate name, found register 'q'"},
      {h + "cx q[0];", 5, 1, "gate 'cx' takes 2 qubits, 1 given"},
      {h + "rz q[0];", 5, 1, "gate 'rz' takes 1 parameter, 0 given"},
      {h + "h(1) q[0];", 5, 1, "gate 'h' takes 0 parameters, 1 given"},
      {h + "h q[2];", 5, 5, "index 2 is out of range for register 'q' of size 2"},
      {h + "h q[99999999999999999999];", 5, 5, "too large"},
      {h + "h q[1.5];", 5, 5, "expected an integer index"},
      {h + "qreg r[3];\ncx q, r;", 6, 7, "register 'r' has size 3 but 'q' has size 2"},
      {h + "cx q[1], q[1];", 5, 10, "qubit q[1] is used twice in one application of 'cx'"},
      {h + "cx q[0], q;", 5, 10, "qubit q[0] is used twice"},
      {h + "measure q -> c[0];", 5, 14, "not a mix"},
      {h + "creg d[3];\nmeasure q -> d;", 6, 14, "measure needs equal sizes"},
      {h + "measure q[0] c[0];", 5, 14, "expected '->'"},
      {h + "qreg q[3];", 5, 6, "register 'q' is already declared"},
      {h + "qreg Q[3];", 5, 6, "start with a lowercase letter"},
      {h + "qreg pi[3];", 5, 6, "reserved word"},
      {h + "h q[0]\nx q[1];", 6, 1, "expected ';' after the gate's qubits, found 'x'"},
      {h + "h q[0]", 5, 7, "found end of input"},
      {h + "rz(pi q[0];", 5, 7, "expected ',' or ')'"},
      {h + "rz() q[0];", 5, 1, "takes 1 parameter, 0 given"},
      {h + "rz(1/0) q[0];", 5, 5, "division by zero"},
      {h + "rz(ln(0)) q[0];", 5, 4, "ln of a number that is not positive"},
      {h + "rz(sqrt(-1)) q[0];", 5, 4, "sqrt of a negative number"},
      {h + "rz(exp(1000)) q[0];", 5, 4, "non-finite"},
      {h + "rz(1e999) q[0];", 5, 4, "out of range"},
      {h + "rz(1.5e+) q[0];", 5, 4, "exponent without digits"},
      {h + "rz(x) q[0];", 5, 4, "'x' is not defined here"},
      {h + "rz((1 q[0];", 5, 7, "expected ')' to close '(', found 'q'"},
      {h + "rz(sin(1 q[0];", 5, 10, "expected ')' to close the argument of 'sin', found 'q'"},
      {h + "rz(sin 1) q[0];", 5, 8, "expected '(' after function 'sin'"},
      {h + "rz(2 *) q[0];", 5, 7, "expected an expression, found ')'"},
      {h + "rz(+) q[0];", 5, 5, "expected an expression"},
      {h + "include \"ok.inc\0whatever\";"s, 5, 9, "the include file name contains a NUL byte"},
      {h + "// vorn: global_phase = 1e308\n// vorn: global_phase = 1e308\n", 6, 25, "not finite (1e+308 + 1e308)"},
      {h + "h q[0]; @", 5, 9, "unexpected character '@'"},
      {h + "h q[0]; \x01", 5, 9, "byte \\x01"},
      {h + "x = 1;", 5, 3, "comparisons are written '=='"},
      {h + "/* never closed\nh q[0];", 5, 1, "unterminated comment"},
      {h + "include \"qelib1.inc", 5, 9, "unterminated string"},
      {h + "include \"other.inc\";", 5, 1, "cannot include 'other.inc'"},
      {h + "// vorn: global_phase = half", 5, 25, "global-phase comment"},
      {h + "gate g a { g a; }", 5, 12, "recursive gate definitions are not allowed"},
      {h + "gate g a { later a; }\ngate later a { h a; }", 5, 12, "gate 'later' is not defined"},
      {h + "gate h a { x a; }", 5, 6, "gate 'h' is already defined by qelib1.inc"},
      {h + "gate g a { h a; }\ngate g a { x a; }", 6, 6, "gate 'g' is already defined at line 5"},
      {h + "gate sx a, b { h a; }", 5, 6, "standard gate with 0 parameters and 1 qubit"},
      {h + "gate g a { h a; ", 5, 17, "unterminated gate body"},
      {h + "gate g a, a { h a; }", 5, 11, "declared twice"},
      {h + "gate g(t, t) a { h a; }", 5, 11, "declared twice"},
      {h + "gate g a { h b; }", 5, 14, "'b' is not a qubit argument of gate 'g'"},
      {h + "gate g a { h a[0]; }", 5, 15, "without an index"},
      {h + "gate g a, b { cx a, a; }", 5, 21, "used twice in one application of 'cx'"},
      {h + "gate g(t) a { rz(s) a; }", 5, 18, "'s' is not a parameter of this gate"},
      {h + "gate g a { measure a -> c[0]; }", 5, 12, "not allowed inside a gate body"},
      {h + "gate g a { rz(1/0) a; }", 5, 16, "division by zero"},
      {h + "gate g(t) a { rz(1/t) a; }\ng(0) q[0];", 6, 1, "division by zero in gate 'g' (line 5, column 19)"},
      {h + "opaque o a;\no q[0];", 6, 1, "cannot apply opaque gate 'o' (declared at line 5)"},
      {h + "opaque o a;\ngate g a { o a; }\ng q[1];", 7, 1, "uses opaque gate 'o'"},
      {h + "if (q==1) h q[0];", 5, 5, "'q' is a quantum register"},
      {h + "if (c[0]==1) h q[0];", 5, 6, "whole classical register"},
      {h + "if (c==1) barrier q;", 5, 11, "cannot be conditioned"},
      {h + "u0(0.5) q[0];", 5, 1, "whole number of idle cycles"},
      {"OPENQASM 2.0;\nqreg a[18446744073709551615];\nqreg b[1];", 3, 6, "past 2^64 - 1"},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.source);
    try {
      parse(c.source);
      ADD_FAILURE() << "no ParseError";
    } catch (const ParseError& e) {
      EXPECT_EQ(e.line(), c.line);
      EXPECT_EQ(e.column(), c.column);
      EXPECT_NE(e.message().find(c.message), std::string::npos) << e.message();
      EXPECT_EQ(std::string(e.what()), "line " + std::to_string(c.line) + ", column " +
                                           std::to_string(c.column) + ": " + e.message());
    }
  }
}

TEST(Qasm2, RegistersGetFlatIndicesInDeclarationOrder) {
  const auto d = body("qreg a[2];\ncreg m[3];\nqreg b[3];\nqreg e[0];\ncreg n[1];\nx b[1];\nmeasure b[2] -> n[0];");
  ASSERT_EQ(d.qregs.size(), 3u);
  EXPECT_EQ(d.qregs[1].name, "b");
  EXPECT_EQ(d.qregs[1].offset, 2u);
  EXPECT_EQ(d.qregs[2].size, 0u);
  EXPECT_EQ(d.num_qubits, 5u);
  EXPECT_EQ(d.num_clbits, 4u);
  EXPECT_EQ(d.cregs[1].offset, 3u);
  ASSERT_EQ(d.instructions.size(), 2u);
  EXPECT_EQ(d.instructions[0].qubits, Q{3});
  EXPECT_EQ(d.instructions[1].kind, Kind::Measure);
  EXPECT_EQ(d.instructions[1].qubits, Q{4});
  EXPECT_EQ(d.instructions[1].clbits, Q{3});
  EXPECT_EQ(d.instructions[1].line, 9u);
}

TEST(Qasm2, RegistersBroadcastElementwise) {
  const auto d = body(
      "qreg q[3];\nqreg r[3];\ncreg c[3];\nqreg e[0];\n"
      "h q;\ncx q, r;\ncx q[1], r;\nmeasure r -> c;\nreset q[2];\nreset r;\nbarrier q[2], r, q;\nh e;\n");
  std::vector<std::pair<std::string, Q>> got;
  for (const auto& i : d.instructions) got.emplace_back(i.name, i.name == "measure" ? Q{i.qubits[0], i.clbits[0]} : i.qubits);
  const std::vector<std::pair<std::string, Q>> want = {
      {"h", {0}}, {"h", {1}}, {"h", {2}},
      {"cx", {0, 3}}, {"cx", {1, 4}}, {"cx", {2, 5}},
      {"cx", {1, 3}}, {"cx", {1, 4}}, {"cx", {1, 5}},
      {"measure", {3, 0}}, {"measure", {4, 1}}, {"measure", {5, 2}},
      {"reset", {2}}, {"reset", {3}}, {"reset", {4}}, {"reset", {5}},
      {"barrier", {2, 3, 4, 5, 0, 1}},  // each qubit once, first mention first
  };
  EXPECT_EQ(got, want);
  EXPECT_EQ(d.instructions[12].kind, Kind::Reset);
  EXPECT_EQ(d.instructions.back().kind, Kind::Barrier);
}

TEST(Qasm2, NestedParameterisedGatesAreInlinedWithEvaluatedExpressions) {
  const auto d = body(
      "qreg q[3];\n"
      "gate inner(t, s) x, y { rz(t/2 - s) x; cx x, y; ry(-t^2/3) y; U(sin(t), cos(s)*2, ln(t+4)) x; }\n"
      "gate outer(t) x, y, z { inner(t*2, sqrt(t+1)) x, z; barrier x, y; inner(exp(-t), 3*t) z, y; CX y, x; }\n"
      "outer(0.37) q[2], q[0], q[1];\n");
  const auto inner = [](double t, double s, std::uint64_t x, std::uint64_t y) {
    return std::vector<std::tuple<std::string, Q, std::vector<double>>>{
        {"rz", {x}, {t / 2 - s}},
        {"cx", {x, y}, {}},
        {"ry", {y}, {-std::pow(t, 2.0) / 3}},
        {"u", {x}, {std::sin(t), std::cos(s) * 2, std::log(t + 4)}}};
  };
  const double t = 0.37;
  auto want = inner(t * 2, std::sqrt(t + 1), 2, 1);
  want.push_back({"barrier", {2, 0}, {}});
  for (auto& g : inner(std::exp(-t), 3 * t, 1, 0)) want.push_back(g);
  want.push_back({"cx", {0, 2}, {}});
  ASSERT_EQ(d.instructions.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(d.instructions[i].name, std::get<0>(want[i]));
    EXPECT_EQ(d.instructions[i].qubits, std::get<1>(want[i]));
    EXPECT_EQ(d.instructions[i].params, std::get<2>(want[i]));  // same operations, same order: same bits
    EXPECT_EQ(d.instructions[i].line, 6u);
  }
}

TEST(Qasm2, ExpressionPrecedenceAndNumberForms) {
  const auto d = body(
      "qreg q[1];\nrz(-2^2) q[0];\nrz(2^3^2) q[0];\nrz(2*-3) q[0];\nrz(1 - 2 - 3) q[0];\nrz(8/2/2) q[0];\n"
      "rz(.5 + 1. + 1e-3 + 2E+1) q[0];\nrz(-(pi)) q[0];\nrz(1 + 2 * 3 ^ 2) q[0];\nrz(asin(1) + acos(1) + atan(1)) q[0];\n");
  std::vector<double> got;
  for (const auto& i : d.instructions) got.push_back(i.params.at(0));
  const std::vector<double> want = {-4.0, 512.0, -6.0, -4.0, 2.0, .5 + 1. + 1e-3 + 2e1, -kPi, 19.0,
                                    std::asin(1.0) + std::acos(1.0) + std::atan(1.0)};
  EXPECT_EQ(got, want);
}

TEST(Qasm2, Qelib1GatesMapToStandardGates) {
  struct Case {
    std::string call;
    std::uint32_t qubits;            // arguments the gate takes
    std::vector<std::string> names;  // what one application emits
  };
  const std::vector<Case> cases = {
      {"u3(1,2,3)", 1, {"u3"}}, {"u2(1,2)", 1, {"u2"}}, {"u1(1)", 1, {"u1"}}, {"cx", 2, {"cx"}},
      {"id", 1, {"id"}}, {"u0(3)", 1, {"id"}}, {"u(1,2,3)", 1, {"u"}}, {"U(1,2,3)", 1, {"u"}},
      {"CX", 2, {"cx"}}, {"p(1)", 1, {"p"}}, {"x", 1, {"x"}}, {"y", 1, {"y"}}, {"z", 1, {"z"}},
      {"h", 1, {"h"}}, {"s", 1, {"s"}}, {"sdg", 1, {"sdg"}}, {"t", 1, {"t"}}, {"tdg", 1, {"tdg"}},
      {"rx(1)", 1, {"rx"}}, {"ry(1)", 1, {"ry"}}, {"rz(1)", 1, {"rz"}}, {"sx", 1, {"sx"}},
      {"sxdg", 1, {"sxdg"}}, {"cz", 2, {"cz"}}, {"cy", 2, {"cy"}}, {"swap", 2, {"swap"}}, {"ch", 2, {"ch"}},
      {"ccx", 3, {"ccx"}}, {"cswap", 3, {"cswap"}}, {"crx(1)", 2, {"crx"}}, {"cry(1)", 2, {"cry"}},
      {"crz(1)", 2, {"crz"}}, {"cu1(1)", 2, {"cu1"}}, {"cp(1)", 2, {"cp"}}, {"cu3(1,2,3)", 2, {"cu3"}},
      {"csx", 2, {"csx"}}, {"cu(1,2,3,4)", 2, {"cu"}}, {"rxx(1)", 2, {"rxx"}}, {"rzz(1)", 2, {"rzz"}},
      {"rccx", 3, {"rccx"}}, {"c3x", 4, {"mcx"}}, {"c4x", 5, {"mcx"}},
      {"c3sqrtx", 4, {"h", "mcp", "h"}},
      {"rc3x", 4, {"h", "t", "cx", "tdg", "h", "cx", "t", "cx", "tdg", "cx", "t", "cx", "tdg", "h", "t", "cx", "tdg", "h"}},
  };
  const Q order = {4, 0, 3, 1, 2};  // an argument order that shows any reordering
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    std::string args;
    for (std::uint32_t k = 0; k < c.qubits; ++k) args += (k ? ", q[" : "q[") + std::to_string(order[k]) + "]";
    const auto d = body("qreg q[5];\n" + c.call + " " + args + ";\n");
    std::vector<std::string> names;
    for (const auto& i : d.instructions) names.push_back(i.name);
    EXPECT_EQ(names, c.names);
    if (c.names.size() > 1) continue;
    const auto& only = d.instructions.front();
    EXPECT_EQ(only.qubits, Q(order.begin(), order.begin() + c.qubits));
    if (c.call != "u0(3)") {
      for (std::size_t k = 0; k < only.params.size(); ++k) EXPECT_EQ(only.params[k], double(k + 1));
    }
  }
  // c3sqrtx: h on the target, a controlled phase of pi/2 over all four, h again.
  auto d = body("qreg q[4];\nc3sqrtx q[3], q[1], q[0], q[2];\n");
  EXPECT_EQ(d.instructions[0].qubits, Q{2});
  EXPECT_EQ(d.instructions[1].qubits, (Q{3, 1, 0, 2}));
  EXPECT_EQ(d.instructions[1].params, std::vector<double>{kPi / 2});
  EXPECT_EQ(d.instructions[2].qubits, Q{2});
  // rc3x acts on its last argument, with the others as controls in the order given.
  d = body("qreg q[4];\nrc3x q[3], q[1], q[0], q[2];\n");
  EXPECT_EQ(d.instructions[2].qubits, (Q{0, 2}));
  EXPECT_EQ(d.instructions[5].qubits, (Q{3, 2}));
  EXPECT_EQ(d.instructions[7].qubits, (Q{1, 2}));
}

TEST(Qasm2, DeclaringAQelib1NameMeansTheStandardGate) {
  // Without the include, a matching declaration (gate or opaque) names the
  // standard gate; the later additions are there without any declaration.
  const auto d = parse(
      "OPENQASM 2.0;\nqreg q[2];\ngate h a { U(0,0,0) a; }\nopaque cx a, b;\ngate sx a { h a; }\n"
      "h q[0];\ncx q[0], q[1];\nsx q[1];\np(0.5) q[0];\n");
  std::vector<std::string> names;
  for (const auto& i : d.instructions) names.push_back(i.name);
  EXPECT_EQ(names, (std::vector<std::string>{"h", "cx", "sx", "p"}));
}

TEST(Qasm2, ConditionsTravelWithEveryInstructionTheyCover) {
  const auto d = body(
      "qreg q[2];\ncreg a[1];\ncreg c[2];\ngate g x, y { h x; cx x, y; }\n"
      "if (c==2) g q[0], q[1];\nif (c == 3) measure q -> c;\nif(a==1) reset q[1];\nx q[0];\n");
  ASSERT_EQ(d.instructions.size(), 6u);
  const Kind want[] = {Kind::Gate, Kind::Gate, Kind::Measure, Kind::Measure, Kind::Reset};
  const std::uint64_t value[] = {2, 2, 3, 3, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(d.instructions[i].kind, Kind::Conditional);
    EXPECT_EQ(d.instructions[i].conditioned, want[i]);
    EXPECT_EQ(d.instructions[i].condition_creg, i == 4 ? 0u : 1u);
    EXPECT_EQ(d.instructions[i].condition_value, value[i]);
  }
  EXPECT_EQ(d.instructions[3].clbits, Q{2});
  EXPECT_EQ(d.instructions[5].kind, Kind::Gate);
}

TEST(Qasm2, GlobalPhaseCommentIsReadAndAddsUp) {
  EXPECT_EQ(body("qreg q[1];\n").global_phase, 0.0);
  EXPECT_EQ(body("// vorn: global_phase = 0.1\nqreg q[1];\n").global_phase, 0.1);
  EXPECT_EQ(body("// vorn: global_phase = -1e-05  \r\n// vorn: global_phase = 2.5\n").global_phase, -1e-05 + 2.5);
  // Other comments, or the marker inside a block comment, leave it alone.
  EXPECT_EQ(body("// global_phase = 3\n/* // vorn: global_phase = 3\n*/ qreg q[1]; // x\n").global_phase, 0.0);
  EXPECT_THROW(body("// vorn: global_phase = nan\n"), ParseError);
  EXPECT_THROW(body("// vorn: global_phase = 1.0 rad\n"), ParseError);
  // Each finite, their sum not: refused rather than a NaN state.
  EXPECT_THROW(body("// vorn: global_phase = -1.7e308\n// vorn: global_phase = -1.7e308\n"), ParseError);
  EXPECT_EQ(body("// vorn: global_phase = 1e308\n// vorn: global_phase = -1e308\n").global_phase, 0.0);
}

TEST(Qasm2, IncludesAreSearchedInTheGivenDirectoriesAndTheFilesOwn) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vorn_qasm_test_" + std::to_string(::getpid()));
  fs::create_directories(dir / "lib");
  std::ofstream(dir / "lib" / "mine.inc") << "gate twice a { x a; x a; }\n";
  std::ofstream(dir / "main.qasm") << kHead << "include \"lib/mine.inc\";\nqreg q[1];\ntwice q[0];\n";
  std::ofstream(dir / "loop.inc") << "include \"loop.inc\";\n";
  std::ofstream(dir / "bad.inc") << "gate g a {\n  h a\n}\n";

  EXPECT_EQ(parse_file((dir / "main.qasm").string()).instructions.size(), 2u);
  ParseOptions o;
  o.include_path = {(dir / "lib").string()};
  EXPECT_EQ(parse(kHead + "include \"mine.inc\";\nqreg q[1];\ntwice q[0];\n", o).instructions.size(), 2u);
  o.include_path = {dir.string()};
  try {
    parse(kHead + "include \"bad.inc\";\n", o);
    ADD_FAILURE();
  } catch (const ParseError& e) {  // the error names the included file and the place in it
    EXPECT_EQ(e.file(), (dir / "bad.inc").string());
    EXPECT_EQ(e.line(), 3u);
    EXPECT_EQ(e.column(), 1u);
  }
  EXPECT_THROW(parse(kHead + "include \"loop.inc\";\n", o), ParseError);
  EXPECT_THROW(parse(kHead + "include \"missing.inc\";\n", o), ParseError);
  EXPECT_THROW(parse_file((dir / "absent.qasm").string()), ParseError);
  fs::remove_all(dir);
}

// What include finds but cannot read is named, not reported missing, never
// read as empty, and never waited on (a FIFO without a writer blocks open).
TEST(Qasm2, IncludesThatAreNotReadableFilesSayWhy) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vorn_qasm_odd_" + std::to_string(::getpid()));
  fs::create_directories(dir / "folder.inc");
  ASSERT_EQ(::mkfifo((dir / "pipe.inc").c_str(), 0600), 0);
  ParseOptions o;
  o.include_path = {dir.string()};
  const auto message_of = [&](const std::string& name) {
    try {
      parse(kHead + "include \"" + name + "\";\n", o);
    } catch (const ParseError& e) {
      EXPECT_EQ(e.line(), 3u);
      return e.message();
    }
    ADD_FAILURE() << name << " was read";
    return std::string();
  };
  const std::string folder = (dir / "folder.inc").string(), pipe = (dir / "pipe.inc").string();
  EXPECT_EQ(message_of("folder.inc"), "cannot include '" + folder + "': it is a directory, not a file");
  EXPECT_EQ(message_of("pipe.inc"), "cannot include '" + pipe + "': it is a FIFO, not a regular file");
  EXPECT_EQ(message_of("/dev/zero"), "cannot include '/dev/zero': it is a character device, not a regular file");
  EXPECT_EQ(message_of("/proc/self/mem"), "cannot include '/proc/self/mem': read error: Input/output error");
  EXPECT_EQ(message_of("missing.inc"), "cannot find include file 'missing.inc'");
  try {
    parse_file(pipe);
    ADD_FAILURE();
  } catch (const ParseError& e) {
    EXPECT_EQ(std::string(e.what()), pipe + ": it is a FIFO, not a regular file");
    EXPECT_EQ(e.line(), 0u);
  }
  EXPECT_THROW(parse_file(folder), ParseError);
  // A readable file in a later directory does not hide the first one found.
  o.include_path = {dir.string(), fs::temp_directory_path().string()};
  EXPECT_NE(message_of("folder.inc").find("a directory"), std::string::npos);
  fs::remove_all(dir);
}

TEST(Qasm2, DeeplyNestedExpressionsAreReadWithoutRecursion) {
  // 100,000 levels, as Qiskit's loader reads: the depth is the input's, so
  // the reader keeps it on the heap (a recursive reader overflows the stack).
  constexpr int kDepth = 100000;
  const std::string deep = std::string(kDepth, '(') + "1" + std::string(kDepth, ')');
  const std::string minus = std::string(kDepth, '-') + "1";  // an even count: +1
  std::string signs = "-";
  for (int i = 0; i < kDepth; ++i) signs += i % 2 ? "+" : "-";  // 50,001 minus signs: -1
  std::string power, sines;
  for (int i = 0; i < kDepth; ++i) power += "1^";
  for (int i = 0; i < kDepth; ++i) sines += "sin(";
  sines += "0" + std::string(kDepth, ')');
  std::string chain = "1";  // (((1-1)-1)-...): left-associative at any length
  for (int i = 0; i < kDepth; ++i) chain += "-1";
  const auto d = body("qreg q[1];\nrz(" + deep + ") q[0];\nrz(" + minus + ") q[0];\nrz(" + signs +
                      "1) q[0];\nrz(" + power + "2) q[0];\nrz(" + sines + ") q[0];\nrz(" + chain + ") q[0];\n");
  std::vector<double> got;
  for (const auto& ins : d.instructions) got.push_back(ins.params.at(0));
  EXPECT_EQ(got, (std::vector<double>{1.0, 1.0, -1.0, 1.0, 0.0, 1.0 - kDepth}));
  // The same inside a gate body, where parameters stay symbolic.
  const auto g = body("qreg q[1];\ngate g(t) a { rz(" + std::string(kDepth, '(') + "t" + std::string(kDepth, ')') +
                      ") a; }\ng(0.25) q[0];\n");
  EXPECT_EQ(g.instructions.at(0).params.at(0), 0.25);
}

TEST(Qasm2, VersionLineIsOptionalAndUnaryPlusIsRead) {
  // QASMBench's sat_n11.qasm starts with its include; Qiskit reads these too.
  EXPECT_TRUE(parse("").instructions.empty());
  EXPECT_EQ(parse("include \"qelib1.inc\";\nqreg q[1];\nh q[0];\n").instructions.size(), 1u);
  EXPECT_EQ(parse("qreg q[2];\nCX q[0], q[1];\n").instructions.at(0).name, "cx");
  for (const std::string v : {"2", "2.0", "2.00", "2."})
    EXPECT_EQ(parse("OPENQASM " + v + ";\nqreg q[1];\n").num_qubits, 1u) << v;
  const auto d = body("qreg q[1];\nrz(+1) q[0];\nrz(-+1) q[0];\nrz(2^+2) q[0];\nrz(+-+pi) q[0];\nrz(3*+2) q[0];\n");
  std::vector<double> got;
  for (const auto& ins : d.instructions) got.push_back(ins.params.at(0));
  EXPECT_EQ(got, (std::vector<double>{1.0, -1.0, 4.0, -kPi, 6.0}));
}

TEST(Qasm2, AdversarialInputHitsLimitsNotTheStack) {
  // Each definition doubles the previous one: 2^80 gates if expanded.
  std::string doubling = "qreg q[1];\ngate g0 a { h a; h a; }\n";
  for (int i = 1; i < 80; ++i)
    doubling += "gate g" + std::to_string(i) + " a { g" + std::to_string(i - 1) + " a; g" + std::to_string(i - 1) + " a; }\n";
  EXPECT_THROW(body(doubling + "g79 q[0];\n"), ParseError);
  std::string chain = "qreg q[1];\ngate g0 a { h a; }\n";
  for (int i = 1; i < 1100; ++i)
    chain += "gate g" + std::to_string(i) + " a { g" + std::to_string(i - 1) + " a; }\n";
  try {
    body(chain);
    ADD_FAILURE();
  } catch (const ParseError& e) {
    EXPECT_NE(e.message().find("gate 'g1000' nests gate definitions more than 1000 deep"), std::string::npos);
  }
  ParseOptions small;
  small.max_instructions = 10;
  EXPECT_THROW(parse(kHead + "qreg q[11];\nh q;\n", small), ParseError);
  EXPECT_EQ(parse(kHead + "qreg q[10];\nh q;\n", small).instructions.size(), 10u);
  // Ten levels of ten calls each: 10^10 instructions if expanded. The count
  // is known before expanding: refused at once, naming the limit and the gate.
  std::string tens = "qreg q[1];\ngate g0 a { h a; h a; h a; h a; h a; h a; h a; h a; h a; h a; }\n";
  for (int i = 1; i < 10; ++i) {
    tens += "gate g" + std::to_string(i) + " a {";
    for (int k = 0; k < 10; ++k) tens += " g" + std::to_string(i - 1) + " a;";
    tens += " }\n";
  }
  small.max_instructions = 1000;
  try {
    parse(kHead + tens + "h q[0];\ng9 q[0];\n", small);
    ADD_FAILURE();
  } catch (const ParseError& e) {
    EXPECT_EQ(e.line(), 15u);
    EXPECT_EQ(e.message(),
              "the program expands to more than max_instructions = 1000 instructions: 'g9' here expands to "
              "10000000000 (the program already has 1)");
  }
}

TEST(Qasm2, LargeGeneratedProgramReadsBack) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> pick(0, 3), wire(0, 19);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  std::string text = kHead + "qreg q[20];\ncreg c[20];\n";
  struct Want {
    int kind;
    int a, b;
    double theta;
  };
  std::vector<Want> want;
  char line[96];
  for (int i = 0; i < 200000; ++i) {
    const int k = pick(rng), a = wire(rng), b = (a + 1 + wire(rng) % 19) % 20;
    const double theta = angle(rng);
    if (k == 0) std::snprintf(line, sizeof line, "h q[%d];\n", a);
    if (k == 1) std::snprintf(line, sizeof line, "rz(%.17g) q[%d];\n", theta, a);
    if (k == 2) std::snprintf(line, sizeof line, "cx q[%d],q[%d];\n", a, b);
    if (k == 3) std::snprintf(line, sizeof line, "cp(%.17g) q[%d],q[%d];\n", theta, a, b);
    text += line;
    want.push_back({k, a, b, theta});
  }
  text += "measure q -> c;\n";
  const auto d = parse(text);
  ASSERT_EQ(d.instructions.size(), want.size() + 20);
  const char* names[] = {"h", "rz", "cx", "cp"};
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto& ins = d.instructions[i];
    const Want& w = want[i];
    ASSERT_EQ(ins.name, names[w.kind]) << i;
    ASSERT_EQ(ins.qubits[0], std::uint64_t(w.a)) << i;
    if (w.kind >= 2) {
      ASSERT_EQ(ins.qubits[1], std::uint64_t(w.b)) << i;
    }
    if (w.kind % 2 == 1) {
      ASSERT_EQ(ins.params[0], w.theta) << i;  // %.17g reads back to the same double
    }
    ASSERT_EQ(ins.line, i + 5) << i;
  }
}

}  // namespace
}  // namespace vorn::qasm

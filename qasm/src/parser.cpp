// Recursive-descent reader for OpenQASM 2.0. Statements are read straight off
// the lexer; user gates are kept as small bodies (callee, compiled parameter
// expressions, argument positions) and inlined at each application.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gates.hpp"
#include "lexer.hpp"
#include "source.hpp"
#include "vorn/qasm/messages.hpp"
#include "vorn/qasm/qasm2.hpp"

namespace vorn::qasm {
namespace {

using detail::Builtin;
using detail::Emit;
using detail::Lexer;
using detail::Tok;
using detail::Token;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using NameMap = std::unordered_map<std::string, V, NameHash, std::equal_to<>>;

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kSaturated - b ? kSaturated : a + b; }
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kSaturated / a) ? kSaturated : a * b;
}


std::string plural(std::uint64_t n, std::string_view word) {
  return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

// ---- expressions ---------------------------------------------------------

enum class Op : std::uint8_t { Const, Param, Neg, Add, Sub, Mul, Div, Pow, Sin, Cos, Tan, Exp, Ln, Sqrt, Asin, Acos, Atan };

struct ExprOp {
  Op op;
  std::uint32_t index = 0;  // Param: which gate parameter
  double value = 0.0;       // Const
  std::uint32_t line = 0;   // where the operator is, for evaluation errors
  std::uint32_t column = 0;
};

struct Function {
  std::string_view name;
  Op op;
};
constexpr Function kFunctions[] = {{"sin", Op::Sin},   {"cos", Op::Cos},   {"tan", Op::Tan},
                                   {"exp", Op::Exp},   {"ln", Op::Ln},     {"sqrt", Op::Sqrt},
                                   {"asin", Op::Asin}, {"acos", Op::Acos}, {"atan", Op::Atan}};

// nullptr and *out set, or the reason the operation has no real result.
const char* apply_unary(Op op, double a, double* out) {
  switch (op) {
    case Op::Neg: *out = -a; return nullptr;
    case Op::Sin: *out = std::sin(a); return nullptr;
    case Op::Cos: *out = std::cos(a); return nullptr;
    case Op::Tan: *out = std::tan(a); return nullptr;
    case Op::Exp: *out = std::exp(a); return nullptr;
    case Op::Ln:
      if (!(a > 0.0)) return messages::kLnDomain.data();
      *out = std::log(a);
      return nullptr;
    case Op::Sqrt:
      if (a < 0.0) return messages::kSqrtDomain.data();
      *out = std::sqrt(a);
      return nullptr;
    case Op::Asin:
      if (!(a >= -1.0 && a <= 1.0)) return messages::kAsinDomain.data();
      *out = std::asin(a);
      return nullptr;
    case Op::Acos:
      if (!(a >= -1.0 && a <= 1.0)) return messages::kAcosDomain.data();
      *out = std::acos(a);
      return nullptr;
    case Op::Atan: *out = std::atan(a); return nullptr;
    default: return nullptr;  // not reached: callers pass unary operations
  }
}

const char* apply_binary(Op op, double a, double b, double* out) {
  switch (op) {
    case Op::Add: *out = a + b; return nullptr;
    case Op::Sub: *out = a - b; return nullptr;
    case Op::Mul: *out = a * b; return nullptr;
    case Op::Div:
      if (b == 0.0) return messages::kDivisionByZero.data();
      *out = a / b;
      return nullptr;
    case Op::Pow: *out = std::pow(a, b); return nullptr;
    default: return nullptr;  // not reached: callers pass binary operations
  }
}

bool is_binary(Op op) { return op >= Op::Add && op <= Op::Pow; }

// ---- gates ---------------------------------------------------------------

enum class GateType : std::uint8_t { Builtin, User, Opaque };

constexpr std::int32_t kBarrier = -1;

struct BodyCall {
  std::int32_t gate;          // index into the gate table, or kBarrier
  std::uint32_t first_param;  // into GateDef::param_ranges
  std::uint32_t num_params;
  std::uint32_t first_arg;    // into GateDef::args
  std::uint32_t num_args;
};

struct GateDef {
  std::string name;
  std::uint32_t num_params = 0;
  std::uint32_t num_qubits = 0;
  GateType type = GateType::Builtin;
  const Builtin* builtin = nullptr;  // GateType::Builtin
  std::vector<BodyCall> body;         // GateType::User
  std::vector<ExprOp> code;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> param_ranges;  // [begin, end) in code
  std::vector<std::uint32_t> args;                                   // argument positions
  std::uint64_t size = 1;          // instructions one application emits (saturating)
  std::uint32_t depth = 0;         // nesting of user definitions below this one
  std::int32_t opaque_inside = -1;  // an opaque gate this body reaches, if any
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct RegInfo {
  bool quantum;
  std::uint32_t index;  // into qregs or cregs
};

// One register operand of a statement: a whole register or one element.
struct Operand {
  std::string_view name;
  std::uint64_t offset;
  std::uint64_t size;
  bool whole;
  std::uint64_t index;
  std::uint32_t line, column;
};

// Where instructions come from: the statement, and its condition if any.
struct Site {
  std::uint32_t line, column;
  bool conditional = false;
  std::uint32_t creg = 0;
  std::uint64_t value = 0;
};

bool is_reserved(std::string_view s) {
  static constexpr std::string_view kWords[] = {
      "OPENQASM", "include", "qreg", "creg", "gate", "opaque", "measure", "reset", "barrier",
      "if",       "pi",      "U",    "CX",   "sin",  "cos",    "tan",     "exp",   "ln",
      "sqrt",     "asin",    "acos", "atan"};
  return std::find(std::begin(kWords), std::end(kWords), s) != std::end(kWords);
}

// An operator waiting for its right operand while an expression is read,
// or an open parenthesis (Open: '(' alone; Call: a function's).
struct Pending {
  enum Kind : std::uint8_t { Open, Call, Neg, Add, Mul, Pow } kind;
  Op op;  // Neg, Add/Sub, Mul/Div, Pow, or the function of a Call
  Token at;
};

// State shared by the main program and the files it includes.
struct Program {
  const ParseOptions& options;
  Description out;
  std::vector<GateDef> gates;
  NameMap<std::int32_t> gate_index;
  NameMap<RegInfo> registers;
  bool qelib1_included = false;

  // Scratch reused across statements (no per-statement allocation).
  std::vector<ExprOp> code;
  std::vector<Pending> pending;
  std::vector<double> eval_stack;
  std::vector<double> param_stack;
  std::vector<std::uint64_t> qubit_stack;
  std::vector<Operand> operands;
  std::vector<std::uint64_t> qubits;

  explicit Program(const ParseOptions& o) : options(o) {
    for (const Builtin& b : detail::builtins())
      if (!b.needs_include) add_builtin(b);
  }

  void add_builtin(const Builtin& b) {
    GateDef g;
    g.name = std::string(b.name);
    g.num_params = b.num_params;
    g.num_qubits = b.num_qubits;
    g.builtin = &b;
    g.size = b.emit == Emit::Rc3x ? detail::rc3x_expansion().size() : b.emit == Emit::C3Sqrtx ? 3 : 1;
    gate_index.emplace(g.name, static_cast<std::int32_t>(gates.size()));
    gates.push_back(std::move(g));
  }
};

class Parser {
 public:
  Parser(Program& prog, std::string_view source, const std::string& file, std::uint32_t include_depth,
         std::filesystem::path base_dir)
      : p_(prog), lex_(source, file, &prog.out.global_phase), include_depth_(include_depth),
        base_dir_(std::move(base_dir)) {
    advance();
  }

  void run() {
    version();
    while (tok_.kind != Tok::End) statement();
  }

 private:
  Program& p_;
  Lexer lex_;
  Token tok_;
  std::uint32_t include_depth_;
  std::filesystem::path base_dir_;

  // ---- tokens ----
  void advance() { tok_ = lex_.next(); }
  [[noreturn]] void fail(std::uint32_t line, std::uint32_t column, std::string message) const {
    lex_.fail(line, column, std::move(message));
  }
  [[noreturn]] void fail(const Token& at, std::string message) const {
    fail(at.line, at.column, std::move(message));
  }
  [[noreturn]] void expected(std::string_view what) const {
    fail(tok_, messages::fill(messages::kExpected, what, describe(tok_)));
  }
  void expect(Tok kind, std::string_view what) {
    if (tok_.kind != kind) expected(what);
    advance();
  }
  bool accept(Tok kind) {
    if (tok_.kind != kind) return false;
    advance();
    return true;
  }
  Token ident(std::string_view what) {
    if (tok_.kind != Tok::Ident) expected(what);
    Token t = tok_;
    advance();
    return t;
  }
  // A name being declared: lowercase start (U and CX are the only capitals), not a keyword.
  Token new_name(std::string_view what) {
    Token t = ident(what);
    if (t.text[0] < 'a' || t.text[0] > 'z')
      fail(t, messages::fill(messages::kNameCase, t.text));
    if (is_reserved(t.text)) fail(t, messages::fill(messages::kReservedWord, t.text));
    return t;
  }
  std::uint64_t integer(std::string_view what) {
    if (tok_.kind != Tok::Int) expected(what);
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(tok_.text.data(), tok_.text.data() + tok_.text.size(), v);
    if (ec != std::errc() || ptr != tok_.text.data() + tok_.text.size())
      fail(tok_, messages::fill(messages::kIntegerTooLarge, tok_.text));
    advance();
    return v;
  }

  // ---- statements ----
  // The 'OPENQASM 2.0;' line is optional, as in Qiskit's loader (QASMBench
  // files start with their include, and the empty program is a program);
  // 2, 2.0 and 2.00 all name the version.
  void version() {
    if (tok_.kind != Tok::Ident || tok_.text != "OPENQASM") return;
    advance();
    if (tok_.kind != Tok::Int && tok_.kind != Tok::Real) expected(messages::kWantVersionNumber);
    const std::string_view v = tok_.text;
    const bool two = v == "2" || (v.starts_with("2.") && v.find_first_not_of('0', 2) == std::string_view::npos);
    if (!two) {
      if (v.starts_with("3")) fail(tok_, messages::fill(messages::kOpenQasm3Version, v));
      fail(tok_, messages::fill(messages::kUnsupportedVersion, v));
    }
    advance();
    expect(Tok::Semi, messages::kWantVersionSemi);
  }

  void statement() {
    if (accept(Tok::Semi)) return;  // empty statement
    if (tok_.kind != Tok::Ident) expected(messages::kWantStatement);
    const std::string_view w = tok_.text;
    if (w == "qreg" || w == "creg") return register_decl(w == "qreg");
    if (w == "gate") return gate_decl(false);
    if (w == "opaque") return gate_decl(true);
    if (w == "include") return include();
    if (w == "OPENQASM") fail(tok_, std::string(messages::kVersionTwice));
    const Site site{tok_.line, tok_.column};
    if (w == "barrier") return barrier(site);
    if (w == "if") return conditional();
    quantum_op(site);
  }

  // An operation that may also stand under `if`: measure, reset or a gate.
  void quantum_op(const Site& site) {
    const std::string_view w = tok_.text;
    if (w == "measure") return measure(site);
    if (w == "reset") return reset(site);
    gate_application(site);
  }

  void register_decl(bool quantum) {
    advance();
    const Token name = new_name(messages::kWantRegisterName);
    expect(Tok::LBracket, messages::kWantRegisterSize);
    const std::uint64_t size = integer(messages::kWantSizeInteger);
    expect(Tok::RBracket, messages::kWantCloseBracket);
    expect(Tok::Semi, messages::kWantRegisterSemi);
    if (p_.registers.count(name.text)) fail(name, messages::fill(messages::kRegisterRedeclared, name.text));
    std::uint64_t& total = quantum ? p_.out.num_qubits : p_.out.num_clbits;
    if (size > kSaturated - total)
      fail(name, messages::fill(messages::kRegisterPastLimit, name.text, quantum ? messages::kWordQubits : messages::kWordClbits));
    auto& list = quantum ? p_.out.qregs : p_.out.cregs;
    list.push_back(Register{std::string(name.text), size, total});
    total += size;
    p_.registers.emplace(std::string(name.text), RegInfo{quantum, static_cast<std::uint32_t>(list.size() - 1)});
  }

  void include() {
    const Token at = tok_;
    advance();
    if (tok_.kind != Tok::String) expected(messages::kWantIncludeName);
    const Token quoted = tok_;
    const std::string name(tok_.text);
    advance();
    expect(Tok::Semi, messages::kWantIncludeSemi);
    // The file system would end the name at the NUL and open another file.
    if (name.find('\0') != std::string::npos) fail(quoted, std::string(messages::kIncludeNameNul));
    if (name == "qelib1.inc") {
      if (p_.qelib1_included) return;
      p_.qelib1_included = true;
      for (const Builtin& b : detail::builtins()) {
        if (!b.needs_include) continue;
        if (const auto it = p_.gate_index.find(b.name); it != p_.gate_index.end()) {
          const GateDef& g = p_.gates[static_cast<std::size_t>(it->second)];
          if (g.builtin == &b) continue;  // declared earlier in this program under the same meaning
          fail(at, messages::fill(messages::kQelib1Redefines, g.name, g.line));
        }
        p_.add_builtin(b);
      }
      return;
    }
    if (name == "stdgates.inc") fail(at, std::string(messages::kStdgatesInclude));
    if (include_depth_ + 1 > p_.options.max_include_depth)
      fail(at, messages::fill(messages::kIncludeDepth, p_.options.max_include_depth));
    namespace fs = std::filesystem;
    std::vector<fs::path> dirs;
    for (const auto& d : p_.options.include_path) dirs.emplace_back(d);
    if (!base_dir_.empty()) dirs.push_back(base_dir_);
    const fs::path rel(name);
    if (!rel.is_absolute() && dirs.empty()) fail(at, messages::fill(messages::kIncludeNoPath, name));
    // The first entry of that name is the one meant, whatever it is: a
    // directory or a FIFO is reported, not skipped for a later directory.
    fs::path found;
    if (rel.is_absolute()) {
      found = rel;
    } else {
      for (const auto& d : dirs) {
        std::error_code ec;
        if (fs::exists(fs::status(d / rel, ec))) {
          found = d / rel;
          break;
        }
      }
      if (found.empty()) fail(at, messages::fill(messages::kIncludeNotFound, name));
    }
    std::string text;
    if (const std::string problem = detail::read_source(found, &text); !problem.empty()) {
      if (problem == messages::kFileNotFound) fail(at, messages::fill(messages::kIncludeNotFound, name));
      fail(at, messages::fill(messages::kIncludeUnreadable, found.string(), problem));
    }
    const std::string file = found.string();
    Parser sub(p_, text, file, include_depth_ + 1, found.parent_path());
    sub.run();
  }

  // ---- expressions ----
  // Compiles one expression into `code` (postfix), folding constant parts.
  // params: the parameter names of the gate being defined, or null.
  //
  // Operator precedence over an explicit stack of pending operators, not
  // recursion: the nesting depth is the input's (Qiskit reads 100,000 levels).
  // Binding, loosest first: + -, * /, unary - and +, ^ (right-associative;
  // its exponent may start with a sign). -2^2 is -(2^2), as in Qiskit.
  void expression(std::vector<ExprOp>& code, const std::vector<std::string_view>* params) {
    auto& ops = p_.pending;
    ops.clear();
    for (;;) {
      // Prefix signs and opening parentheses, then an operand.
      for (;;) {
        if (tok_.kind == Tok::Minus) {
          ops.push_back({Pending::Neg, Op::Neg, tok_});
        } else if (tok_.kind == Tok::LParen) {
          ops.push_back({Pending::Open, Op::Const, tok_});
        } else if (tok_.kind != Tok::Plus) {
          break;
        }
        advance();
      }
      if (const Function* f = function_named(tok_)) {
        const Token name = tok_;
        advance();
        if (tok_.kind != Tok::LParen) expected(messages::fill(messages::kWantFunctionOpen, f->name));
        advance();
        ops.push_back({Pending::Call, f->op, name});
        continue;
      }
      term(code, params);
      // Binary operators and closing parentheses, until the next operand.
      for (;;) {
        if (tok_.kind == Tok::RParen) {
          reduce(code, 1);
          if (ops.empty()) return;  // the ')' closes the caller's parameter list
          const Pending open = ops.back();
          ops.pop_back();
          advance();
          if (open.kind == Pending::Call) emit(code, open.op, open.at);
          continue;
        }
        const Pending next = binary_at(tok_);
        if (next.kind == Pending::Open) {  // not an operator: the expression ends here
          reduce(code, 1);
          if (ops.empty()) return;
          const Pending& open = ops.back();
          expected(open.kind == Pending::Call ? messages::fill(messages::kWantFunctionClose, open.at.text)
                                              : std::string(messages::kWantCloseParen));
        }
        // Left-associative operators first finish what binds as tightly;
        // '^' leaves an earlier '^' open.
        reduce(code, binding(next.kind) + (next.kind == Pending::Pow ? 1 : 0));
        ops.push_back(next);
        advance();
        break;
      }
    }
  }

  // Emits pending operators that bind at least `min` (never past a parenthesis).
  void reduce(std::vector<ExprOp>& code, int min) {
    auto& ops = p_.pending;
    while (!ops.empty() && binding(ops.back().kind) >= min) {
      emit(code, ops.back().op, ops.back().at);
      ops.pop_back();
    }
  }

  static int binding(Pending::Kind k) {
    switch (k) {
      case Pending::Add: return 1;
      case Pending::Mul: return 2;
      case Pending::Neg: return 3;
      case Pending::Pow: return 4;
      default: return 0;  // parentheses and function calls
    }
  }

  // The binary operator at t, or kind Open when t is none.
  static Pending binary_at(const Token& t) {
    switch (t.kind) {
      case Tok::Plus: return {Pending::Add, Op::Add, t};
      case Tok::Minus: return {Pending::Add, Op::Sub, t};
      case Tok::Star: return {Pending::Mul, Op::Mul, t};
      case Tok::Slash: return {Pending::Mul, Op::Div, t};
      case Tok::Caret: return {Pending::Pow, Op::Pow, t};
      default: return {Pending::Open, Op::Const, t};
    }
  }

  static const Function* function_named(const Token& t) {
    if (t.kind != Tok::Ident) return nullptr;
    for (const Function& f : kFunctions)
      if (f.name == t.text) return &f;
    return nullptr;
  }

  void emit(std::vector<ExprOp>& code, Op op, const Token& at) {
    const std::size_t n = code.size();
    double r = 0.0;
    if (is_binary(op)) {
      if (code[n - 1].op == Op::Const && code[n - 2].op == Op::Const) {
        if (const char* err = apply_binary(op, code[n - 2].value, code[n - 1].value, &r)) fail(at, err);
        code.pop_back();
        code.back().value = r;
        return;
      }
    } else if (code[n - 1].op == Op::Const) {
      if (const char* err = apply_unary(op, code[n - 1].value, &r)) fail(at, err);
      code.back().value = r;
      return;
    }
    code.push_back(ExprOp{op, 0, 0.0, at.line, at.column});
  }

  // A number, pi or a gate parameter.
  void term(std::vector<ExprOp>& code, const std::vector<std::string_view>* params) {
    const Token t = tok_;
    switch (t.kind) {
      case Tok::Int:
      case Tok::Real: {
        double v = 0.0;
        const auto [ptr, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (ec == std::errc::result_out_of_range || !std::isfinite(v)) fail(t, messages::fill(messages::kNumberOutOfRange, t.text));
        if (ec != std::errc() || ptr != t.text.data() + t.text.size()) fail(t, messages::fill(messages::kMalformedNumber, t.text));
        advance();
        code.push_back(ExprOp{Op::Const, 0, v, t.line, t.column});
        return;
      }
      case Tok::Ident: {
        if (t.text == "pi") {
          advance();
          code.push_back(ExprOp{Op::Const, 0, std::numbers::pi, t.line, t.column});
          return;
        }
        if (params) {
          const auto it = std::find(params->begin(), params->end(), t.text);
          if (it != params->end()) {
            advance();
            code.push_back(ExprOp{Op::Param, static_cast<std::uint32_t>(it - params->begin()), 0.0, t.line, t.column});
            return;
          }
          fail(t, messages::fill(messages::kNotAParameter, t.text));
        }
        fail(t, messages::fill(messages::kNotDefinedHere, t.text));
      }
      default: expected(messages::kWantExpression);
    }
  }

  // Evaluates a compiled expression with the given gate parameters. `where`
  // names the context for errors found only now (e.g. a division by a parameter).
  double evaluate(const ExprOp* b, const ExprOp* e, const double* params, const Site& site, const GateDef* in_gate) {
    if (e - b == 1) {
      if (b->op == Op::Const) return b->value;
      if (b->op == Op::Param) return params[b->index];
    }
    auto& st = p_.eval_stack;
    st.clear();
    for (const ExprOp* op = b; op != e; ++op) {
      double r = 0.0;
      const char* err = nullptr;
      switch (op->op) {
        case Op::Const: st.push_back(op->value); continue;
        case Op::Param: st.push_back(params[op->index]); continue;
        default:
          if (is_binary(op->op)) {
            const double rhs = st.back();
            st.pop_back();
            err = apply_binary(op->op, st.back(), rhs, &r);
          } else {
            err = apply_unary(op->op, st.back(), &r);
          }
      }
      if (err)
        fail(site.line, site.column,
             messages::fill(messages::kEvaluationInGate, err, in_gate ? std::string_view(in_gate->name) : "", op->line,
                  op->column));
      st.back() = r;
    }
    return st.back();
  }

  // A gate's parameter list at an application: constants, folded.
  void constant_params(std::uint32_t expected_count, const GateDef& g, const Token& name) {
    auto& out = p_.param_stack;
    out.clear();
    if (accept(Tok::LParen)) {
      if (tok_.kind != Tok::RParen) {
        for (;;) {
          const Token at = tok_;
          p_.code.clear();
          expression(p_.code, nullptr);
          const double v = p_.code[0].value;  // fully folded: no parameters out here
          if (!std::isfinite(v)) fail(at, std::string(messages::kParameterNotFinite));
          out.push_back(v);
          if (!accept(Tok::Comma)) break;
        }
      }
      expect(Tok::RParen, messages::kWantParameterList);
    }
    if (out.size() != expected_count)
      fail(name, messages::fill(messages::kArgumentCount, g.name, plural(expected_count, messages::kWordParameter), out.size()));
  }

  // ---- operands ----
  Operand operand(bool quantum) {
    const Token name = ident(quantum ? messages::kWantQuantumOperand : messages::kWantClassicalOperand);
    const auto it = p_.registers.find(name.text);
    if (it == p_.registers.end()) fail(name, messages::fill(messages::kRegisterUndeclared, name.text));
    if (it->second.quantum != quantum)
      fail(name, messages::fill(messages::kRegisterKind, name.text, quantum ? messages::kWordClassical : messages::kWordQuantum,
                      quantum ? messages::kWordQuantum : messages::kWordClassical));
    const Register& r = (quantum ? p_.out.qregs : p_.out.cregs)[it->second.index];
    Operand o{name.text, r.offset, r.size, true, 0, name.line, name.column};
    if (accept(Tok::LBracket)) {
      const Token at = tok_;
      o.index = integer(messages::kWantIndex);
      o.whole = false;
      if (o.index >= r.size)
        fail(at, messages::fill(messages::kIndexOutOfRange, o.index, r.name, r.size));
      expect(Tok::RBracket, messages::kWantCloseBracket);
    }
    return o;
  }

  // Broadcast length of operands: 1 when all are single elements, else the
  // common size of the whole registers (which must agree).
  std::uint64_t broadcast_length(const std::vector<Operand>& ops) {
    const Operand* first = nullptr;
    for (const Operand& o : ops) {
      if (!o.whole) continue;
      if (!first) {
        first = &o;
      } else if (o.size != first->size) {
        fail(o.line, o.column, messages::fill(messages::kBroadcastSizes, o.name, o.size, first->name, first->size));
      }
    }
    return first ? first->size : 1;
  }

  static std::uint64_t element(const Operand& o, std::uint64_t i) { return o.offset + (o.whole ? i : o.index); }

  std::string bit_name(const Operand& o, std::uint64_t i) const {
    return std::string(o.name) + "[" + std::to_string(o.whole ? i : o.index) + "]";
  }

  // ---- output ----
  // Counted before anything is expanded: a few hundred bytes of nested
  // definitions can stand for 2^64 instructions.
  void reserve_room(std::uint64_t count, const Site& site, std::string_view what) {
    const std::uint64_t have = p_.out.instructions.size();
    if (sat_add(have, count) > p_.options.max_instructions)
      fail(site.line, site.column,
           messages::fill(messages::kTooManyInstructions, p_.options.max_instructions, what,
                count == kSaturated ? std::string(messages::kCountPastLimit) : std::to_string(count), have));
  }

  void push(Kind kind, std::string_view name, const std::uint64_t* q, std::size_t nq, const double* params,
            std::size_t np, const Site& site, const std::uint64_t* clbits = nullptr, std::size_t nc = 0) {
    Instruction& ins = p_.out.instructions.emplace_back();
    ins.kind = site.conditional ? Kind::Conditional : kind;
    ins.conditioned = kind;
    ins.name.assign(name.data(), name.size());
    ins.qubits.assign(q, q + nq);
    if (np) ins.params.assign(params, params + np);
    if (nc) ins.clbits.assign(clbits, clbits + nc);
    ins.condition_creg = site.creg;
    ins.condition_value = site.value;
    ins.line = site.line;
    ins.column = site.column;
  }

  // Emits gate g on qubits qubit_stack[qbase..], parameters param_stack[pbase..].
  void expand(const GateDef& g, std::size_t pbase, std::size_t qbase, const Site& site) {
    if (g.type == GateType::Builtin) return emit_builtin(*g.builtin, pbase, qbase, site);
    for (const BodyCall& call : g.body) {
      const std::size_t cp = p_.param_stack.size(), cq = p_.qubit_stack.size();
      for (std::uint32_t k = 0; k < call.num_params; ++k) {
        const auto [b, e] = g.param_ranges[call.first_param + k];
        const double v = evaluate(g.code.data() + b, g.code.data() + e, p_.param_stack.data() + pbase, site, &g);
        if (!std::isfinite(v))
          fail(site.line, site.column, messages::fill(messages::kParameterInGateNotFinite, g.name));
        p_.param_stack.push_back(v);
      }
      for (std::uint32_t k = 0; k < call.num_args; ++k) {
        const std::uint64_t q = p_.qubit_stack[qbase + g.args[call.first_arg + k]];
        p_.qubit_stack.push_back(q);
      }
      if (call.gate == kBarrier) {
        push(Kind::Barrier, "barrier", p_.qubit_stack.data() + cq, call.num_args, nullptr, 0, site);
      } else {
        expand(p_.gates[static_cast<std::size_t>(call.gate)], cp, cq, site);
      }
      p_.param_stack.resize(cp);
      p_.qubit_stack.resize(cq);
    }
  }

  void emit_builtin(const Builtin& b, std::size_t pbase, std::size_t qbase, const Site& site) {
    const std::uint64_t* q = p_.qubit_stack.data() + qbase;
    const double* params = p_.param_stack.data() + pbase;
    switch (b.emit) {
      case Emit::Direct: return push(Kind::Gate, b.out, q, b.num_qubits, params, b.num_params, site);
      case Emit::U0:
        // Qiskit reads the parameter as a count of idle cycles.
        if (params[0] != std::floor(params[0]))
          fail(site.line, site.column, messages::fill(messages::kU0Cycles, detail::repr(params[0])));
        return push(Kind::Gate, "id", q, 1, nullptr, 0, site);
      case Emit::Mcx: return push(Kind::Gate, "mcx", q, b.num_qubits, nullptr, 0, site);
      case Emit::C3Sqrtx: {
        const double half_pi = std::numbers::pi / 2;
        push(Kind::Gate, "h", q + 3, 1, nullptr, 0, site);
        push(Kind::Gate, "mcp", q, 4, &half_pi, 1, site);
        return push(Kind::Gate, "h", q + 3, 1, nullptr, 0, site);
      }
      case Emit::Rc3x:
        for (const detail::FixedGate& f : detail::rc3x_expansion()) {
          const std::uint64_t qs[2] = {q[f.qubits[0]], f.num_qubits > 1 ? q[f.qubits[1]] : 0};
          push(Kind::Gate, f.name, qs, f.num_qubits, nullptr, 0, site);
        }
        return;
    }
  }

  // ---- quantum statements ----
  const GateDef& lookup_gate(const Token& name) {
    const auto it = p_.gate_index.find(name.text);
    if (it == p_.gate_index.end()) {
      if (p_.registers.count(name.text))
        fail(name, messages::fill(messages::kRegisterAsGate, name.text));
      const bool in_qelib1 = std::any_of(detail::builtins().begin(), detail::builtins().end(),
                                         [&](const Builtin& b) { return b.name == name.text; });
      fail(name, messages::fill(messages::kGateUndefined, name.text, in_qelib1 ? messages::kComesWithQelib1 : ""));
    }
    return p_.gates[static_cast<std::size_t>(it->second)];
  }

  void check_applicable(const GateDef& g, const Token& name) {
    if (g.type == GateType::Opaque)
      fail(name, messages::fill(messages::kOpaqueApplied, g.name, g.line));
    if (g.opaque_inside >= 0) {
      const GateDef& o = p_.gates[static_cast<std::size_t>(g.opaque_inside)];
      fail(name, messages::fill(messages::kOpaqueInside, g.name, o.name, o.line));
    }
  }

  void gate_application(const Site& site) {
    const Token name = tok_;
    advance();
    const GateDef& g = lookup_gate(name);
    check_applicable(g, name);
    constant_params(g.num_params, g, name);
    auto& ops = p_.operands;
    ops.clear();
    do ops.push_back(operand(true));
    while (accept(Tok::Comma));
    if (ops.size() != g.num_qubits)
      fail(name, messages::fill(messages::kArgumentCount, g.name, plural(g.num_qubits, messages::kWordQubit), ops.size()));
    expect(Tok::Semi, messages::kWantGateSemi);
    const std::uint64_t n = broadcast_length(ops);
    reserve_room(sat_mul(g.size, n), site, g.name);
    // The parameters sit at param_stack[0..); qubits go to qubit_stack[0..).
    for (std::uint64_t i = 0; i < n; ++i) {
      auto& qs = p_.qubit_stack;
      qs.clear();
      for (std::size_t a = 0; a < ops.size(); ++a) {
        const std::uint64_t q = element(ops[a], i);
        for (std::size_t b = 0; b < a; ++b)
          if (qs[b] == q)
            fail(ops[a].line, ops[a].column,
                 messages::fill(messages::kQubitTwice, bit_name(ops[a], i), g.name));
        qs.push_back(q);
      }
      expand(g, 0, 0, site);
    }
  }

  void measure(const Site& site) {
    advance();
    const Operand q = operand(true);
    expect(Tok::Arrow, messages::kWantArrow);
    const Operand c = operand(false);
    expect(Tok::Semi, messages::kWantMeasureSemi);
    if (q.whole != c.whole)
      fail(c.line, c.column, std::string(messages::kMeasureMix));
    if (q.whole && q.size != c.size)
      fail(c.line, c.column, messages::fill(messages::kMeasureSizes, q.name, q.size, c.name, c.size));
    const std::uint64_t n = q.whole ? q.size : 1;
    reserve_room(n, site, "measure");
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t qb = element(q, i), cb = element(c, i);
      push(Kind::Measure, "measure", &qb, 1, nullptr, 0, site, &cb, 1);
    }
  }

  void reset(const Site& site) {
    advance();
    const Operand q = operand(true);
    expect(Tok::Semi, messages::kWantResetSemi);
    const std::uint64_t n = q.whole ? q.size : 1;
    reserve_room(n, site, "reset");
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t qb = element(q, i);
      push(Kind::Reset, "reset", &qb, 1, nullptr, 0, site);
    }
  }

  void barrier(const Site& site) {
    advance();
    auto& ops = p_.operands;
    ops.clear();
    do ops.push_back(operand(true));
    while (accept(Tok::Comma));
    expect(Tok::Semi, messages::kWantBarrierSemi);
    // One barrier over every named qubit, each once, in the order given.
    auto& qs = p_.qubits;
    qs.clear();
    std::uint64_t count = 0;
    for (const Operand& o : ops) count = sat_add(count, o.whole ? o.size : 1);
    reserve_room(count, site, "barrier");  // bounds the qubit list too
    std::unordered_set<std::uint64_t> seen;
    for (const Operand& o : ops) {
      const std::uint64_t n = o.whole ? o.size : 1;
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t q = element(o, i);
        if (seen.insert(q).second) qs.push_back(q);
      }
    }
    push(Kind::Barrier, "barrier", qs.data(), qs.size(), nullptr, 0, site);
  }

  void conditional() {
    Site site{tok_.line, tok_.column, true};
    advance();
    expect(Tok::LParen, messages::kWantIfOpen);
    const Token name = ident(messages::kWantConditionRegister);
    const auto it = p_.registers.find(name.text);
    if (it == p_.registers.end()) fail(name, messages::fill(messages::kRegisterUndeclared, name.text));
    if (it->second.quantum)
      fail(name, messages::fill(messages::kIfQuantumRegister, name.text));
    if (tok_.kind == Tok::LBracket) fail(tok_, std::string(messages::kIfOneBit));
    expect(Tok::EqEq, messages::kWantEqEq);
    site.value = integer(messages::kWantConditionValue);
    site.creg = it->second.index;
    expect(Tok::RParen, messages::kWantConditionClose);
    if (tok_.kind != Tok::Ident) expected(messages::kWantConditioned);
    if (tok_.text == "barrier" || tok_.text == "if" || tok_.text == "qreg" || tok_.text == "creg" ||
        tok_.text == "gate" || tok_.text == "opaque" || tok_.text == "include")
      fail(tok_, messages::fill(messages::kCannotCondition, tok_.text));
    quantum_op(site);
  }

  // ---- gate definitions ----
  void gate_decl(bool opaque) {
    advance();
    const Token name = new_name(messages::kWantGateName);
    GateDef g;
    g.name = std::string(name.text);
    g.type = opaque ? GateType::Opaque : GateType::User;
    g.line = name.line;
    g.column = name.column;
    std::vector<std::string_view> params, qargs;
    if (accept(Tok::LParen)) {
      if (tok_.kind != Tok::RParen) {
        do {
          const Token p = new_name(messages::kWantParameterName);
          if (std::find(params.begin(), params.end(), p.text) != params.end())
            fail(p, messages::fill(messages::kParameterTwice, p.text));
          params.push_back(p.text);
        } while (accept(Tok::Comma));
      }
      expect(Tok::RParen, messages::kWantParameterList);
    }
    do {
      const Token a = new_name(messages::kWantArgumentName);
      if (std::find(qargs.begin(), qargs.end(), a.text) != qargs.end())
        fail(a, messages::fill(messages::kArgumentTwice, a.text));
      if (std::find(params.begin(), params.end(), a.text) != params.end())
        fail(a, messages::fill(messages::kArgumentIsParameter, a.text));
      qargs.push_back(a.text);
    } while (accept(Tok::Comma));
    g.num_params = static_cast<std::uint32_t>(params.size());
    g.num_qubits = static_cast<std::uint32_t>(qargs.size());
    if (opaque) {
      expect(Tok::Semi, messages::kWantOpaqueSemi);
    } else {
      expect(Tok::LBrace, messages::kWantBodyOpen);
      body(g, params, qargs);
    }

    // A declaration of a qelib1 gate's name, with the same signature, means
    // that gate (as in Qiskit's loader); its body is not used.
    const Builtin* known = nullptr;
    for (const Builtin& b : detail::builtins())
      if (b.name == g.name) known = &b;
    if (known && (known->num_params != g.num_params || known->num_qubits != g.num_qubits))
      fail(name, messages::fill(messages::kStandardSignature, g.name, plural(known->num_params, messages::kWordParameter),
                      plural(known->num_qubits, messages::kWordQubit), plural(g.num_params, messages::kWordParameter),
                      plural(g.num_qubits, messages::kWordQubit)));
    if (const auto it = p_.gate_index.find(g.name); it != p_.gate_index.end()) {
      const GateDef& prev = p_.gates[static_cast<std::size_t>(it->second)];
      if (known && !known->needs_include) return;  // always-present gate: a matching declaration is fine
      fail(name, messages::fill(messages::kGateRedefined, g.name,
                      prev.line ? messages::fill(messages::kAtLine, prev.line)
                                : std::string(p_.qelib1_included && known ? messages::kByQelib1 : "")));
    }
    if (known) {
      p_.add_builtin(*known);
      p_.gates.back().line = g.line;
      p_.gates.back().column = g.column;
      return;
    }
    p_.gate_index.emplace(g.name, static_cast<std::int32_t>(p_.gates.size()));
    p_.gates.push_back(std::move(g));
  }

  void body(GateDef& g, const std::vector<std::string_view>& params, const std::vector<std::string_view>& qargs) {
    std::uint64_t size = 0;
    std::uint32_t depth = 0;
    std::vector<std::uint32_t> call_args;
    while (!accept(Tok::RBrace)) {
      if (tok_.kind == Tok::End) fail(tok_, messages::fill(messages::kUnterminatedBody, g.name));
      if (accept(Tok::Semi)) continue;
      const Token name = ident(messages::fill(messages::kWantBodyStatement, g.name));
      const std::string_view w = name.text;
      if (w == "measure" || w == "reset" || w == "if" || w == "qreg" || w == "creg" || w == "gate" ||
          w == "opaque" || w == "include" || w == "OPENQASM")
        fail(name, messages::fill(messages::kNotInBody, w));
      BodyCall call{kBarrier, static_cast<std::uint32_t>(g.param_ranges.size()), 0,
                    static_cast<std::uint32_t>(g.args.size()), 0};
      const GateDef* callee = nullptr;
      if (w != "barrier") {
        if (w == g.name)
          fail(name, messages::fill(messages::kRecursiveGate, g.name));
        callee = &lookup_gate(name);
        call.gate = p_.gate_index.find(w)->second;
        if (accept(Tok::LParen)) {
          if (tok_.kind != Tok::RParen) {
            do {
              const auto begin = static_cast<std::uint32_t>(g.code.size());
              expression(g.code, &params);
              g.param_ranges.emplace_back(begin, static_cast<std::uint32_t>(g.code.size()));
            } while (accept(Tok::Comma));
          }
          expect(Tok::RParen, messages::kWantParameterList);
        }
        call.num_params = static_cast<std::uint32_t>(g.param_ranges.size()) - call.first_param;
        if (call.num_params != callee->num_params)
          fail(name, messages::fill(messages::kArgumentCount, callee->name, plural(callee->num_params, messages::kWordParameter),
                          call.num_params));
      }
      call_args.clear();
      do {
        const Token a = ident(messages::fill(messages::kWantBodyArgument, g.name));
        const auto it = std::find(qargs.begin(), qargs.end(), a.text);
        if (it == qargs.end()) fail(a, messages::fill(messages::kNotAnArgument, a.text, g.name));
        if (tok_.kind == Tok::LBracket) fail(tok_, std::string(messages::kIndexInBody));
        const auto pos = static_cast<std::uint32_t>(it - qargs.begin());
        if (std::find(call_args.begin(), call_args.end(), pos) != call_args.end()) {
          if (!callee) continue;  // a barrier names each qubit once
          fail(a, messages::fill(messages::kArgumentUsedTwice, a.text, callee->name));
        }
        call_args.push_back(pos);
      } while (accept(Tok::Comma));
      expect(Tok::Semi, messages::kWantGateSemi);
      if (callee && call_args.size() != callee->num_qubits)
        fail(name, messages::fill(messages::kArgumentCount, callee->name, plural(callee->num_qubits, messages::kWordQubit),
                        call_args.size()));
      call.num_args = static_cast<std::uint32_t>(call_args.size());
      g.args.insert(g.args.end(), call_args.begin(), call_args.end());
      if (callee) {
        size = sat_add(size, callee->size);
        depth = std::max(depth, callee->depth);
        if (callee->type == GateType::Opaque) {
          if (g.opaque_inside < 0) g.opaque_inside = call.gate;
        } else if (callee->opaque_inside >= 0 && g.opaque_inside < 0) {
          g.opaque_inside = callee->opaque_inside;
        }
      } else {
        size = sat_add(size, 1);
      }
      g.body.push_back(call);
    }
    g.size = size;
    g.depth = depth + 1;
    if (g.depth > p_.options.max_gate_depth)
      fail(g.line, g.column, messages::fill(messages::kGateDepth, g.name, p_.options.max_gate_depth));
  }
};

}  // namespace

namespace detail {

// Reads a whole file into *text; returns what is wrong with it (a file
// problem text), or an empty string. Only regular files are opened: opening
// a FIFO blocks and a device never ends. A read error is an error, never an
// empty file (/proc/self/mem has a size of 0 and fails to read).
std::string read_source(const std::filesystem::path& path, std::string* text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (!fs::exists(st)) return std::string(messages::kFileNotFound);
  if (fs::is_directory(st)) return std::string(messages::kFileIsDirectory);
  if (!fs::is_regular_file(st)) {
    const std::string_view kind = st.type() == fs::file_type::fifo        ? messages::kKindFifo
                                  : st.type() == fs::file_type::character ? messages::kKindCharacterDevice
                                  : st.type() == fs::file_type::block     ? messages::kKindBlockDevice
                                  : st.type() == fs::file_type::socket    ? messages::kKindSocket
                                                                          : messages::kKindOther;
    return messages::fill(messages::kFileNotRegular, kind);
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return messages::fill(messages::kFileOpenFailed, std::generic_category().message(errno));
  // Straight into the string, in growing chunks (sizes of /proc files are 0).
  text->clear();
  for (std::size_t chunk = 1 << 16;; chunk *= 2) {
    const std::size_t had = text->size();
    text->resize(had + chunk);
    const std::size_t n = std::fread(text->data() + had, 1, chunk, f);
    text->resize(had + n);
    if (n < chunk) break;
  }
  const int err = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (err) return messages::fill(messages::kFileReadFailed, std::generic_category().message(err));
  return {};
}

}  // namespace detail

// Room for one instruction per statement up front (growing the list moves
// every entry each time); bounded by what statements of 8 characters or
// more ("h q[0];\n") could hold, so empty statements reserve little.
static void reserve_for(Program& prog, std::string_view source) {
  const auto statements = static_cast<std::uint64_t>(std::count(source.begin(), source.end(), ';'));
  const std::uint64_t room = std::min({statements, std::uint64_t{source.size() / 8}, prog.options.max_instructions});
  prog.out.instructions.reserve(static_cast<std::size_t>(room));
}

std::vector<std::string_view> known_gate_names() {
  std::vector<std::string_view> out;
  for (const Builtin& b : detail::builtins()) out.push_back(b.name);
  return out;
}

Description parse(std::string_view source, const ParseOptions& options) {
  Program prog(options);
  reserve_for(prog, source);
  const std::string file;
  Parser parser(prog, source, file, 0, {});
  parser.run();
  return std::move(prog.out);
}

Description parse_file(const std::string& path, ParseOptions options) {
  std::string text;
  if (const std::string problem = detail::read_source(path, &text); !problem.empty()) throw ParseError(path, 0, 0, problem);
  Program prog(options);
  reserve_for(prog, text);
  const std::string file;  // errors in the file itself carry line and column only
  Parser parser(prog, text, file, 0, std::filesystem::path(path).parent_path());
  parser.run();
  return std::move(prog.out);
}

}  // namespace vorn::qasm

// Recursive-descent reader for OpenQASM 2.0. Statements are read straight off
// the lexer; user gates are kept as small bodies (callee, compiled parameter
// expressions, argument positions) and inlined at each application.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numbers>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gates.hpp"
#include "lexer.hpp"
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

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string plural(std::uint64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
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
      if (!(a > 0.0)) return "ln of a number that is not positive";
      *out = std::log(a);
      return nullptr;
    case Op::Sqrt:
      if (a < 0.0) return "sqrt of a negative number";
      *out = std::sqrt(a);
      return nullptr;
    case Op::Asin:
      if (!(a >= -1.0 && a <= 1.0)) return "asin of a number outside [-1, 1]";
      *out = std::asin(a);
      return nullptr;
    case Op::Acos:
      if (!(a >= -1.0 && a <= 1.0)) return "acos of a number outside [-1, 1]";
      *out = std::acos(a);
      return nullptr;
    case Op::Atan: *out = std::atan(a); return nullptr;
    default: return "internal: not a unary operation";
  }
}

const char* apply_binary(Op op, double a, double b, double* out) {
  switch (op) {
    case Op::Add: *out = a + b; return nullptr;
    case Op::Sub: *out = a - b; return nullptr;
    case Op::Mul: *out = a * b; return nullptr;
    case Op::Div:
      if (b == 0.0) return "division by zero";
      *out = a / b;
      return nullptr;
    case Op::Pow: *out = std::pow(a, b); return nullptr;
    default: return "internal: not a binary operation";
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

// State shared by the main program and the files it includes.
struct Program {
  const ParseOptions& options;
  Description out;
  std::vector<GateDef> gates;
  NameMap<std::int32_t> gate_index;
  NameMap<RegInfo> registers;
  bool qelib1_included = false;
  bool version_seen = false;

  // Scratch reused across statements (no per-statement allocation).
  std::vector<ExprOp> code;
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

  void run(bool main_file) {
    if (main_file) {
      version(true);
    } else if (tok_.kind == Tok::Ident && tok_.text == "OPENQASM") {
      version(false);
    }
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
    fail(tok_, "expected " + std::string(what) + ", found " + describe(tok_));
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
      fail(t, "'" + std::string(t.text) + "' cannot be declared: names start with a lowercase letter");
    if (is_reserved(t.text)) fail(t, "'" + std::string(t.text) + "' is a reserved word and cannot be declared");
    return t;
  }
  std::uint64_t integer(std::string_view what) {
    if (tok_.kind != Tok::Int) expected(what);
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(tok_.text.data(), tok_.text.data() + tok_.text.size(), v);
    if (ec != std::errc() || ptr != tok_.text.data() + tok_.text.size())
      fail(tok_, "integer " + std::string(tok_.text) + " is too large");
    advance();
    return v;
  }

  // ---- statements ----
  void version(bool required) {
    if (tok_.kind != Tok::Ident || tok_.text != "OPENQASM") {
      if (tok_.kind == Tok::Ident && tok_.text == "include") {
        // OpenQASM 3 programs often start with their standard library include.
        Token at = tok_;
        advance();
        if (tok_.kind == Tok::String && tok_.text == "stdgates.inc")
          fail(at, "this is an OpenQASM 3 program (stdgates.inc); only OpenQASM 2.0 is supported");
        fail(at, "expected 'OPENQASM 2.0;' at the start of the program, found 'include'");
      }
      if (required) expected("'OPENQASM 2.0;' at the start of the program");
      return;
    }
    p_.version_seen = true;
    advance();
    if (tok_.kind != Tok::Int && tok_.kind != Tok::Real) expected("a version number after 'OPENQASM'");
    const std::string_view v = tok_.text;
    if (v != "2.0" && v != "2") {
      if (v.starts_with("3")) fail(tok_, "OpenQASM " + std::string(v) + " input: only OpenQASM 2.0 is supported");
      fail(tok_, "unsupported OpenQASM version " + std::string(v) + ": only OpenQASM 2.0 is supported");
    }
    advance();
    expect(Tok::Semi, "';' after the version");
  }

  void statement() {
    if (accept(Tok::Semi)) return;  // empty statement
    if (tok_.kind != Tok::Ident) expected("a statement");
    const std::string_view w = tok_.text;
    if (w == "qreg" || w == "creg") return register_decl(w == "qreg");
    if (w == "gate") return gate_decl(false);
    if (w == "opaque") return gate_decl(true);
    if (w == "include") return include();
    if (w == "OPENQASM") fail(tok_, "'OPENQASM' may appear only once, as the first statement");
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
    const Token name = new_name("a register name");
    expect(Tok::LBracket, "'[' and the register size");
    const std::uint64_t size = integer("the register size (an integer)");
    expect(Tok::RBracket, "']'");
    expect(Tok::Semi, "';' after the register declaration");
    if (p_.registers.count(name.text)) fail(name, "register '" + std::string(name.text) + "' is already declared");
    std::uint64_t& total = quantum ? p_.out.num_qubits : p_.out.num_clbits;
    if (size > kSaturated - total)
      fail(name, std::string("register '") + std::string(name.text) + "' brings the number of " +
                     (quantum ? "qubits" : "clbits") + " past 2^64 - 1");
    auto& list = quantum ? p_.out.qregs : p_.out.cregs;
    list.push_back(Register{std::string(name.text), size, total});
    total += size;
    p_.registers.emplace(std::string(name.text), RegInfo{quantum, static_cast<std::uint32_t>(list.size() - 1)});
  }

  void include() {
    const Token at = tok_;
    advance();
    if (tok_.kind != Tok::String) expected("a file name in double quotes after 'include'");
    const std::string name(tok_.text);
    advance();
    expect(Tok::Semi, "';' after the include");
    if (name == "qelib1.inc") {
      if (p_.qelib1_included) return;
      p_.qelib1_included = true;
      for (const Builtin& b : detail::builtins()) {
        if (!b.needs_include) continue;
        if (const auto it = p_.gate_index.find(b.name); it != p_.gate_index.end()) {
          const GateDef& g = p_.gates[static_cast<std::size_t>(it->second)];
          if (g.builtin == &b) continue;  // declared earlier in this program under the same meaning
          fail(at, "qelib1.inc defines '" + g.name + "', which is already defined at line " +
                       std::to_string(g.line));
        }
        p_.add_builtin(b);
      }
      return;
    }
    if (name == "stdgates.inc") fail(at, "stdgates.inc belongs to OpenQASM 3; only OpenQASM 2.0 is supported");
    if (include_depth_ + 1 > p_.options.max_include_depth)
      fail(at, "includes nested more than " + std::to_string(p_.options.max_include_depth) +
                   " deep (does a file include itself?)");
    namespace fs = std::filesystem;
    std::vector<fs::path> dirs;
    for (const auto& d : p_.options.include_path) dirs.emplace_back(d);
    if (!base_dir_.empty()) dirs.push_back(base_dir_);
    fs::path found;
    const fs::path rel(name);
    if (rel.is_absolute()) {
      std::error_code ec;
      if (fs::is_regular_file(rel, ec)) found = rel;
    } else {
      for (const auto& d : dirs) {
        std::error_code ec;
        if (fs::is_regular_file(d / rel, ec)) {
          found = d / rel;
          break;
        }
      }
    }
    if (found.empty()) {
      if (dirs.empty() && !rel.is_absolute())
        fail(at, "cannot include '" + name + "': only qelib1.inc is built in, and no include directory was given");
      fail(at, "cannot find include file '" + name + "'");
    }
    std::ifstream in(found, std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    if (!in) fail(at, "cannot read include file '" + found.string() + "'");
    const std::string text = buf.str();
    const std::string file = found.string();
    Parser sub(p_, text, file, include_depth_ + 1, found.parent_path());
    sub.run(false);
  }

  // ---- expressions ----
  // Compiles one expression into `code` (postfix), folding constant parts.
  // params: the parameter names of the gate being defined, or null.
  void expression(std::vector<ExprOp>& code, const std::vector<std::string_view>* params) {
    sum(code, params, 0);
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

  void sum(std::vector<ExprOp>& code, const std::vector<std::string_view>* params, std::uint32_t depth) {
    product(code, params, depth);
    while (tok_.kind == Tok::Plus || tok_.kind == Tok::Minus) {
      const Token op = tok_;
      advance();
      product(code, params, depth);
      emit(code, op.kind == Tok::Plus ? Op::Add : Op::Sub, op);
    }
  }

  void product(std::vector<ExprOp>& code, const std::vector<std::string_view>* params, std::uint32_t depth) {
    unary(code, params, depth);
    while (tok_.kind == Tok::Star || tok_.kind == Tok::Slash) {
      const Token op = tok_;
      advance();
      unary(code, params, depth);
      emit(code, op.kind == Tok::Star ? Op::Mul : Op::Div, op);
    }
  }

  // Unary minus binds looser than '^': -2^2 is -(2^2), as in Qiskit.
  void unary(std::vector<ExprOp>& code, const std::vector<std::string_view>* params, std::uint32_t depth) {
    if (++depth > p_.options.max_expression_depth)
      fail(tok_, "expression nested more than " + std::to_string(p_.options.max_expression_depth) + " levels deep");
    if (tok_.kind == Tok::Minus) {
      const Token op = tok_;
      advance();
      unary(code, params, depth);
      emit(code, Op::Neg, op);
      return;
    }
    primary(code, params, depth);
    if (tok_.kind == Tok::Caret) {  // right-associative: the exponent is itself a unary
      const Token op = tok_;
      advance();
      unary(code, params, depth);
      emit(code, Op::Pow, op);
    }
  }

  void primary(std::vector<ExprOp>& code, const std::vector<std::string_view>* params, std::uint32_t depth) {
    const Token t = tok_;
    switch (t.kind) {
      case Tok::Int:
      case Tok::Real: {
        double v = 0.0;
        const auto [ptr, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (ec == std::errc::result_out_of_range || !std::isfinite(v)) fail(t, "number " + std::string(t.text) + " is out of range");
        if (ec != std::errc() || ptr != t.text.data() + t.text.size()) fail(t, "malformed number " + std::string(t.text));
        advance();
        code.push_back(ExprOp{Op::Const, 0, v, t.line, t.column});
        return;
      }
      case Tok::LParen:
        advance();
        sum(code, params, depth);
        expect(Tok::RParen, "')' to close '('");
        return;
      case Tok::Ident: {
        if (t.text == "pi") {
          advance();
          code.push_back(ExprOp{Op::Const, 0, std::numbers::pi, t.line, t.column});
          return;
        }
        for (const Function& f : kFunctions) {
          if (f.name != t.text) continue;
          advance();
          expect(Tok::LParen, "'(' after function '" + std::string(f.name) + "'");
          sum(code, params, depth);
          expect(Tok::RParen, "')' to close the argument of '" + std::string(f.name) + "'");
          emit(code, f.op, t);
          return;
        }
        if (params) {
          const auto it = std::find(params->begin(), params->end(), t.text);
          if (it != params->end()) {
            advance();
            code.push_back(ExprOp{Op::Param, static_cast<std::uint32_t>(it - params->begin()), 0.0, t.line, t.column});
            return;
          }
          fail(t, "'" + std::string(t.text) + "' is not a parameter of this gate");
        }
        fail(t, "'" + std::string(t.text) +
                    "' is not defined here: outside gate bodies an expression uses numbers, pi and functions");
      }
      default: expected("an expression");
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
             std::string(err) + " in gate '" + (in_gate ? in_gate->name : std::string()) + "' (line " +
                 std::to_string(op->line) + ", column " + std::to_string(op->column) + ")");
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
          if (!std::isfinite(v)) fail(at, "parameter evaluates to a non-finite value");
          out.push_back(v);
          if (!accept(Tok::Comma)) break;
        }
      }
      expect(Tok::RParen, "',' or ')' in the parameter list");
    }
    if (out.size() != expected_count)
      fail(name, "gate '" + g.name + "' takes " + plural(expected_count, "parameter") + ", " +
                     std::to_string(out.size()) + " given");
  }

  // ---- operands ----
  Operand operand(bool quantum) {
    const Token name = ident(quantum ? "a quantum register or qubit" : "a classical register or bit");
    const auto it = p_.registers.find(name.text);
    if (it == p_.registers.end()) fail(name, "register '" + std::string(name.text) + "' is not declared");
    if (it->second.quantum != quantum)
      fail(name, "'" + std::string(name.text) + "' is a " + (quantum ? "classical" : "quantum") +
                     " register; expected a " + (quantum ? "quantum" : "classical") + " one");
    const Register& r = (quantum ? p_.out.qregs : p_.out.cregs)[it->second.index];
    Operand o{name.text, r.offset, r.size, true, 0, name.line, name.column};
    if (accept(Tok::LBracket)) {
      const Token at = tok_;
      o.index = integer("an integer index");
      o.whole = false;
      if (o.index >= r.size)
        fail(at, "index " + std::to_string(o.index) + " is out of range for register '" + r.name + "' of size " +
                     std::to_string(r.size));
      expect(Tok::RBracket, "']'");
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
        fail(o.line, o.column,
             "register '" + std::string(o.name) + "' has size " + std::to_string(o.size) + " but '" +
                 std::string(first->name) + "' has size " + std::to_string(first->size) +
                 ": registers applied together must have the same size");
      }
    }
    return first ? first->size : 1;
  }

  static std::uint64_t element(const Operand& o, std::uint64_t i) { return o.offset + (o.whole ? i : o.index); }

  std::string bit_name(const Operand& o, std::uint64_t i) const {
    return std::string(o.name) + "[" + std::to_string(o.whole ? i : o.index) + "]";
  }

  // ---- output ----
  void reserve_room(std::uint64_t count, const Site& site) {
    const std::uint64_t have = p_.out.instructions.size();
    if (sat_add(have, count) > p_.options.max_instructions)
      fail(site.line, site.column,
           "the program expands to more than " + std::to_string(p_.options.max_instructions) + " instructions");
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
          fail(site.line, site.column, "a parameter inside gate '" + g.name + "' evaluates to a non-finite value");
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
          fail(site.line, site.column, "u0 takes a whole number of idle cycles, got " + number(params[0]));
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
        fail(name, "expected a gate name, found register '" + std::string(name.text) + "'");
      const bool in_qelib1 = std::any_of(detail::builtins().begin(), detail::builtins().end(),
                                         [&](const Builtin& b) { return b.name == name.text; });
      fail(name, "gate '" + std::string(name.text) + "' is not defined" +
                     (in_qelib1 ? " (it comes with qelib1.inc: add 'include \"qelib1.inc\";')" : ""));
    }
    return p_.gates[static_cast<std::size_t>(it->second)];
  }

  void check_applicable(const GateDef& g, const Token& name) {
    if (g.type == GateType::Opaque)
      fail(name, "cannot apply opaque gate '" + g.name + "' (declared at line " + std::to_string(g.line) +
                     "): it has no definition");
    if (g.opaque_inside >= 0) {
      const GateDef& o = p_.gates[static_cast<std::size_t>(g.opaque_inside)];
      fail(name, "cannot apply gate '" + g.name + "': its definition uses opaque gate '" + o.name +
                     "' (declared at line " + std::to_string(o.line) + "), which has no definition");
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
      fail(name, "gate '" + g.name + "' takes " + plural(g.num_qubits, "qubit") + ", " + std::to_string(ops.size()) +
                     " given");
    expect(Tok::Semi, "';' after the gate's qubits");
    const std::uint64_t n = broadcast_length(ops);
    reserve_room(sat_mul(g.size, n), site);
    // The parameters sit at param_stack[0..); qubits go to qubit_stack[0..).
    for (std::uint64_t i = 0; i < n; ++i) {
      auto& qs = p_.qubit_stack;
      qs.clear();
      for (std::size_t a = 0; a < ops.size(); ++a) {
        const std::uint64_t q = element(ops[a], i);
        for (std::size_t b = 0; b < a; ++b)
          if (qs[b] == q)
            fail(ops[a].line, ops[a].column,
                 "qubit " + bit_name(ops[a], i) + " is used twice in one application of '" + g.name + "'");
        qs.push_back(q);
      }
      expand(g, 0, 0, site);
    }
  }

  void measure(const Site& site) {
    advance();
    const Operand q = operand(true);
    expect(Tok::Arrow, "'->' after the measured qubits");
    const Operand c = operand(false);
    expect(Tok::Semi, "';' after the measurement");
    if (q.whole != c.whole)
      fail(c.line, c.column, "measure takes a register to a register or a qubit to a bit, not a mix");
    if (q.whole && q.size != c.size)
      fail(c.line, c.column,
           "register '" + std::string(q.name) + "' has size " + std::to_string(q.size) + " but '" +
               std::string(c.name) + "' has size " + std::to_string(c.size) + ": measure needs equal sizes");
    const std::uint64_t n = q.whole ? q.size : 1;
    reserve_room(n, site);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t qb = element(q, i), cb = element(c, i);
      push(Kind::Measure, "measure", &qb, 1, nullptr, 0, site, &cb, 1);
    }
  }

  void reset(const Site& site) {
    advance();
    const Operand q = operand(true);
    expect(Tok::Semi, "';' after reset's qubits");
    const std::uint64_t n = q.whole ? q.size : 1;
    reserve_room(n, site);
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
    expect(Tok::Semi, "';' after the barrier's qubits");
    // One barrier over every named qubit, each once, in the order given.
    auto& qs = p_.qubits;
    qs.clear();
    std::uint64_t count = 0;
    for (const Operand& o : ops) count = sat_add(count, o.whole ? o.size : 1);
    reserve_room(count, site);  // bounds the qubit list too
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
    expect(Tok::LParen, "'(' after 'if'");
    const Token name = ident("a classical register name");
    const auto it = p_.registers.find(name.text);
    if (it == p_.registers.end()) fail(name, "register '" + std::string(name.text) + "' is not declared");
    if (it->second.quantum)
      fail(name, "'" + std::string(name.text) + "' is a quantum register; 'if' tests a classical register");
    if (tok_.kind == Tok::LBracket) fail(tok_, "'if' tests a whole classical register, not one bit");
    expect(Tok::EqEq, "'==' in the condition");
    site.value = integer("an integer to compare with");
    site.creg = it->second.index;
    expect(Tok::RParen, "')' to close the condition");
    if (tok_.kind != Tok::Ident) expected("a gate, measure or reset after the condition");
    if (tok_.text == "barrier" || tok_.text == "if" || tok_.text == "qreg" || tok_.text == "creg" ||
        tok_.text == "gate" || tok_.text == "opaque" || tok_.text == "include")
      fail(tok_, "'" + std::string(tok_.text) + "' cannot be conditioned: 'if' takes a gate, measure or reset");
    quantum_op(site);
  }

  // ---- gate definitions ----
  void gate_decl(bool opaque) {
    advance();
    const Token name = new_name("a gate name");
    GateDef g;
    g.name = std::string(name.text);
    g.type = opaque ? GateType::Opaque : GateType::User;
    g.line = name.line;
    g.column = name.column;
    std::vector<std::string_view> params, qargs;
    if (accept(Tok::LParen)) {
      if (tok_.kind != Tok::RParen) {
        do {
          const Token p = new_name("a parameter name");
          if (std::find(params.begin(), params.end(), p.text) != params.end())
            fail(p, "parameter '" + std::string(p.text) + "' is declared twice");
          params.push_back(p.text);
        } while (accept(Tok::Comma));
      }
      expect(Tok::RParen, "',' or ')' in the parameter list");
    }
    do {
      const Token a = new_name("a qubit argument name");
      if (std::find(qargs.begin(), qargs.end(), a.text) != qargs.end())
        fail(a, "qubit argument '" + std::string(a.text) + "' is declared twice");
      if (std::find(params.begin(), params.end(), a.text) != params.end())
        fail(a, "'" + std::string(a.text) + "' is already a parameter of this gate");
      qargs.push_back(a.text);
    } while (accept(Tok::Comma));
    g.num_params = static_cast<std::uint32_t>(params.size());
    g.num_qubits = static_cast<std::uint32_t>(qargs.size());
    if (opaque) {
      expect(Tok::Semi, "';' after the opaque declaration");
    } else {
      expect(Tok::LBrace, "'{' to open the gate body");
      body(g, params, qargs);
    }

    // A declaration of a qelib1 gate's name, with the same signature, means
    // that gate (as in Qiskit's loader); its body is not used.
    const Builtin* known = nullptr;
    for (const Builtin& b : detail::builtins())
      if (b.name == g.name) known = &b;
    if (known && (known->num_params != g.num_params || known->num_qubits != g.num_qubits))
      fail(name, "gate '" + g.name + "' is the standard gate with " + plural(known->num_params, "parameter") +
                     " and " + plural(known->num_qubits, "qubit") + "; this declaration has " +
                     plural(g.num_params, "parameter") + " and " + plural(g.num_qubits, "qubit"));
    if (const auto it = p_.gate_index.find(g.name); it != p_.gate_index.end()) {
      const GateDef& prev = p_.gates[static_cast<std::size_t>(it->second)];
      if (known && !known->needs_include) return;  // always-present gate: a matching declaration is fine
      fail(name, "gate '" + g.name + "' is already defined" +
                     (prev.line ? " at line " + std::to_string(prev.line)
                                : std::string(p_.qelib1_included && known ? " by qelib1.inc" : "")));
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
      if (tok_.kind == Tok::End) fail(tok_, "unterminated gate body: expected '}' to close gate '" + g.name + "'");
      if (accept(Tok::Semi)) continue;
      const Token name = ident("a gate, 'barrier' or '}' in the body of gate '" + g.name + "'");
      const std::string_view w = name.text;
      if (w == "measure" || w == "reset" || w == "if" || w == "qreg" || w == "creg" || w == "gate" ||
          w == "opaque" || w == "include" || w == "OPENQASM")
        fail(name, "'" + std::string(w) + "' is not allowed inside a gate body");
      BodyCall call{kBarrier, static_cast<std::uint32_t>(g.param_ranges.size()), 0,
                    static_cast<std::uint32_t>(g.args.size()), 0};
      const GateDef* callee = nullptr;
      if (w != "barrier") {
        if (w == g.name)
          fail(name, "gate '" + g.name + "' uses itself: recursive gate definitions are not allowed");
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
          expect(Tok::RParen, "',' or ')' in the parameter list");
        }
        call.num_params = static_cast<std::uint32_t>(g.param_ranges.size()) - call.first_param;
        if (call.num_params != callee->num_params)
          fail(name, "gate '" + callee->name + "' takes " + plural(callee->num_params, "parameter") + ", " +
                         std::to_string(call.num_params) + " given");
      }
      call_args.clear();
      do {
        const Token a = ident("a qubit argument of gate '" + g.name + "'");
        const auto it = std::find(qargs.begin(), qargs.end(), a.text);
        if (it == qargs.end()) fail(a, "'" + std::string(a.text) + "' is not a qubit argument of gate '" + g.name + "'");
        if (tok_.kind == Tok::LBracket) fail(tok_, "inside a gate body qubits are named by argument, without an index");
        const auto pos = static_cast<std::uint32_t>(it - qargs.begin());
        if (std::find(call_args.begin(), call_args.end(), pos) != call_args.end()) {
          if (!callee) continue;  // a barrier names each qubit once
          fail(a, "qubit argument '" + std::string(a.text) + "' is used twice in one application of '" +
                      callee->name + "'");
        }
        call_args.push_back(pos);
      } while (accept(Tok::Comma));
      expect(Tok::Semi, "';' after the gate's qubits");
      if (callee && call_args.size() != callee->num_qubits)
        fail(name, "gate '" + callee->name + "' takes " + plural(callee->num_qubits, "qubit") + ", " +
                       std::to_string(call_args.size()) + " given");
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
      fail(g.line, g.column, "gate '" + g.name + "' nests gate definitions more than " +
                                 std::to_string(p_.options.max_gate_depth) + " deep");
  }
};

}  // namespace

// Room for one instruction per statement up front (growing the list moves
// every entry each time); bounded by what statements of 8 characters or
// more ("h q[0];\n") could hold, so empty statements reserve little.
static void reserve_for(Program& prog, std::string_view source) {
  const auto statements = static_cast<std::uint64_t>(std::count(source.begin(), source.end(), ';'));
  const std::uint64_t room = std::min({statements, std::uint64_t{source.size() / 8}, prog.options.max_instructions});
  prog.out.instructions.reserve(static_cast<std::size_t>(room));
}

Description parse(std::string_view source, const ParseOptions& options) {
  Program prog(options);
  reserve_for(prog, source);
  const std::string file;
  Parser parser(prog, source, file, 0, {});
  parser.run(true);
  return std::move(prog.out);
}

Description parse_file(const std::string& path, ParseOptions options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ParseError(path, 0, 0, "cannot open file");
  std::string text;
  in.seekg(0, std::ios::end);
  const auto size = in.tellg();
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(text.data(), size);
  }
  if (!in) throw ParseError(path, 0, 0, "cannot read file");
  Program prog(options);
  reserve_for(prog, text);
  const std::string file;  // errors in the file itself carry line and column only
  Parser parser(prog, text, file, 0, std::filesystem::path(path).parent_path());
  parser.run(true);
  return std::move(prog.out);
}

}  // namespace vorn::qasm

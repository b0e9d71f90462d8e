// OpenQASM 3 reader: a recursive-descent parser that runs the program as it
// reads it. Classical values are computed on the spot; loops, gate bodies and
// subroutines are read again from their saved place for each iteration or
// call. Statements whose effect is not wanted (an untaken branch, a body
// checked at its definition) are read "dry": checked, declared, not run.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lexer3.hpp"
#include "qasm3_values.hpp"
#include "source.hpp"
#include "vorn/qasm/qasm3.hpp"
#include "vorn/qasm/qasm3_messages.hpp"

namespace vorn::qasm3 {
namespace {

using detail::Lexer;
using detail::LexState;
using detail::Tok;
using detail::Token;
using detail::Ty;
using detail::Value;
using detail::VK;
namespace M = messages;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <class V>
using NameMap = std::unordered_map<std::string, V, NameHash, std::equal_to<>>;

std::string repr(double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, ec == std::errc() ? end : buf);
}

// ---- built-in gates ----------------------------------------------------------

struct Builtin {
  std::string_view name;
  std::string_view row;  // "" for gphase
  std::uint8_t num_params;
  std::uint8_t num_qubits;
  bool needs_include;  // comes with stdgates.inc
};

// stdgates.inc, each gate read as Qiskit's importer reads it (the row of its
// name), and the language's own U and gphase.
constexpr Builtin kBuiltins[] = {
    {"U", "u", 3, 1, false},        {"gphase", "", 1, 0, false},    {"p", "p", 1, 1, true},
    {"x", "x", 0, 1, true},         {"y", "y", 0, 1, true},         {"z", "z", 0, 1, true},
    {"h", "h", 0, 1, true},         {"s", "s", 0, 1, true},         {"sdg", "sdg", 0, 1, true},
    {"t", "t", 0, 1, true},         {"tdg", "tdg", 0, 1, true},     {"sx", "sx", 0, 1, true},
    {"rx", "rx", 1, 1, true},       {"ry", "ry", 1, 1, true},       {"rz", "rz", 1, 1, true},
    {"cx", "cx", 0, 2, true},       {"cy", "cy", 0, 2, true},       {"cz", "cz", 0, 2, true},
    {"cp", "cp", 1, 2, true},       {"crx", "crx", 1, 2, true},     {"cry", "cry", 1, 2, true},
    {"crz", "crz", 1, 2, true},     {"ch", "ch", 0, 2, true},       {"swap", "swap", 0, 2, true},
    {"ccx", "ccx", 0, 3, true},     {"cswap", "cswap", 0, 3, true}, {"cu", "cu", 4, 2, true},
    {"CX", "cx", 0, 2, true},       {"phase", "p", 1, 1, true},     {"cphase", "cp", 1, 2, true},
    {"id", "id", 0, 1, true},       {"u1", "u1", 1, 1, true},       {"u2", "u2", 2, 1, true},
    {"u3", "u3", 3, 1, true},
};

const Builtin* find_builtin(std::string_view name) {
  for (const Builtin& b : kBuiltins)
    if (b.name == name) return &b;
  return nullptr;
}

// Words that cannot name a declaration.
bool is_keyword(std::string_view s) {
  static constexpr std::string_view kWords[] = {
      "OPENQASM", "include", "qubit",  "qreg",    "bit",      "creg",    "int",      "uint",   "float",
      "angle",    "bool",    "complex", "const",  "input",    "output",  "duration", "stretch", "gate",
      "def",      "defcal",  "defcalgrammar", "cal", "extern", "measure", "reset",   "barrier", "delay",
      "box",      "if",      "else",   "for",     "in",       "while",   "switch",   "case",   "default",
      "break",    "continue", "return", "end",    "let",      "gphase",  "ctrl",     "negctrl", "inv",
      "pow",      "array",   "true",   "false",   "pi",       "tau",     "euler",    "U",      "opaque",
      "void",     "readonly", "mutable", "durationof", "sizeof"};
  return std::find(std::begin(kWords), std::end(kWords), s) != std::end(kWords);
}

bool is_type_word(std::string_view w) {
  return w == "int" || w == "uint" || w == "float" || w == "angle" || w == "bool" || w == "bit" ||
         w == "complex" || w == "duration" || w == "stretch";
}

// ---- program state -----------------------------------------------------------

struct Source {
  std::string storage;
  std::string_view text;
  std::string file;
  std::filesystem::path dir;
};

struct GateDef {
  std::string name;
  std::vector<std::string> params;
  std::vector<std::string> qargs;
  std::uint32_t source = 0;
  LexState body;  // just after '{'
  std::string row;  // read as this table row ("" : inlined)
  std::uint32_t line = 0, column = 0;
};

struct SubParam {
  std::string name;
  bool quantum = false;
  std::uint64_t size = 0;  // quantum: 0 for one qubit
  Ty ty = Ty::Int;
  std::uint32_t width = 0;
};

struct SubDef {
  std::string name;
  std::vector<SubParam> params;
  bool returns = false;
  Ty ret = Ty::Int;
  std::uint32_t ret_width = 0;
  std::uint32_t source = 0;
  LexState body;
  std::uint32_t line = 0, column = 0;
};

enum class SymKind : std::uint8_t { QReg, CReg, Var, Input, Gate, Sub };

struct Symbol {
  SymKind kind = SymKind::Var;
  std::uint64_t offset = 0;  // QReg: first flat qubit (when map is empty)
  std::uint64_t size = 0;    // QReg, CReg: size
  bool single = false;       // QReg / CReg declared without a size (one qubit or bit)
  std::vector<std::uint64_t> map;  // QReg: the qubits of an argument register, when not contiguous
  std::uint32_t ref = 0;     // CReg: register index; Input: input index; Gate/Sub: definition index
  Ty ty = Ty::Int;           // Var
  std::uint32_t width = 0;   // Var: bits of int/uint (0: 64)
  bool is_const = false;
  std::uint32_t cond_level = 0;  // Var: the condition depth it was declared at
  Value value;
  std::uint32_t line = 0, column = 0;

  std::uint64_t qubit(std::uint64_t i) const { return map.empty() ? offset + i : map[i]; }
};

// What a gate application is inside: controls added in front of every
// operand list, and whether the gates are inverted.
struct GateCtx {
  std::vector<std::uint64_t> controls;
  bool inverse = false;
};

enum class Flow : std::uint8_t { None, Break, Continue, Return };

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

class Reader {
 public:
  Reader(const ParseOptions& options) : opt_(options) {
    scopes_.emplace_back();
    out_ = &d_.instructions;
    phase_ = &d_.global_phase;
    phase_terms_ = &d_.phase_terms;
  }

  Description run(std::unique_ptr<Source> main) {
    sources_.push_back(std::move(main));
    Lexer lex(sources_[0]->text, sources_[0]->file);
    lex_ = &lex;
    current_source_ = 0;
    advance();
    version();
    while (tok_.kind != Tok::End) statement();
    return std::move(d_);
  }

 private:
  const ParseOptions& opt_;
  Description d_;
  std::vector<std::unique_ptr<Source>> sources_;
  std::uint32_t current_source_ = 0;
  Lexer* lex_ = nullptr;
  Token tok_;
  std::deque<NameMap<Symbol>> scopes_;  // a deque: symbols keep their place while scopes come and go
  std::size_t floor_ = 1;  // lookups see scopes [floor_, end) and the global scope
  std::vector<GateDef> gates_;
  std::vector<SubDef> subs_;
  bool stdgates_ = false;
  bool live_ = true;
  Flow flow_ = Flow::None;
  Value return_value_;
  std::uint32_t cond_depth_ = 0;  // nesting of blocks conditioned on measured bits
  std::uint32_t loop_cond_depth_ = 0;  // cond_depth_ of the innermost loop
  bool in_loop_ = false;
  bool in_sub_ = false;
  bool in_gate_ = false;
  std::uint32_t depth_ = 0;  // nested calls, blocks and expressions
  std::uint32_t include_depth_ = 0;
  std::uint64_t steps_ = 0;
  std::uint64_t emitted_ = 0;
  std::vector<Instruction>* out_;
  double* phase_;
  std::vector<Term>* phase_terms_;
  bool phase_as_gates_ = false;
  std::vector<std::uint64_t> scratch_q_;
  std::vector<std::pair<std::size_t, std::size_t>> operand_ranges_;
  std::vector<bool> operand_single_;

  // ---- tokens ----
  void advance() { tok_ = lex_->next(); }
  [[noreturn]] void fail(std::uint32_t line, std::uint32_t column, std::string message) const {
    lex_->fail(line, column, std::move(message));
  }
  [[noreturn]] void fail(const Token& at, std::string message) const { fail(at.line, at.column, std::move(message)); }
  [[noreturn]] void expected(std::string_view what) const {
    fail(tok_, M::fill(M::kExpected, what, detail::describe(tok_)));
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
  bool is_word(std::string_view w) const { return tok_.kind == Tok::Ident && tok_.text == w; }
  Token ident(std::string_view what) {
    if (tok_.kind != Tok::Ident) expected(what);
    Token t = tok_;
    advance();
    return t;
  }
  Token new_name(std::string_view what) {
    Token t = ident(what);
    if (is_keyword(t.text)) fail(t, M::fill(M::kReservedWord, t.text));
    return t;
  }
  void warn(const Token& at, std::string message) {
    if (!live_) return;
    d_.warnings.push_back(Warning{lex_->file(), at.line, at.column, std::move(message)});
  }
  [[noreturn]] void unsupported(const Token& at, std::string_view what, std::string_view why) const {
    fail(at, M::fill(M::kUnsupported, what, why));
  }

  struct DepthGuard {
    Reader& r;
    DepthGuard(Reader& reader, const Token& at) : r(reader) {
      if (++r.depth_ > r.opt_.max_depth) r.fail(at, M::fill(M::kTooDeep, r.opt_.max_depth));
    }
    ~DepthGuard() { --r.depth_; }
  };

  void step(const Token& at) {
    if (!live_) return;
    if (++steps_ > opt_.max_instructions) fail(at, M::fill(M::kTooManySteps, opt_.max_instructions));
  }

  // ---- symbols ----
  Symbol* lookup(std::string_view name) {
    for (std::size_t i = scopes_.size(); i-- > floor_;) {
      if (auto it = scopes_[i].find(name); it != scopes_[i].end()) return &it->second;
    }
    if (auto it = scopes_[0].find(name); it != scopes_[0].end()) return &it->second;
    return nullptr;
  }
  Symbol& declare(const Token& name, Symbol s) {
    if (is_keyword(name.text)) fail(name, M::fill(M::kReservedWord, name.text));
    auto& scope = scopes_.back();
    if (auto it = scope.find(name.text); it != scope.end())
      fail(name, M::fill(M::kRedeclared, name.text, it->second.line));
    if (scopes_.size() == 1 && (find_builtin(name.text) && (stdgates_ || !find_builtin(name.text)->needs_include)))
      fail(name, M::fill(M::kRedeclaredBuiltin, name.text));
    s.line = name.line;
    s.column = name.column;
    return scope.emplace(std::string(name.text), std::move(s)).first->second;
  }
  struct Scope {
    Reader& r;
    explicit Scope(Reader& reader) : r(reader) { r.scopes_.emplace_back(); }
    ~Scope() { r.scopes_.pop_back(); }
  };

  // ---- emission ----
  Instruction& emit(Kind kind, std::string_view name, const Token& at) {
    if (++emitted_ > opt_.max_instructions) fail(at, M::fill(M::kTooManyInstructions, opt_.max_instructions));
    Instruction& ins = out_->emplace_back();
    ins.kind = kind;
    ins.name = std::string(name);
    ins.line = at.line;
    ins.column = at.column;
    return ins;
  }

  // One gate of the table on `targets`, with the context's controls first.
  void emit_row(std::string_view row, const std::vector<Value>& params, const std::uint64_t* targets,
                std::size_t num_targets, const GateCtx& ctx, const Token& at) {
    Instruction& ins = emit(Kind::Gate, row, at);
    ins.inverse = ctx.inverse;
    ins.controls = static_cast<std::uint32_t>(ctx.controls.size());
    ins.qubits.reserve(ctx.controls.size() + num_targets);
    ins.qubits.assign(ctx.controls.begin(), ctx.controls.end());
    ins.qubits.insert(ins.qubits.end(), targets, targets + num_targets);
    ins.params.reserve(params.size());
    for (std::size_t slot = 0; slot < params.size(); ++slot) {
      const Value& v = params[slot];
      ins.params.push_back(v.k == VK::Sym ? v.f : v.as_double());
      if (v.k == VK::Sym)
        for (const auto& [input, coeff] : v.terms)
          ins.terms.push_back(Term{static_cast<std::uint32_t>(slot), input, coeff});
    }
  }

  void add_phase(const Value& angle, bool negate, const Token& at) {
    Value a = negate ? neg(angle, at) : angle;
    if (phase_as_gates_) {
      // Under a condition the phase belongs to the branch: e^{ia} I = p(a) X p(a) X.
      if (d_.num_qubits == 0) unsupported(at, M::kWhatConditionalPhase, M::kWhyNoQubits);
      const std::uint64_t q = 0;
      const std::vector<Value> ps{a};
      const GateCtx none;
      for (int i = 0; i < 2; ++i) {
        emit_row("p", ps, &q, 1, none, at);
        emit_row("x", {}, &q, 1, none, at);
      }
      return;
    }
    const double before = *phase_;
    *phase_ += a.k == VK::Sym ? a.f : a.as_double();
    if (!std::isfinite(*phase_)) fail(at, M::fill(M::kPhaseNotFinite, repr(before)));
    if (a.k == VK::Sym)
      for (const auto& [input, coeff] : a.terms) phase_terms_->push_back(Term{0, input, coeff});
  }

  // ---- version and includes ----
  void version() {
    if (!is_word("OPENQASM")) return;
    advance();
    if (tok_.kind != Tok::Int && tok_.kind != Tok::Real) expected(M::kWantVersion);
    const std::string_view v = tok_.text;
    if (v.starts_with("2")) fail(tok_, M::fill(M::kVersion2, v));
    if (!(v == "3" || v.starts_with("3."))) fail(tok_, M::fill(M::kVersionUnsupported, v));
    advance();
    expect(Tok::Semi, M::kWantSemi);
  }

  void include() {
    const Token at = tok_;
    advance();
    if (tok_.kind != Tok::String) expected(M::kWantIncludeName);
    const Token quoted = tok_;
    const std::string name(tok_.text);
    advance();
    expect(Tok::Semi, M::kWantSemi);
    if (scopes_.size() != 1 || !live_ || cond_depth_) fail(at, std::string(M::kIncludeNotGlobal));
    if (name.find('\0') != std::string::npos) fail(quoted, std::string(M::kIncludeNameNul));
    if (name == "stdgates.inc") {
      stdgates_ = true;
      for (const Builtin& b : kBuiltins) {
        if (!b.needs_include) continue;
        if (const Symbol* s = lookup(b.name); s)
          fail(quoted, M::fill(M::kStdgatesRedefines, b.name, s->line));
      }
      return;
    }
    if (name == "qelib1.inc") fail(quoted, std::string(M::kQelib1In3));
    if (include_depth_ + 1 > opt_.max_include_depth) fail(quoted, M::fill(M::kIncludeDepth, opt_.max_include_depth));
    std::vector<std::filesystem::path> dirs(opt_.include_path.begin(), opt_.include_path.end());
    if (!sources_[current_source_]->dir.empty()) dirs.push_back(sources_[current_source_]->dir);
    if (dirs.empty()) fail(quoted, M::fill(M::kIncludeNoPath, name));
    std::filesystem::path found;
    for (const auto& dir : dirs) {
      std::error_code ec;
      const auto candidate = dir / name;
      if (std::filesystem::exists(candidate, ec)) {
        found = candidate;
        break;
      }
    }
    if (found.empty()) fail(quoted, M::fill(M::kIncludeNotFound, name));
    auto src = std::make_unique<Source>();
    if (const std::string problem = qasm::detail::read_source(found, &src->storage); !problem.empty())
      fail(quoted, M::fill(M::kIncludeUnreadable, name, problem));
    src->text = src->storage;
    src->file = found.string();
    src->dir = found.parent_path();
    sources_.push_back(std::move(src));
    const auto index = static_cast<std::uint32_t>(sources_.size() - 1);
    // The included statements, then on after the include.
    Lexer sub(sources_[index]->text, sources_[index]->file);
    Lexer* const outer = lex_;
    const Token after = tok_;
    const std::uint32_t outer_source = current_source_;
    lex_ = &sub;
    current_source_ = index;
    ++include_depth_;
    advance();
    if (is_word("OPENQASM")) version();
    while (tok_.kind != Tok::End) statement();
    --include_depth_;
    lex_ = outer;
    current_source_ = outer_source;
    tok_ = after;
  }

  // ---- statements ----
  void statement() {
    const Token at = tok_;
    step(at);
    switch (tok_.kind) {
      case Tok::Semi: advance(); return;
      case Tok::LBrace: return block();
      case Tok::Pragma:
        warn(at, std::string(M::kPragmaIgnored));
        advance();
        return;
      case Tok::At:  // an annotation: the rest of the line
        lex_->skip_line();
        warn(at, std::string(M::kAnnotationIgnored));
        advance();
        return;
      case Tok::HwQubit: expected(M::kWantStatement);
      case Tok::Ident: break;
      default: expected(M::kWantStatement);
    }
    const std::string_view w = tok_.text;
    if (w == "OPENQASM") fail(tok_, std::string(M::kVersionNotFirst));
    if (w == "include") return include();
    if (w == "qubit" || w == "qreg") return qubit_decl();
    if (w == "creg") return creg_decl();
    if (w == "const") return const_decl();
    if (w == "input" || w == "output") return io_decl();
    if (is_type_word(w)) return classical_decl(false);
    if (w == "gate") return gate_decl();
    if (w == "def") return sub_decl();
    if (w == "measure") return measure_arrow();
    if (w == "reset") return reset();
    if (w == "barrier") return barrier();
    if (w == "if") return if_statement();
    if (w == "for") return for_statement();
    if (w == "while") return while_statement();
    if (w == "switch") return switch_statement();
    if (w == "break" || w == "continue") return loop_jump();
    if (w == "return") return return_statement();
    if (w == "delay") return delay();
    if (w == "box") return box();
    if (w == "defcal" || w == "cal") return calibration();
    if (w == "defcalgrammar") return calgrammar();
    if (w == "else") fail(tok_, std::string(M::kElseWithoutIf));
    if (w == "end") unsupported(tok_, "'end'", M::kWhyEnd);
    if (w == "let") unsupported(tok_, "'let' aliases", M::kWhyLater);
    if (w == "extern") unsupported(tok_, "'extern' functions", M::kWhyExtern);
    if (w == "array") unsupported(tok_, "arrays", M::kWhyLater);
    if (w == "opaque") unsupported(tok_, "'opaque' gates", M::kWhyOpaque);
    if (w == "ctrl" || w == "negctrl" || w == "inv" || w == "pow" || w == "gphase" || w == "U")
      return gate_call();
    const Symbol* s = lookup(w);
    if (s == nullptr) {
      if (const Builtin* b = find_builtin(w); b && (stdgates_ || !b->needs_include)) return gate_call();
      if (find_builtin(w)) fail(tok_, M::fill(M::kComesWithStdgates, w));
      fail(tok_, M::fill(M::kUndefined, w));
    }
    switch (s->kind) {
      case SymKind::Gate: return gate_call();
      case SymKind::Sub: {
        const Token name = tok_;
        advance();
        call_sub(name, *s);
        expect(Tok::Semi, M::kWantSemi);
        return;
      }
      case SymKind::CReg:
      case SymKind::Var:
      case SymKind::Input: return assignment();
      case SymKind::QReg: fail(tok_, M::fill(M::kQuantumStatement, w));
    }
  }

  // A block in a new scope; after a break, continue or return the rest is
  // read dry.
  void block() {
    const Token open = tok_;
    DepthGuard guard(*this, open);
    expect(Tok::LBrace, M::kWantBlock);
    Scope scope(*this);
    const bool was_live = live_;
    while (tok_.kind != Tok::RBrace) {
      if (tok_.kind == Tok::End) fail(open, std::string(M::kUnclosedBlock));
      statement();
      if (flow_ != Flow::None) live_ = false;
    }
    live_ = was_live;
    advance();
  }

  // The body of if/for/while/else: a block or one statement, in its own scope.
  void body() {
    if (tok_.kind == Tok::LBrace) return block();
    DepthGuard guard(*this, tok_);
    Scope scope(*this);
    statement();
  }

  // ---- declarations ----
  std::uint64_t size_designator(std::string_view what) {
    expect(Tok::LBracket, what);
    const Token at = tok_;
    const Value v = expression();
    expect(Tok::RBracket, M::kWantCloseBracket);
    if (!v.known()) return 1;
    if (v.k != VK::Int || v.i < 0) fail(at, std::string(M::kSizeNotInteger));
    return static_cast<std::uint64_t>(v.i);
  }

  void add_qubits(const Token& name, std::uint64_t size, bool single) {
    if (scopes_.size() != 1 || in_gate_ || in_sub_) fail(name, std::string(M::kQubitNotGlobal));
    if (size > kMaxU64 - d_.num_qubits) fail(name, M::fill(M::kRegisterPastLimit, name.text, "qubits"));
    Symbol s;
    s.kind = SymKind::QReg;
    s.offset = d_.num_qubits;
    s.size = size;
    s.single = single;
    declare(name, std::move(s));
    d_.qregs.push_back(Register{std::string(name.text), size, d_.num_qubits});
    d_.num_qubits += size;
  }

  void qubit_decl() {
    const bool old = tok_.text == "qreg";
    advance();
    if (old) {
      const Token name = new_name(M::kWantRegisterName);
      const std::uint64_t size = size_designator(M::kWantSize);
      expect(Tok::Semi, M::kWantSemi);
      return add_qubits(name, size, false);
    }
    std::uint64_t size = 1;
    bool single = true;
    if (tok_.kind == Tok::LBracket) {
      size = size_designator(M::kWantSize);
      single = false;
    }
    const Token name = new_name(M::kWantRegisterName);
    expect(Tok::Semi, M::kWantSemi);
    add_qubits(name, size, single);
  }

  Symbol& add_clbits(const Token& name, std::uint64_t size, bool single) {
    if (cond_depth_) unsupported(name, M::kWhatBitsUnderCondition, M::kWhyLater);
    if (size > kMaxU64 - d_.num_clbits) fail(name, M::fill(M::kRegisterPastLimit, name.text, "clbits"));
    // Bits declared in an inner scope still take clbits: the circuit's bits are global.
    Symbol s;
    s.kind = SymKind::CReg;
    s.size = size;
    s.single = single;
    s.ref = static_cast<std::uint32_t>(d_.cregs.size());
    Symbol& made = declare(name, std::move(s));
    d_.cregs.push_back(Register{unique_creg_name(name.text), size, d_.num_clbits});
    d_.num_clbits += size;
    return made;
  }

  // Registers declared in different scopes may share a name; the circuit's do not.
  std::string unique_creg_name(std::string_view name) {
    std::string out(name);
    for (int n = 1; std::any_of(d_.cregs.begin(), d_.cregs.end(), [&](const Register& r) { return r.name == out; }); ++n)
      out = std::string(name) + "_" + std::to_string(n);
    return out;
  }

  void creg_decl() {
    advance();
    const Token name = new_name(M::kWantRegisterName);
    const std::uint64_t size = size_designator(M::kWantSize);
    expect(Tok::Semi, M::kWantSemi);
    add_clbits(name, size, false);
  }

  struct TypeSpec {
    Ty ty;
    std::uint32_t width = 0;  // bits for int/uint/bit/angle/float; 0: unsized
    bool sized = false;
    std::uint64_t bit_size = 1;  // bit[n]
  };

  TypeSpec type_spec() {
    const Token t = ident(M::kWantType);
    TypeSpec ts{};
    const std::string_view w = t.text;
    if (w == "complex") unsupported(t, "complex numbers", M::kWhyComplex);
    if (w == "int") ts.ty = Ty::Int;
    else if (w == "uint") ts.ty = Ty::Uint;
    else if (w == "float") ts.ty = Ty::Float;
    else if (w == "angle") ts.ty = Ty::Angle;
    else if (w == "bool") ts.ty = Ty::Bool;
    else if (w == "bit") ts.ty = Ty::Bit;
    else if (w == "duration" || w == "stretch") ts.ty = Ty::Duration;
    else fail(t, M::fill(M::kExpected, M::kWantType, detail::describe(t)));
    if (tok_.kind == Tok::LBracket && ts.ty != Ty::Bool && ts.ty != Ty::Duration) {
      const Token at = tok_;
      const std::uint64_t n = size_designator(M::kWantSize);
      ts.sized = true;
      if (ts.ty == Ty::Bit) {
        ts.bit_size = n;
      } else {
        if (n == 0 || n > 64) fail(at, M::fill(M::kWidth, n));
        ts.width = static_cast<std::uint32_t>(n);
      }
    }
    return ts;
  }

  // The value stored in a variable of this type: integers wrap to their width.
  Value convert(const Value& v, const TypeSpec& ts, const Token& at) {
    if (!v.known() || ts.ty == Ty::Duration) return v;
    if (v.k == VK::Bit || v.k == VK::Creg || v.k == VK::Cond)
      unsupported(at, M::kWhatMeasuredValue, M::kWhyLater);
    switch (ts.ty) {
      case Ty::Bool:
        if (v.k == VK::Sym) fail(at, std::string(M::kInputNotBool));
        return Value::of_bool(v.as_double() != 0.0);
      case Ty::Float:
      case Ty::Angle:
        if (v.k == VK::Sym) return v;
        return Value::of_float(v.as_double());
      case Ty::Int:
      case Ty::Uint:
      case Ty::Bit: {
        if (v.k == VK::Sym) fail(at, std::string(M::kInputNotInteger));
        std::int64_t i = 0;
        if (v.k == VK::Float) {
          if (!(std::fabs(v.f) < 9.2e18)) fail(at, M::fill(M::kFloatToInt, repr(v.f)));
          i = static_cast<std::int64_t>(v.f);  // truncation, as a cast
        } else {
          i = v.k == VK::Int ? v.i : v.b;
        }
        const std::uint32_t width = ts.ty == Ty::Bit ? static_cast<std::uint32_t>(std::min<std::uint64_t>(ts.bit_size, 64))
                                                      : ts.width;
        if (width != 0 && width < 64) {
          const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
          std::uint64_t u = static_cast<std::uint64_t>(i) & mask;
          if (ts.ty == Ty::Int && (u >> (width - 1)) & 1) u |= ~mask;  // sign extension
          i = static_cast<std::int64_t>(u);
        }
        return Value::of_int(i);
      }
      case Ty::Duration: return v;
    }
    return v;
  }

  void classical_decl(bool is_const) {
    const Token type_at = tok_;
    const TypeSpec ts = type_spec();
    const Token name = new_name(M::kWantVariableName);
    if (ts.ty == Ty::Bit && !is_const) {
      Symbol& reg = add_clbits(name, ts.bit_size, !ts.sized);
      const std::uint32_t creg = reg.ref;
      if (accept(Tok::Assign)) {
        if (is_word("measure")) {
          const Token m = tok_;
          advance();
          store_measure(m, creg_bits(creg), true);
        } else {
          const Token at = tok_;
          const Value v = expression();
          if (v.known() && !(v.numeric() && v.as_double() == 0.0) && !(v.k == VK::Int && v.i == 0))
            unsupported(at, M::kWhatBitValue, M::kWhyBitValue);
        }
      }
      expect(Tok::Semi, M::kWantSemi);
      return;
    }
    if (ts.ty == Ty::Duration) warn(type_at, std::string(M::kTimingIgnored));
    Symbol s;
    s.kind = SymKind::Var;
    s.ty = ts.ty;
    s.width = ts.ty == Ty::Bit ? static_cast<std::uint32_t>(std::min<std::uint64_t>(ts.bit_size, 64)) : ts.width;
    s.is_const = is_const;
    s.cond_level = cond_depth_;
    if (accept(Tok::Assign)) {
      const Token at = tok_;
      if (is_word("measure")) unsupported(at, M::kWhatMeasureIntoVariable, M::kWhyLater);
      const Value v = expression();
      if (is_const && live_ && !v.known()) fail(at, std::string(M::kConstNotConstant));
      if (is_const && v.k == VK::Sym) fail(at, std::string(M::kConstFromInput));
      s.value = live_ ? convert(v, ts, at) : Value{};
    } else if (is_const) {
      expected(M::kWantConstValue);
    } else if (live_) {
      s.value = convert(Value::of_int(0), ts, name);  // declared without a value: zero
    }
    expect(Tok::Semi, M::kWantSemi);
    declare(name, std::move(s));
  }

  void const_decl() {
    advance();
    classical_decl(true);
  }

  // input float[64] theta; becomes a parameter. output bit[n] c; a register.
  void io_decl() {
    const Token word = tok_;
    const bool input = tok_.text == "input";
    advance();
    if (scopes_.size() != 1 || cond_depth_) fail(word, M::fill(M::kIoNotGlobal, word.text));
    const Token type_at = tok_;
    const TypeSpec ts = type_spec();
    const Token name = new_name(M::kWantVariableName);
    expect(Tok::Semi, M::kWantSemi);
    if (!input) {
      if (ts.ty != Ty::Bit) unsupported(type_at, M::kWhatOutput, M::kWhyOutput);
      add_clbits(name, ts.bit_size, !ts.sized);
      return;
    }
    if (ts.ty != Ty::Float && ts.ty != Ty::Angle) unsupported(type_at, M::kWhatInputType, M::kWhyInputType);
    Symbol s;
    s.kind = SymKind::Input;
    s.ref = static_cast<std::uint32_t>(d_.inputs.size());
    declare(name, std::move(s));
    d_.inputs.emplace_back(name.text);
  }

  // ---- gate definitions ----
  void gate_decl() {
    const Token kw = tok_;
    advance();
    if (scopes_.size() != 1 || cond_depth_ || in_sub_) fail(kw, std::string(M::kGateNotGlobal));
    const Token name = new_name(M::kWantGateName);
    GateDef g;
    g.name = std::string(name.text);
    g.line = name.line;
    g.column = name.column;
    if (accept(Tok::LParen)) {
      if (tok_.kind != Tok::RParen) {
        do {
          const Token p = new_name(M::kWantParameterName);
          if (std::find(g.params.begin(), g.params.end(), p.text) != g.params.end())
            fail(p, M::fill(M::kParameterTwice, p.text));
          g.params.emplace_back(p.text);
        } while (accept(Tok::Comma));
      }
      expect(Tok::RParen, M::kWantParameterClose);
    }
    if (tok_.kind != Tok::LBrace) {
      do {
        const Token a = new_name(M::kWantArgumentName);
        if (std::find(g.qargs.begin(), g.qargs.end(), a.text) != g.qargs.end() ||
            std::find(g.params.begin(), g.params.end(), a.text) != g.params.end())
          fail(a, M::fill(M::kArgumentTwice, a.text));
        g.qargs.emplace_back(a.text);
      } while (accept(Tok::Comma));
    }
    if (tok_.kind != Tok::LBrace) expected(M::kWantBodyOpen);
    const Token open = tok_;
    g.source = current_source_;
    g.body = lex_->state();
    // A definition named like a table row with its signature is that row.
    for (const TableGate& t : opt_.table_gates) {
      if (t.num_params == g.params.size() &&
          (t.num_qubits == g.qargs.size() || (t.num_qubits == 0 && !g.qargs.empty())) && matches(t.name, g.name) &&
          std::find(opt_.untrusted.begin(), opt_.untrusted.end(), g.name) == opt_.untrusted.end()) {
        g.row = t.row;
        break;
      }
    }
    const auto index = static_cast<std::uint32_t>(gates_.size());
    gates_.push_back(g);
    // Checked dry once now (and declared only after: no recursion).
    advance();
    gate_body(gates_[index], nullptr, {}, GateCtx{}, open, false);
    Symbol s;
    s.kind = SymKind::Gate;
    s.ref = index;
    declare(name, std::move(s));
    if (!gates_[index].row.empty()) probe(gates_[index]);
  }

  // "mcx" matches "mcx" and the numbered names writers give further
  // definitions of it ("mcx_0", "mcx_12").
  static bool matches(std::string_view table_name, std::string_view name) {
    if (name == table_name) return true;
    if (!name.starts_with(table_name) || name.size() < table_name.size() + 2 || name[table_name.size()] != '_')
      return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(table_name.size()) + 1, name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
  }

  void probe(const GateDef& g) {
    Probe p;
    p.definition = g.name;
    p.row = g.row;
    p.num_qubits = static_cast<std::uint32_t>(g.qargs.size());
    p.line = g.line;
    p.column = g.column;
    static constexpr double kAngles[] = {0.3711, 1.2173, -0.8329, 2.0717, -1.4431, 0.6547};
    std::vector<Value> params;
    for (std::size_t i = 0; i < g.params.size(); ++i) {
      const double a = kAngles[i % std::size(kAngles)] + 0.1 * static_cast<double>(i / std::size(kAngles));
      p.params.push_back(a);
      params.push_back(Value::of_float(a));
    }
    std::vector<std::uint64_t> qubits(g.qargs.size());
    for (std::size_t i = 0; i < qubits.size(); ++i) qubits[i] = i;
    auto* const saved_out = out_;
    double* const saved_phase = phase_;
    auto* const saved_terms = phase_terms_;
    const bool saved_as_gates = phase_as_gates_;
    const bool saved_live = live_;
    std::vector<Term> terms;
    out_ = &p.body;
    phase_ = &p.phase;
    phase_terms_ = &terms;
    phase_as_gates_ = false;
    live_ = true;
    const Token at{Tok::Ident, g.line, g.column, g.name};
    replay_definition(g, params, qubits.data(), GateCtx{}, at);
    out_ = saved_out;
    phase_ = saved_phase;
    phase_terms_ = saved_terms;
    phase_as_gates_ = saved_as_gates;
    live_ = saved_live;
    d_.probes.push_back(std::move(p));
  }

  // Reads a gate body (tok_ just after its '{'): with values and qubits it
  // runs, else (dry) it is checked with unknown parameters.
  void gate_body(const GateDef& g, const std::vector<Value>* params, const std::uint64_t* qubits, const GateCtx& ctx,
                 const Token& at, bool run) {
    const bool saved_live = live_;
    const bool saved_in_gate = in_gate_;
    const std::size_t saved_floor = floor_;
    live_ = saved_live && run;
    in_gate_ = true;
    DepthGuard guard(*this, at);
    Scope scope(*this);
    floor_ = scopes_.size() - 1;
    for (std::size_t i = 0; i < g.params.size(); ++i) {
      Symbol s;
      s.kind = SymKind::Var;
      s.ty = Ty::Angle;
      s.is_const = true;
      if (params) s.value = (*params)[i];
      scopes_.back().emplace(g.params[i], std::move(s));
    }
    for (std::size_t i = 0; i < g.qargs.size(); ++i) {
      Symbol s;
      s.kind = SymKind::QReg;
      s.size = 1;
      s.single = true;
      s.offset = qubits ? qubits[i] : i;
      scopes_.back().emplace(g.qargs[i], std::move(s));
    }
    // Inverted, the body's statements come in reverse order, each inverted
    // (the gates one statement makes stay in their order: each is already
    // the inverse of what it applies).
    const bool reverse = live_ && ctx.inverse;
    const std::size_t start = out_->size();
    std::vector<std::size_t> chunks;
    while (tok_.kind != Tok::RBrace) {
      if (tok_.kind == Tok::End) fail(g.line, g.column, M::fill(M::kUnclosedGate, g.name));
      if (reverse) chunks.push_back(out_->size());
      gate_body_statement(ctx);
    }
    advance();
    if (reverse && out_->size() > start) {
      std::vector<Instruction> reordered;
      reordered.reserve(out_->size() - start);
      std::size_t end = out_->size();
      for (std::size_t c = chunks.size(); c-- > 0;) {
        for (std::size_t i = chunks[c]; i < end; ++i) reordered.push_back(std::move((*out_)[i]));
        end = chunks[c];
      }
      std::move(reordered.begin(), reordered.end(), out_->begin() + static_cast<std::ptrdiff_t>(start));
    }
    floor_ = saved_floor;
    in_gate_ = saved_in_gate;
    live_ = saved_live;
  }

  void gate_body_statement(const GateCtx& ctx) {
    const Token at = tok_;
    step(at);
    if (accept(Tok::Semi)) return;
    if (tok_.kind == Tok::Pragma || tok_.kind == Tok::At) return statement();
    if (tok_.kind != Tok::Ident) expected(M::kWantGateStatement);
    const std::string_view w = tok_.text;
    if (w == "barrier") return barrier();
    if (w == "measure" || w == "reset" || w == "if" || w == "while" || w == "qubit" || w == "bit" || w == "gate" ||
        w == "def" || w == "qreg" || w == "creg" || w == "include" || w == "input" || w == "output")
      fail(at, M::fill(M::kNotInGateBody, w));
    if (w == "for" || w == "const" || is_type_word(w)) fail(at, M::fill(M::kNotInGateBody, w));
    gate_call(&ctx);
  }

  // ---- gate applications ----
  struct Modifier {
    enum Kind : std::uint8_t { Ctrl, NegCtrl, Inv, Pow } kind;
    std::uint64_t count = 1;  // ctrl/negctrl: qubits
    std::int64_t power = 1;
  };

  std::int64_t modifier_integer(const Token& word, std::string_view name, bool allow_negative) {
    expect(Tok::LParen, M::kWantModifierArgument);
    const Token at = tok_;
    const Value v = expression();
    expect(Tok::RParen, M::kWantCloseParen);
    if (!v.known()) return 1;
    if (v.k == VK::Sym) unsupported(at, M::fill(M::kWhatModifierOfInput, name), M::kWhyModifierOfInput);
    if (v.k == VK::Float && v.f == std::floor(v.f) && std::fabs(v.f) < 1e18) return static_cast<std::int64_t>(v.f);
    if (v.k != VK::Int) {
      if (name == "pow") unsupported(at, M::fill(M::kWhatPower, repr(v.as_double())), M::kWhyPower);
      fail(at, M::fill(M::kModifierNotInteger, name));
    }
    if (!allow_negative && v.i < 1) fail(at, M::fill(M::kControlCount, v.i));
    (void)word;
    return v.i;
  }

  void gate_call(const GateCtx* outer = nullptr) {
    const Token first = tok_;
    std::vector<Modifier> mods;
    for (;;) {
      if (tok_.kind != Tok::Ident) expected(M::kWantGateName);
      const Token w = tok_;
      Modifier m{Modifier::Ctrl};
      if (w.text == "ctrl" || w.text == "negctrl") {
        m.kind = w.text == "ctrl" ? Modifier::Ctrl : Modifier::NegCtrl;
        advance();
        if (tok_.kind == Tok::LParen) m.count = static_cast<std::uint64_t>(modifier_integer(w, w.text, false));
      } else if (w.text == "inv") {
        m.kind = Modifier::Inv;
        advance();
      } else if (w.text == "pow") {
        m.kind = Modifier::Pow;
        advance();
        m.power = modifier_integer(w, "pow", true);
      } else {
        break;
      }
      expect(Tok::At, M::kWantAt);
      mods.push_back(m);
    }
    const Token name = ident(M::kWantGateName);
    const GateDef* def = nullptr;
    const Builtin* builtin = nullptr;
    if (const Symbol* s = lookup(name.text); s != nullptr) {
      if (s->kind != SymKind::Gate) fail(name, M::fill(M::kNotAGate, name.text));
      def = &gates_[s->ref];
    } else if (const Builtin* b = find_builtin(name.text); b && (stdgates_ || !b->needs_include)) {
      builtin = b;
    } else if (find_builtin(name.text)) {
      fail(name, M::fill(M::kComesWithStdgates, name.text));
    } else {
      fail(name, M::fill(M::kUndefined, name.text));
    }
    const std::size_t num_params = def ? def->params.size() : builtin->num_params;
    const std::size_t num_qubits = def ? def->qargs.size() : builtin->num_qubits;
    std::vector<Value> params;
    if (accept(Tok::LParen)) {
      if (tok_.kind != Tok::RParen) {
        do params.push_back(expression());
        while (accept(Tok::Comma));
      }
      expect(Tok::RParen, M::kWantParameterClose);
    }
    if (params.size() != num_params)
      fail(name, M::fill(M::kArgumentCount, name.text, plural(num_params, "parameter"), params.size()));
    for (const Value& v : params) check_angle(v, name);
    if (tok_.kind == Tok::LBracket) {  // a duration designator
      warn(tok_, std::string(M::kTimingIgnored));
      advance();
      expression();
      expect(Tok::RBracket, M::kWantCloseBracket);
    }
    // Operands: each a qubit or a register (broadcast).
    scratch_q_.clear();
    operand_ranges_.clear();
    operand_single_.clear();
    std::vector<Token> operand_at;
    if (tok_.kind != Tok::Semi) {
      do {
        operand_at.push_back(tok_);
        const std::size_t begin = scratch_q_.size();
        const bool single = qubit_operand(scratch_q_);
        operand_ranges_.emplace_back(begin, scratch_q_.size());
        operand_single_.push_back(single);
      } while (accept(Tok::Comma));
    }
    expect(Tok::Semi, M::kWantSemi);
    std::uint64_t controls = 0;
    for (const Modifier& m : mods)
      if (m.kind == Modifier::Ctrl || m.kind == Modifier::NegCtrl) controls += m.count;
    const bool gphase = builtin && builtin->row.empty();
    if (gphase && operand_ranges_.empty() && controls == 0) {
      // gphase(a); on no qubits
    } else if (operand_ranges_.size() != controls + num_qubits && !(gphase && operand_ranges_.empty())) {
      fail(name, M::fill(M::kArgumentCount, name.text, plural(controls + num_qubits, "qubit"), operand_ranges_.size()));
    }
    if (!live_) return;
    // Broadcast length: every register operand has the same size.
    std::uint64_t n = 1;
    std::ptrdiff_t first_reg = -1;
    for (std::size_t i = 0; i < operand_ranges_.size(); ++i) {
      if (operand_single_[i]) continue;
      const std::uint64_t size = operand_ranges_[i].second - operand_ranges_[i].first;
      if (first_reg < 0) {
        first_reg = static_cast<std::ptrdiff_t>(i);
        n = size;
      } else if (size != n) {
        fail(operand_at[i], M::fill(M::kBroadcastSizes, size, n));
      }
    }
    std::int64_t power = 1;
    for (const Modifier& m : mods) {
      if (m.kind == Modifier::Inv) power = -power;
      if (m.kind == Modifier::Pow) {
        if (m.power != 0 && std::llabs(power) > static_cast<std::int64_t>(opt_.max_instructions) / std::llabs(m.power))
          fail(first, M::fill(M::kTooManyInstructions, opt_.max_instructions));
        power *= m.power;
      }
    }
    std::vector<std::uint64_t> qs(operand_ranges_.size());
    const std::vector<std::pair<std::size_t, std::size_t>> ranges = operand_ranges_;
    const std::vector<bool> singles = operand_single_;
    const std::vector<std::uint64_t> all = scratch_q_;
    for (std::uint64_t k = 0; k < n; ++k) {
      for (std::size_t i = 0; i < ranges.size(); ++i) {
        qs[i] = all[ranges[i].first + (singles[i] ? 0 : k)];
        for (std::size_t j = 0; j < i; ++j)
          if (qs[j] == qs[i]) fail(operand_at[i], M::fill(M::kQubitTwice, name.text));
      }
      if (outer)
        for (std::uint64_t q : qs)
          if (std::find(outer->controls.begin(), outer->controls.end(), q) != outer->controls.end())
            fail(name, M::fill(M::kQubitTwice, name.text));
      // Controls in modifier order; negative ones flipped around the gate.
      GateCtx ctx;
      if (outer) ctx = *outer;
      std::vector<std::uint64_t> negated;
      std::size_t pos = 0;
      for (const Modifier& m : mods) {
        if (m.kind != Modifier::Ctrl && m.kind != Modifier::NegCtrl) continue;
        for (std::uint64_t c = 0; c < m.count; ++c, ++pos) {
          ctx.controls.push_back(qs[pos]);
          if (m.kind == Modifier::NegCtrl) negated.push_back(qs[pos]);
        }
      }
      if (power < 0) ctx.inverse = !ctx.inverse;
      const GateCtx flip = outer ? *outer : GateCtx{};
      for (std::uint64_t q : negated) emit_row("x", {}, &q, 1, flip, name);
      const std::uint64_t* targets = qs.data() + pos;
      const std::uint64_t reps = static_cast<std::uint64_t>(std::llabs(power));
      for (std::uint64_t r = 0; r < reps; ++r) {
        step(name);
        if (def) {
          apply_definition(*def, params, targets, ctx, name);
        } else if (gphase) {
          apply_gphase(params[0], ctx, name);
        } else {
          emit_row(builtin->row, params, targets, num_qubits, ctx, name);
        }
      }
      for (std::uint64_t q : negated) emit_row("x", {}, &q, 1, flip, name);
    }
  }

  void apply_gphase(const Value& angle, const GateCtx& ctx, const Token& at) {
    if (ctx.controls.empty()) return add_phase(angle, ctx.inverse, at);
    // A controlled global phase is a phase gate on the controls.
    GateCtx inner;
    inner.inverse = ctx.inverse;
    inner.controls.assign(ctx.controls.begin(), ctx.controls.end() - 1);
    const std::uint64_t target = ctx.controls.back();
    emit_row("p", {angle}, &target, 1, inner, at);
  }

  void apply_definition(const GateDef& g, const std::vector<Value>& params, const std::uint64_t* qubits,
                        const GateCtx& ctx, const Token& at) {
    if (!g.row.empty()) return emit_row(g.row, params, qubits, g.qargs.size(), ctx, at);
    replay_definition(g, params, qubits, ctx, at);
  }

  void replay_definition(const GateDef& g, const std::vector<Value>& params, const std::uint64_t* qubits,
                         const GateCtx& ctx, const Token& at) {
    Lexer body(sources_[g.source]->text, sources_[g.source]->file, g.body);
    Lexer* const outer = lex_;
    const Token after = tok_;
    const std::uint32_t outer_source = current_source_;
    lex_ = &body;
    current_source_ = g.source;
    advance();
    gate_body(g, &params, qubits, ctx, at, true);
    lex_ = outer;
    current_source_ = outer_source;
    tok_ = after;
  }

  static std::string plural(std::uint64_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
  }

  void check_angle(const Value& v, const Token& at) {
    if (!v.known()) return;
    if (v.k == VK::Float || v.k == VK::Int || v.k == VK::Sym) {
      if (!std::isfinite(v.k == VK::Int ? 0.0 : v.f)) fail(at, M::fill(M::kAngleNotFinite, at.text));
      return;
    }
    if (v.k == VK::Bool) return;
    unsupported(at, M::kWhatMeasuredValue, M::kWhyLater);
  }

  // ---- operands ----
  // Appends the qubits one operand names; true when it is a single qubit.
  bool qubit_operand(std::vector<std::uint64_t>& out) {
    if (tok_.kind == Tok::HwQubit) unsupported(tok_, M::kWhatHardwareQubits, M::kWhyHardwareQubits);
    const Token name = ident(M::kWantQubit);
    const Symbol* s = lookup(name.text);
    if (s == nullptr) fail(name, M::fill(M::kUndefined, name.text));
    if (s->kind != SymKind::QReg) fail(name, M::fill(M::kNotQubits, name.text));
    return indexed(*s, name, out, s->single, [&](std::uint64_t i) { return s->qubit(i); });
  }

  // Whole register, [i], [a:b], [a:s:b] or [{i, j}]; the element indices
  // mapped through `at`. True when one element is named.
  template <class At>
  bool indexed(const Symbol& s, const Token& name, std::vector<std::uint64_t>& out, bool single, At at) {
    if (tok_.kind != Tok::LBracket) {
      if (s.size > opt_.max_instructions) fail(name, M::fill(M::kTooManyInstructions, opt_.max_instructions));
      for (std::uint64_t i = 0; i < s.size; ++i) out.push_back(at(i));
      return single;
    }
    if (single) fail(tok_, M::fill(M::kIndexOfSingle, name.text));
    advance();
    bool one = false;
    if (tok_.kind == Tok::LBrace) {
      advance();
      do {
        const Token t = tok_;
        const Value v = expression();
        out.push_back(at(element(v, t, name, s.size)));
      } while (accept(Tok::Comma));
      expect(Tok::RBrace, M::kWantCloseBrace);
    } else {
      const Token t = tok_;
      const Value a = tok_.kind == Tok::Colon ? Value::of_int(0) : expression();
      if (accept(Tok::Colon)) {
        const Token t2 = tok_;
        Value step = Value::of_int(1);
        Value b = tok_.kind == Tok::RBracket ? Value::of_int(-1) : expression();
        if (accept(Tok::Colon)) {
          step = b;
          b = tok_.kind == Tok::RBracket ? Value::of_int(-1) : expression();
        }
        if (live_) {
          const std::uint64_t lo = element(a, t, name, s.size);
          const std::uint64_t hi = element(b, t2, name, s.size);
          const std::int64_t st = integer_value(step, t2);
          if (st == 0) fail(t2, std::string(M::kZeroStep));
          for (std::int64_t i = static_cast<std::int64_t>(lo); st > 0 ? i <= static_cast<std::int64_t>(hi)
                                                                         : i >= static_cast<std::int64_t>(hi);
               i += st)
            out.push_back(at(static_cast<std::uint64_t>(i)));
        }
      } else {
        out.push_back(at(element(a, t, name, s.size)));
        one = true;
      }
    }
    expect(Tok::RBracket, M::kWantCloseBracket);
    return one;
  }

  std::int64_t integer_value(const Value& v, const Token& at) {
    if (!v.known()) return 0;
    if (v.k == VK::Int) return v.i;
    if (v.k == VK::Bool) return v.b;
    fail(at, std::string(M::kIndexNotInteger));
  }

  std::uint64_t element(const Value& v, const Token& at, const Token& name, std::uint64_t size) {
    if (!live_ || !v.known()) return 0;
    std::int64_t i = integer_value(v, at);
    if (i < 0) i += static_cast<std::int64_t>(size);  // negative indices count from the end
    if (i < 0 || static_cast<std::uint64_t>(i) >= size)
      fail(at, M::fill(M::kIndexOutOfRange, integer_value(v, at), name.text, size));
    return static_cast<std::uint64_t>(i);
  }

  std::vector<std::uint64_t> creg_bits(std::uint32_t creg) const {
    std::vector<std::uint64_t> bits(d_.cregs[creg].size);
    for (std::uint64_t i = 0; i < bits.size(); ++i) bits[i] = d_.cregs[creg].offset + i;
    return bits;
  }

  // ---- measure, reset, barrier ----
  void measure_arrow() {
    const Token m = tok_;
    advance();
    std::vector<std::uint64_t> qs;
    const Token qat = tok_;
    const bool qsingle = qubit_operand(qs);
    if (!accept(Tok::Arrow)) {
      if (tok_.kind == Tok::Semi) unsupported(m, M::kWhatMeasureNoTarget, M::kWhyMeasureNoTarget);
      expected(M::kWantArrow);
    }
    std::vector<std::uint64_t> cs;
    const Token cat = tok_;
    const bool csingle = clbit_operand(cs);
    expect(Tok::Semi, M::kWantSemi);
    measure_pairs(m, qs, qsingle, cs, csingle, cat);
    (void)qat;
  }

  void measure_pairs(const Token& m, const std::vector<std::uint64_t>& qs, bool qsingle,
                     const std::vector<std::uint64_t>& cs, bool csingle, const Token& cat) {
    if (!live_) return;
    (void)qsingle;
    (void)csingle;
    if (qs.size() != cs.size()) fail(cat, M::fill(M::kMeasureSizes, qs.size(), cs.size()));
    for (std::size_t i = 0; i < qs.size(); ++i) {
      Instruction& ins = emit(Kind::Measure, "measure", m);
      ins.qubits.push_back(qs[i]);
      ins.clbits.push_back(cs[i]);
    }
  }

  // `measure q` after the target's '=' (tok_ just after 'measure').
  void store_measure(const Token& m, const std::vector<std::uint64_t>& cs, bool csingle) {
    std::vector<std::uint64_t> qs;
    const Token qat = tok_;
    const bool qsingle = qubit_operand(qs);
    measure_pairs(m, qs, qsingle, cs, csingle, qat);
  }

  bool clbit_operand(std::vector<std::uint64_t>& out) {
    const Token name = ident(M::kWantBit);
    const Symbol* s = lookup(name.text);
    if (s == nullptr) fail(name, M::fill(M::kUndefined, name.text));
    if (s->kind != SymKind::CReg) fail(name, M::fill(M::kNotBits, name.text));
    const std::uint64_t offset = d_.cregs[s->ref].offset;
    return indexed(*s, name, out, s->single, [&](std::uint64_t i) { return offset + i; });
  }

  void reset() {
    const Token at = tok_;
    advance();
    std::vector<std::uint64_t> qs;
    qubit_operand(qs);
    expect(Tok::Semi, M::kWantSemi);
    if (!live_) return;
    for (std::uint64_t q : qs) emit(Kind::Reset, "reset", at).qubits.push_back(q);
  }

  void barrier() {
    const Token at = tok_;
    advance();
    std::vector<std::uint64_t> qs;
    if (tok_.kind != Tok::Semi) {
      do qubit_operand(qs);
      while (accept(Tok::Comma));
    } else if (live_ && !in_gate_) {
      if (d_.num_qubits > opt_.max_instructions) fail(at, M::fill(M::kTooManyInstructions, opt_.max_instructions));
      for (std::uint64_t q = 0; q < d_.num_qubits; ++q) qs.push_back(q);
    }
    expect(Tok::Semi, M::kWantSemi);
    if (!live_ || in_gate_) return;  // a barrier inside a gate body orders nothing here
    std::vector<std::uint64_t> unique;
    std::unordered_set<std::uint64_t> seen;
    for (std::uint64_t q : qs)
      if (seen.insert(q).second) unique.push_back(q);
    emit(Kind::Barrier, "barrier", at).qubits = std::move(unique);
  }

  // ---- assignments ----
  void assignment() {
    const Token name = tok_;
    Symbol* s = lookup(name.text);
    if (s->kind == SymKind::CReg) {
      std::vector<std::uint64_t> cs;
      const bool single = clbit_operand(cs);
      const Token op = tok_;
      if (!accept(Tok::Assign)) expected(M::kWantAssign);
      if (!is_word("measure")) unsupported(op, M::kWhatBitValue, M::kWhyBitValue);
      const Token m = tok_;
      advance();
      store_measure(m, cs, single);
      expect(Tok::Semi, M::kWantSemi);
      return;
    }
    advance();
    if (s->kind == SymKind::Input) fail(name, M::fill(M::kAssignInput, name.text));
    if (s->is_const) fail(name, M::fill(M::kAssignConst, name.text));
    std::int64_t bit_index = -1;
    if (accept(Tok::LBracket)) {
      const Token at = tok_;
      const Value v = expression();
      expect(Tok::RBracket, M::kWantCloseBracket);
      if (live_) {
        const std::uint32_t width = s->width ? s->width : 64;
        const std::int64_t i = integer_value(v, at);
        if (i < 0 || i >= width) fail(at, M::fill(M::kIndexOutOfRange, i, name.text, width));
        bit_index = i;
      }
    }
    const Token op = tok_;
    if (tok_.kind != Tok::Assign && tok_.kind != Tok::CompoundAssign) expected(M::kWantAssign);
    advance();
    if (is_word("measure")) unsupported(tok_, M::kWhatMeasureIntoVariable, M::kWhyLater);
    Value v = expression();
    expect(Tok::Semi, M::kWantSemi);
    if (!live_) return;
    if (cond_depth_ > s->cond_level) unsupported(name, M::kWhatAssignUnderCondition, M::kWhyLater);
    if (op.kind == Tok::CompoundAssign) {
      const Tok k = compound_op(op.text);
      v = binary(k, s->value, v, op);
    }
    if (bit_index >= 0) {
      const std::uint64_t bit = integer_value(v, op) & 1;
      std::uint64_t u = static_cast<std::uint64_t>(s->value.i);
      u = (u & ~(std::uint64_t{1} << bit_index)) | (bit << bit_index);
      v = Value::of_int(static_cast<std::int64_t>(u));
    }
    TypeSpec ts{s->ty, s->width, s->width != 0, s->width ? s->width : 1};
    s->value = convert(v, ts, op);
  }

  static Tok compound_op(std::string_view text) {
    const std::string_view op = text.substr(0, text.size() - 1);
    if (op == "+") return Tok::Plus;
    if (op == "-") return Tok::Minus;
    if (op == "*") return Tok::Star;
    if (op == "/") return Tok::Slash;
    if (op == "%") return Tok::Percent;
    if (op == "**") return Tok::Power;
    if (op == "^") return Tok::Caret;
    if (op == "&") return Tok::Amp;
    if (op == "|") return Tok::Pipe;
    if (op == "<<") return Tok::Shl;
    if (op == ">>") return Tok::Shr;
    return Tok::Tilde;
  }

  // ---- control flow ----
  void if_statement() {
    const Token kw = tok_;
    advance();
    expect(Tok::LParen, M::kWantConditionOpen);
    const Token at = tok_;
    Value c = expression();
    expect(Tok::RParen, M::kWantConditionClose);
    c = as_condition(c, at);
    if (!live_ || !c.known()) {
      const bool saved = live_;
      live_ = false;
      body();
      if (is_word("else")) {
        advance();
        body();
      }
      live_ = saved;
      return;
    }
    if (c.k == VK::Cond) return dynamic_if(kw, c);
    // The untaken branch is read dry; after a jump in the taken one the
    // enclosing block reads on dry (it sees flow_).
    const bool taken = c.b;
    const bool saved = live_;
    live_ = taken;
    body();
    if (is_word("else")) {
      advance();
      live_ = !taken;
      body();
    }
    live_ = saved;
  }

  // A condition: a known bool, or a test of measured bits (Cond).
  Value as_condition(const Value& v, const Token& at) {
    if (!v.known()) return v;
    switch (v.k) {
      case VK::Cond: return v;
      case VK::Bit: {
        Value c;
        c.k = VK::Cond;
        c.index = v.index;
        c.cond_value = 1;
        return c;
      }
      case VK::Creg: unsupported(at, M::kWhatRegisterCondition, M::kWhyRegisterCondition);
      case VK::Sym: unsupported(at, M::kWhatInputCondition, M::kWhyInputCondition);
      case VK::Duration: fail(at, std::string(M::kConditionNotBool));
      default: return Value::of_bool(v.as_double() != 0.0);
    }
  }

  void dynamic_if(const Token& kw, const Value& c) {
    const auto index = static_cast<std::uint32_t>(d_.blocks.size());
    Instruction& ins = emit(Kind::IfElse, "if_else", kw);
    ins.block = index;
    d_.blocks.push_back(Block{c.on_register, c.index, c.cond_value, {}, {}});
    auto* const saved_out = out_;
    const bool saved_as_gates = phase_as_gates_;
    phase_as_gates_ = true;
    ++cond_depth_;
    std::vector<Instruction> true_body, false_body;
    out_ = &true_body;
    body();
    if (is_word("else")) {
      advance();
      out_ = &false_body;
      body();
    }
    --cond_depth_;
    out_ = saved_out;
    phase_as_gates_ = saved_as_gates;
    d_.blocks[index].true_body = std::move(true_body);
    d_.blocks[index].false_body = std::move(false_body);
    if (flow_ != Flow::None) fail(kw, std::string(M::kJumpUnderCondition));
  }

  // Runs a loop body once per value (dry once when there is none).
  template <class Bind>
  void loop(std::uint64_t count, const Token& kw, Bind bind) {
    const LexState start = lex_->state();
    const Token first = tok_;
    const bool saved_in_loop = in_loop_;
    const std::uint32_t saved_loop_cond = loop_cond_depth_;
    in_loop_ = true;
    loop_cond_depth_ = cond_depth_;
    const bool saved_live = live_;
    if (count == 0 || !live_) {
      live_ = false;
      Scope scope(*this);
      bind(0, false);
      body();
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        step(kw);
        if (i > 0) {
          lex_->seek(start);
          tok_ = first;
        }
        Scope scope(*this);
        bind(i, true);
        body();
        live_ = saved_live;
        if (flow_ == Flow::Continue) flow_ = Flow::None;
        if (flow_ == Flow::Break) {
          flow_ = Flow::None;
          // The rest of the loop's text is already read: the body was finished dry.
          break;
        }
        if (flow_ == Flow::Return) break;
      }
    }
    live_ = saved_live;
    in_loop_ = saved_in_loop;
    loop_cond_depth_ = saved_loop_cond;
  }

  void for_statement() {
    const Token kw = tok_;
    advance();
    TypeSpec ts{Ty::Int};
    Token var = tok_;
    if (tok_.kind == Tok::Ident && is_type_word(tok_.text)) {
      ts = type_spec();
      var = new_name(M::kWantLoopVariable);
    } else {
      var = new_name(M::kWantLoopVariable);
    }
    if (!is_word("in")) expected(M::kWantIn);
    advance();
    std::vector<Value> values;
    const Token set_at = tok_;
    if (accept(Tok::LBracket)) {
      const Value a = expression();
      expect(Tok::Colon, M::kWantRangeColon);
      Value step = Value::of_int(1);
      Value b = expression();
      if (accept(Tok::Colon)) {
        step = b;
        b = expression();
      }
      expect(Tok::RBracket, M::kWantCloseBracket);
      if (live_) range_values(a, step, b, set_at, values);
    } else if (accept(Tok::LBrace)) {
      do values.push_back(expression());
      while (accept(Tok::Comma));
      expect(Tok::RBrace, M::kWantCloseBrace);
    } else {
      const Token name = ident(M::kWantIterable);
      const Symbol* s = lookup(name.text);
      if (s == nullptr) fail(name, M::fill(M::kUndefined, name.text));
      if (s->kind == SymKind::CReg) unsupported(name, M::kWhatLoopOverBits, M::kWhyLater);
      fail(name, M::fill(M::kNotIterable, name.text));
    }
    if (live_)
      for (const Value& v : values)
        if (!v.numeric()) unsupported(set_at, M::kWhatLoopOverMeasured, M::kWhyLater);
    loop(values.size(), kw, [&](std::uint64_t i, bool run) {
      Symbol s;
      s.kind = SymKind::Var;
      s.ty = ts.ty;
      s.width = ts.width;
      s.cond_level = cond_depth_;
      if (run) s.value = convert(values[i], ts, set_at);
      scopes_.back().emplace(std::string(var.text), std::move(s));
    });
  }

  void range_values(const Value& a, const Value& step, const Value& b, const Token& at, std::vector<Value>& out) {
    if (!a.known() || !b.known() || !step.known()) return;
    if (a.k == VK::Float || b.k == VK::Float || step.k == VK::Float) {
      const double s = step.as_double();
      if (s == 0.0 || !std::isfinite(s)) fail(at, std::string(M::kZeroStep));
      for (double x = a.as_double(); s > 0 ? x <= b.as_double() : x >= b.as_double(); x += s) {
        if (out.size() >= opt_.max_instructions) fail(at, M::fill(M::kTooManySteps, opt_.max_instructions));
        out.push_back(Value::of_float(x));
      }
      return;
    }
    if (!a.numeric() || !b.numeric() || !step.numeric()) unsupported(at, M::kWhatLoopOverMeasured, M::kWhyLater);
    const std::int64_t lo = a.k == VK::Int ? a.i : a.b, hi = b.k == VK::Int ? b.i : b.b;
    const std::int64_t st = step.k == VK::Int ? step.i : step.b;
    if (st == 0) fail(at, std::string(M::kZeroStep));
    // The count first, so that a huge range is refused before it is made.
    const __int128 span = st > 0 ? static_cast<__int128>(hi) - lo : static_cast<__int128>(lo) - hi;
    const __int128 count = span < 0 ? 0 : span / (st > 0 ? st : -static_cast<__int128>(st)) + 1;
    if (count > static_cast<__int128>(opt_.max_instructions)) fail(at, M::fill(M::kTooManySteps, opt_.max_instructions));
    for (__int128 i = 0; i < count; ++i) out.push_back(Value::of_int(static_cast<std::int64_t>(lo + i * st)));
  }

  void while_statement() {
    const Token kw = tok_;
    advance();
    const LexState cond_state = lex_->state();
    const Token cond_first = tok_;
    const bool saved_live = live_;
    const bool saved_in_loop = in_loop_;
    const std::uint32_t saved_loop_cond = loop_cond_depth_;
    in_loop_ = true;
    loop_cond_depth_ = cond_depth_;
    bool ran = false;
    for (;;) {
      expect(Tok::LParen, M::kWantConditionOpen);
      const Token at = tok_;
      Value c = expression();
      expect(Tok::RParen, M::kWantConditionClose);
      c = as_condition(c, at);
      if (live_ && c.k == VK::Cond) unsupported(kw, M::kWhatWhileOnMeasured, M::kWhyLoops);
      const bool go = live_ && c.known() && c.b;
      if (!go) {
        // Once more dry, to read past the body.
        live_ = false;
        Scope scope(*this);
        body();
        break;
      }
      step(kw);
      ran = true;
      {
        Scope scope(*this);
        body();
      }
      live_ = saved_live;
      if (flow_ == Flow::Continue) flow_ = Flow::None;
      if (flow_ == Flow::Break || flow_ == Flow::Return) {
        if (flow_ == Flow::Break) flow_ = Flow::None;
        break;
      }
      lex_->seek(cond_state);
      tok_ = cond_first;
    }
    (void)ran;
    live_ = saved_live;
    in_loop_ = saved_in_loop;
    loop_cond_depth_ = saved_loop_cond;
  }

  void loop_jump() {
    const Token kw = tok_;
    advance();
    expect(Tok::Semi, M::kWantSemi);
    if (!in_loop_) fail(kw, M::fill(M::kJumpOutsideLoop, kw.text));
    if (!live_) return;
    if (cond_depth_ > loop_cond_depth_) unsupported(kw, M::fill(M::kWhatJumpOnMeasured, kw.text), M::kWhyLoops);
    flow_ = kw.text == "break" ? Flow::Break : Flow::Continue;
  }

  void switch_statement() {
    const Token kw = tok_;
    advance();
    expect(Tok::LParen, M::kWantConditionOpen);
    const Token at = tok_;
    const Value target = expression();
    expect(Tok::RParen, M::kWantConditionClose);
    if (live_ && (target.k == VK::Bit || target.k == VK::Creg || target.k == VK::Cond))
      unsupported(kw, M::kWhatSwitchOnMeasured, M::kWhyLater);
    if (live_ && target.known() && target.k != VK::Int && target.k != VK::Bool)
      fail(at, std::string(M::kSwitchNotInteger));
    expect(Tok::LBrace, M::kWantBlock);
    const bool saved = live_;
    bool open = saved;
    bool matched = false;
    bool seen_default = false;
    while (!accept(Tok::RBrace)) {
      if (tok_.kind == Tok::End) fail(kw, std::string(M::kUnclosedBlock));
      if (is_word("case")) {
        if (seen_default) fail(tok_, std::string(M::kCaseAfterDefault));
        advance();
        bool hit = false;
        do {
          const Token vat = tok_;
          const Value v = expression();
          if (open && target.known() && v.known()) {
            if (v.k != VK::Int && v.k != VK::Bool) fail(vat, std::string(M::kSwitchNotInteger));
            hit = hit || (v.k == VK::Int ? v.i : v.b) == (target.k == VK::Int ? target.i : target.b);
          }
        } while (accept(Tok::Comma));
        live_ = open && hit && !matched;
        matched = matched || hit;
        if (tok_.kind != Tok::LBrace) expected(M::kWantBlock);
        block();
        if (flow_ != Flow::None) open = false;  // a jump out of the switch: the rest is read dry
        live_ = open;
      } else if (is_word("default")) {
        if (seen_default) fail(tok_, std::string(M::kDefaultTwice));
        seen_default = true;
        advance();
        live_ = open && !matched;
        if (tok_.kind != Tok::LBrace) expected(M::kWantBlock);
        block();
        if (flow_ != Flow::None) open = false;
        live_ = open;
      } else {
        expected(M::kWantCase);
      }
    }
    live_ = saved;
  }

  // ---- subroutines ----
  void sub_decl() {
    const Token kw = tok_;
    advance();
    if (scopes_.size() != 1 || cond_depth_ || in_sub_) fail(kw, std::string(M::kDefNotGlobal));
    const Token name = new_name(M::kWantSubName);
    SubDef d;
    d.name = std::string(name.text);
    d.line = name.line;
    d.column = name.column;
    expect(Tok::LParen, M::kWantParameterOpen);
    if (tok_.kind != Tok::RParen) {
      do {
        SubParam p;
        if (is_word("qubit") || is_word("qreg")) {
          const bool old = tok_.text == "qreg";
          advance();
          p.quantum = true;
          if (!old && tok_.kind == Tok::LBracket) p.size = size_designator(M::kWantSize);
          const Token pn = new_name(M::kWantParameterName);
          if (old && tok_.kind == Tok::LBracket) p.size = size_designator(M::kWantSize);
          p.name = std::string(pn.text);
        } else if (is_word("readonly") || is_word("mutable") || is_word("array") || is_word("creg")) {
          unsupported(tok_, M::fill(M::kWhatSubArgument, tok_.text), M::kWhyLater);
        } else {
          const Token tat = tok_;
          const TypeSpec ts = type_spec();
          if (ts.ty == Ty::Bit && ts.bit_size != 1) unsupported(tat, M::fill(M::kWhatSubArgument, "bit[n]"), M::kWhyLater);
          p.ty = ts.ty;
          p.width = ts.width;
          p.name = std::string(new_name(M::kWantParameterName).text);
        }
        for (const SubParam& q : d.params)
          if (q.name == p.name) fail(tok_, M::fill(M::kParameterTwice, p.name));
        d.params.push_back(std::move(p));
      } while (accept(Tok::Comma));
    }
    expect(Tok::RParen, M::kWantParameterClose);
    if (accept(Tok::Arrow)) {
      const TypeSpec ts = type_spec();
      d.returns = true;
      d.ret = ts.ty;
      d.ret_width = ts.width;
    }
    if (tok_.kind != Tok::LBrace) expected(M::kWantBodyOpen);
    d.source = current_source_;
    d.body = lex_->state();
    const auto index = static_cast<std::uint32_t>(subs_.size());
    subs_.push_back(d);
    Symbol s;
    s.kind = SymKind::Sub;
    s.ref = index;
    declare(name, std::move(s));  // declared first: a subroutine may call itself
    // Checked dry once.
    const bool saved = live_;
    live_ = false;
    advance();
    sub_body(subs_[index], nullptr, name);
    live_ = saved;
  }

  struct Argument {
    Value value;
    std::vector<std::uint64_t> qubits;
  };

  // Reads `(args)` after the name and runs the subroutine.
  Value call_sub(const Token& name, const Symbol& sym) {
    const SubDef& d = subs_[sym.ref];
    expect(Tok::LParen, M::kWantArgumentsOpen);
    std::vector<Argument> args;
    if (tok_.kind != Tok::RParen) {
      do {
        const std::size_t i = args.size();
        Argument a;
        if (i < d.params.size() && d.params[i].quantum) {
          const Token at = tok_;
          const bool single = qubit_operand(a.qubits);
          if (live_ && (single != (d.params[i].size == 0) || (!single && a.qubits.size() != d.params[i].size)))
            fail(at, M::fill(M::kSubQubitArgument, d.params[i].name, d.name));
        } else {
          a.value = expression();
        }
        args.push_back(std::move(a));
      } while (accept(Tok::Comma));
    }
    expect(Tok::RParen, M::kWantArgumentsClose);
    if (args.size() != d.params.size())
      fail(name, M::fill(M::kSubArgumentCount, d.name, d.params.size(), args.size()));
    if (!live_) return Value{};
    step(name);
    Lexer body(sources_[d.source]->text, sources_[d.source]->file, d.body);
    Lexer* const outer = lex_;
    const Token after = tok_;
    const std::uint32_t outer_source = current_source_;
    lex_ = &body;
    current_source_ = d.source;
    advance();
    Value result = sub_body(d, &args, name);
    lex_ = outer;
    current_source_ = outer_source;
    tok_ = after;
    return result;
  }

  Value sub_body(const SubDef& d, std::vector<Argument>* args, const Token& at) {
    DepthGuard guard(*this, at);
    const bool saved_in_sub = in_sub_;
    const bool saved_in_loop = in_loop_;
    const std::size_t saved_floor = floor_;
    in_sub_ = true;
    in_loop_ = false;
    Scope scope(*this);
    floor_ = scopes_.size() - 1;
    for (std::size_t i = 0; i < d.params.size(); ++i) {
      const SubParam& p = d.params[i];
      Symbol s;
      if (p.quantum) {
        s.kind = SymKind::QReg;
        s.single = p.size == 0;
        s.size = p.size == 0 ? 1 : p.size;
        if (args) s.map = (*args)[i].qubits;
      } else {
        s.kind = SymKind::Var;
        s.ty = p.ty;
        s.width = p.width;
        s.cond_level = cond_depth_;
        if (args) s.value = convert((*args)[i].value, TypeSpec{p.ty, p.width, p.width != 0, 1}, at);
      }
      scopes_.back().emplace(p.name, std::move(s));
    }
    const Token open = tok_;
    const bool saved_live = live_;
    const Flow saved_flow = flow_;
    flow_ = Flow::None;
    return_value_ = Value{};
    while (tok_.kind != Tok::RBrace) {
      if (tok_.kind == Tok::End) fail(d.line, d.column, M::fill(M::kUnclosedSub, d.name));
      statement();
      if (flow_ != Flow::None) live_ = false;
    }
    advance();
    (void)open;
    live_ = saved_live;
    Value result = std::move(return_value_);
    if (saved_live && args && d.returns && flow_ != Flow::Return) fail(at, M::fill(M::kNoReturn, d.name));
    flow_ = saved_flow;
    floor_ = saved_floor;
    in_sub_ = saved_in_sub;
    in_loop_ = saved_in_loop;
    if (d.returns && result.known())
      result = convert(result, TypeSpec{d.ret, d.ret_width, d.ret_width != 0, 1}, at);
    return result;
  }

  void return_statement() {
    const Token kw = tok_;
    advance();
    if (!in_sub_) fail(kw, std::string(M::kReturnOutsideSub));
    Value v;
    if (tok_.kind != Tok::Semi) {
      if (is_word("measure")) unsupported(tok_, M::kWhatMeasureIntoVariable, M::kWhyLater);
      v = expression();
    }
    expect(Tok::Semi, M::kWantSemi);
    if (!live_) return;
    if (cond_depth_) unsupported(kw, M::kWhatReturnOnMeasured, M::kWhyLater);
    return_value_ = std::move(v);
    flow_ = Flow::Return;
  }

  // ---- timing and calibration: accepted, ignored ----
  void delay() {
    const Token at = tok_;
    advance();
    expect(Tok::LBracket, M::kWantDuration);
    expression();
    expect(Tok::RBracket, M::kWantCloseBracket);
    std::vector<std::uint64_t> qs;
    if (tok_.kind != Tok::Semi) {
      do qubit_operand(qs);
      while (accept(Tok::Comma));
    }
    expect(Tok::Semi, M::kWantSemi);
    warn(at, std::string(M::kDelayIgnored));
  }

  void box() {
    const Token at = tok_;
    advance();
    if (accept(Tok::LBracket)) {
      expression();
      expect(Tok::RBracket, M::kWantCloseBracket);
    }
    warn(at, std::string(M::kBoxIgnored));
    if (tok_.kind != Tok::LBrace) expected(M::kWantBlock);
    block();
  }

  // defcal and cal blocks: their text is pulse-level, skipped to the matching brace.
  void calibration() {
    const Token at = tok_;
    advance();
    while (tok_.kind != Tok::LBrace) {
      if (tok_.kind == Tok::End || tok_.kind == Tok::Semi) expected(M::kWantBlock);
      advance();
    }
    std::uint64_t depth = 0;
    do {
      if (tok_.kind == Tok::End) fail(at, std::string(M::kUnclosedBlock));
      if (tok_.kind == Tok::LBrace) ++depth;
      if (tok_.kind == Tok::RBrace) --depth;
      advance();
    } while (depth > 0);
    warn(at, M::fill(M::kCalibrationIgnored, at.text));
  }

  void calgrammar() {
    const Token at = tok_;
    advance();
    if (tok_.kind != Tok::String) expected(M::kWantGrammar);
    advance();
    expect(Tok::Semi, M::kWantSemi);
    warn(at, M::fill(M::kCalibrationIgnored, at.text));
  }

  // ---- expressions ----
  Value expression() { return binary_level(1); }

  static int precedence(Tok k) {
    switch (k) {
      case Tok::OrOr: return 1;
      case Tok::AndAnd: return 2;
      case Tok::Pipe: return 3;
      case Tok::Caret: return 4;
      case Tok::Amp: return 5;
      case Tok::EqEq:
      case Tok::NotEq: return 6;
      case Tok::Less:
      case Tok::LessEq:
      case Tok::Greater:
      case Tok::GreaterEq: return 7;
      case Tok::Shl:
      case Tok::Shr: return 8;
      case Tok::Plus:
      case Tok::Minus: return 9;
      case Tok::Star:
      case Tok::Slash:
      case Tok::Percent: return 10;
      default: return 0;
    }
  }

  Value binary_level(int min_prec) {
    Value lhs = unary();
    for (;;) {
      const int p = precedence(tok_.kind);
      if (p == 0 || p < min_prec) return lhs;
      const Token op = tok_;
      advance();
      const Value rhs = binary_level(p + 1);
      lhs = binary(op.kind, lhs, rhs, op);
    }
  }

  Value unary() {
    const Token op = tok_;
    if (op.kind == Tok::Minus || op.kind == Tok::Bang || op.kind == Tok::Tilde || op.kind == Tok::Plus) {
      DepthGuard guard(*this, op);
      advance();
      const Value v = unary();
      if (op.kind == Tok::Plus) return v;
      if (op.kind == Tok::Minus) return neg(v, op);
      if (!v.known()) return v;
      if (op.kind == Tok::Bang) {
        if (v.k == VK::Bit) {
          Value c;
          c.k = VK::Cond;
          c.index = v.index;
          c.cond_value = 0;
          return c;
        }
        if (v.k == VK::Cond && !v.on_register) {
          Value c = v;
          c.cond_value = 1 - c.cond_value;
          return c;
        }
        require_number(v, op);
        return Value::of_bool(v.as_double() == 0.0);
      }
      require_number(v, op);
      if (v.k != VK::Int) fail(op, M::fill(M::kOperandNotInteger, op.text));
      return Value::of_int(~v.i);
    }
    return power();
  }

  Value power() {
    Value base = postfix();
    if (tok_.kind != Tok::Power) return base;
    const Token op = tok_;
    advance();
    DepthGuard guard(*this, op);
    const Value e = unary();  // right-associative, and binds tighter than a unary minus on its left
    return binary(Tok::Power, base, e, op);
  }

  Value postfix() {
    Value v = primary();
    while (tok_.kind == Tok::LBracket) {
      const Token at = tok_;
      advance();
      const Value index = expression();
      expect(Tok::RBracket, M::kWantCloseBracket);
      if (!v.known() || !index.known()) {
        v = Value{};
        continue;
      }
      if (v.k == VK::Int) {
        const std::int64_t i = integer_value(index, at);
        if (i < 0 || i > 63) fail(at, M::fill(M::kIndexOutOfRange, i, "integer", 64));
        v = Value::of_int((static_cast<std::uint64_t>(v.i) >> i) & 1);
        continue;
      }
      fail(at, std::string(M::kNotIndexable));
    }
    return v;
  }

  Value primary() {
    const Token t = tok_;
    switch (t.kind) {
      case Tok::Int: {
        advance();
        return Value::of_int(parse_int(t));
      }
      case Tok::Real: {
        advance();
        return Value::of_float(parse_real(t));
      }
      case Tok::Imag: unsupported(t, "complex numbers", M::kWhyComplex);
      case Tok::Duration: {
        advance();
        Value v;
        v.k = VK::Duration;
        return v;
      }
      case Tok::String: {  // a bit string "0101": its integer value
        advance();
        std::uint64_t u = 0;
        std::size_t digits = 0;
        for (char c : t.text) {
          if (c == '_') continue;
          if (c != '0' && c != '1') fail(t, M::fill(M::kBadBitString, t.text));
          if (++digits > 64) fail(t, M::fill(M::kBadBitString, t.text));
          u = (u << 1) | static_cast<std::uint64_t>(c - '0');
        }
        return Value::of_int(static_cast<std::int64_t>(u));
      }
      case Tok::LParen: {
        DepthGuard guard(*this, t);
        advance();
        Value v = expression();
        expect(Tok::RParen, M::kWantCloseParen);
        return v;
      }
      case Tok::Ident: break;
      default: expected(M::kWantExpression);
    }
    const std::string_view w = t.text;
    if (w == "true" || w == "false") {
      advance();
      return Value::of_bool(w == "true");
    }
    if (w == "pi" || w == "\xCF\x80") return advance(), Value::of_float(std::numbers::pi);
    if (w == "tau" || w == "\xCF\x84") return advance(), Value::of_float(2 * std::numbers::pi);
    if (w == "euler" || w == "\xE2\x84\x87") return advance(), Value::of_float(std::numbers::e);
    if (w == "measure") unsupported(t, M::kWhatMeasureInExpression, M::kWhyLater);
    if (const Symbol* s = lookup(w); s != nullptr) {
      advance();
      switch (s->kind) {
        case SymKind::Var: return live_ ? s->value : Value{};
        case SymKind::Input: {
          Value v;
          v.k = VK::Sym;
          v.terms.emplace_back(s->ref, 1.0);
          return v;
        }
        case SymKind::CReg: {
          Value v;
          if (tok_.kind == Tok::LBracket) {
            const Token at = tok_;
            advance();
            const Value index = expression();
            if (tok_.kind == Tok::Colon) unsupported(at, M::kWhatBitSlice, M::kWhyLater);
            expect(Tok::RBracket, M::kWantCloseBracket);
            if (!live_ || !index.known()) return Value{};
            v.k = VK::Bit;
            v.index = d_.cregs[s->ref].offset + element(index, at, t, s->size);
            return v;
          }
          if (!live_) return Value{};
          if (s->single) {
            v.k = VK::Bit;
            v.index = d_.cregs[s->ref].offset;
            return v;
          }
          v.k = VK::Creg;
          v.index = s->ref;
          return v;
        }
        case SymKind::Sub: return call_sub(t, *s);
        case SymKind::QReg: fail(t, M::fill(M::kQubitsInExpression, w));
        case SymKind::Gate: fail(t, M::fill(M::kGateInExpression, w));
      }
    }
    advance();
    if (is_type_word(w) && (tok_.kind == Tok::LParen || tok_.kind == Tok::LBracket)) return cast(t);
    if (tok_.kind == Tok::LParen) return function(t);
    fail(t, M::fill(M::kUndefined, w));
  }

  Value cast(const Token& type_word) {
    TypeSpec ts{Ty::Int};
    const std::string_view w = type_word.text;
    ts.ty = w == "int" ? Ty::Int : w == "uint" ? Ty::Uint : w == "float" ? Ty::Float : w == "angle" ? Ty::Angle
            : w == "bool" ? Ty::Bool : w == "bit" ? Ty::Bit : Ty::Duration;
    if (w == "complex") unsupported(type_word, "complex numbers", M::kWhyComplex);
    if (tok_.kind == Tok::LBracket) {
      const Token at = tok_;
      const std::uint64_t n = size_designator(M::kWantSize);
      if (ts.ty == Ty::Bit) ts.bit_size = n;
      else if (n == 0 || n > 64) fail(at, M::fill(M::kWidth, n));
      else ts.width = static_cast<std::uint32_t>(n);
    }
    expect(Tok::LParen, M::kWantCastOpen);
    const Token at = tok_;
    const Value v = expression();
    expect(Tok::RParen, M::kWantCloseParen);
    if (!v.known()) return v;
    if (v.k == VK::Creg && (ts.ty == Ty::Int || ts.ty == Ty::Uint))
      unsupported(at, M::kWhatMeasuredValue, M::kWhyLater);
    return convert(v, ts, at);
  }

  Value function(const Token& name) {
    const std::string_view w = name.text;
    advance();  // '('
    std::vector<Value> args;
    std::vector<Token> places;
    if (tok_.kind != Tok::RParen) {
      do {
        places.push_back(tok_);
        args.push_back(expression());
      } while (accept(Tok::Comma));
    }
    expect(Tok::RParen, M::kWantCloseParen);
    struct F {
      std::string_view name;
      double (*f)(double);
    };
    static const F kUnary[] = {{"sin", [](double x) { return std::sin(x); }},
                               {"cos", [](double x) { return std::cos(x); }},
                               {"tan", [](double x) { return std::tan(x); }},
                               {"arcsin", [](double x) { return std::asin(x); }},
                               {"arccos", [](double x) { return std::acos(x); }},
                               {"arctan", [](double x) { return std::atan(x); }},
                               {"exp", [](double x) { return std::exp(x); }},
                               {"log", [](double x) { return std::log(x); }},
                               {"sqrt", [](double x) { return std::sqrt(x); }}};
    auto arity = [&](std::size_t n) {
      if (args.size() != n) fail(name, M::fill(M::kFunctionArity, w, n, args.size()));
    };
    for (const F& f : kUnary) {
      if (f.name != w) continue;
      arity(1);
      const Value& x = args[0];
      if (!x.known()) return x;
      if (x.k == VK::Sym) unsupported(places[0], M::fill(M::kWhatFunctionOfInput, w), M::kWhyAffine);
      require_number(x, places[0]);
      const double a = x.as_double();
      if ((w == "arcsin" || w == "arccos") && !(a >= -1.0 && a <= 1.0)) fail(places[0], M::fill(M::kDomain, w, repr(a)));
      if (w == "log" && !(a > 0.0)) fail(places[0], M::fill(M::kDomain, w, repr(a)));
      if (w == "sqrt" && a < 0.0) fail(places[0], M::fill(M::kDomain, w, repr(a)));
      return Value::of_float(f.f(a));
    }
    if (w == "ceil" || w == "floor") {
      arity(1);
      if (!args[0].known()) return args[0];
      if (args[0].k == VK::Sym) unsupported(places[0], M::fill(M::kWhatFunctionOfInput, w), M::kWhyAffine);
      require_number(args[0], places[0]);
      const double a = args[0].as_double();
      return Value::of_float(w == "ceil" ? std::ceil(a) : std::floor(a));
    }
    if (w == "mod") {
      arity(2);
      return binary(Tok::Percent, args[0], args[1], name);
    }
    if (w == "pow") {
      arity(2);
      return binary(Tok::Power, args[0], args[1], name);
    }
    if (w == "popcount") {
      arity(1);
      if (!args[0].known()) return args[0];
      if (args[0].k != VK::Int) fail(places[0], M::fill(M::kOperandNotInteger, w));
      return Value::of_int(std::popcount(static_cast<std::uint64_t>(args[0].i)));
    }
    if (w == "rotl" || w == "rotr") unsupported(name, M::fill(M::kWhatFunction, w), M::kWhyLater);
    fail(name, M::fill(M::kUndefined, w));
  }

  std::int64_t parse_int(const Token& t) {
    std::string digits;
    digits.reserve(t.text.size());
    int base = 10;
    std::string_view text = t.text;
    if (text.size() > 2 && text[0] == '0' && (text[1] | 0x20) != '.' && !(text[1] >= '0' && text[1] <= '9') &&
        text[1] != '_') {
      const char b = static_cast<char>(text[1] | 0x20);
      base = b == 'x' ? 16 : b == 'o' ? 8 : 2;
      text.remove_prefix(2);
    }
    for (char c : text)
      if (c != '_') digits.push_back(c);
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
    if (ec != std::errc() || ptr != digits.data() + digits.size() ||
        v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      fail(t, M::fill(M::kIntegerTooLarge, t.text));
    return static_cast<std::int64_t>(v);
  }

  double parse_real(const Token& t) {
    std::string digits;
    for (char c : t.text)
      if (c != '_') digits.push_back(c);
    double v = 0.0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || !std::isfinite(v))
      fail(t, M::fill(M::kNumberOutOfRange, t.text));
    return v;
  }

  void require_number(const Value& v, const Token& at) {
    if (v.numeric()) return;
    if (v.k == VK::Bit || v.k == VK::Creg || v.k == VK::Cond) unsupported(at, M::kWhatMeasuredValue, M::kWhyLater);
    if (v.k == VK::Sym) unsupported(at, M::fill(M::kWhatOperatorOfInput, at.text), M::kWhyAffine);
    fail(at, M::fill(M::kOperandNotNumber, at.text));
  }

  Value neg(const Value& v, const Token& at) {
    if (!v.known()) return v;
    if (v.k == VK::Sym) {
      Value r = v;
      r.f = -r.f;
      for (auto& term : r.terms) term.second = -term.second;
      return r;
    }
    require_number(v, at);
    if (v.k == VK::Int) {
      if (v.i == std::numeric_limits<std::int64_t>::min()) fail(at, std::string(M::kIntegerOverflow));
      return Value::of_int(-v.i);
    }
    return Value::of_float(-v.as_double());
  }

  static Value sym_of(const Value& v) {
    if (v.k == VK::Sym) return v;
    Value s;
    s.k = VK::Sym;
    s.f = v.as_double();
    return s;
  }

  static Value simplify(Value v) {
    std::erase_if(v.terms, [](const auto& t) { return t.second == 0.0; });
    if (v.terms.empty()) return Value::of_float(v.f);
    return v;
  }

  Value condition_compare(Tok op, const Value& a, const Value& b, const Token& at) {
    const Value& ref = (a.k == VK::Bit || a.k == VK::Creg) ? a : b;
    const Value& other = (&ref == &a) ? b : a;
    if (!other.known()) return Value{};
    if (other.k == VK::Bit || other.k == VK::Creg || other.k == VK::Cond || !other.numeric())
      unsupported(at, M::kWhatComparison, M::kWhyComparison);
    if (other.k == VK::Float && other.f != std::floor(other.f)) return Value::of_bool(op == Tok::NotEq);
    const double x = other.as_double();
    Value c;
    c.k = VK::Cond;
    c.index = ref.index;
    if (ref.k == VK::Bit) {
      if (x != 0.0 && x != 1.0) return Value::of_bool(op == Tok::NotEq);
      c.cond_value = static_cast<std::uint64_t>(x);
      if (op == Tok::NotEq) c.cond_value = 1 - c.cond_value;
      return c;
    }
    if (op == Tok::NotEq) unsupported(at, M::kWhatRegisterNotEqual, M::kWhyComparison);
    const std::uint64_t size = d_.cregs[ref.index].size;
    if (x < 0 || (size < 64 && x >= std::ldexp(1.0, static_cast<int>(size)))) return Value::of_bool(false);
    c.on_register = true;
    c.cond_value = static_cast<std::uint64_t>(x);
    return c;
  }

  Value binary(Tok op, const Value& a, const Value& b, const Token& at) {
    if ((a.k == VK::Bit || a.k == VK::Creg || b.k == VK::Bit || b.k == VK::Creg) &&
        (op == Tok::EqEq || op == Tok::NotEq))
      return condition_compare(op, a, b, at);
    if (!a.known() || !b.known()) return Value{};
    if (a.k == VK::Duration || b.k == VK::Duration) return a.k == VK::Duration ? a : b;
    if (a.k == VK::Sym || b.k == VK::Sym) return symbolic(op, a, b, at);
    require_number(a, at);
    require_number(b, at);
    switch (op) {
      case Tok::AndAnd: return Value::of_bool(a.as_double() != 0.0 && b.as_double() != 0.0);
      case Tok::OrOr: return Value::of_bool(a.as_double() != 0.0 || b.as_double() != 0.0);
      case Tok::EqEq: return Value::of_bool(equal(a, b));
      case Tok::NotEq: return Value::of_bool(!equal(a, b));
      case Tok::Less: return Value::of_bool(less(a, b));
      case Tok::GreaterEq: return Value::of_bool(!less(a, b));
      case Tok::Greater: return Value::of_bool(less(b, a));
      case Tok::LessEq: return Value::of_bool(!less(b, a));
      default: break;
    }
    const bool ints = a.k != VK::Float && b.k != VK::Float;
    if (ints) {
      const std::int64_t x = a.k == VK::Int ? a.i : a.b, y = b.k == VK::Int ? b.i : b.b;
      std::int64_t r = 0;
      switch (op) {
        case Tok::Plus:
          if (__builtin_add_overflow(x, y, &r)) fail(at, std::string(M::kIntegerOverflow));
          return Value::of_int(r);
        case Tok::Minus:
          if (__builtin_sub_overflow(x, y, &r)) fail(at, std::string(M::kIntegerOverflow));
          return Value::of_int(r);
        case Tok::Star:
          if (__builtin_mul_overflow(x, y, &r)) fail(at, std::string(M::kIntegerOverflow));
          return Value::of_int(r);
        case Tok::Slash:
        case Tok::Percent:
          if (y == 0) fail(at, std::string(M::kDivisionByZero));
          if (x == std::numeric_limits<std::int64_t>::min() && y == -1) fail(at, std::string(M::kIntegerOverflow));
          return Value::of_int(op == Tok::Slash ? x / y : x % y);
        case Tok::Power: {
          if (y < 0) return Value::of_float(std::pow(static_cast<double>(x), static_cast<double>(y)));
          std::int64_t acc = 1;
          for (std::int64_t i = 0; i < y; ++i) {
            if (__builtin_mul_overflow(acc, x, &acc)) fail(at, std::string(M::kIntegerOverflow));
            if (acc == 0 || acc == 1) break;
            if (acc == -1) {
              acc = ((y - i - 1) % 2 == 0) ? -1 : 1;
              break;
            }
          }
          return Value::of_int(acc);
        }
        case Tok::Amp: return Value::of_int(x & y);
        case Tok::Pipe: return Value::of_int(x | y);
        case Tok::Caret: return Value::of_int(x ^ y);
        case Tok::Shl:
        case Tok::Shr:
          if (y < 0 || y > 63) fail(at, M::fill(M::kShift, y));
          return Value::of_int(op == Tok::Shl ? static_cast<std::int64_t>(static_cast<std::uint64_t>(x) << y)
                                              : x >> y);
        default: break;
      }
    }
    const double x = a.as_double(), y = b.as_double();
    switch (op) {
      case Tok::Plus: return Value::of_float(x + y);
      case Tok::Minus: return Value::of_float(x - y);
      case Tok::Star: return Value::of_float(x * y);
      case Tok::Slash:
        if (y == 0.0) fail(at, std::string(M::kDivisionByZero));
        return Value::of_float(x / y);
      case Tok::Percent:
        if (y == 0.0) fail(at, std::string(M::kDivisionByZero));
        return Value::of_float(std::fmod(x, y));
      case Tok::Power: return Value::of_float(std::pow(x, y));
      default: fail(at, M::fill(M::kOperandNotInteger, at.text));
    }
  }

  static bool equal(const Value& a, const Value& b) {
    if (a.k == VK::Float || b.k == VK::Float) return a.as_double() == b.as_double();
    return (a.k == VK::Int ? a.i : a.b) == (b.k == VK::Int ? b.i : b.b);
  }
  static bool less(const Value& a, const Value& b) {
    if (a.k == VK::Float || b.k == VK::Float) return a.as_double() < b.as_double();
    return (a.k == VK::Int ? a.i : a.b) < (b.k == VK::Int ? b.i : b.b);
  }

  // Affine arithmetic on input parameters; anything else is refused.
  Value symbolic(Tok op, const Value& a, const Value& b, const Token& at) {
    if (a.k != VK::Sym) require_number(a, at);
    if (b.k != VK::Sym) require_number(b, at);
    switch (op) {
      case Tok::Plus:
      case Tok::Minus: {
        Value r = sym_of(a);
        const Value s = sym_of(b);
        const double sign = op == Tok::Plus ? 1.0 : -1.0;
        r.f = r.f + sign * s.f;
        for (const auto& [input, coeff] : s.terms) {
          auto it = std::find_if(r.terms.begin(), r.terms.end(), [&](const auto& t) { return t.first == input; });
          if (it == r.terms.end()) r.terms.emplace_back(input, sign * coeff);
          else it->second += sign * coeff;
        }
        return simplify(std::move(r));
      }
      case Tok::Star:
      case Tok::Slash: {
        if (b.k == VK::Sym && (op == Tok::Slash || a.k == VK::Sym))
          unsupported(at, M::fill(M::kWhatOperatorOfInput, at.text), M::kWhyAffine);
        Value r = a.k == VK::Sym ? a : b;
        const double factor = (a.k == VK::Sym ? b : a).as_double();
        if (op == Tok::Slash && factor == 0.0) fail(at, std::string(M::kDivisionByZero));
        r.f = op == Tok::Star ? r.f * factor : r.f / factor;
        for (auto& term : r.terms) term.second = op == Tok::Star ? term.second * factor : term.second / factor;
        return simplify(std::move(r));
      }
      default: unsupported(at, M::fill(M::kWhatOperatorOfInput, at.text), M::kWhyAffine);
    }
  }
};

std::unique_ptr<Source> make_source(std::string_view text) {
  auto s = std::make_unique<Source>();
  s->text = text;
  return s;
}

}  // namespace

Description parse(std::string_view source, const ParseOptions& options) {
  Reader reader(options);
  return reader.run(make_source(source));
}

Description parse_file(const std::string& path, ParseOptions options) {
  auto src = std::make_unique<Source>();
  if (const std::string problem = qasm::detail::read_source(path, &src->storage); !problem.empty())
    throw ParseError(path, 0, 0, problem);
  src->text = src->storage;
  src->dir = std::filesystem::path(path).parent_path();
  if (src->dir.empty()) src->dir = ".";
  Reader reader(options);
  return reader.run(std::move(src));
}

}  // namespace vorn::qasm3

// OpenQASM 3 tokens over one source buffer, on demand; token text is a view
// into the buffer. The position can be saved and restored, so that a loop
// or gate body is read again for each iteration or call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::qasm3::detail {

enum class Tok : std::uint8_t {
  End, Ident, Int, Real, Imag, Duration, String, HwQubit, Pragma,
  Semi, Comma, Colon, Dot, At, LParen, RParen, LBracket, RBracket, LBrace, RBrace, Arrow,
  Plus, Minus, Star, Slash, Percent, Power, Caret, Amp, Pipe, Tilde, Bang, AndAnd, OrOr,
  EqEq, NotEq, Less, LessEq, Greater, GreaterEq, Shl, Shr,
  Assign, CompoundAssign,  // CompoundAssign: text is the operator with its '='
};

struct Token {
  Tok kind = Tok::End;
  std::uint32_t line = 1;
  std::uint32_t column = 1;
  std::string_view text;  // String: without the quotes
};

struct LexState {
  const char* p = nullptr;
  const char* line_start = nullptr;
  std::uint32_t line = 1;
};

std::string describe(const Token& t);

class Lexer {
 public:
  Lexer(std::string_view source, const std::string& file);
  Lexer(std::string_view source, const std::string& file, const LexState& at)
      : Lexer(source, file) {
    seek(at);
  }

  Token next();
  // The position just before the next token.
  LexState state() const { return {p_, line_start_, line_}; }
  void seek(const LexState& s) {
    p_ = s.p;
    line_start_ = s.line_start;
    line_ = s.line;
  }
  const std::string& file() const { return file_; }
  // Skips the rest of the current line (an annotation's text).
  void skip_line() {
    while (p_ < end_ && *p_ != '\n') ++p_;
  }
  std::string_view source() const { return {begin_, static_cast<std::size_t>(end_ - begin_)}; }

  [[noreturn]] void fail(std::uint32_t line, std::uint32_t column, std::string message) const;

 private:
  void skip_space_and_comments();
  std::uint32_t column_of(const char* p) const { return static_cast<std::uint32_t>(p - line_start_) + 1; }
  void number(Token& t);

  const char* begin_;
  const char* p_;
  const char* end_;
  const char* line_start_;
  std::uint32_t line_ = 1;
  const std::string& file_;
};

}  // namespace vorn::qasm3::detail

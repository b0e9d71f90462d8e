// Tokens over one whole source buffer, produced on demand: no token list, no
// per-token allocation (token text is a view into the buffer).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::qasm::detail {

enum class Tok : std::uint8_t {
  End, Ident, Int, Real, String,
  Semi, Comma, LParen, RParen, LBracket, RBracket, LBrace, RBrace,
  Arrow, EqEq, Plus, Minus, Star, Slash, Caret,
};

struct Token {
  Tok kind = Tok::End;
  std::uint32_t line = 1;
  std::uint32_t column = 1;
  std::string_view text;  // String: without the quotes
};

// The shortest decimal text that reads back to `value`.
std::string repr(double value);

// How a token is named in "expected X, found Y" messages.
std::string describe(const Token& t);

class Lexer {
 public:
  // file names the source in errors (empty: the program text). Each
  // global-phase comment adds its value to *phase.
  Lexer(std::string_view source, const std::string& file, double* phase);

  Token next();
  const std::string& file() const { return file_; }

  [[noreturn]] void fail(std::uint32_t line, std::uint32_t column, std::string message) const;

 private:
  void skip_space_and_comments();
  void line_comment();
  std::uint32_t column_of(const char* p) const {
    return static_cast<std::uint32_t>(p - line_start_) + 1;
  }

  const char* p_;
  const char* end_;
  const char* line_start_;
  std::uint32_t line_ = 1;
  const std::string& file_;
  double* phase_;
};

}  // namespace vorn::qasm::detail

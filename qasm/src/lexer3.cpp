#include "lexer3.hpp"

#include <cstdio>

#include "vorn/qasm/qasm3.hpp"
#include "vorn/qasm/qasm3_messages.hpp"

namespace vorn::qasm3::detail {

namespace {
// Identifiers may hold any non-ASCII UTF-8 byte (θ, π): the language takes
// Unicode letters, and Qiskit writes parameter names such as θ.
bool is_ident_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string printable(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7f) return messages::fill(messages::kQuotedToken, std::string_view(&c, 1));
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02x", u);
  return messages::fill(messages::kByteToken, buf);
}

constexpr std::string_view kUnits[] = {"ns", "us", "\xC2\xB5s", "ms", "s", "dt"};
}  // namespace

std::string describe(const Token& t) {
  switch (t.kind) {
    case Tok::End: return std::string(messages::kEndOfInput);
    case Tok::Int:
    case Tok::Real:
    case Tok::Imag:
    case Tok::Duration: return messages::fill(messages::kNumberToken, t.text);
    case Tok::String: return messages::fill(messages::kStringToken, t.text);
    default: return messages::fill(messages::kQuotedToken, t.text);
  }
}

Lexer::Lexer(std::string_view source, const std::string& file)
    : begin_(source.data()), p_(source.data()), end_(source.data() + source.size()), line_start_(source.data()),
      file_(file) {
  if (source.starts_with("\xEF\xBB\xBF")) line_start_ = p_ += 3;  // byte-order mark; columns count after it
}

void Lexer::fail(std::uint32_t line, std::uint32_t column, std::string message) const {
  throw ParseError(file_, line, column, std::move(message));
}

void Lexer::skip_space_and_comments() {
  while (p_ < end_) {
    const char c = *p_;
    if (c == '\n') {
      ++p_;
      ++line_;
      line_start_ = p_;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++p_;
    } else if (c == '/' && p_ + 1 < end_ && p_[1] == '/') {
      while (p_ < end_ && *p_ != '\n') ++p_;
    } else if (c == '/' && p_ + 1 < end_ && p_[1] == '*') {
      const std::uint32_t line = line_, column = column_of(p_);
      p_ += 2;
      for (;;) {
        if (p_ >= end_) fail(line, column, std::string(messages::kUnterminatedComment));
        if (*p_ == '*' && p_ + 1 < end_ && p_[1] == '/') {
          p_ += 2;
          break;
        }
        if (*p_ == '\n') {
          ++line_;
          line_start_ = p_ + 1;
        }
        ++p_;
      }
    } else {
      return;
    }
  }
}

// Decimal, hexadecimal (0x), octal (0o) and binary (0b) integers with '_'
// separators; reals with a point or an exponent; a suffix 'im' (imaginary)
// or a time unit makes an Imag or Duration token.
void Lexer::number(Token& t) {
  const char* start = p_;
  bool real = false;
  if (*p_ == '0' && p_ + 1 < end_ && (p_[1] == 'x' || p_[1] == 'X' || p_[1] == 'o' || p_[1] == 'O' ||
                                        p_[1] == 'b' || p_[1] == 'B')) {
    const char base = static_cast<char>(p_[1] | 0x20);
    p_ += 2;
    const char* digits = p_;
    while (p_ < end_ && (is_hex(*p_) || *p_ == '_')) ++p_;
    if (p_ == digits) fail(t.line, t.column, messages::fill(messages::kMalformedNumber, std::string_view(start, p_ - start)));
    for (const char* q = digits; q < p_; ++q) {
      const bool ok = *q == '_' || (base == 'x' ? is_hex(*q) : base == 'o' ? (*q >= '0' && *q <= '7')
                                                                            : (*q == '0' || *q == '1'));
      if (!ok) fail(t.line, t.column, messages::fill(messages::kMalformedNumber, std::string_view(start, p_ - start)));
    }
    t.kind = Tok::Int;
  } else {
    while (p_ < end_ && (is_digit(*p_) || *p_ == '_')) ++p_;
    if (p_ < end_ && *p_ == '.') {
      real = true;
      ++p_;
      while (p_ < end_ && (is_digit(*p_) || *p_ == '_')) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      const char* q = p_ + 1;
      if (q < end_ && (*q == '+' || *q == '-')) ++q;
      if (q >= end_ || !is_digit(*q)) fail(t.line, t.column, std::string(messages::kExponentWithoutDigits));
      while (q < end_ && is_digit(*q)) ++q;
      p_ = q;
      real = true;
    }
    t.kind = real ? Tok::Real : Tok::Int;
  }
  const char* number_end = p_;
  // Suffixes, possibly after spaces in the language; read here only when adjacent.
  auto suffix = [&](std::string_view s) {
    return static_cast<std::size_t>(end_ - p_) >= s.size() && std::string_view(p_, s.size()) == s &&
           (p_ + s.size() == end_ || !is_ident_char(p_[s.size()]));
  };
  if (suffix("im")) {
    p_ += 2;
    t.kind = Tok::Imag;
  } else {
    for (std::string_view unit : kUnits) {
      if (suffix(unit)) {
        p_ += unit.size();
        t.kind = Tok::Duration;
        break;
      }
    }
  }
  if (p_ < end_ && is_ident_char(*p_))
    fail(t.line, t.column, messages::fill(messages::kMalformedNumber, std::string_view(start, p_ + 1 - start)));
  t.text = std::string_view(start, static_cast<std::size_t>((t.kind == Tok::Int || t.kind == Tok::Real ? number_end : p_) - start));
}

Token Lexer::next() {
  skip_space_and_comments();
  Token t;
  t.line = line_;
  t.column = column_of(p_);
  if (p_ >= end_) {
    t.kind = Tok::End;
    return t;
  }
  const char* start = p_;
  const char c = *p_;
  if (is_ident_start(c)) {
    ++p_;
    while (p_ < end_ && is_ident_char(*p_)) ++p_;
    t.kind = Tok::Ident;
  } else if (is_digit(c) || (c == '.' && p_ + 1 < end_ && is_digit(p_[1]))) {
    number(t);
    return t;
  } else if (c == '"' || c == '\'') {
    ++p_;
    while (p_ < end_ && *p_ != c && *p_ != '\n') ++p_;
    if (p_ >= end_ || *p_ != c) fail(t.line, t.column, std::string(messages::kUnterminatedString));
    t.kind = Tok::String;
    t.text = std::string_view(start + 1, static_cast<std::size_t>(p_ - start - 1));
    ++p_;
    return t;
  } else if (c == '$') {
    ++p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    if (p_ == start + 1) fail(t.line, t.column, std::string(messages::kDollarWithoutDigits));
    t.kind = Tok::HwQubit;
  } else if (c == '#' && static_cast<std::size_t>(end_ - p_) >= 7 && std::string_view(p_, 7) == "#pragma") {
    while (p_ < end_ && *p_ != '\n') ++p_;
    t.kind = Tok::Pragma;
  } else {
    ++p_;
    switch (c) {
      case ';': t.kind = Tok::Semi; break;
      case ',': t.kind = Tok::Comma; break;
      case ':': t.kind = Tok::Colon; break;
      case '.': t.kind = Tok::Dot; break;
      case '@': t.kind = Tok::At; break;
      case '(': t.kind = Tok::LParen; break;
      case ')': t.kind = Tok::RParen; break;
      case '[': t.kind = Tok::LBracket; break;
      case ']': t.kind = Tok::RBracket; break;
      case '{': t.kind = Tok::LBrace; break;
      case '}': t.kind = Tok::RBrace; break;
      case '~': t.kind = Tok::Tilde; break;
      case '+': t.kind = Tok::Plus; break;
      case '-': t.kind = Tok::Minus; break;
      case '*': t.kind = Tok::Star; break;
      case '/': t.kind = Tok::Slash; break;
      case '%': t.kind = Tok::Percent; break;
      case '^': t.kind = Tok::Caret; break;
      case '&': t.kind = Tok::Amp; break;
      case '|': t.kind = Tok::Pipe; break;
      case '!': t.kind = Tok::Bang; break;
      case '=': t.kind = Tok::Assign; break;
      case '<': t.kind = Tok::Less; break;
      case '>': t.kind = Tok::Greater; break;
      default: fail(t.line, t.column, messages::fill(messages::kUnexpectedCharacter, printable(c)));
    }
    // Two- and three-character operators.
    const char n = p_ < end_ ? *p_ : '\0';
    switch (t.kind) {
      case Tok::Minus:
        if (n == '>') { ++p_; t.kind = Tok::Arrow; }
        break;
      case Tok::Star:
        if (n == '*') { ++p_; t.kind = Tok::Power; }
        break;
      case Tok::Amp:
        if (n == '&') { ++p_; t.kind = Tok::AndAnd; }
        break;
      case Tok::Pipe:
        if (n == '|') { ++p_; t.kind = Tok::OrOr; }
        break;
      case Tok::Assign:
        if (n == '=') { ++p_; t.kind = Tok::EqEq; }
        break;
      case Tok::Bang:
        if (n == '=') { ++p_; t.kind = Tok::NotEq; }
        break;
      case Tok::Less:
        if (n == '<') { ++p_; t.kind = Tok::Shl; } else if (n == '=') { ++p_; t.kind = Tok::LessEq; }
        break;
      case Tok::Greater:
        if (n == '>') { ++p_; t.kind = Tok::Shr; } else if (n == '=') { ++p_; t.kind = Tok::GreaterEq; }
        break;
      default: break;
    }
    // Compound assignment: an arithmetic or bitwise operator followed by '='.
    const bool can_compound = t.kind == Tok::Plus || t.kind == Tok::Minus || t.kind == Tok::Star ||
                              t.kind == Tok::Slash || t.kind == Tok::Percent || t.kind == Tok::Power ||
                              t.kind == Tok::Caret || t.kind == Tok::Amp || t.kind == Tok::Pipe ||
                              t.kind == Tok::Tilde || t.kind == Tok::Shl || t.kind == Tok::Shr;
    if (can_compound && p_ < end_ && *p_ == '=') {
      ++p_;
      t.kind = Tok::CompoundAssign;
    }
  }
  t.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
  return t;
}

}  // namespace vorn::qasm3::detail

#include "lexer.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "vorn/qasm/messages.hpp"
#include "vorn/qasm/qasm2.hpp"

namespace vorn::qasm {

namespace {
std::string format_what(const std::string& file, std::uint32_t line, std::uint32_t column,
                         const std::string& message) {
  // Line 0: not tied to a place in the text (I/O).
  const std::string placed = line == 0 ? message : messages::fill(messages::kAtPlace, line, column, message);
  return file.empty() ? placed : messages::fill(messages::kInFile, file, placed);
}
}  // namespace

ParseError::ParseError(std::string file, std::uint32_t line, std::uint32_t column, std::string message)
    : file_(std::move(file)), line_(line), column_(column), message_(std::move(message)),
      what_(format_what(file_, line_, column_, message_)) {}

namespace detail {

namespace {
bool is_ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string printable(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7f) return messages::fill(messages::kQuotedToken, std::string_view(&c, 1));
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02x", u);
  return messages::fill(messages::kByteToken, buf);
}
}  // namespace

std::string repr(double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, ec == std::errc() ? end : buf);
}

std::string describe(const Token& t) {
  if (t.kind == Tok::End) return std::string(messages::kEndOfInput);
  if (t.kind == Tok::Int || t.kind == Tok::Real) return messages::fill(messages::kNumberToken, t.text);
  if (t.kind == Tok::String) return messages::fill(messages::kStringToken, t.text);
  return messages::fill(messages::kQuotedToken, t.text);
}

Lexer::Lexer(std::string_view source, const std::string& file, double* phase)
    : p_(source.data()), end_(source.data() + source.size()), line_start_(source.data()),
      file_(file), phase_(phase) {
  if (source.starts_with("\xEF\xBB\xBF")) line_start_ = p_ += 3;  // UTF-8 byte-order mark; columns count after it
}

void Lexer::fail(std::uint32_t line, std::uint32_t column, std::string message) const {
  throw ParseError(file_, line, column, std::move(message));
}

// A `//` comment; p_ is at the first slash. Reads the global-phase marker.
void Lexer::line_comment() {
  const char* start = p_;
  while (p_ < end_ && *p_ != '\n') ++p_;
  const std::string_view text(start, static_cast<std::size_t>(p_ - start));
  if (!text.starts_with(kGlobalPhaseComment)) return;
  const char* first = start + kGlobalPhaseComment.size();
  const char* last = p_;
  while (last > first && (last[-1] == ' ' || last[-1] == '\t' || last[-1] == '\r')) --last;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || first == last || !std::isfinite(value))
    fail(line_, column_of(first), messages::fill(messages::kBadPhaseComment, kGlobalPhaseComment));
  // Each comment is finite; their sum must be too (two of 1e308 are not).
  if (!std::isfinite(*phase_ + value))
    fail(line_, column_of(first),
         messages::fill(messages::kPhaseSumNotFinite, detail::repr(*phase_), std::string_view(first, last - first)));
  *phase_ += value;
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
      line_comment();
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
    bool real = false;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    if (p_ < end_ && *p_ == '.') {
      real = true;
      ++p_;
      while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      const char* q = p_ + 1;
      if (q < end_ && (*q == '+' || *q == '-')) ++q;
      if (q >= end_ || !is_digit(*q))
        fail(line_, column_of(start), std::string(messages::kExponentWithoutDigits));
      while (q < end_ && is_digit(*q)) ++q;
      p_ = q;
      real = true;
    }
    t.kind = real ? Tok::Real : Tok::Int;
  } else if (c == '"') {
    ++p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\n') ++p_;
    if (p_ >= end_ || *p_ != '"') fail(t.line, t.column, std::string(messages::kUnterminatedString));
    t.kind = Tok::String;
    t.text = std::string_view(start + 1, static_cast<std::size_t>(p_ - start - 1));
    ++p_;
    return t;
  } else {
    ++p_;
    switch (c) {
      case ';': t.kind = Tok::Semi; break;
      case ',': t.kind = Tok::Comma; break;
      case '(': t.kind = Tok::LParen; break;
      case ')': t.kind = Tok::RParen; break;
      case '[': t.kind = Tok::LBracket; break;
      case ']': t.kind = Tok::RBracket; break;
      case '{': t.kind = Tok::LBrace; break;
      case '}': t.kind = Tok::RBrace; break;
      case '+': t.kind = Tok::Plus; break;
      case '*': t.kind = Tok::Star; break;
      case '/': t.kind = Tok::Slash; break;
      case '^': t.kind = Tok::Caret; break;
      case '-':
        if (p_ < end_ && *p_ == '>') {
          ++p_;
          t.kind = Tok::Arrow;
        } else {
          t.kind = Tok::Minus;
        }
        break;
      case '=':
        if (p_ < end_ && *p_ == '=') {
          ++p_;
          t.kind = Tok::EqEq;
          break;
        }
        fail(t.line, t.column, std::string(messages::kLoneEquals));
      default:
        fail(t.line, t.column, messages::fill(messages::kUnexpectedCharacter, printable(c)));
    }
  }
  t.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
  return t;
}

}  // namespace detail
}  // namespace vorn::qasm

// The lexer of form files: identifiers, integers (decimal or '$' hex, with a
// sign), strings ('quoted' and #NNN parts) and the punctuation ':', '=', '+'.
#include <limits>

#include "StreamingDetail.h"
#include "Utf8.h"

namespace rtl::detail {
namespace {

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) {
  return IsIdentStart(c) || (c >= '0' && c <= '9');
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {
    // A byte order mark that some editors put in front of UTF-8 text.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  Token Next() {
    SkipSpace();
    Token token;
    token.line = line_;
    token.column = column_;
    if (pos_ >= text_.size()) return token;
    const char c = text_[pos_];
    if (IsIdentStart(c)) {
      token.kind = Tok::Ident;
      while (pos_ < text_.size() && IsIdentChar(text_[pos_])) {
        token.text.push_back(static_cast<char16_t>(text_[pos_]));
        Advance();
      }
    } else if (c == '\'' || c == '#') {
      token.kind = Tok::String;
      token.text = ReadString();
    } else if ((c >= '0' && c <= '9') || c == '$' || c == '-' || c == '+') {
      if (c == '+' && !StartsNumber(pos_ + 1)) {
        Advance();
        token.kind = Tok::Plus;
      } else {
        token.kind = Tok::Integer;
        token.integer = ReadInteger(token);
      }
    } else if (c == ':') {
      Advance();
      token.kind = Tok::Colon;
    } else if (c == '=') {
      Advance();
      token.kind = Tok::Equals;
    } else {
      const unsigned char u = static_cast<unsigned char>(c);
      std::string shown =
          (u >= 33 && u < 127) ? std::string("'") + c + "'" : "byte " + std::to_string(u);
      throw EReadError(line_, column_, "unexpected character " + shown);
    }
    return token;
  }

 private:
  void Advance() {
    const unsigned char u = static_cast<unsigned char>(text_[pos_++]);
    if (u == '\n') {
      ++line_;
      column_ = 1;
    } else if ((u & 0xC0) != 0x80) {
      ++column_;  // columns count characters, not the bytes of a UTF-8 sequence
    }
  }

  void SkipSpace() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      Advance();
    }
  }

  bool StartsNumber(size_t at) const {
    return at < text_.size() && ((text_[at] >= '0' && text_[at] <= '9') || text_[at] == '$');
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Digits (decimal, or hexadecimal after '$') into a magnitude, up to `limit`.
  std::uint64_t ReadDigits(int line, int column, std::uint64_t limit) {
    int base = 10;
    if (pos_ < text_.size() && text_[pos_] == '$') {
      base = 16;
      Advance();
    }
    std::uint64_t value = 0;
    int digits = 0;
    while (pos_ < text_.size()) {
      const int d = HexDigit(text_[pos_]);
      if (d < 0 || d >= base) break;
      if (value > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) {
        throw EReadError(line, column, "number out of range");
      }
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
      ++digits;
      Advance();
    }
    if (digits == 0) throw EReadError(line_, column_, "digit expected");
    if (pos_ < text_.size() && IsIdentChar(text_[pos_])) {
      throw EReadError(line_, column_, "invalid character in number");
    }
    return value;
  }

  std::int64_t ReadInteger(const Token& at) {
    bool negative = false;
    if (text_[pos_] == '-' || text_[pos_] == '+') {
      negative = text_[pos_] == '-';
      Advance();
    }
    const std::uint64_t maxMagnitude =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1u : 0u);
    const std::uint64_t magnitude = ReadDigits(at.line, at.column, maxMagnitude);
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
  }

  // One UTF-8 sequence of a quoted part, appended as UTF-16.
  void ReadUtf8Char(String& out) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text_.data());
    const auto* p = begin + pos_;
    const std::optional<char32_t> cp = DecodeUtf8(p, begin + text_.size());
    if (!cp) throw EReadError(line_, column_, "invalid UTF-8 in string");
    while (begin + pos_ < p) Advance();
    AppendCodePoint(out, *cp);
  }

  // Quoted parts and #NNN parts written next to each other.
  String ReadString() {
    String value;
    while (pos_ < text_.size() && (text_[pos_] == '\'' || text_[pos_] == '#')) {
      if (text_[pos_] == '#') {
        const int line = line_, column = column_;
        Advance();
        const std::uint64_t code = ReadDigits(line, column, 0xFFFFFFFFu);
        if (code > 0xFFFF) throw EReadError(line, column, "character code above 65535");
        value.push_back(static_cast<char16_t>(code));
        continue;
      }
      const int line = line_, column = column_;
      Advance();  // opening quote
      for (;;) {
        if (pos_ >= text_.size() || text_[pos_] == '\n' || text_[pos_] == '\r') {
          throw EReadError(line, column, "unterminated string");
        }
        const char c = text_[pos_];
        if (c == '\'') {
          Advance();
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            value.push_back(u'\'');
            Advance();
            continue;
          }
          break;
        }
        if (static_cast<unsigned char>(c) < 0x80) {
          value.push_back(static_cast<char16_t>(c));
          Advance();
        } else {
          ReadUtf8Char(value);
        }
      }
    }
    return value;
  }

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
};

}  // namespace

bool IsIdentifier(const String& s) {
  if (s.empty() || s[0] > 127 || !IsIdentStart(static_cast<char>(s[0]))) return false;
  for (char16_t c : s) {
    if (c > 127 || !IsIdentChar(static_cast<char>(c))) return false;
  }
  return true;
}

const char* Describe(Tok kind) {
  switch (kind) {
    case Tok::Ident:
      return "an identifier";
    case Tok::Integer:
      return "an integer";
    case Tok::String:
      return "a string";
    case Tok::Colon:
      return "':'";
    case Tok::Equals:
      return "'='";
    case Tok::Plus:
      return "'+'";
    case Tok::Eof:
      return "the end of the file";
  }
  return "a token";
}

TokenSource Tokens(std::string_view text) {
  return [lexer = Lexer(text)]() mutable { return lexer.Next(); };
}

}  // namespace rtl::detail

// Text functions and UTF-8 conversion.
#include "rtl/System.h"

#include <algorithm>

#include "Utf8.h"

namespace rtl {

String IntToStr(std::int64_t Value) {
  // Work on the magnitude as unsigned so that INT64_MIN has no overflow.
  std::uint64_t magnitude =
      Value < 0 ? ~static_cast<std::uint64_t>(Value) + 1 : static_cast<std::uint64_t>(Value);
  char16_t digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  String result;
  result.reserve(static_cast<size_t>(n) + 1);
  if (Value < 0) result.push_back(u'-');
  while (n > 0) result.push_back(digits[--n]);
  return result;
}

String IntToHex(std::uint64_t Value, int Digits) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  constexpr int kMaxHexDigits = 32;  // a bound on the padding asked for
  const int width = std::clamp(Digits, 1, kMaxHexDigits);
  String result;
  do {
    result.push_back(kHex[Value & 0xF]);
    Value >>= 4;
  } while (Value != 0);
  if (static_cast<int>(result.size()) < width) result.resize(static_cast<size_t>(width), u'0');
  std::reverse(result.begin(), result.end());
  return result;
}

String Trim(const String& S) {
  size_t first = 0;
  size_t last = S.size();
  while (first < last && S[first] <= u' ') ++first;
  while (last > first && S[last - 1] <= u' ') --last;
  return S.substr(first, last - first);
}

String LowerCase(const String& S) {
  String result = S;
  for (char16_t& c : result) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return result;
}

namespace {

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

namespace detail {

void AppendCodePoint(String& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// The lead byte fixes how many continuation bytes follow and the allowed
// range of the first one, which rules out overlong forms, surrogates and
// code points above U+10FFFF. Every read is checked against the end first.
std::optional<char32_t> DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  int more;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
  } else {
    return std::nullopt;  // a stray continuation byte or an invalid lead
  }
  for (int i = 0; i < more; ++i) {
    if (p == end || *p < low || *p > high) return std::nullopt;
    cp = (cp << 6) | (*p++ & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return cp;
}

}  // namespace detail

// Each maximal part of an ill-formed sequence becomes one U+FFFD (the
// practice Unicode recommends).
String Utf8ToString(std::string_view Bytes) {
  String out;
  out.reserve(Bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(Bytes.data());
  const auto* end = p + Bytes.size();
  while (p < end) detail::AppendCodePoint(out, detail::DecodeUtf8(p, end).value_or(kReplacement));
  return out;
}

std::string StringToUtf8(const String& S) {
  std::string out;
  out.reserve(S.size());
  for (size_t i = 0; i < S.size(); ++i) {
    char32_t cp = S[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < S.size() && S[i + 1] >= 0xDC00 &&
        S[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (S[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace rtl

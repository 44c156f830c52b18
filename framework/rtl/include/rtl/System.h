// Text and strings of the framework: UTF-16 text, 8-bit byte strings, and the
// text functions with the framework's semantics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rtl {

// The framework's text: UTF-16 code units.
using String = std::u16string;
// A byte string: 8-bit, length-counted, may hold zero bytes, never converted.
using RawByteString = std::string;

// The text functions below are pure and safe from any thread.

// Signed decimal, no leading zeros, no grouping.
String IntToStr(std::int64_t Value);
// Upper-case hexadecimal, padded with zeros to at least Digits digits (at
// least one digit; Digits above 32 count as 32).
String IntToHex(std::uint64_t Value, int Digits);
// Removes leading and trailing characters whose code is 32 or less.
String Trim(const String& S);
// Maps the letters A to Z to a to z; every other character is left alone.
String LowerCase(const String& S);

// Decodes UTF-8; each invalid or truncated sequence becomes U+FFFD (one per
// maximal ill-formed part: overlong forms, surrogates, code points above
// U+10FFFF, stray continuation bytes). Never reads past Bytes.
String Utf8ToString(std::string_view Bytes);
// Encodes as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string StringToUtf8(const String& S);

// Decodes 8-bit text in the system's ANSI encoding, as a bridge's device
// names come: UTF-8 on Linux (as Utf8ToString), the active code page (CP_ACP)
// on Windows, where a byte without a character becomes the code page's
// default. Never reads past Bytes.
String AnsiToString(std::string_view Bytes);

}  // namespace rtl

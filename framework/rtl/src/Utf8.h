// UTF-8 decoding, shared by the text functions (System.cpp) and the form
// lexer (streaming/Lexer.cpp), which refuses what the former replaces.
#pragma once

#include <optional>

#include "rtl/System.h"

namespace rtl::detail {

// Decodes the sequence at `p` (before `end`) and moves `p` past it. An
// ill-formed sequence gives nullopt, with `p` past the lead byte and the
// continuation bytes that fit (the offending byte starts the next sequence).
// Overlong forms, surrogates and code points above U+10FFFF are ill-formed.
std::optional<char32_t> DecodeUtf8(const unsigned char*& p, const unsigned char* end);
// Appends a code point as UTF-16: a surrogate pair above U+FFFF.
void AppendCodePoint(String& out, char32_t cp);

}  // namespace rtl::detail

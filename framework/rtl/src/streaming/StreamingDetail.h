// What the parts of form streaming share. Reading goes from the text through
// the Lexer (Lexer.cpp) and ParseForm (Parser.cpp) to a tree of objects, which
// PlanForm (Planner.cpp) checks against the class infos; only then does
// BuildForm (Builder.cpp) create the components, so that a bad file creates
// nothing. Reader.cpp runs these steps; Writer.cpp writes components back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Streaming.h"

namespace rtl::detail {

inline std::string U8(const String& s) {
  return StringToUtf8(s);
}

// Whether a name can be written as an identifier: ASCII letters, digits
// and '_', not starting with a digit.
bool IsIdentifier(const String& s);

enum class Tok { Ident, Integer, String, Colon, Equals, Plus, Eof };

struct Token {
  Tok kind = Tok::Eof;
  String text;  // identifier or string value
  std::int64_t integer = 0;
  int line = 1;
  int column = 1;
};

// How an error message names a kind of token.
const char* Describe(Tok kind);

// The tokens of a form file: each call gives the next one (Tok::Eof at the
// end); throws EReadError.
using TokenSource = std::function<Token()>;
TokenSource Tokens(std::string_view text);

struct FormProperty {
  String name;
  Token value;
  int line = 0, column = 0;
};

struct FormObject {
  String name;
  String className;
  int line = 0, column = 0;
  std::vector<FormProperty> properties;
  std::vector<FormObject> children;
};

// The tree of a form file, objects nested at most `maxDepth` levels deep;
// throws EReadError.
FormObject ParseForm(std::string_view text, int maxDepth);

struct PlannedProperty {
  const TPropInfo* info = nullptr;
  TPropValue value;
  const THandlerInfo* handler = nullptr;  // bound to the root when assigned
  int line = 0, column = 0;
};

struct PlannedObject {
  const TClassInfo* info = nullptr;
  String name;
  int line = 0, column = 0;
  std::vector<PlannedProperty> properties;
  std::vector<PlannedObject> children;
};

// `info`, the class found for `object`, checked that the reader can create
// it; throws EReadError.
const TClassInfo& CreatableClass(const TClassInfo* info, const FormObject& object);

// The tree checked against the class infos (rootInfo for its root object),
// each value converted to its property's type and each handler found;
// throws EReadError.
PlannedObject PlanForm(const FormObject& tree, const TClassInfo& rootInfo,
                       const TReadOptions& options);

// Creates and fills the components of a plan into `root` (which the plan's
// root describes), then calls Loaded on each in reading order. On failure
// destroys what it created (`root` too when rootCreatedHere) and throws
// EReadError.
void BuildForm(const PlannedObject& plan, TComponent& root, bool rootCreatedHere);

}  // namespace rtl::detail

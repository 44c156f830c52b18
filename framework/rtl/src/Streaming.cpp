// Form files: a lexer and parser that build a tree of objects, a check of
// that tree against the class infos, and only then the creation of the
// components, so that a bad file creates nothing.
#include "rtl/Streaming.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace rtl {

EReadError::EReadError(int line, int column, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                         ": " + reason),
      line_(line),
      column_(column),
      reason_(reason) {}

namespace {

std::string U8(const String& s) {
  return StringToUtf8(s);
}

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) {
  return IsIdentStart(c) || (c >= '0' && c <= '9');
}

bool IsIdentifier(const String& s) {
  if (s.empty() || s[0] > 127 || !IsIdentStart(static_cast<char>(s[0]))) return false;
  for (char16_t c : s) {
    if (c > 127 || !IsIdentChar(static_cast<char>(c))) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Lexer

enum class Tok { Ident, Integer, String, Colon, Equals, Plus, Eof };

struct Token {
  Tok kind = Tok::Eof;
  String text;  // identifier or string value
  std::int64_t integer = 0;
  int line = 1;
  int column = 1;
};

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
      const int d = base == 16
                        ? HexDigit(text_[pos_])
                        : (text_[pos_] >= '0' && text_[pos_] <= '9' ? text_[pos_] - '0' : -1);
      if (d < 0) break;
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
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text_[i]); };
    const unsigned char lead = byte(pos_);
    int length = 0;
    std::uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07u;
    }
    bool valid = length > 0 && pos_ + static_cast<size_t>(length) <= text_.size();
    for (int i = 1; valid && i < length; ++i) {
      const unsigned char b = byte(pos_ + static_cast<size_t>(i));
      valid = (b & 0xC0) == 0x80;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && cp >= minimum[length] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!valid) throw EReadError(line_, column_, "invalid UTF-8 in string");
    for (int i = 0; i < length; ++i) Advance();
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
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

// ---------------------------------------------------------------------------
// Parser: text -> tree

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

class Parser {
 public:
  Parser(std::string_view text, int maxDepth) : lexer_(text), maxDepth_(maxDepth) { Take(); }

  FormObject ParseForm() {
    FormObject root = ParseObject(1);
    if (current_.kind != Tok::Eof) Fail(current_, "end of file expected after the last 'end'");
    return root;
  }

 private:
  void Take() { current_ = lexer_.Next(); }

  [[noreturn]] static void Fail(const Token& at, const std::string& reason) {
    throw EReadError(at.line, at.column, reason);
  }

  [[noreturn]] void Unexpected(const std::string& expected) {
    if (current_.kind == Tok::Eof)
      Fail(current_, "unexpected end of file, " + expected + " expected");
    std::string found = Describe(current_.kind);
    if (current_.kind == Tok::Ident) found = "'" + U8(current_.text) + "'";
    Fail(current_, expected + " expected, found " + found);
  }

  bool IsKeyword(const char16_t* word) const {
    return current_.kind == Tok::Ident && SameIdent(current_.text, word);
  }

  String TakeIdent(const std::string& what) {
    if (current_.kind != Tok::Ident) Unexpected(what);
    String text = current_.text;
    Take();
    return text;
  }

  FormObject ParseObject(int depth) {
    if (!IsKeyword(u"object")) Unexpected("'object'");
    if (depth > maxDepth_) {
      Fail(current_, "objects nested deeper than " + std::to_string(maxDepth_) + " levels");
    }
    FormObject object;
    object.line = current_.line;
    object.column = current_.column;
    Take();
    String first = TakeIdent("a component name or class name");
    if (current_.kind == Tok::Colon) {
      Take();
      object.name = std::move(first);
      object.className = TakeIdent("a class name");
    } else {
      object.className = std::move(first);
    }
    // Properties first, then owned objects, then 'end'.
    while (current_.kind == Tok::Ident && !IsKeyword(u"object") && !IsKeyword(u"end")) {
      FormProperty property;
      property.line = current_.line;
      property.column = current_.column;
      property.name = current_.text;
      Take();
      if (current_.kind != Tok::Equals) Unexpected("'='");
      Take();
      property.value = ParseValue();
      object.properties.push_back(std::move(property));
    }
    while (IsKeyword(u"object")) object.children.push_back(ParseObject(depth + 1));
    if (!IsKeyword(u"end")) {
      if (current_.kind == Tok::Eof) {
        Fail(current_, "unexpected end of file, 'end' of object '" +
                           U8(object.name.empty() ? object.className : object.name) + "' (line " +
                           std::to_string(object.line) + ") expected");
      }
      Unexpected(object.children.empty() ? "a property, 'object' or 'end'" : "'object' or 'end'");
    }
    Take();
    return object;
  }

  Token ParseValue() {
    if (current_.kind == Tok::Ident || current_.kind == Tok::Integer) {
      Token value = current_;
      Take();
      return value;
    }
    if (current_.kind != Tok::String) Unexpected("a value");
    Token value = current_;
    Take();
    while (current_.kind == Tok::Plus) {  // 'long ' + 'string' across lines
      Take();
      if (current_.kind != Tok::String) Unexpected("a string after '+'");
      value.text += current_.text;
      Take();
    }
    return value;
  }

  Lexer lexer_;
  int maxDepth_;
  Token current_;
};

// ---------------------------------------------------------------------------
// Checking the tree against the class infos

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

const char* KindName(TTypeKind kind) {
  switch (kind) {
    case TTypeKind::Bool:
      return "Boolean";
    case TTypeKind::Int32:
      return "Integer";
    case TTypeKind::Int64:
      return "Int64";
    case TTypeKind::String:
      return "String";
    case TTypeKind::Event:
      return "event";
  }
  return "value";
}

class Planner {
 public:
  Planner(const TClassInfo& rootInfo, const TReadOptions& options)
      : root_(rootInfo), options_(options) {}

  PlannedObject PlanRoot(const FormObject& object) {
    if (!SameIdent(object.className, root_.ClassName)) {
      throw EReadError(
          object.line, object.column,
          "the form is a '" + U8(object.className) + "', not a '" + U8(root_.ClassName) + "'");
    }
    return PlanObject(object, root_);
  }

  const TClassInfo* FindObjectClass(const String& name) const {
    for (const TClassInfo* info : root_.FieldClasses) {
      if (info != nullptr && SameIdent(info->ClassName, name)) return info;
    }
    return FindClass(name);
  }

 private:
  PlannedObject PlanObject(const FormObject& object, const TClassInfo& info) {
    PlannedObject plan;
    plan.info = &info;
    plan.name = object.name;
    plan.line = object.line;
    plan.column = object.column;
    for (const auto& property : object.properties)
      plan.properties.push_back(PlanProperty(property, info));
    std::set<String> names;
    for (const auto& child : object.children) {
      const TClassInfo* childInfo = FindObjectClass(child.className);
      if (childInfo == nullptr) {
        throw EReadError(child.line, child.column, "unknown class '" + U8(child.className) + "'");
      }
      if (!childInfo->Create) {
        throw EReadError(
            child.line, child.column,
            "class '" + U8(childInfo->ClassName) + "' cannot be created by the reader");
      }
      if (!child.name.empty() && !names.insert(LowerCase(child.name)).second) {
        throw EReadError(child.line, child.column,
                         "a component named '" + U8(child.name) + "' already exists");
      }
      plan.children.push_back(PlanObject(child, *childInfo));
    }
    return plan;
  }

  [[noreturn]] static void WrongType(const FormProperty& property, const TPropInfo& info,
                                     const TClassInfo& owner) {
    std::string found = Describe(property.value.kind);
    if (property.value.kind == Tok::Ident) found = "'" + U8(property.value.text) + "'";
    throw EReadError(property.value.line, property.value.column,
                     "wrong value type for " + std::string(KindName(info.Kind)) + " property '" +
                         U8(info.Name) + "' of " + U8(owner.ClassName) + ": " + found);
  }

  PlannedProperty PlanProperty(const FormProperty& property, const TClassInfo& owner) {
    const TPropInfo* info = FindPropInfo(owner, property.name);
    if (info == nullptr) {
      throw EReadError(property.line, property.column,
                       "unknown property '" + U8(property.name) + "' of " + U8(owner.ClassName));
    }
    if (info->IsReadOnly()) {
      throw EReadError(
          property.line, property.column,
          "property '" + U8(info->Name) + "' of " + U8(owner.ClassName) + " is read-only");
    }
    PlannedProperty plan;
    plan.info = info;
    plan.line = property.line;
    plan.column = property.column;
    const Token& value = property.value;
    switch (info->Kind) {
      case TTypeKind::Bool:
        if (value.kind == Tok::Ident && SameIdent(value.text, u"True")) {
          plan.value = true;
        } else if (value.kind == Tok::Ident && SameIdent(value.text, u"False")) {
          plan.value = false;
        } else {
          WrongType(property, *info, owner);
        }
        break;
      case TTypeKind::Int32:
        if (value.kind != Tok::Integer) WrongType(property, *info, owner);
        if (value.integer < std::numeric_limits<std::int32_t>::min() ||
            value.integer > std::numeric_limits<std::int32_t>::max()) {
          throw EReadError(value.line, value.column,
                           "value " + std::to_string(value.integer) +
                               " out of range for Integer property '" + U8(info->Name) + "'");
        }
        plan.value = static_cast<std::int32_t>(value.integer);
        break;
      case TTypeKind::Int64:
        if (value.kind != Tok::Integer) WrongType(property, *info, owner);
        plan.value = value.integer;
        break;
      case TTypeKind::String:
        if (value.kind != Tok::String) WrongType(property, *info, owner);
        plan.value = value.text;
        break;
      case TTypeKind::Event:
        if (value.kind != Tok::Ident) WrongType(property, *info, owner);
        PlanHandler(plan, value);
        break;
    }
    return plan;
  }

  void PlanHandler(PlannedProperty& plan, const Token& value) {
    const TPropInfo& event = *plan.info;
    if (const THandlerInfo* handler = FindHandlerInfo(root_, value.text)) {
      if (handler->EventType != event.EventType) {
        throw EReadError(value.line, value.column,
                         "handler '" + U8(handler->Name) + "' is a " + U8(handler->EventTypeName) +
                             ", '" + U8(event.Name) + "' needs a " + U8(event.EventTypeName));
      }
      plan.handler = handler;
      return;
    }
    if (options_.OnFindMethod) {
      std::any found = options_.OnFindMethod(event, value.text);
      if (found.has_value()) {
        if (std::type_index(found.type()) != event.EventType) {
          throw EReadError(
              value.line, value.column,
              "handler '" + U8(value.text) + "' does not fit '" + U8(event.Name) + "'");
        }
        plan.value = TEventValue{true, value.text, std::move(found)};
        return;
      }
    }
    throw EReadError(value.line, value.column,
                     "unknown handler '" + U8(value.text) + "' for '" + U8(event.Name) +
                         "': " + U8(root_.ClassName) + " publishes no such method");
  }

  const TClassInfo& root_;
  const TReadOptions& options_;
};

// ---------------------------------------------------------------------------
// Creating the components

class Builder {
 public:
  explicit Builder(TComponent& root) : root_(root) {}

  // Creates everything; on failure destroys what it created and rethrows.
  void Build(const PlannedObject& rootPlan, TComponent& rootInstance, bool rootCreatedHere) {
    try {
      if (rootCreatedHere) created_.push_back(&rootInstance);
      rootInstance.Loading();
      if (!rootPlan.name.empty()) rootInstance.SetName(rootPlan.name);
      readOrder_.push_back({&rootInstance, &rootPlan});
      Fill(rootPlan, rootInstance);
      for (const auto& entry : readOrder_) {
        TComponent* component = entry.first;
        const PlannedObject* plan = entry.second;
        Guard(plan->line, plan->column, "Loaded of '" + U8(plan->name) + "'",
              [component] { component->Loaded(); });
      }
    } catch (...) {
      for (auto it = created_.rbegin(); it != created_.rend(); ++it) delete *it;
      throw;
    }
  }

 private:
  template <class F>
  static void Guard(int line, int column, const std::string& what, F&& action) {
    try {
      action();
    } catch (const EReadError&) {
      throw;
    } catch (const std::exception& e) {
      throw EReadError(line, column, what + " failed: " + e.what());
    } catch (...) {
      throw EReadError(line, column, what + " failed");
    }
  }

  void Fill(const PlannedObject& plan, TComponent& component) {
    for (const auto& property : plan.properties) {
      TPropValue value = property.value;
      if (property.handler != nullptr) {
        value = TEventValue{true, property.handler->Name, property.handler->Bind(root_)};
      }
      Guard(property.line, property.column, "setting '" + U8(property.info->Name) + "'",
            [&] { property.info->Set(component, value); });
    }
    for (const auto& child : plan.children) {
      TComponent* instance = nullptr;
      Guard(child.line, child.column, "creating a " + U8(child.info->ClassName),
            [&] { instance = child.info->Create(&component); });
      if (instance == nullptr) {
        throw EReadError(child.line, child.column,
                         "creating a " + U8(child.info->ClassName) + " failed");
      }
      created_.push_back(instance);
      instance->Loading();
      instance->SetName(child.name);
      readOrder_.push_back({instance, &child});
      Fill(child, *instance);
    }
  }

  TComponent& root_;
  std::vector<TComponent*> created_;
  std::vector<std::pair<TComponent*, const PlannedObject*>> readOrder_;
};

// ---------------------------------------------------------------------------
// Writer

void WriteValue(std::string& out, const TPropInfo& info, const TPropValue& value) {
  switch (info.Kind) {
    case TTypeKind::Bool:
      out += std::get<bool>(value) ? "True" : "False";
      break;
    case TTypeKind::Int32:
      out += std::to_string(std::get<std::int32_t>(value));
      break;
    case TTypeKind::Int64:
      out += std::to_string(std::get<std::int64_t>(value));
      break;
    case TTypeKind::String:
      out += QuoteString(std::get<String>(value));
      break;
    case TTypeKind::Event: {
      const String& name = std::get<TEventValue>(value).HandlerName;
      if (!IsIdentifier(name))
        throw EWriteError("handler name '" + U8(name) + "' is not an identifier");
      out += U8(name);
      break;
    }
  }
}

void WriteObject(std::string& out, const TComponent& component, const TClassInfo* knownInfo,
                 const std::vector<const TClassInfo*>& fieldClasses, int depth) {
  const TClassInfo* info = knownInfo != nullptr ? knownInfo : ClassInfoOf(component, fieldClasses);
  if (info == nullptr) {
    throw EWriteError("class '" + U8(component.ClassName()) + "' of '" + U8(component.Name()) +
                      "' is not registered");
  }
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  out += indent + "object ";
  if (!component.Name().empty()) {
    if (!IsIdentifier(component.Name())) {
      throw EWriteError("component name '" + U8(component.Name()) + "' is not an identifier");
    }
    out += U8(component.Name()) + ": ";
  }
  out += U8(info->ClassName) + "\n";
  for (const TPropInfo* prop : GetPropList(*info)) {
    if (!prop->IsStored(component)) continue;
    out += indent + "  " + U8(prop->Name) + " = ";
    WriteValue(out, *prop, prop->Get(component));
    out += "\n";
  }
  for (int i = 0; i < component.ComponentCount(); ++i) {
    WriteObject(out, *component.Components(i), nullptr, fieldClasses, depth + 1);
  }
  out += indent + "end\n";
}

}  // namespace

void ReadComponent(std::string_view text, TComponent& root, const TReadOptions& options) {
  const TClassInfo* rootInfo = options.RootClass != nullptr ? options.RootClass : ClassInfoOf(root);
  if (rootInfo == nullptr) {
    throw EReadError(1, 1, "class '" + U8(root.ClassName()) + "' of the root is not registered");
  }
  Parser parser(text, options.MaxDepth);
  const FormObject tree = parser.ParseForm();
  Planner planner(*rootInfo, options);
  const PlannedObject plan = planner.PlanRoot(tree);
  Builder(root).Build(plan, root, false);
}

TComponent* ReadComponent(std::string_view text, TComponent* owner, const TReadOptions& options) {
  Parser parser(text, options.MaxDepth);
  const FormObject tree = parser.ParseForm();
  const TClassInfo* rootInfo = options.RootClass;
  if (rootInfo == nullptr) rootInfo = FindClass(tree.className);
  if (rootInfo == nullptr) {
    throw EReadError(tree.line, tree.column, "unknown class '" + U8(tree.className) + "'");
  }
  if (!rootInfo->Create) {
    throw EReadError(tree.line, tree.column,
                     "class '" + U8(rootInfo->ClassName) + "' cannot be created by the reader");
  }
  Planner planner(*rootInfo, options);
  const PlannedObject plan = planner.PlanRoot(tree);
  std::unique_ptr<TComponent> root;
  try {
    root.reset(rootInfo->Create(owner));
  } catch (const std::exception& e) {
    throw EReadError(tree.line, tree.column,
                     "creating a " + U8(rootInfo->ClassName) + " failed: " + e.what());
  }
  if (!root)
    throw EReadError(tree.line, tree.column, "creating a " + U8(rootInfo->ClassName) + " failed");
  TComponent* instance = root.release();
  Builder(*instance).Build(plan, *instance, true);  // destroys the root itself on failure
  return instance;
}

std::string WriteComponent(const TComponent& root, const TClassInfo* rootClass) {
  const TClassInfo* info = rootClass != nullptr ? rootClass : ClassInfoOf(root);
  if (info == nullptr) throw EWriteError("class '" + U8(root.ClassName()) + "' is not registered");
  std::string out;
  WriteObject(out, root, info, info->FieldClasses, 0);
  return out;
}

std::string QuoteString(const String& value) {
  if (value.empty()) return "''";
  std::string out;
  bool quoted = false;
  for (char16_t c : value) {
    if (c >= 32 && c < 127) {
      if (!quoted) out += '\'';
      quoted = true;
      out += static_cast<char>(c);
      if (c == u'\'') out += '\'';
    } else {
      if (quoted) out += '\'';
      quoted = false;
      out += '#' + std::to_string(static_cast<unsigned>(c));
    }
  }
  if (quoted) out += '\'';
  return out;
}

}  // namespace rtl

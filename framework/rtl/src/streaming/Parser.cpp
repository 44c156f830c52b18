// The parser of form files: text -> a tree of objects with their properties.
#include "StreamingDetail.h"

namespace rtl::detail {
namespace {

class Parser {
 public:
  Parser(std::string_view text, int maxDepth) : next_(Tokens(text)), maxDepth_(maxDepth) { Take(); }

  FormObject ParseForm() {
    FormObject root = ParseObject(1);
    if (current_.kind != Tok::Eof) Fail(current_, "end of file expected after the last 'end'");
    return root;
  }

 private:
  void Take() { current_ = next_(); }

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

  TokenSource next_;  // the lexer
  int maxDepth_;
  Token current_;
};

}  // namespace

FormObject ParseForm(std::string_view text, int maxDepth) {
  return Parser(text, maxDepth).ParseForm();
}

}  // namespace rtl::detail

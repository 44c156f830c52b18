// Form files: components and their published properties as text.
//
//   object Form1: TForm1
//     object VyHID1: TVyHID
//       Active = False
//       Filter = 'VID:1234'#13#10'it''s'
//       CurrentDevNr = -1
//       OnAfterDevScan = Form1AfterDevScan
//     end
//   end
//
// An object is `object Name: TClass` (or `object TClass` for an unnamed
// component), then its properties, then the objects it owns, then `end`.
// Values: `True`/`False`; integers (decimal, or `$` and hexadecimal digits);
// strings made of quoted parts ('' inside is one quote) and `#NNN` or
// `#$HHHH` parts (one UTF-16 code unit each), joined directly or with `+`
// across lines; an event's value is the name of a handler that the form
// publishes. Keywords, class, property and handler names ignore ASCII case.
// The text is UTF-8 (a leading byte order mark is skipped); the writer
// writes ASCII only.
//
// Reading and writing run on the thread that owns the components.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "rtl/Classes.h"
#include "rtl/System.h"
#include "rtl/TypInfo.h"

namespace rtl {

// A form file that cannot be read. what() is "line L, column C: reason".
class EReadError : public std::runtime_error {
 public:
  EReadError(int line, int column, const std::string& reason);
  int Line() const { return line_; }
  int Column() const { return column_; }
  const std::string& Reason() const { return reason_; }

 private:
  int line_;
  int column_;
  std::string reason_;
};

// A component that cannot be written (its class is not registered, or a
// name is not an identifier).
class EWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TReadOptions {
  // Objects nested deeper than this (the root is level 1) are an error.
  int MaxDepth = 32;
  // Consulted for a handler name that the root does not publish; returns the
  // handler for `event` (e.g. event.MakeNamedStub(name) in a designer), or an
  // empty std::any to make the name an error. Empty: every unknown handler
  // is an error.
  std::function<std::any(const TPropInfo& event, const String& name)> OnFindMethod;
  // Class info of the root when it is not registered under its ClassName().
  const TClassInfo* RootClass = nullptr;
};

// Reads a form into `root`, an instance that the caller created: the top
// object's class must be root's. Each component read is created with its
// owner (the enclosing object) and gets csLoading; properties are assigned
// through their writers in the order of the text; an event is bound to the
// handler that the root publishes under that name; when the whole form has
// been read, Loaded is called on the root and every component read, in the
// order read.
//
// The whole text is parsed and checked against the class infos (classes,
// properties, value types and ranges, handlers, names, nesting) before
// anything is created, so a bad file leaves the root untouched. If creating a
// component, a writer or a Loaded throws, every component the reader created
// is destroyed and the error is raised as EReadError at the object or
// property concerned; the root is then left in csLoading, and the caller
// should destroy it.
void ReadComponent(std::string_view text, TComponent& root, const TReadOptions& options = {});

// Reads a form whose root class the reader creates (through its class info,
// with `owner`, which may be null). Returns the root, owned by `owner` when
// there is one and by the caller otherwise. On failure nothing is left.
TComponent* ReadComponent(std::string_view text, TComponent* owner,
                          const TReadOptions& options = {});

// Writes `root` and, nested, the components it owns (recursively), each with
// the properties its class stores. Throws EWriteError for a component whose
// class is not registered (nor among the root class's FieldClasses).
std::string WriteComponent(const TComponent& root, const TClassInfo* rootClass = nullptr);

// A string value as the writer writes it: `'it''s'#13#10`.
std::string QuoteString(const String& value);

}  // namespace rtl

// The designer's form handling over the framework's packages, palette and
// form files.
#include "Designer.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "rtl/Streaming.h"

namespace designer {

namespace {

std::string U8(const rtl::String& s) {
  return rtl::StringToUtf8(s);
}

rtl::String UpperAscii(rtl::String s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EDesignError("cannot open " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The class named in the form's first line, `object Name: TClass` or
// `object TClass`, so that the design form can take that class's name before
// it is read.
rtl::String RootClassName(const std::string& text) {
  std::size_t at = 0;
  const auto skipSpace = [&] {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
      ++at;
  };
  const auto ident = [&] {
    skipSpace();
    const std::size_t start = at;
    while (at < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[at])) != 0 || text[at] == '_'))
      ++at;
    return text.substr(start, at - start);
  };
  const std::string keyword = ident();
  std::string name = ident();
  skipSpace();
  if (at < text.size() && text[at] == ':') {
    ++at;
    name = ident();
  }
  if (!rtl::SameIdent(rtl::Utf8ToString(keyword), u"object") || name.empty()) {
    return u"TForm1";  // the reader reports the real problem with its position
  }
  return rtl::Utf8ToString(name);
}

bool ParseInteger(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  std::size_t used = 0;
  try {
    value = std::stoll(text, &used, 0);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size();
}

bool IsIdentifier(const std::string& s) {
  if (s.empty()) return true;  // clears the event
  const auto start = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  if (!start(s[0])) return false;
  for (char c : s) {
    if (!start(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

TDesignForm::TDesignForm(rtl::String className) : rtl::TComponent(nullptr) {
  info_.ClassName = std::move(className);
  info_.Parent = &rtl::TComponentClassInfo();
  SetDesigning(true);
}

TDesigner::~TDesigner() {
  form_.reset();
  for (auto it = packages_.rbegin(); it != packages_.rend(); ++it) rtl::UnloadPackage(*it);
}

rtl::HPACKAGE TDesigner::LoadPackage(const std::string& path) {
  const rtl::HPACKAGE package = rtl::LoadPackage(rtl::Utf8ToString(path));
  if (package == 0) throw EDesignError(U8(rtl::LastPackageError()));
  packages_.push_back(package);
  return package;
}

std::vector<TPaletteEntry> TDesigner::Palette() const {
  std::vector<TPaletteEntry> entries;
  for (const rtl::TPaletteItem& item : rtl::PaletteItems()) {
    TPaletteEntry entry{item.Page, item.Class->ClassName, std::nullopt};
    for (rtl::HPACKAGE package : packages_) {
      entry.Image = rtl::LoadBitmapResource(package, UpperAscii(item.Class->ClassName));
      if (entry.Image) break;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

TDesignForm& TDesigner::NewForm(const rtl::String& className, const rtl::String& name) {
  form_.reset();
  form_ = std::make_unique<TDesignForm>(className);
  form_->SetName(name);
  return *form_;
}

TDesignForm& TDesigner::OpenForm(const std::string& path) {
  const std::string text = ReadFile(path);
  // Close the current form first: its components must be gone before the
  // new ones are created (a component may allow only one live instance).
  form_.reset();
  auto form = std::make_unique<TDesignForm>(RootClassName(text));
  rtl::TReadOptions options;
  options.RootClass = &form->Info();
  // The form's code is not running here: keep each handler by its name.
  options.OnFindMethod = [](const rtl::TPropInfo& event, const rtl::String& handler) {
    return event.MakeNamedStub(handler);
  };
  try {
    rtl::ReadComponent(text, *form, options);
  } catch (const rtl::EReadError& e) {
    throw EDesignError(path + ":" + std::to_string(e.Line()) + ":" + std::to_string(e.Column()) +
                       ": " + e.Reason());
  }
  form_ = std::move(form);
  return *form_;
}

std::string TDesigner::FormText() const {
  if (!form_) throw EDesignError("no form");
  try {
    return rtl::WriteComponent(*form_, &form_->Info());
  } catch (const rtl::EWriteError& e) {
    throw EDesignError(e.what());
  }
}

void TDesigner::SaveForm(const std::string& path) const {
  const std::string text = FormText();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw EDesignError("cannot create " + path + ": " + std::strerror(errno));
  out << text;
  out.close();
  if (!out) throw EDesignError("writing " + path + " failed");
}

const rtl::TClassInfo& TDesigner::PaletteClass(const rtl::String& className) const {
  for (const rtl::TPaletteItem& item : rtl::PaletteItems()) {
    if (rtl::SameIdent(item.Class->ClassName, className)) return *item.Class;
  }
  throw EDesignError("no class " + U8(className) + " on the palette");
}

rtl::TComponent& TDesigner::Place(const rtl::String& className) {
  if (!form_) NewForm();
  const rtl::TClassInfo& info = PaletteClass(className);
  if (!info.Create) throw EDesignError(U8(className) + " cannot be created");
  // The name a designer gives: the class name without its T, numbered.
  rtl::String base = info.ClassName;
  if (base.size() > 1 && (base[0] == u'T' || base[0] == u't')) base.erase(0, 1);
  rtl::String name;
  for (int n = 1;; ++n) {
    name = base + rtl::IntToStr(n);
    bool taken = false;
    for (int i = 0; i < form_->ComponentCount(); ++i)
      taken = taken || rtl::SameIdent(form_->Components(i)->Name(), name);
    if (!taken) break;
  }
  rtl::TComponent* component = info.Create(form_.get());  // takes over the form's design mode
  component->SetName(name);
  return *component;
}

rtl::TComponent& TDesigner::Find(const rtl::String& name) const {
  if (form_) {
    for (int i = 0; i < form_->ComponentCount(); ++i) {
      if (rtl::SameIdent(form_->Components(i)->Name(), name)) return *form_->Components(i);
    }
  }
  throw EDesignError("no component " + U8(name) + " on the form");
}

void TDesigner::SetProperty(rtl::TComponent& component, const rtl::String& property,
                            const std::string& value) {
  const rtl::TClassInfo* info = rtl::ClassInfoOf(component);
  const rtl::TPropInfo* prop = info != nullptr ? rtl::FindPropInfo(*info, property) : nullptr;
  if (prop == nullptr)
    throw EDesignError(U8(component.ClassName()) + " has no property " + U8(property));
  if (prop->IsReadOnly()) throw EDesignError(U8(prop->Name) + " is read-only");
  rtl::TPropValue v;
  std::int64_t number = 0;
  switch (prop->Kind) {
    case rtl::TTypeKind::Bool:
      if (rtl::SameIdent(rtl::Utf8ToString(value), u"True")) {
        v = true;
      } else if (rtl::SameIdent(rtl::Utf8ToString(value), u"False")) {
        v = false;
      } else {
        throw EDesignError(U8(prop->Name) + " takes True or False, not '" + value + "'");
      }
      break;
    case rtl::TTypeKind::Int32:
      if (!ParseInteger(value, number) || number < std::numeric_limits<std::int32_t>::min() ||
          number > std::numeric_limits<std::int32_t>::max()) {
        throw EDesignError(U8(prop->Name) + " takes a 32-bit integer, not '" + value + "'");
      }
      v = static_cast<std::int32_t>(number);
      break;
    case rtl::TTypeKind::Int64:
      if (!ParseInteger(value, number))
        throw EDesignError(U8(prop->Name) + " takes an integer, not '" + value + "'");
      v = number;
      break;
    case rtl::TTypeKind::String:
      v = rtl::Utf8ToString(value);
      break;
    case rtl::TTypeKind::Event: {
      const rtl::String handler = rtl::Utf8ToString(value);
      if (!IsIdentifier(value)) throw EDesignError("'" + value + "' is not a handler name");
      rtl::TEventValue event;
      if (!handler.empty()) event = rtl::TEventValue{true, handler, prop->MakeNamedStub(handler)};
      v = std::move(event);
      break;
    }
  }
  prop->Set(component, v);
}

}  // namespace designer

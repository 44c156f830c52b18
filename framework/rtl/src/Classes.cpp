// TComponent and TStringList.
#include "rtl/Classes.h"

#include <algorithm>
#include <typeinfo>
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>

#include <cstdlib>
#endif

namespace rtl {

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  state_ |= csDestroying;
  // Last inserted first; each leaves the list before it is destroyed, so its
  // destructor finds no owner to leave.
  while (!components_.empty()) {
    TComponent* component = components_.back();
    RemoveComponent(component);
    delete component;
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

String TComponent::ClassName() const {
#if __has_include(<cxxabi.h>)
  // The dynamic type's name without its namespaces, for classes that do not
  // override this.
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeid(*this).name(), nullptr, nullptr, &status);
  if (status == 0 && demangled != nullptr) {
    std::string name = demangled;
    std::free(demangled);
    if (const auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
    return Utf8ToString(name);
  }
  std::free(demangled);
#endif
  return u"TComponent";
}

void TComponent::SetDesigning(bool value, bool setChildren) {
  if (value) {
    state_ |= csDesigning;
  } else {
    state_ &= ~static_cast<std::uint32_t>(csDesigning);
  }
  if (setChildren) {
    for (TComponent* component : components_) component->SetDesigning(value, true);
  }
}

void TComponent::Loading() {
  state_ |= csLoading;
}

void TComponent::Loaded() {
  state_ &= ~static_cast<std::uint32_t>(csLoading);
}

void TComponent::InsertComponent(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
  component->SetDesigning(InState(csDesigning), false);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.rbegin(), components_.rend(), component);
  if (it != components_.rend()) components_.erase(std::next(it).base());
  component->owner_ = nullptr;
}

int TStringList::Add(const String& line) {
  lines_.push_back(line);
  return static_cast<int>(lines_.size()) - 1;
}

String TStringList::Text() const {
  String text;
  for (const String& line : lines_) {
    text += line;
    text += u"\r\n";
  }
  return text;
}

void TStringList::SetText(const String& text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != u'\r' && text[end] != u'\n') ++end;
    lines_.push_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == u'\r') {
      ++end;
      if (end < text.size() && text[end] == u'\n') ++end;  // CR LF is one break
    } else if (end < text.size()) {
      ++end;  // LF
    }
    start = end;
  }
}

}  // namespace rtl

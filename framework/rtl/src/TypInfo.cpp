// The class registry and the property rules shared by reader and writer.
#include "rtl/TypInfo.h"

#include <map>
#include <mutex>

#include "RegistryRecording.h"

namespace rtl {

namespace detail {
namespace {
thread_local TUndoList* tRecording = nullptr;
}

TRecordingScope::TRecordingScope(TUndoList* list) : previous_(tRecording) {
  tRecording = list;
}
TRecordingScope::~TRecordingScope() {
  tRecording = previous_;
}

void RecordUndo(std::function<void()> undo) {
  if (tRecording != nullptr) tRecording->push_back(std::move(undo));
}
}  // namespace detail

namespace {

char16_t AsciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

String Key(std::u16string_view name) {
  return LowerCase(String(name));
}

struct Registration {
  const TClassInfo* info;
  int count;
};

struct Registry {
  std::mutex mutex;
  std::map<String, Registration> classes;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

bool SameValue(const TPropValue& a, const TPropValue& b) {
  if (a.index() != b.index()) return false;
  if (const auto* ea = std::get_if<TEventValue>(&a)) {
    const auto& eb = std::get<TEventValue>(b);
    return ea->Assigned == eb.Assigned && ea->HandlerName == eb.HandlerName;
  }
  return std::visit(
      [&](const auto& va) {
        using V = std::decay_t<decltype(va)>;
        if constexpr (std::is_same_v<V, TEventValue>) {
          return false;  // handled above
        } else {
          return va == std::get<V>(b);
        }
      },
      a);
}

}  // namespace

bool SameIdent(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool TPropInfo::IsStored(const TComponent& component) const {
  if (IsReadOnly()) return false;
  if (Stored) return Stored(component);
  const TPropValue value = Get(component);
  if (Kind == TTypeKind::Event) {
    const auto& event = std::get<TEventValue>(value);
    return event.Assigned && !event.HandlerName.empty();
  }
  if (Default) return !SameValue(value, *Default);
  return true;
}

const TClassInfo& TComponentClassInfo() {
  static const TClassInfo info = [] {
    TClassInfo c;
    c.ClassName = u"TComponent";
    c.Create = &CreateInstance<TComponent>;
    c.Properties.push_back(PublishedAccessors<TComponent, std::int64_t>(
                               u"Tag", [](const TComponent& t) { return t.Tag(); },
                               [](TComponent& t, const std::int64_t& v) { t.SetTag(v); })
                               .WithDefault(std::int64_t{0}));
    return c;
  }();
  return info;
}

std::vector<const TPropInfo*> GetPropList(const TClassInfo& info) {
  std::vector<const TPropInfo*> list;
  if (info.Parent != nullptr) list = GetPropList(*info.Parent);
  for (const auto& prop : info.Properties) list.push_back(&prop);
  return list;
}

const TPropInfo* FindPropInfo(const TClassInfo& info, std::u16string_view name) {
  for (const TClassInfo* c = &info; c != nullptr; c = c->Parent) {
    for (const auto& prop : c->Properties) {
      if (SameIdent(prop.Name, name)) return &prop;
    }
  }
  return nullptr;
}

const THandlerInfo* FindHandlerInfo(const TClassInfo& info, std::u16string_view name) {
  for (const TClassInfo* c = &info; c != nullptr; c = c->Parent) {
    for (const auto& handler : c->Handlers) {
      if (SameIdent(handler.Name, name)) return &handler;
    }
  }
  return nullptr;
}

bool InheritsFrom(const TClassInfo& info, const TClassInfo& base) {
  for (const TClassInfo* c = &info; c != nullptr; c = c->Parent) {
    if (c == &base) return true;
  }
  return false;
}

bool RegisterClass(const TClassInfo& info) {
  {
    auto& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto [it, inserted] = registry.classes.try_emplace(Key(info.ClassName), Registration{&info, 0});
    if (it->second.info != &info) return false;
    ++it->second.count;
  }
  detail::RecordUndo([&info] { UnRegisterClass(info); });
  return true;
}

void UnRegisterClass(const TClassInfo& info) {
  auto& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.classes.find(Key(info.ClassName));
  if (it == registry.classes.end() || it->second.info != &info) return;
  if (--it->second.count == 0) registry.classes.erase(it);
}

const TClassInfo* FindClass(std::u16string_view name) {
  auto& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.classes.find(Key(name));
  return it == registry.classes.end() ? nullptr : it->second.info;
}

const TClassInfo* ClassInfoOf(const TComponent& component,
                              const std::vector<const TClassInfo*>& extra) {
  const String name = component.ClassName();
  for (const TClassInfo* info : extra) {
    if (info != nullptr && SameIdent(info->ClassName, name)) return info;
  }
  if (const TClassInfo* info = FindClass(name)) return info;
  if (SameIdent(name, TComponentClassInfo().ClassName)) return &TComponentClassInfo();
  return nullptr;
}

}  // namespace rtl

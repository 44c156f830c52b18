// Published properties and the class registry.
//
// A class that can be stored with a form describes itself in a TClassInfo:
// its name, how to create an instance with an owner, and its published
// properties in stream order, each with a reader, a writer (none for a
// read-only property) and the rule that says when it is stored. A form class
// also publishes its event handlers by name, so that a form file can bind
// `OnDevOpen = Form1DevOpen` to a method of the form.
//
// Class infos are static objects of the module that defines the class; the
// registry only refers to them. RegisterClass and the lookups are safe from
// any thread; the property accessors run on the component's thread.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <variant>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/System.h"

namespace rtl {

enum class TTypeKind { Bool, Int32, Int64, String, Event };

// The value of an event property: whether a handler is set, the name it was
// bound by (empty for a handler set in code), and the handler itself (a
// TMethod of the event's type, in a std::any).
struct TEventValue {
  bool Assigned = false;
  String HandlerName;
  std::any Handler;
};

using TPropValue = std::variant<bool, std::int32_t, std::int64_t, String, TEventValue>;

// One published property.
struct TPropInfo {
  String Name;
  TTypeKind Kind = TTypeKind::Int32;
  // For an event: the event type's name (for messages) and its C++ type (a
  // handler binds only to an event of the same type).
  String EventTypeName;
  std::type_index EventType = typeid(void);

  std::function<TPropValue(const TComponent&)> Get;
  // Empty for a read-only property, which is never stored.
  std::function<void(TComponent&, const TPropValue&)> Set;
  // Stored when the value differs from Default; without a Default (and
  // without a Stored rule) the property is always stored. An event is stored
  // when a handler bound by name is set.
  std::optional<TPropValue> Default;
  std::function<bool(const TComponent&)> Stored;
  // For an event: a named handler that does nothing (a designer keeps the
  // binding of a form whose code is not running).
  std::function<std::any(const String& name)> MakeNamedStub;

  bool IsReadOnly() const { return !Set; }
  // Whether the writer stores this property of `component`.
  bool IsStored(const TComponent& component) const;

  // Builder steps for tables: `Published<...>(u"Filter").WithDefault(String())`.
  TPropInfo&& WithDefault(TPropValue value) && {
    Default = std::move(value);
    return std::move(*this);
  }
  TPropInfo&& StoredWhen(std::function<bool(const TComponent&)> rule) && {
    Stored = std::move(rule);
    return std::move(*this);
  }
};

// A method of a form, published under a name for event binding.
struct THandlerInfo {
  String Name;
  String EventTypeName;
  std::type_index EventType = typeid(void);
  // The handler bound to the form instance `root`, as a TMethod in a std::any,
  // with its HandlerName set.
  std::function<std::any(TComponent& root)> Bind;
};

struct TClassInfo {
  String ClassName;
  // The class it derives from (TComponentClassInfo() for a direct
  // descendant of TComponent); its properties come first.
  const TClassInfo* Parent = nullptr;
  // Creates an instance owned by `owner` (which may be null). Empty for a
  // class that the reader cannot create (a form whose instance the
  // application creates and hands to the reader).
  std::function<TComponent*(TComponent* owner)> Create;
  std::vector<TPropInfo> Properties;
  // For a form: its published event handlers and the component classes it
  // holds (found by the reader even when not registered).
  std::vector<THandlerInfo> Handlers;
  std::vector<const TClassInfo*> FieldClasses;
};

// TComponent's own published properties (Tag; Name is stored in the object
// header of a form file).
const TClassInfo& TComponentClassInfo();

// Every published property of the class, inherited ones first.
std::vector<const TPropInfo*> GetPropList(const TClassInfo& info);
// The property called `name` (ASCII case ignored), or null.
const TPropInfo* FindPropInfo(const TClassInfo& info, std::u16string_view name);
// The handler a form class publishes as `name` (ASCII case ignored), or null.
const THandlerInfo* FindHandlerInfo(const TClassInfo& info, std::u16string_view name);
// Whether `info` is `base` or derives from it.
bool InheritsFrom(const TClassInfo& info, const TClassInfo& base);

// Registers the class under its name. Registering the same info again is
// harmless (it is counted, and needs as many UnRegisterClass calls); a
// different class of the same name is refused with false. While a package is
// being loaded, its registrations are recorded and undone when it is unloaded.
bool RegisterClass(const TClassInfo& info);
void UnRegisterClass(const TClassInfo& info);
// The registered class called `name` (ASCII case ignored), or null.
const TClassInfo* FindClass(std::u16string_view name);
// The class info of a live component, by its ClassName(): among `extra`
// (e.g. a form's FieldClasses), then the registered classes, then TComponent.
const TClassInfo* ClassInfoOf(const TComponent& component,
                              const std::vector<const TClassInfo*>& extra = {});

// ASCII-case-insensitive equality of identifiers.
bool SameIdent(std::u16string_view a, std::u16string_view b);

// ---------------------------------------------------------------------------
// Building property tables from property members (rtl::Property) and methods.

namespace detail {
template <class T>
struct IsTMethod : std::false_type {};
template <class Sig>
struct IsTMethod<TMethod<Sig>> : std::true_type {};

template <class M>
struct PropertyMemberTraits;
template <class C, class Owner, class T, auto Read, auto Write>
struct PropertyMemberTraits<Property<Owner, T, Read, Write> C::*> {
  using Class = C;
  using Value = T;
  static constexpr bool Writable = !std::is_null_pointer_v<decltype(Write)>;
};

template <class T>
constexpr TTypeKind KindOf() {
  if constexpr (std::is_same_v<T, bool>) {
    return TTypeKind::Bool;
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return TTypeKind::Int32;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return TTypeKind::Int64;
  } else if constexpr (std::is_same_v<T, String>) {
    return TTypeKind::String;
  } else {
    static_assert(IsTMethod<T>::value,
                  "a published property is bool, int32, int64, String or a TMethod");
    return TTypeKind::Event;
  }
}

template <class T>
TPropValue ToValue(const T& value) {
  if constexpr (IsTMethod<T>::value) {
    return TEventValue{static_cast<bool>(value), value.HandlerName(), std::any(value)};
  } else {
    return value;
  }
}

template <class T>
T FromValue(const TPropValue& value) {
  if constexpr (IsTMethod<T>::value) {
    const auto& event = std::get<TEventValue>(value);
    if (!event.Assigned) return T();
    return std::any_cast<T>(event.Handler);
  } else {
    return std::get<T>(value);
  }
}

template <class T>
struct NamedStub;
template <class R, class... Args>
struct NamedStub<TMethod<R(Args...)>> {
  static std::any Make(const String& name) {
    TMethod<R(Args...)> stub([](Args...) -> R {
      if constexpr (!std::is_void_v<R>) return R{};
    });
    stub.SetHandlerName(name);
    return stub;
  }
};

template <class T>
void AddEventParts(TPropInfo& info, std::u16string_view eventTypeName) {
  if constexpr (IsTMethod<T>::value) {
    info.EventTypeName = String(eventTypeName);
    info.EventType = typeid(T);
    info.MakeNamedStub = &NamedStub<T>::Make;
  }
}
}  // namespace detail

// A property described by its reader and writer (writer empty: read-only).
// Events also take their type's name, for messages.
template <class C, class T>
TPropInfo PublishedAccessors(String name, std::function<T(const C&)> get,
                             std::function<void(C&, const T&)> set,
                             std::u16string_view eventTypeName = {}) {
  TPropInfo info;
  info.Name = std::move(name);
  info.Kind = detail::KindOf<T>();
  detail::AddEventParts<T>(info, eventTypeName);
  info.Get = [get = std::move(get)](const TComponent& c) {
    return detail::ToValue<T>(get(static_cast<const C&>(c)));
  };
  if (set) {
    info.Set = [set = std::move(set)](TComponent& c, const TPropValue& v) {
      set(static_cast<C&>(c), detail::FromValue<T>(v));
    };
  }
  return info;
}

// A published property member: `Published<&TVyHID::Filter>(u"Filter")`;
// `Published<&TVyHID::OnDevClose>(u"OnDevClose", u"TNotifyEvent")`. A
// property member without a writer gives a read-only property.
template <auto Member>
TPropInfo Published(String name, std::u16string_view eventTypeName = {}) {
  using Traits = detail::PropertyMemberTraits<decltype(Member)>;
  using C = typename Traits::Class;
  using T = typename Traits::Value;
  std::function<void(C&, const T&)> set;
  if constexpr (Traits::Writable) {
    set = [](C& c, const T& v) { c.*Member = v; };
  }
  return PublishedAccessors<C, T>(
      std::move(name), [](const C& c) { return (c.*Member)(); }, std::move(set), eventTypeName);
}

// A method of a form published as an event handler:
// `PublishedHandler<TNotifyEvent>(u"Form1DevClose", u"TNotifyEvent",
// &TForm1::Form1DevClose)`. The method's signature must be the event's.
template <class Event, class Form, class R, class... Args>
THandlerInfo PublishedHandler(String name, std::u16string_view eventTypeName,
                              R (Form::*method)(Args...)) {
  static_assert(std::is_same_v<Event, TMethod<R(Args...)>>,
                "the method does not fit the event type");
  THandlerInfo info;
  info.Name = name;
  info.EventTypeName = String(eventTypeName);
  info.EventType = typeid(Event);
  info.Bind = [name, method](TComponent& root) {
    Event handler(static_cast<Form*>(&root), method);
    handler.SetHandlerName(name);
    return std::any(handler);
  };
  return info;
}

// Creates an instance of C with an owner (for TClassInfo::Create).
template <class C>
TComponent* CreateInstance(TComponent* owner) {
  return new C(owner);
}

}  // namespace rtl

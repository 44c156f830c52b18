// Objects, components with owners, text lists, bound event handlers and
// property members.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "rtl/System.h"

namespace rtl {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A bound event handler: an object and its method, or any callable. Empty by
// default. When the handler was bound by name (a form's published handler),
// HandlerName() gives that name so that the binding can be stored again.
template <class Signature>
class TMethod;

template <class R, class... Args>
class TMethod<R(Args...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): `Event = nullptr` clears it

  template <class F>
  requires std::invocable<F&, Args...> &&(!std::same_as<std::decay_t<F>, TMethod>)TMethod(F f)
      : fn_(std::move(f)) {}  // NOLINT(google-explicit-constructor)

  template <class C>
  TMethod(C* object, R (C::*method)(Args...))
      : fn_([object, method](Args... args) -> R {
          return (object->*method)(std::forward<Args>(args)...);
        }) {}

  explicit operator bool() const { return static_cast<bool>(fn_); }
  R operator()(Args... args) const { return fn_(std::forward<Args>(args)...); }

  const String& HandlerName() const { return name_; }
  void SetHandlerName(String name) { name_ = std::move(name); }

 private:
  std::function<R(Args...)> fn_;
  String name_;
};

using TNotifyEvent = TMethod<void(TObject* Sender)>;

// A property member: reads through Read (a field or a const method of Owner),
// writes through Write (a field or a method); without Write it is read-only and
// has no assignment. Application code reads as `c.Active = true; if (c.Active)`.
template <class Owner, class T, auto Read, auto Write = nullptr>
class Property {
 public:
  explicit Property(Owner* owner) : owner_(owner) {}
  Property(const Property&) = delete;

  operator T() const { return static_cast<T>(std::invoke(Read, *owner_)); }  // NOLINT
  T operator()() const { return static_cast<T>(std::invoke(Read, *owner_)); }

  Property& operator=(const T& value) requires(!std::is_null_pointer_v<decltype(Write)>) {
    if constexpr (std::is_member_object_pointer_v<decltype(Write)>) {
      (*owner_).*Write = value;
    } else {
      std::invoke(Write, *owner_, value);
    }
    return *this;
  }
  // Assigns the other property's value: self-assignment writes the value it
  // already has.
  Property& operator=(const Property& other)  // NOLINT(bugprone-unhandled-self-assignment)
      requires(!std::is_null_pointer_v<decltype(Write)>) {
    return *this = other();
  }

 private:
  Owner* owner_;
};

enum TComponentStateFlag : std::uint32_t {
  csLoading = 1u << 0,    // the form that holds the component is being read
  csDesigning = 1u << 1,  // the component lives in a form designer
  csDestroying = 1u << 2,
};

// A component: it has an owner that frees it, a Name, a state, and Loaded,
// which the form reader calls once the whole form has been read. A component
// with an owner must be allocated with new (the owner deletes it); deleting
// it earlier takes it out of its owner. Not thread-safe: one thread at a time.
class TComponent : public TObject {
 public:
  // Inserts the new component into AOwner (which may be null) and takes over
  // the owner's design mode.
  explicit TComponent(TComponent* AOwner);
  // Frees every owned component (last inserted first; each is taken out of
  // this one before it is deleted), then leaves the owner.
  ~TComponent() override;

  TComponent* GetOwner() const { return owner_; }
  const String& Name() const { return name_; }
  void SetName(const String& name) { name_ = name; }
  std::int64_t Tag() const { return tag_; }
  void SetTag(std::int64_t tag) { tag_ = tag; }

  // The framework's class name of this object ("TComponent", "TVyHID", ...).
  // By default the dynamic type's name without its namespaces.
  virtual String ClassName() const;

  std::uint32_t ComponentState() const { return state_; }
  bool InState(TComponentStateFlag flag) const { return (state_ & flag) != 0; }

  // Design mode for this component and, recursively, for those it owns.
  void SetDesigning(bool value, bool setChildren = true);
  // Sets csLoading; the form reader calls it before assigning properties.
  void Loading();
  // Called once after the form holding the component has been read; clears
  // csLoading. Overrides call the base first.
  virtual void Loaded();

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  TComponent* owner_ = nullptr;
  String name_;
  std::int64_t tag_ = 0;
  std::uint32_t state_ = 0;
  std::vector<TComponent*> components_;
};

// A plain (unsorted) list of text lines.
class TStringList : public TObject {
 public:
  void Clear() { lines_.clear(); }
  // Appends the line and returns its index.
  int Add(const String& line);
  int Count() const { return static_cast<int>(lines_.size()); }
  const String& operator[](int index) const { return lines_.at(static_cast<size_t>(index)); }
  const String& Strings(int index) const { return (*this)[index]; }

  // Every line followed by CR LF.
  String Text() const;
  // Splits at CR LF, LF or CR; a last line without a break is kept; an empty
  // text leaves no lines.
  void SetText(const String& text);

 private:
  std::vector<String> lines_;
};

}  // namespace rtl

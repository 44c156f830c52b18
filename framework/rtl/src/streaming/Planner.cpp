// Checking a form's tree against the class infos before anything is created.
#include <limits>
#include <set>

#include "StreamingDetail.h"

namespace rtl::detail {
namespace {

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
      const TClassInfo& childInfo = CreatableClass(FindObjectClass(child.className), child);
      if (!child.name.empty() && !names.insert(LowerCase(child.name)).second) {
        throw EReadError(child.line, child.column,
                         "a component named '" + U8(child.name) + "' already exists");
      }
      plan.children.push_back(PlanObject(child, childInfo));
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

}  // namespace

const TClassInfo& CreatableClass(const TClassInfo* info, const FormObject& object) {
  if (info == nullptr) {
    throw EReadError(object.line, object.column, "unknown class '" + U8(object.className) + "'");
  }
  if (!info->Create) {
    throw EReadError(object.line, object.column,
                     "class '" + U8(info->ClassName) + "' cannot be created by the reader");
  }
  return *info;
}

PlannedObject PlanForm(const FormObject& tree, const TClassInfo& rootInfo,
                       const TReadOptions& options) {
  return Planner(rootInfo, options).PlanRoot(tree);
}

}  // namespace rtl::detail

// Writing components as form text.
#include "StreamingDetail.h"

namespace rtl {
namespace {

using detail::IsIdentifier;
using detail::U8;

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

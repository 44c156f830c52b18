// vyhid describe: a device's report descriptor item by item, indented by
// collection, with usage names; then each report's fields as a table.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "Commands.h"
#include "DeviceDescriptor.h"
#include "Error.h"
#include "Hex.h"
#include "Session.h"
#include "descriptor/UsageNames.h"

namespace vyhid {
namespace {

namespace desc = vyhid::descriptor;
namespace main_tag = desc::main_tag;
namespace global_tag = desc::global_tag;
namespace local_tag = desc::local_tag;

// "Data,Var,Rel": the main item's bits, as the class definition words them.
std::string FlagsText(std::uint32_t flags) {
  namespace f = desc::field_flag;
  std::string text = (flags & f::kConstant) != 0 ? "Cnst" : "Data";
  text += (flags & f::kVariable) != 0 ? ",Var" : ",Arr";
  text += (flags & f::kRelative) != 0 ? ",Rel" : ",Abs";
  const std::pair<std::uint32_t, const char*> extras[] = {
      {f::kWrap, ",Wrap"},      {f::kNonLinear, ",NonLin"}, {f::kNoPreferredState, ",NoPref"},
      {f::kNullState, ",Null"}, {f::kVolatile, ",Vol"},     {f::kBufferedBytes, ",Buf"}};
  for (const auto& [bit, name] : extras) {
    if ((flags & bit) != 0) text += name;
  }
  return text;
}

// What an item's data means, in parentheses after its name.
std::string ItemValue(const desc::Item& item, std::uint16_t page) {
  using Type = desc::Item::Type;
  if (item.is_long) return "";
  const auto usage = [&] {
    return desc::UsageName(item.data_size == 4
                               ? item.data
                               : desc::MakeUsage(page, static_cast<std::uint16_t>(item.data)));
  };
  if (item.type == Type::kMain) {
    if (item.tag == main_tag::kCollection)
      return desc::CollectionTypeName(static_cast<std::uint8_t>(item.data));
    if (item.tag == main_tag::kInput || item.tag == main_tag::kOutput ||
        item.tag == main_tag::kFeature) {
      return FlagsText(item.data);
    }
    return item.tag == main_tag::kEndCollection ? "" : std::to_string(item.data);
  }
  if (item.type == Type::kGlobal) {
    if (item.tag == global_tag::kUsagePage)
      return desc::PageName(static_cast<std::uint16_t>(item.data));
    // Minima and the exponent are signed; maxima read as the class
    // definition's examples write them (Logical Maximum (255) in one byte).
    if (item.tag == global_tag::kLogicalMinimum || item.tag == global_tag::kPhysicalMinimum ||
        item.tag == global_tag::kUnitExponent) {
      return std::to_string(desc::SignedData(item.data, item.data_size));
    }
    return std::to_string(item.data);
  }
  if (item.type == Type::kLocal &&
      (item.tag == local_tag::kUsage || item.tag == local_tag::kUsageMinimum ||
       item.tag == local_tag::kUsageMaximum)) {
    return usage();
  }
  return std::to_string(item.data);
}

// The descriptor's items, one a line: the bytes, then the name and value,
// indented by the collections open around it.
void ListItems(const std::vector<std::uint8_t>& bytes, LineWriter& out) {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  std::uint16_t page = 0;
  std::size_t depth = 0;
  while (p != end) {
    desc::Item item;
    const std::uint8_t* next = desc::FetchItem(p, end, item);
    if (next == nullptr) {
      out.Line("  " +
               FormatHex(std::string_view(reinterpret_cast<const char*>(p),
                                          static_cast<std::size_t>(end - p))) +
               "  (an item cut short at byte " + std::to_string(p - bytes.data()) + ")");
      return;
    }
    const bool closes =
        item.type == desc::Item::Type::kMain && item.tag == main_tag::kEndCollection;
    if (closes && depth > 0) --depth;
    std::string hex = FormatHex(
        std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(next - p)));
    hex.resize(std::max<std::size_t>(hex.size() + 1, 16), ' ');
    const std::string value = ItemValue(item, page);
    out.Line("  " + hex + std::string(2 * depth, ' ') + desc::ItemName(item) +
             (value.empty() ? "" : " (" + value + ")"));
    if (item.type == desc::Item::Type::kGlobal && item.tag == global_tag::kUsagePage &&
        !item.is_long) {
      page = static_cast<std::uint16_t>(item.data);
    }
    if (item.type == desc::Item::Type::kMain && item.tag == main_tag::kCollection) ++depth;
    p = next;
  }
}

// A field's usages: "X, Y", "Button1..Button3"; "(padding)" without any.
std::string UsagesText(const desc::Field& field) {
  std::string text;
  for (const desc::UsageRange& range : field.usages) {
    if (!text.empty()) text += ", ";
    text += desc::UsageName(range.minimum);
    if (range.is_range) text += ".." + desc::UsageName(range.maximum);
  }
  return text.empty() ? "(padding)" : text;
}

// Each report of the model with its fields as a table.
void ListReports(const desc::ReportDescriptor& model, LineWriter& out) {
  for (const desc::Report& report : model.reports) {
    out.Line("");
    out.Line(std::string(ReportKindName(report.kind)) + " report " +
             std::to_string(report.report_id) + ": " + Plural(report.Bytes(), "byte", "bytes"));
    // The usage and range columns as wide as their widest text, at least 24
    // and 22 characters, so that a long one does not push its row's flags out.
    std::vector<std::array<std::string, 2>> texts;
    std::size_t usage_width = 24;
    std::size_t range_width = 22;
    for (const desc::Field& field : report.fields) {
      std::string range =
          std::to_string(field.logical_minimum) + ".." + std::to_string(field.logical_maximum);
      if (field.has_physical) {
        range += " (" + std::to_string(field.physical_minimum) + ".." +
                 std::to_string(field.physical_maximum) + ")";
      }
      texts.push_back({UsagesText(field), range});
      usage_width = std::max(usage_width, texts.back()[0].size());
      range_width = std::max(range_width, range.size());
    }
    const auto row = [&](const std::string& bit, const std::string& size, const std::string& count,
                         const std::string& usage, const std::string& range,
                         const std::string& flags) {
      const auto right = [](const std::string& text, std::size_t width) {
        return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
      };
      const auto left = [](std::string text, std::size_t width) {
        text.resize(std::max(text.size(), width), ' ');
        return text;
      };
      out.Line("  " + right(bit, 6) + " " + right(size, 5) + " " + right(count, 6) + "  " +
               left(usage, usage_width) + " " + left(range, range_width) + " " + flags);
    };
    row("bit", "size", "count", "usage", "range", "flags");
    for (std::size_t i = 0; i < report.fields.size(); ++i) {
      const desc::Field& field = report.fields[i];
      row(std::to_string(field.bit_offset), std::to_string(field.bit_size),
          std::to_string(field.count), texts[i][0], texts[i][1], FlagsText(field.flags));
    }
  }
}

}  // namespace

int RunDescribe(CommandContext& c) {
  Session session(c.bridge);
  const int nr = session.SelectDevice(c.args.device);
  const std::vector<std::uint8_t> bytes = RequiredDescriptorBytes(session, nr, "describe");
  c.out.Line("device " + std::to_string(nr) + ": " + session.Label(nr) + ", report descriptor of " +
             std::to_string(bytes.size()) + " bytes");
  ListItems(bytes, c.out);
  const desc::ReportDescriptor model = desc::Parse(bytes);
  if (!model.ok()) {
    c.out.Line(std::string("the descriptor does not parse: ") + desc::Describe(model.error) +
               " at byte " + std::to_string(model.error_offset));
  }
  ListReports(model, c.out);
  return c.out.Failed() ? kExitFailure : kExitOk;
}

}  // namespace vyhid

// Decoded reports as text (ReportText.h).
#include "descriptor/ReportText.h"

#include "descriptor/UsageNames.h"

namespace vyhid::descriptor {

std::string FormatValue(const Value& value) {
  std::string text = UsageName(value.usage);
  if (value.is_array) return text;
  return text + (value.is_null ? " null" : " " + std::to_string(value.logical));
}

std::string FormatValues(const DecodedReport& report) {
  std::string text;
  for (const Value& value : report.values) {
    if (!text.empty()) text += "  ";
    text += FormatValue(value);
  }
  return text;
}

}  // namespace vyhid::descriptor

// vyhid list: every device's description, or its summary record as JSON.
#include <string>

#include "Commands.h"
#include "Error.h"
#include "Session.h"

namespace vyhid {
namespace {

// A JSON string literal of valid UTF-8 text.
std::string JsonString(std::string_view utf8) {
  std::string json = "\"";
  for (char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      default:
        if (u < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          json += "\\u00";
          json.push_back(kHex[u >> 4]);
          json.push_back(kHex[u & 15]);
        } else {
          json.push_back(c);
        }
    }
  }
  return json + "\"";
}

// Every field of the slot's summary record, its number and its description.
std::string DeviceJson(int nr, const TVyHIDDevInfo& slot) {
  const TVyHIDdeviceInfo& v = slot.VyHIDinfo;
  auto number = [](const char* name, long long value) {
    return std::string("\"") + name + "\": " + std::to_string(value);
  };
  auto text = [](const char* name, const TShortString& s) {
    return std::string("\"") + name + "\": " + JsonString(ShortStringUtf8(s));
  };
  std::string json = "{" + number("DevNr", nr);
  json += ", " + number("VID", v.VID);
  json += ", " + number("PID", v.PID);
  json += ", " + number("VersionNumber", v.VersionNumber);
  json += ", " + text("ManufacturerString", v.ManufacturerString);
  json += ", " + text("ProductString", v.ProductString);
  json += ", " + text("SerialNumberString", v.SerialNumberString);
  json += ", " + text("SymLink", v.SymLink);
  json += ", " + number("OutputBufferSize", v.OutputBufferSize);
  json += ", " + number("InputBufferSize", v.InputBufferSize);
  json += ", " + number("FeatureBufferSize", v.FeatureBufferSize);
  json += std::string(", \"HasReadWriteAccess\": ") + (v.HasReadWriteAccess ? "true" : "false");
  json += ", " + number("ReportOutID", v.ReportOutID);
  json += ", " + number("ReportOutBytes", v.ReportOutBytes);
  json += ", " + number("ReportInID", v.ReportInID);
  json += ", " + number("ReportInBytes", v.ReportInBytes);
  json += ", " + number("FeatureID", v.FeatureID);
  json += ", " + number("FeatureBytes", v.FeatureBytes);
  json += ", \"Description\": [";
  const rtl::TStringList& lines = *slot.HIDstringsInfo;
  for (int i = 0; i < lines.Count(); ++i) {
    json += (i ? ", " : "") + JsonString(rtl::StringToUtf8(lines[i]));
  }
  return json + "]}";
}

}  // namespace

int RunList(CommandContext& c) {
  if (!c.args.positional.empty()) {
    throw CliError(kExitUsage, "'list' takes no arguments, got '" + c.args.positional[0] + "'");
  }
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const std::optional<std::string> filter = c.args.Value("filter");
  if (filter) hid.Filter = rtl::Utf8ToString(*filter);  // rescans and filters
  const bool json = c.args.Has("json");

  std::vector<int> shown;
  for (int nr = 0; nr < session.DeviceCount(); ++nr) {
    // The filter empties the descriptions of the devices it does not match.
    if (hid.HIDinfoArray[static_cast<std::size_t>(nr)].HIDstringsInfo->Count() > 0) {
      shown.push_back(nr);
    }
  }

  int readOnly = 0;
  if (json) c.out.Line("[");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const TVyHIDDevInfo& slot = hid.HIDinfoArray[static_cast<std::size_t>(shown[i])];
    if (slot.HIDinfo.HasReadWriteAccess == 0) ++readOnly;
    if (json) {
      c.out.Line("  " + DeviceJson(shown[i], slot) + (i + 1 < shown.size() ? "," : ""));
    } else {
      std::string text;
      for (int line = 0; line < slot.HIDstringsInfo->Count(); ++line) {
        text += rtl::StringToUtf8((*slot.HIDstringsInfo)[line]) + "\n";
      }
      c.out.Raw(text);
    }
  }
  if (json) c.out.Line("]");

  if (shown.empty()) {
    c.err.Line(session.DeviceCount() == 0 ? "vyhid: no HID devices found"
                                          : "vyhid: no device matches '" + *filter + "'");
  }
  if (readOnly > 0 && !session.Bridge().Simulated()) {
    c.err.Line("vyhid: note: " + std::to_string(readOnly) +
               (readOnly == 1 ? " device is" : " devices are") +
               " read-only for this user [R/O]; the udev rule " + InstallPaths::UdevRule() +
               " grants access");
  }
  return kExitOk;
}

}  // namespace vyhid

// vyhid list: every device's description, or its summary record as JSON.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "Commands.h"
#include "Error.h"
#include "Hex.h"
#include "Session.h"

namespace vyhid {
namespace {

// Every field of the slot's summary record, its number and its description.
nlohmann::ordered_json DeviceJson(int nr, const TVyHIDDevInfo& slot) {
  const TVyHIDdeviceInfo& v = slot.VyHIDinfo;  // packed: numbers are copied (+v.VID)
  nlohmann::ordered_json description = nlohmann::ordered_json::array();
  const rtl::TStringList& lines = *slot.HIDstringsInfo;
  for (int i = 0; i < lines.Count(); ++i) description.push_back(rtl::StringToUtf8(lines[i]));
  return {{"DevNr", nr},
          {"VID", +v.VID},
          {"PID", +v.PID},
          {"IDs", IdsText(v)},  // the numbers above in hex, as the description shows them
          {"VersionNumber", +v.VersionNumber},
          {"ManufacturerString", ShortStringUtf8(v.ManufacturerString)},
          {"ProductString", ShortStringUtf8(v.ProductString)},
          {"SerialNumberString", ShortStringUtf8(v.SerialNumberString)},
          {"SymLink", ShortStringUtf8(v.SymLink)},
          {"OutputBufferSize", +v.OutputBufferSize},
          {"InputBufferSize", +v.InputBufferSize},
          {"FeatureBufferSize", +v.FeatureBufferSize},
          {"HasReadWriteAccess", v.HasReadWriteAccess != 0},
          {"ReportOutID", +v.ReportOutID},
          {"ReportOutBytes", +v.ReportOutBytes},
          {"ReportInID", +v.ReportInID},
          {"ReportInBytes", +v.ReportInBytes},
          {"FeatureID", +v.FeatureID},
          {"FeatureBytes", +v.FeatureBytes},
          {"Description", description}};
}

// Why a scan found nothing: what the device file or the machine holds.
std::string NothingFound(const LoadedBridge& bridge) {
  if (bridge.Simulated()) return "the device file " + bridge.DeviceFile() + " describes none";
  std::error_code ec;
  const std::filesystem::path nodes = "/sys/class/hidraw";
  const bool present = std::filesystem::is_directory(nodes, ec);
  if (present && !std::filesystem::is_empty(nodes, ec)) {
    return "the bridge " + bridge.Path() + " found none of the nodes in " + nodes.string() +
           " (VYHID_DEBUG=1 shows why)";
  }
  return "this machine has no hidraw nodes (" + nodes.string() +
         (present ? " is empty" : " is absent") +
         "); 'vyhid --simulate list' shows virtual devices to try the tool with";
}

}  // namespace

int RunList(CommandContext& c) {
  Session session(c.bridge);
  TVyHID& hid = session.Hid();
  const std::optional<std::string>& filter = c.args.filter;
  if (filter) hid.Filter = rtl::Utf8ToString(*filter);  // rescans and filters
  const bool json = c.args.json;

  std::vector<int> shown;
  for (int nr = 0; nr < session.DeviceCount(); ++nr) {
    // The filter empties the descriptions of the devices it does not match.
    if (session.Slot(nr).HIDstringsInfo->Count() > 0) {
      shown.push_back(nr);
    }
  }

  int read_only = 0;
  if (json) c.out.Line("[");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const TVyHIDDevInfo& slot = session.Slot(shown[i]);
    if (slot.HIDinfo.HasReadWriteAccess == 0) ++read_only;
    if (json) {
      // One device a line; its texts are valid UTF-8 (ShortStringUtf8).
      c.out.Line("  " + DeviceJson(shown[i], slot).dump() + (i + 1 < shown.size() ? "," : ""));
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
    c.err.Line(session.DeviceCount() == 0
                   ? "vyhid: no HID devices found: " + NothingFound(session.Bridge())
                   : "vyhid: no device matches '" + *filter + "'");
  }
  if (read_only > 0 && !session.Bridge().Simulated()) {
    c.err.Line("vyhid: note: " + Plural(read_only, "device is", "devices are") +
               " not writable for this user [R/O]: read-only, or not open to it at all; the "
               "udev rule " +
               InstallPaths::UdevRule() + " grants access");
  }
  return kExitOk;
}

}  // namespace vyhid

// A device's report descriptor (DeviceDescriptor.h).
#include "DeviceDescriptor.h"

namespace vyhid {
namespace {

// The descriptor's bytes as the bridge gives them; empty, with the reason in
// *why, when it gives none (a bridge without the export, a virtual device
// without a descriptor).
std::vector<std::uint8_t> DescriptorBytes(Session& session, int nr, std::string* why) {
  rtl::String reason;
  std::vector<std::uint8_t> bytes = session.Hid().GetReportDescriptor(nr, &reason);
  if (bytes.empty()) {
    *why = "no report descriptor: " + rtl::StringToUtf8(reason);
    // A virtual device without one: name devices that have one.
    if (session.Bridge().Simulated()) {
      *why +=
          "; the bundled devices (plain --simulate) have descriptors, and so do the recordings of "
          "real devices in the source tree's examples/recordings/, e.g. "
          "--simulate=examples/recordings/qemu-usb-keyboard.txt";
    }
  }
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> RequiredDescriptorBytes(Session& session, int nr,
                                                  const std::string& doing) {
  std::string why;
  std::vector<std::uint8_t> bytes = DescriptorBytes(session, nr, &why);
  if (bytes.empty()) {
    throw CliError(kExitFailure, "cannot " + doing + " device " + std::to_string(nr) + ": " +
                                     session.Label(nr) + ": " + why);
  }
  return bytes;
}

std::optional<vyhid::descriptor::ReportDescriptor> DescriptorOf(Session& session, int nr,
                                                                std::string* why) {
  const std::vector<std::uint8_t> bytes = DescriptorBytes(session, nr, why);
  if (bytes.empty()) return std::nullopt;
  vyhid::descriptor::ReportDescriptor model = vyhid::descriptor::Parse(bytes);
  if (model.reports.empty()) {
    *why = std::string("its report descriptor declares no report (") +
           vyhid::descriptor::Describe(model.error) + " at byte " +
           std::to_string(model.error_offset) + ")";
    return std::nullopt;
  }
  return model;
}

std::optional<std::uint32_t> DeclaredReportBytes(
    const std::optional<vyhid::descriptor::ReportDescriptor>& descriptor,
    const THIDdeviceInfo& record, vyhid::ReportKind kind, std::uint8_t id) {
  if (descriptor) return descriptor->ReportBytes(kind, id);
  const TReportCapabilities* table = vyhid::CapabilityTable(record, kind);
  for (std::size_t i = 0; i < vyhid::kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount != 0 && entry.ReportCount < 255 && entry.ReportId == id) {
      return (std::uint32_t{entry.ReportSize} * entry.ReportCount + 7) / 8;
    }
  }
  return std::nullopt;
}

}  // namespace vyhid

// A device's report descriptor (DeviceDescriptor.h).
#include "DeviceDescriptor.h"

namespace vyhid {

std::vector<std::uint8_t> DescriptorBytes(Session& session, int nr, std::string* why) {
  rtl::String reason;
  std::vector<std::uint8_t> bytes = session.Hid().GetReportDescriptor(nr, &reason);
  if (bytes.empty()) *why = "no report descriptor: " + rtl::StringToUtf8(reason);
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

}  // namespace vyhid

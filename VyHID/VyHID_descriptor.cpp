// A device's report descriptor, through the bridge's optional export.
#include <string>

#include "VyHID.h"

std::vector<std::uint8_t> TVyHID::GetReportDescriptor(std::int32_t DevNr, rtl::String* Reason) {
  rtl::String why;
  std::vector<std::uint8_t> bytes;
  const auto get = FisDLLloaded ? reinterpret_cast<tHIDGetReportDescriptor>(
                                      rtl::GetProcAddress(aHandle, vyhid::kReportDescriptorExport))
                                : nullptr;
  const std::int32_t listed = FDevCount < 0 ? 0 : FDevCount;
  if (!FisDLLloaded) {
    why = u"no bridge is loaded";
  } else if (get == nullptr) {
    why = u"the bridge has no export " + rtl::Utf8ToString(vyhid::kReportDescriptorExport);
  } else if (DevNr < 0 || DevNr >= listed ||
             static_cast<std::size_t>(DevNr) >= vyhid::kMaxBridgeDevices) {
    why = u"device number " + rtl::IntToStr(DevNr) + u" is not listed: the latest scan found " +
          rtl::IntToStr(listed);
  } else {
    // One call with room for any descriptor; again with more, should a
    // bridge give a longer one.
    bytes.resize(vyhid::kMaxReportDescriptorBytes);
    for (;;) {
      const std::int32_t length = get(static_cast<std::uint8_t>(DevNr), bytes.data(),
                                      static_cast<std::uint32_t>(bytes.size()));
      if (length < 0) {
        bytes.clear();
        const auto lastError =
            reinterpret_cast<tHIDlastError>(rtl::GetProcAddress(aHandle, vyhid::kLastErrorExport));
        char text[512] = {};
        if (lastError != nullptr && lastError(text, sizeof text) != 0 && text[0] != '\0') {
          why = rtl::Utf8ToString(text);
        } else {
          why = u"the bridge gave no report descriptor for device " + rtl::IntToStr(DevNr);
        }
        break;
      }
      const auto size = static_cast<std::size_t>(length);
      if (size <= bytes.size()) {
        bytes.resize(size);
        if (bytes.empty()) why = u"the device's report descriptor is empty";
        break;
      }
      bytes.resize(size);
    }
  }
  if (Reason != nullptr) *Reason = why;
  return bytes;
}

// Feeds arbitrary bytes to the simulated bridge's device-file reader and
// checks what it makes of those it accepts.
// fuzz-libraries: simdevices vyhid_abi
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "SimDevices.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Every accepted device has a symlink, and each capability table is a run of
// used entries in ascending ID order that fit the kind's buffer size.
void CheckDevice(SimDeviceSpec& device, const std::vector<SimDeviceSpec>& all, std::size_t index) {
  THIDdeviceInfo& info = device.info;
  Check(info.SymLink.Length > 0);
  for (std::size_t j = 0; j < index; ++j) {
    Check(std::memcmp(&all[j].info.SymLink, &info.SymLink, 100) != 0);
  }
  for (const vyhid::ReportKind kind :
       {vyhid::ReportKind::kOutput, vyhid::ReportKind::kInput, vyhid::ReportKind::kFeature}) {
    TReportCapabilities caps[10];
    std::memcpy(caps, vyhid::CapabilityTable(info, kind), sizeof caps);
    const std::uint16_t bufferSize = vyhid::BufferSize(info, kind);
    bool used = true;
    for (std::size_t i = 0; i < 10; ++i) {
      if (caps[i].ReportCount == 0) {
        used = false;
        continue;
      }
      Check(used);
      Check(caps[i].ReportSize == 8);
      Check(bufferSize >= caps[i].ReportCount + 1);
      if (i > 0) Check(caps[i - 1].ReportId < caps[i].ReportId);
    }
    // A kind whose only reports carry no payload has a buffer for the ID byte.
    Check(caps[0].ReportCount != 0 || bufferSize <= 1);
  }
  // Report contents fit a report the device declares.
  auto fits = [&](const SimReportBytes& r, vyhid::ReportKind kind) {
    Check(!r.bytes.empty() && r.bytes.size() <= SimDeclaredBytes(info, kind, r.id));
  };
  for (const SimReportBytes& r : device.input_reports) fits(r, vyhid::ReportKind::kInput);
  for (const SimReportBytes& r : device.feature_reports) fits(r, vyhid::ReportKind::kFeature);
  if (device.input_period_ms > 0) fits(device.periodic_input, vyhid::ReportKind::kInput);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<SimDeviceSpec> devices;
  std::string error;
  if (SimParseDeviceText(text, devices, error)) {
    Check(error.empty());
    Check(devices.size() <= kSimMaxDevices);
    for (std::size_t i = 0; i < devices.size(); ++i) CheckDevice(devices[i], devices, i);
  } else {
    Check(error.rfind("line ", 0) == 0);
  }
  return 0;
}

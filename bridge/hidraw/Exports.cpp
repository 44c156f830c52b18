// The entry points of HID_Bridge__.dll over hidraw. The bridge object is
// made when the library is loaded and stopped and freed when it is unloaded,
// so that no thread of it runs, and no callback comes, after the unload.
#include "Bridge.h"
#include "ExportShim.h"

using vyhid::ReportKind;
using vyhid::hidraw::Bridge;

namespace {

Bridge* bridge = nullptr;

__attribute__((constructor)) void LoadBridge() {
  bridge = new Bridge;
}

__attribute__((destructor)) void Unload() {
  vyhid::hidraw::UnloadBridge(bridge);
}

struct BridgeEntryPoints {
  static std::uint8_t HIDscanForDevices() { return bridge->Scan(); }
  static void HIDGetDeviceInfo(std::uint8_t Nr, THIDdeviceInfo* data) {
    bridge->GetDeviceInfo(Nr, data);
  }
  static std::uint8_t HIDcloseDevice() { return bridge->Close() ? 1 : 0; }
  static std::uint8_t HIDopenDevice(std::uint8_t DeviceNr) {
    return bridge->Open(DeviceNr) ? 1 : 0;
  }
  static void USBsetEventHandler(TUSBcallBack Handler) { bridge->SetDeviceChangeHandler(Handler); }
  static void HIDsetEventHandler(THIDcallBack Handler) { bridge->SetInputHandler(Handler); }
  static std::uint8_t HIDOutputReportSize() { return bridge->ReportSize(ReportKind::kOutput); }
  static std::uint8_t HIDInputReportSize() { return bridge->ReportSize(ReportKind::kInput); }
  static std::uint8_t HIDFeatureReportSize() { return bridge->ReportSize(ReportKind::kFeature); }
  static std::uint8_t HIDGetInputReport(THIDreport* inReport) {
    return bridge->GetInputReport(inReport);
  }
  static std::uint8_t HIDGetFeatureReport(THIDreport* inReport) {
    return bridge->GetFeatureReport(inReport);
  }
  static std::uint8_t HIDSetOutputReport(THIDreport* OutReport) {
    return bridge->SetOutputReport(OutReport);
  }
  static std::uint8_t HIDSetFeatureReport(THIDreport* OutReport) {
    return bridge->SetFeatureReport(OutReport);
  }
  static std::int32_t HIDGetReportDescriptor(std::uint8_t Nr, std::uint8_t* buffer,
                                             std::uint32_t size) {
    return bridge->GetReportDescriptor(Nr, buffer, size);
  }
};

}  // namespace

VYHID_DEFINE_BRIDGE_EXPORTS()

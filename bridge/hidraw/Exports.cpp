// The 13 entry points of HID_Bridge__.dll over hidraw. The bridge object is
// made when the library is loaded and stopped and freed when it is unloaded,
// so that no thread of it runs, and no callback comes, after the unload.
#include "Bridge.h"
#include "HIDrecords.h"

using vyhid::descriptor::ReportKind;
using vyhid::hidraw::Bridge;

namespace {

Bridge* bridge = nullptr;

__attribute__((constructor)) void LoadBridge() {
  bridge = new Bridge;
}

__attribute__((destructor)) void UnloadBridge() {
  bridge->Shutdown();
  delete bridge;
  bridge = nullptr;
}

}  // namespace

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDscanForDevices() {
  return bridge->Scan();
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL HIDGetDeviceInfo(std::uint8_t Nr, THIDdeviceInfo* data) {
  bridge->GetDeviceInfo(Nr, data);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDcloseDevice() {
  return bridge->Close() ? 1 : 0;
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDopenDevice(std::uint8_t DeviceNr) {
  return bridge->Open(DeviceNr) ? 1 : 0;
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL USBsetEventHandler(TUSBcallBack Handler) {
  bridge->SetDeviceChangeHandler(Handler);
}

VYHID_BRIDGE_EXPORT void VYHID_STDCALL HIDsetEventHandler(THIDcallBack Handler) {
  bridge->SetInputHandler(Handler);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDOutputReportSize() {
  return bridge->ReportSize(ReportKind::kOutput);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDInputReportSize() {
  return bridge->ReportSize(ReportKind::kInput);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDFeatureReportSize() {
  return bridge->ReportSize(ReportKind::kFeature);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDGetInputReport(THIDreport* inReport) {
  return bridge->GetInputReport(inReport);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDGetFeatureReport(THIDreport* inReport) {
  return bridge->GetFeatureReport(inReport);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDSetOutputReport(THIDreport* OutReport) {
  return bridge->SetOutputReport(OutReport);
}

VYHID_BRIDGE_EXPORT std::uint8_t VYHID_STDCALL HIDSetFeatureReport(THIDreport* OutReport) {
  return bridge->SetFeatureReport(OutReport);
}

// Each entry point's type must match the one the component binds.
static_assert(std::is_same_v<decltype(&HIDscanForDevices), tHIDscanForDevices>);
static_assert(std::is_same_v<decltype(&HIDGetDeviceInfo), tHIDGetDeviceInfo>);
static_assert(std::is_same_v<decltype(&HIDcloseDevice), tHIDcloseDevice>);
static_assert(std::is_same_v<decltype(&HIDopenDevice), tHIDopenDevice>);
static_assert(std::is_same_v<decltype(&USBsetEventHandler), tUSBsetEventHandler>);
static_assert(std::is_same_v<decltype(&HIDsetEventHandler), tHIDsetEventHandler>);
static_assert(std::is_same_v<decltype(&HIDOutputReportSize), tHIDOutputReportSize>);
static_assert(std::is_same_v<decltype(&HIDInputReportSize), tHIDInputReportSize>);
static_assert(std::is_same_v<decltype(&HIDFeatureReportSize), tHIDFeatureReportSize>);
static_assert(std::is_same_v<decltype(&HIDGetInputReport), tHIDGetInputReport>);
static_assert(std::is_same_v<decltype(&HIDGetFeatureReport), tHIDGetFeatureReport>);
static_assert(std::is_same_v<decltype(&HIDSetOutputReport), tHIDSetOutputReport>);
static_assert(std::is_same_v<decltype(&HIDSetFeatureReport), tHIDSetFeatureReport>);
